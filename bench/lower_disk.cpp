// The device under the filter. It does as little as a driver can: each
// request is completed in the sender's thread, so that what a benchmark
// counts beyond the I/O manager is the filter's work.
#include "bench/drivers.h"
#include "platform/nt.h"

namespace {

NTSTATUS DiskDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG_PTR information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        information = stack->Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        information = stack->Parameters.Write.Length;
        break;
    case IRP_MJ_SCSI: {
        // The code that shares the major function: a URB, answered as the
        // USB stack answers it.
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            PURB urb = (PURB)stack->Parameters.Others.Argument1;
            if (urb != NULL)
                urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            break;
        }
        // The internal path carries 1394 request blocks too, which it
        // completes untouched.
        PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
        if (srb != NULL && stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_1394_CLASS) {
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            srb->ScsiStatus = 0;
            information = srb->DataTransferLength;
        }
        break;
    }
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS ZKB_DiskEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        DriverObject->MajorFunction[major] = DiskDispatch;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\00000062");
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_DISK, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    return STATUS_SUCCESS;
}
