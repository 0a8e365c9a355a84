// The two ways a request leaves the driver.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// Filter device: hands the request to the lower device with this very stack
// location and returns the lower driver's status. Control device: nothing
// lies below it, so the request is completed at once with success.
FORCEINLINE NTSTATUS ZK_PassDown(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceKind == ZK_KIND_FILTER) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(Extension->LowerDevice, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Filter device only: passes the request down with a completion routine that
// traces its result. The request is marked pending first, since the routine
// may run before or after the lower driver returns; the dispatch routine then
// always answers STATUS_PENDING.
FORCEINLINE NTSTATUS ZK_PassDownWithCompletion(PZK_EXTENSION Extension, PIRP Irp,
                                               PIO_COMPLETION_ROUTINE Routine)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, NULL, TRUE, TRUE, TRUE);
    IoCallDriver(Extension->LowerDevice, Irp);
    return STATUS_PENDING;
}
