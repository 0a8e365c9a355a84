#include "driver/forward.h"

#include "platform/nt.h"
#include "trace/decode.h"
#include "trace/print.h"

NTSTATUS ZK_CompleteOnControl(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ZK_PassDownOutOfLine(PZK_EXTENSION Extension, PIRP Irp)
{
    return ZK_PassDown(Extension, Irp);
}

NTSTATUS ZK_CompleteDeletePending(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->TraceMask & TRACE_IO) {
        CHAR status[ZK_NAME_BUFFER];
        ZK_StatusName(STATUS_DELETE_PENDING, status);
        ZK_PrintLine(Extension, "Irp: 0x%X - completed with Status: %s.\n", ZK_Low32(Irp), status);
    }
    // A power request lets the next one start even so.
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
}
