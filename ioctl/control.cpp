#include "ioctl/control.h"

#include "driver/forward.h"

// Not served yet: completed with success, as every request on the control device.
NTSTATUS ZK_ControlDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    return ZK_CompleteOnControl(Irp);
}
