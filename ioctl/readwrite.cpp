#include "driver/dispatch.h"
#include "driver/forward.h"

// Reads and writes pass unchanged until their tracing lands.
NTSTATUS ZK_IRP_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ZK_PassDown(ZK_GetExtension(DeviceObject), Irp);
}

NTSTATUS ZK_IRP_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ZK_PassDown(ZK_GetExtension(DeviceObject), Irp);
}
