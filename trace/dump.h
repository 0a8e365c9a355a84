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
// bytes of its memory at Level (a limit of 0 dumps nothing). The MDL is
// another driver's: it is read, never written; memory it has no system
// address for is seen through a view of the filter's own. A NULL MDL prints
// nothing. Any IRQL up to DISPATCH_LEVEL.
VOID ZK_DumpMdl(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit);

// The same without the header line: only the data, at Level.
VOID ZK_DumpMdlData(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit);

// A view of part of a locked MDL that another driver owns: a partial MDL of
// the filter's own, in the caller's frame, mapped without execute rights.
// The source MDL is only read, by the kernel; nothing is written into it. A
// dump's range spans at most two pages.
constexpr ULONG ZK_VIEW_PAGES = 2;
static_assert(ZK_DUMP_LIMIT <= 0x1000, "a dump's range spans at most two pages");
struct ZK_MDL_VIEW {
    MDL Mdl;
    PFN_NUMBER Pages[ZK_VIEW_PAGES];
};
// Maps Length bytes (1 to ZK_DUMP_LIMIT) at Address, which lie within the
// locked MDL Source, into View. The system address, or NULL when the mapping
// failed; a mapped view is released with ZK_UnmapMdlView before the caller
// returns. Any IRQL up to DISPATCH_LEVEL.
PVOID ZK_MapMdlView(ZK_MDL_VIEW* View, PMDL Source, PVOID Address, ULONG Length);
VOID ZK_UnmapMdlView(ZK_MDL_VIEW* View, PVOID SystemAddress);

// Returns a readable address of Buffer's first byte, or NULL. *Mdl is always
// written: non-NULL only when the address comes from a new, locked MDL, which
// the caller releases with MmUnlockPages and IoFreeMdl once done with the
// address. Mappings are never executable. Builds MDLs at PASSIVE_LEVEL only; above it, returns Buffer only
// when its first page is valid.
PVOID ZK_MapBuffer(PVOID Buffer, ULONG Length, PMDL* Mdl);

// Locks the Length bytes at Buffer as Mode's memory for Access (the probe runs
// inside a guarded region) and maps them for the kernel, never executable.
// PASSIVE_LEVEL. The address, with *Mdl the new, locked MDL, which the caller
// releases with MmUnlockPages and IoFreeMdl; or NULL, with *Mdl NULL and
// nothing held.
PVOID ZK_LockAndMap(PVOID Buffer, ULONG Length, KPROCESSOR_MODE Mode, LOCK_OPERATION Access, PMDL* Mdl);
