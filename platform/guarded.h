// Guarded execution: the one road by which the driver touches memory that
// may fault (buffers of other drivers and of applications) or calls a kernel
// routine that raises (MmProbeAndLockPages). On Windows this is a structured
// exception handler; the simulated kernel turns real faults and its own raises
// into the same exception codes.
#pragma once
#include "platform/ntbase.h"

typedef VOID ZK_GUARDED_ROUTINE(PVOID Context);

extern "C" {
// Runs Routine(Context) in a guarded region. Returns STATUS_SUCCESS when it
// finished, or the code of the exception that ended it (for example
// STATUS_ACCESS_VIOLATION). Callable at any IRQL up to DISPATCH_LEVEL. The
// routine must not own objects with destructors: an exception abandons its
// frame.
NTSTATUS ZkGuardedCall(ZK_GUARDED_ROUTINE* Routine, PVOID Context);
}
