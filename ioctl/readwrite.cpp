#include "driver/dispatch.h"
#include "driver/traced.h"
#include "ioctl/completion.h"
#include "platform/nt.h"
#include "trace/print.h"

// Both dispatch routines: up to DISPATCH_LEVEL, in the sender's thread. On
// the filter device the request always answers STATUS_PENDING and its result
// is traced on completion.

namespace {

// The traced paths are out of line: inlined, their prints would make every
// request save registers, traced or not.

DECLSPEC_NOINLINE NTSTATUS TraceReadAndPass(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ZK_PrintLine(Extension, "Irp: 0x%X - IRP_MJ_READ: Length: 0x%X, Offset: 0x%I64X\n", ZK_Low32(Irp),
                 stack->Parameters.Read.Length, stack->Parameters.Read.ByteOffset.QuadPart);
    return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
}

DECLSPEC_NOINLINE NTSTATUS TraceWriteAndPass(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ZK_PrintLine(Extension, "Irp: 0x%X - IRP_MJ_WRITE: Length: 0x%X, Offset: 0x%I64X\n", ZK_Low32(Irp),
                 stack->Parameters.Write.Length, stack->Parameters.Write.ByteOffset.QuadPart);
    return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
}

}  // namespace

NTSTATUS ZK_IRP_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    if (extension->TraceMask & TRACE_IO)
        return TraceReadAndPass(extension, Irp);
    return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutineGeneric);
}

NTSTATUS ZK_IRP_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    if (extension->TraceMask & TRACE_IO)
        return TraceWriteAndPass(extension, Irp);
    return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutineGeneric);
}
