// Guarded execution on Windows: a structured exception handler around the
// routine. Only the Windows image builds this file; the simulated kernel has
// its own ZkGuardedCall.
#include "platform/guarded.h"

#if !defined(ZK_PLATFORM_WINDOWS)
#error "platform/windows/guarded.cpp belongs to the Windows image only"
#endif

#define EXCEPTION_EXECUTE_HANDLER 1

// clang covers only calls inside a __try block: a fault raised by an
// instruction of the block itself, had the routine been inlined into it, would
// not reach the handler. The routine therefore always runs in a frame of its
// own, entered by a call the optimiser may not fold into this function.
static __declspec(noinline) VOID ZkRunGuardedRoutine(ZK_GUARDED_ROUTINE* Routine, PVOID Context)
{
    Routine(Context);
}

extern "C" NTSTATUS ZkGuardedCall(ZK_GUARDED_ROUTINE* Routine, PVOID Context)
{
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        ZkRunGuardedRoutine(Routine, Context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = (NTSTATUS)_exception_code();
    }
    return status;
}
