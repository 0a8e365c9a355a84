#include "internal/urb.h"

#include "driver/forward.h"
#include "trace/print.h"

// URBs are not decoded yet: the internal request takes the line of unknown
// codes, and both pass unchanged with their blocks untouched.
NTSTATUS ZK_InternalUrbRequest(PZK_EXTENSION Extension, PIRP Irp)
{
    ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", ZK_Low32(Irp),
             (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB);
    return ZK_PassDown(Extension, Irp);
}

NTSTATUS ZK_DeviceControlUrbRequest(PZK_EXTENSION Extension, PIRP Irp)
{
    return ZK_PassDown(Extension, Irp);
}
