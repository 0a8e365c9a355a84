#include "driver/dispatch.h"
#include "driver/forward.h"
#include "driver/lifetime.h"
#include "platform/nt.h"
#include "trace/print.h"

namespace {

// Minor functions 0x00 to 0x18 by their line; 0x0E has no name. The formats
// take the IRP and the device object that received it.
constexpr PCSTR ZK_PNP_LINES[] = {
    "Irp: 0x%X - IRP_MN_START_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_REMOVE_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_REMOVE_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_CANCEL_REMOVE_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_STOP_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_STOP_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_CANCEL_STOP_DEVICE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_DEVICE_RELATIONS - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_INTERFACE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_CAPABILITIES - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_RESOURCES - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_RESOURCE_REQUIREMENTS - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_DEVICE_TEXT - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_FILTER_RESOURCE_REQUIREMENTS - Device: 0x%X.\n",
    NULL,
    "Irp: 0x%X - IRP_MN_READ_CONFIG - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_WRITE_CONFIG - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_EJECT - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_SET_LOCK - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_ID - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_PNP_DEVICE_STATE - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_BUS_INFORMATION - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_DEVICE_USAGE_NOTIFICATION - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_SURPRISE_REMOVAL - Device: 0x%X.\n",
    "Irp: 0x%X - IRP_MN_QUERY_LEGACY_BUS_INFORMATION - Device: 0x%X.\n",
};
constexpr ULONG ZK_PNP_LINE_COUNT = sizeof(ZK_PNP_LINES) / sizeof(ZK_PNP_LINES[0]);
static_assert(ZK_PNP_LINE_COUNT == IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1);
static_assert(IRP_MN_FILTER_RESOURCE_REQUIREMENTS == 0x0D && IRP_MN_READ_CONFIG == 0x0F);

PCSTR PnpLine(UCHAR Minor)
{
    if (Minor < ZK_PNP_LINE_COUNT)
        return ZK_PNP_LINES[Minor];
    if (Minor == IRP_MN_BUS_RESET)
        return "Irp: 0x%X - IRP_MN_BUS_RESET - Device: 0x%X.\n";
    return NULL;
}

VOID EnterState(PZK_EXTENSION Extension, LONG State)
{
    Extension->PreviousPnpState = Extension->PnpState;
    Extension->PnpState = State;
}

// A cancel undoes its query only; PreviousPnpState keeps its value, so a
// second cancel cannot step further back.
VOID RestoreState(PZK_EXTENSION Extension, LONG State)
{
    if (Extension->PnpState == State)
        Extension->PnpState = Extension->PreviousPnpState;
}

// PASSIVE_LEVEL. The lower devices start first; the request is completed here
// once they are done.
NTSTATUS StartDevice(PZK_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Extension->DeviceKind == ZK_KIND_FILTER) {
        KEVENT event;
        IoCopyCurrentIrpStackLocationToNext(Irp);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(Irp, ZK_CompletionRoutineStartDevice, &event, TRUE, TRUE, TRUE);
        status = IoCallDriver(Extension->LowerDevice, Irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = Irp->IoStatus.Status;
        }
    }

    Irp->IoStatus.Status = status;
    if (NT_SUCCESS(status))
        EnterState(Extension, Started);
    ZK_Print(TRACE_DETAIL, Extension, "Irp: 0x%X - IRP_MN_START_DEVICE - call IoCompleteRequest.\n", ZK_Low32(Irp));
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (Extension->DeviceKind == ZK_KIND_FILTER)
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return status;
}

// PASSIVE_LEVEL. A paging, hibernation or crash-dump file moves onto the
// device or off it. Power requests come at PASSIVE_LEVEL only to a device
// object with DO_POWER_PAGABLE, and no such object may sit above one without
// it: on the way down the filter is pageable when the device above it is (or
// nothing is), and on the way back it is not when the device below is not.
NTSTATUS UsageNotification(PDEVICE_OBJECT DeviceObject, PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceKind != ZK_KIND_FILTER)
        return ZK_PassDown(Extension, Irp);
    PDEVICE_OBJECT above = DeviceObject->AttachedDevice;
    if (above == NULL || (above->Flags & DO_POWER_PAGABLE))
        DeviceObject->Flags |= DO_POWER_PAGABLE;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ZK_CompletionRoutineUsageNotification, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

// PASSIVE_LEVEL. The lower devices see the removal before the filter goes;
// then the instance is taken apart, and neither record is touched once its
// device object is deleted.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->DeviceKind != ZK_KIND_FILTER)
        return ZK_PassDown(Extension, Irp);

    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    // Requests still below the filter come back through its completion
    // routines: the device stays until the last of them is done, and from
    // now on every new one is refused.
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

    // The bus has let go of the device's address ranges: their 1394 records
    // go; the rest outlive the device until the unload (driver/lifetime.h).
    ZK_FreeCallbackContexts(Extension);
    EnterState(Extension, Deleted);
    IoDetachDevice(Extension->LowerDevice);
    if (Extension->RecordFlags & ZK_FLAG_LINK_CREATED) {
        Extension->RecordFlags &= ~ZK_FLAG_LINK_CREATED;
        IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    }
    if (Extension->SymbolicLinkName.Buffer != NULL)
        RtlFreeUnicodeString(&Extension->SymbolicLinkName);

    PDEVICE_OBJECT control = Extension->ControlDevice;
    if (control != NULL) {
        // A program may still hold the control device open: its device object
        // and record then live on until the last handle closes, but the
        // filter's record goes with the filter below. A request running on
        // the control device is waited for; later ones find no filter.
        ZK_ControlDeviceRetire(ZK_GetExtension(control));
        IoDeleteDevice(control);
    }
    IoDeleteDevice(DeviceObject);
    return status;
}

}  // namespace

NTSTATUS ZK_IRP_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    PCSTR line = PnpLine(minor);
    if (line != NULL)
        ZK_Print(TRACE_PASS_PNP, extension, line, ZK_Low32(Irp), ZK_Low32(DeviceObject));
    else
        ZK_Print(TRACE_UNRECOGNISED, extension, "ZK_IRP_PnP: Unknown irp minor 0x%X. Irp: 0x%X. Device: 0%X.\n",
                 (ULONG)minor, ZK_Low32(Irp), ZK_Low32(DeviceObject));

    switch (minor) {
    case IRP_MN_START_DEVICE:
        return StartDevice(extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, extension, Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return UsageNotification(DeviceObject, extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        EnterState(extension, RemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        RestoreState(extension, RemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
        // A stopped device stays StopPending until it is started again.
        EnterState(extension, StopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        RestoreState(extension, StopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        EnterState(extension, SurpriseRemoved);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return ZK_PassDown(extension, Irp);
}

NTSTATUS ZK_CompletionRoutineStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    // The dispatch routine waits for this event and completes the IRP again;
    // hence no IoMarkIrpPending here.
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ZK_CompletionRoutineUsageNotification(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!(extension->LowerDevice->Flags & DO_POWER_PAGABLE))
        DeviceObject->Flags &= ~(ULONG)DO_POWER_PAGABLE;
    return ZK_LeaveCompletion(extension, Irp);
}
