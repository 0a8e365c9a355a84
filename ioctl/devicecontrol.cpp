#include "driver/dispatch.h"
#include "driver/forward.h"
#include "internal/urb.h"
#include "ioctl/control.h"

// Device-control requests pass unchanged until their catalogue lands; the
// control device hands its private request over, and a URB submitted here
// goes to the URB tracing.
NTSTATUS ZK_IRP_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (extension->DeviceKind == ZK_KIND_CONTROL && code == IOCTL_ZK_REQUEST)
        return ZK_ControlDeviceRequest(DeviceObject, Irp);
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return ZK_DeviceControlUrbRequest(extension, Irp);
    return ZK_PassDown(extension, Irp);
}
