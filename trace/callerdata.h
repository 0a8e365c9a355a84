// A data buffer that a request names by its virtual address (the direct
// pass-through's DataBuffer, an SRB's DataBuffer), reached from a completion
// routine. The completion runs in whatever process is current, while an
// address of a program's belongs to the program's process: read here, it
// would be another process's memory, or none.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// Dumps Length bytes (at most ZK_DUMP_LIMIT) at Address at Level:
// - through the request's MDL when it describes the range (its pages are
//   locked by whoever built it): where its owner mapped it, or through a view
//   of the filter's own; the MDL is never written;
// - from a kernel-mode sender, whose buffers are its own, as ZK_MapBuffer
//   reaches them;
// - a program's address the MDL does not describe is not read at all.
// Any IRQL up to DISPATCH_LEVEL.
VOID ZK_DumpRequestData(ULONG Level, PZK_EXTENSION Extension, PIRP Irp, PVOID Address, ULONG Length);

// In the sender's own thread (a dispatch routine): a readable system address
// of the Length bytes at Address, or NULL. A program's address is locked as
// the program's (a probe in user mode, which refuses the kernel's part of the
// address space), at PASSIVE_LEVEL only; a kernel-mode sender's as
// ZK_MapBuffer reaches it. *Mdl is always written: non-NULL only for a new,
// locked MDL, which the caller releases with MmUnlockPages and IoFreeMdl.
PVOID ZK_MapSenderData(PIRP Irp, PVOID Address, ULONG Length, PMDL* Mdl);
