// The yardstick: a pass-through filter with nothing but what a filter must
// do. Zelkor's cost is stated as a ratio to this one's on the same stack.
#include "bench/drivers.h"
#include "platform/nt.h"

namespace {

struct REFERENCE_EXTENSION {
    PDEVICE_OBJECT LowerDevice;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT DeviceObject)
{
    return ((REFERENCE_EXTENSION*)DeviceObject->DeviceExtension)->LowerDevice;
}

NTSTATUS SkipAndCall(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerOf(DeviceObject), Irp);
}

NTSTATUS PropagatePending(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS CopyWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PropagatePending, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(LowerOf(DeviceObject), Irp);
}

// The lower devices see the removal first; then the filter goes.
NTSTATUS Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = LowerOf(DeviceObject);
    BOOLEAN remove = IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(LowerOf(DeviceObject), Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT filter = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(REFERENCE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &filter);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    if (lower == NULL) {
        IoDeleteDevice(filter);
        return STATUS_UNSUCCESSFUL;
    }
    ((REFERENCE_EXTENSION*)filter->DeviceExtension)->LowerDevice = lower;
    filter->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    filter->DeviceType = lower->DeviceType;
    filter->Characteristics = lower->Characteristics;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
}

void Fill(PDRIVER_OBJECT DriverObject, PDRIVER_DISPATCH Dispatch)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        DriverObject->MajorFunction[major] = Dispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = Pnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = Power;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
}

}  // namespace

extern "C" NTSTATUS ZKB_ReferenceSkipEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    Fill(DriverObject, SkipAndCall);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZKB_ReferenceCompletionEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    Fill(DriverObject, CopyWithCompletion);
    return STATUS_SUCCESS;
}
