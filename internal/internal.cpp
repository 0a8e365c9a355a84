#include "driver/dispatch.h"
#include "driver/forward.h"

// Internal device-control requests pass unchanged until their tracing lands.
NTSTATUS ZK_IRP_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ZK_PassDown(ZK_GetExtension(DeviceObject), Irp);
}
