// Hex dumps of request buffers, and the mapping that makes a caller's buffer
// readable for them. The buffers belong to other drivers and to applications,
// so every read runs inside a guarded region after a validity test.
#pragma once
#include "driver/extension.h"

// At most this many bytes are dumped per call: 128 lines.
constexpr ULONG ZK_DUMP_LIMIT = 2048;
constexpr ULONG ZK_DUMP_BYTES_PER_LINE = 16;
// One line: 16 hex pairs with a double blank after the eighth, then the
// characters from column 50. No address column.
constexpr ULONG ZK_DUMP_LINE_CHARS = 66;
constexpr ULONG ZK_DUMP_CHAR_COLUMN = 50;

// Prints Length bytes at Address (capped at ZK_DUMP_LIMIT) as hex lines at
// Level, the fault line included. Stops quietly at the first page that is not
// valid, also inside a line: the bytes read up to that page are printed as a
// short line. Any IRQL up to DISPATCH_LEVEL.
VOID ZK_DumpMemory(ULONG Level, PZK_EXTENSION Extension, PVOID Address, ULONG Length);

// Prints the MDL's header line at TRACE_IO, then dumps up to LengthLimit
// bytes of its memory at Level (a limit of 0 dumps nothing). Maps the MDL
// when it has no system address yet; the mapping stays with the MDL. A NULL
// MDL prints nothing. Any IRQL up to DISPATCH_LEVEL.
VOID ZK_DumpMdl(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit);

// The same without the header line: only the data, at Level.
VOID ZK_DumpMdlData(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit);

// Returns a readable address of Buffer's first byte, or NULL. *Mdl is always
// written: non-NULL only when the address comes from a new, locked MDL, which
// the caller releases with MmUnlockPages and IoFreeMdl once done with the
// address. Builds MDLs at PASSIVE_LEVEL only; above it, returns Buffer only
// when its first page is valid.
PVOID ZK_MapBuffer(PVOID Buffer, ULONG Length, PMDL* Mdl);
