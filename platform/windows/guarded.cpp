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
// own, entered by a call the optimiser may not fold into this function, and
// that frame calls the routine rather than jumping to it: no tail call, so the
// return address into the guarded range stays on the stack below the
// routine's frame whatever the routine is.
static __declspec(noinline) __attribute__((disable_tail_calls)) VOID
    ZkRunGuardedRoutine(ZK_GUARDED_ROUTINE* Routine, PVOID Context)
{
    Routine(Context);
}

// The exception code is taken in the filter, while the exception is being
// dispatched: every unwinder runs the filter with the exception record at
// hand, but what reaches the handler block is up to the unwinder (Windows
// passes the code along, Wine 8 passes 0), and a fault must never come back
// as STATUS_SUCCESS.
extern "C" NTSTATUS ZkGuardedCall(ZK_GUARDED_ROUTINE* Routine, PVOID Context)
{
    volatile NTSTATUS status = STATUS_SUCCESS;
    __try {
        ZkRunGuardedRoutine(Routine, Context);
    } __except (status = (NTSTATUS)_exception_code(), EXCEPTION_EXECUTE_HANDLER) {
        // A code of 0 would read as success: no exception carries it, but
        // the caller must see a failure whatever the filter saw.
        if (NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
    }
    return status;
}
