#include "internal/irb.h"

#include "driver/forward.h"
#include "trace/print.h"

// IRBs are not decoded yet: the request takes the line of unknown codes and
// passes unchanged, its block untouched.
NTSTATUS ZK_Internal1394Request(PZK_EXTENSION Extension, PIRP Irp)
{
    ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", ZK_Low32(Irp),
             (ULONG)IOCTL_1394_CLASS);
    return ZK_PassDown(Extension, Irp);
}
