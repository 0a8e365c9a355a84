#include "driver/dispatch.h"
#include "driver/forward.h"

// Device-control requests pass unchanged until their catalogue lands.
NTSTATUS ZK_IRP_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ZK_PassDown(ZK_GetExtension(DeviceObject), Irp);
}
