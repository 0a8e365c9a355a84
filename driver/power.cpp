#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/forward.h"
#include "platform/nt.h"
#include "trace/print.h"

namespace {

constexpr PCSTR ZK_POWER_LINES[] = {
    "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_WAIT_WAKE.\n",
    "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_POWER_SEQUENCE.\n",
    "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_SET_POWER.\n",
    "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_QUERY_POWER.\n",
};
static_assert(sizeof(ZK_POWER_LINES) / sizeof(ZK_POWER_LINES[0]) == IRP_MN_QUERY_POWER + 1);
static_assert(IRP_MN_WAIT_WAKE == 0 && IRP_MN_SET_POWER == 2);

}  // namespace

NTSTATUS ZK_IRP_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    if (minor < sizeof(ZK_POWER_LINES) / sizeof(ZK_POWER_LINES[0]))
        ZK_Print(TRACE_IO, extension, ZK_POWER_LINES[minor], ZK_Low32(Irp));
    else
        ZK_Print(TRACE_UNRECOGNISED, extension, "Irp: 0x%X - IRP_MJ_POWER - unknown Minor 0x%X.\n", ZK_Low32(Irp),
                 (ULONG)minor);

    // Every power IRP, passed on or completed here, lets the next one start.
    PoStartNextPowerIrp(Irp);

    if (extension->DeviceKind == ZK_KIND_FILTER) {
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return status;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
