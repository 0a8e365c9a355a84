// The two ways a request leaves the driver.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// Control device: nothing lies below it, so the request is completed at once
// and STATUS_SUCCESS returned. Out of line, so that ZK_PassDown ends in a tail
// call on both branches and the callers on every request need no frame.
NTSTATUS ZK_CompleteOnControl(PIRP Irp);

// Filter device: hands the request to the lower device with this very stack
// location and returns the lower driver's status. Control device: completes
// it with success.
FORCEINLINE NTSTATUS ZK_PassDown(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceKind == ZK_KIND_FILTER) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(Extension->LowerDevice, Irp);
    }
    return ZK_CompleteOnControl(Irp);
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
