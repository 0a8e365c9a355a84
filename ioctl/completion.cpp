#include "ioctl/completion.h"

#include "driver/forward.h"
#include "platform/nt.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// How many bytes of the system buffer a device-control request may have.
// Only METHOD_BUFFERED requests hand their output through it, in a buffer of
// at least OutputBufferLength bytes. The direct methods keep only the input
// there (the output lies in the MDL), and METHOD_NEITHER has no system buffer
// at all: for USB hub requests the length fields even hold pointers.
ULONG SystemBufferDumpLength(PIO_STACK_LOCATION Stack)
{
    ULONG output = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG input = Stack->Parameters.DeviceIoControl.InputBufferLength;
    switch (METHOD_FROM_CTL_CODE(Stack->Parameters.DeviceIoControl.IoControlCode)) {
    case METHOD_BUFFERED:
        return output;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        return output < input ? output : input;
    default:
        return 0;
    }
}

// Out of line: the status name's buffer would otherwise give every
// completion a frame and saved registers, traced or not.
DECLSPEC_NOINLINE VOID TraceGenericCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->TraceMask & TRACE_IO) {
        CHAR status[ZK_NAME_BUFFER];
        ZK_StatusName(Irp->IoStatus.Status, status);
        ZK_PrintLine(Extension, "Irp: 0x%X - completed with Status: %s.\n", ZK_Low32(Irp), status);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return;

    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ZK_Print(TRACE_IO, Extension, "Buffer: 0x%X, Length: 0x%X/0x%X.\n", ZK_Low32(buffer),
             stack->Parameters.DeviceIoControl.InputBufferLength, stack->Parameters.DeviceIoControl.OutputBufferLength);
    ZK_DumpMemory(TRACE_DEVICE_CONTROL, Extension, buffer, SystemBufferDumpLength(stack));
}

}  // namespace

// The mask is read here, not taken from the dispatch routine: a tool may
// have changed it while the request was below.
NTSTATUS ZK_CompletionRoutineGeneric(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (extension->TraceMask & (TRACE_IO | TRACE_DEVICE_CONTROL))
        ZK_TAIL_CALL return ZK_TraceAndLeave<TraceGenericCompletion>(DeviceObject, Irp, Context);
    return ZK_LeaveCompletion(extension, Irp);
}
