// The two ways a request leaves the driver.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// Control device: nothing lies below it, so the request is completed at once
// and STATUS_SUCCESS returned. Out of line, so that the callers on every
// request need no frame for it.
NTSTATUS ZK_CompleteOnControl(PIRP Irp);

// Every dispatch routine begins here. Filter device: the request takes the
// remove lock, which it holds until it has left the driver: released once it
// is passed down without a completion routine, else by that routine when it
// is done. FALSE once the removal has begun; the request must then be given
// to ZK_CompleteDeletePending. The control device has no lower device to
// wait for: TRUE.
FORCEINLINE BOOLEAN ZK_EnterDispatch(PZK_EXTENSION Extension, PIRP Irp)
{
    return Extension->DeviceKind != ZK_KIND_FILTER || NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, Irp));
}

// A request that reached the filter after its removal began (through a
// pointer its sender still held): traced as completed, and completed with
// STATUS_DELETE_PENDING without going further.
NTSTATUS ZK_CompleteDeletePending(PZK_EXTENSION Extension, PIRP Irp);

// The end of every completion routine the filter sets: the request has left
// the driver. Nothing of the record may be touched after this.
FORCEINLINE NTSTATUS ZK_LeaveCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

// A completion routine's traced path: Trace's lines, then the routine's end.
// The routine reaches it by a forced tail call with its own arguments
// (ZK_TAIL_CALL), so that its untraced path keeps no registers for what
// only the lines need.
template <VOID (*Trace)(PZK_EXTENSION Extension, PIRP Irp)>
DECLSPEC_NOINLINE NTSTATUS ZK_TraceAndLeave(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    Trace(extension, Irp);
    return ZK_LeaveCompletion(extension, Irp);
}

// Filter device: hands the request to the lower device with this very stack
// location and returns the lower driver's status. Control device: completes
// it with success.
FORCEINLINE NTSTATUS ZK_PassDown(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceKind == ZK_KIND_FILTER) {
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
        return status;
    }
    return ZK_CompleteOnControl(Irp);
}

// ZK_PassDown out of line, for a routine whose common end is another: the
// status it answers after the lock's release then takes no register of the
// routine's.
NTSTATUS ZK_PassDownOutOfLine(PZK_EXTENSION Extension, PIRP Irp);

// Filter device only: passes the request down with a completion routine that
// traces its result and releases the remove lock. The request is marked
// pending first, since the routine may run before or after the lower driver
// returns; the dispatch routine then always answers STATUS_PENDING. The IRP
// is restrict: its stack locations lie beside its header, never in it, so
// the stack-location operations' stores leave its CurrentStackLocation
// as it was and it is loaded once.
FORCEINLINE NTSTATUS ZK_PassDownWithCompletion(PZK_EXTENSION Extension, PIRP __restrict Irp,
                                               PIO_COMPLETION_ROUTINE Routine)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, NULL, TRUE, TRUE, TRUE);
    IoCallDriver(Extension->LowerDevice, Irp);
    return STATUS_PENDING;
}
