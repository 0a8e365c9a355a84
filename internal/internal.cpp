#include "driver/dispatch.h"
#include "driver/forward.h"
#include "driver/traced.h"
#include "internal/catalogue.h"
#include "internal/irb.h"
#include "internal/srb.h"
#include "internal/urb.h"
#include "ioctl/completion.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/print.h"

namespace {

// The first command byte of a floppy-controller command, or 0 when there is
// none to read: the parameter block and the command bytes are both reached
// through pointers of the sender's.
ULONG FdcCommandByte(PIO_STACK_LOCATION Stack)
{
    // Reached by address arithmetic, not as a member: the block may not even
    // be aligned.
    const UCHAR* parameters = (const UCHAR*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (parameters == NULL)
        return 0;
    PUCHAR fifo = NULL;
    if (!ZK_ReadBlock(parameters + FIELD_OFFSET(ISSUE_FDC_COMMAND_PARMS, FifoInBuffer), &fifo, sizeof(fifo)) ||
        fifo == NULL)
        return 0;
    UCHAR command = 0;
    if (!ZK_ReadBlock(fifo, &command, sizeof(command)))
        return 0;
    return command;
}

// How a plain request leaves, traced or not: as its row says.
NTSTATUS PassPlain(PZK_EXTENSION Extension, PIRP Irp, const ZK_INTERNAL_CODE* Row)
{
    if (Row != NULL && Row->Handling == ZK_INTERNAL_GENERIC)
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
    return ZK_PassDown(Extension, Irp);
}

NTSTATUS PlainRequest(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Code)
{
    const ZK_INTERNAL_CODE* row = ZK_FindInternalCode(Code);
    if (row == NULL) {
        ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", ZK_Low32(Irp),
                 Code);
    } else if (row->Handling == ZK_INTERNAL_FDC_COMMAND) {
        if (Extension->TraceMask & TRACE_INTERNAL)
            ZK_PrintLine(Extension, row->Line, ZK_Low32(Irp), FdcCommandByte(Stack));
    } else {
        ZK_Print(TRACE_INTERNAL, Extension, row->Line, ZK_Low32(Irp));
    }
    return PassPlain(Extension, Irp, row);
}

// Every level a line of this routine prints at: the SRB lines and the plain
// codes' lines. Completion lines have levels of their own, tested when the
// request completes.
constexpr ULONG ZK_INTERNAL_LEVELS = TRACE_INTERNAL | TRACE_UNRECOGNISED;

// An SRB request is one by its code and a block pointer, as the class
// drivers send it; whether the block can be read decides only what is
// printed. It is traced from a copy: an IRP_MJ_SCSI code slot holds whatever
// its sender left there, so the pointer beside it may be anything, and a
// block that cannot be read now gets the line of a plain code instead of its
// own. Out of line: the untraced path would otherwise carry the frame of the
// copy.
DECLSPEC_NOINLINE NTSTATUS TraceInternalRequestAndPass(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID block = stack->Parameters.Others.Argument1;

    if (ZK_IsSrbControlCode(code) && block != NULL) {
        SCSI_REQUEST_BLOCK srb;
        if (ZK_ReadBlock(block, &srb, sizeof(srb)))
            ZK_TraceSrb(Extension, Irp, &srb, code);
        else
            ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n",
                     ZK_Low32(Irp), code);
        return ZK_PassDownTraced(Extension, Irp, SrbCompletion);
    }

    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return ZK_InternalUrbRequest(Extension, Irp);
    if (code == IOCTL_1394_CLASS)
        return ZK_Internal1394Request(Extension, Irp);
    return PlainRequest(Extension, Irp, stack, code);
}

}  // namespace

// Untraced, a request still leaves as it would traced: an SRB request takes
// SrbCompletion and a plain code what its row says, so that a completion
// level set now, or later, still finds its routine in place. Nothing of the
// request's block is read on this path.
NTSTATUS ZK_IRP_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    if (extension->TraceMask & ZK_INTERNAL_LEVELS)
        return TraceInternalRequestAndPass(extension, Irp);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID block = stack->Parameters.Others.Argument1;
    if (ZK_IsSrbControlCode(code) && block != NULL)
        return ZK_PassDownTraced(extension, Irp, SrbCompletion);
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return ZK_InternalUrbRequest(extension, Irp);
    if (code == IOCTL_1394_CLASS)
        return ZK_Internal1394Request(extension, Irp);
    return PassPlain(extension, Irp, ZK_FindInternalCode(code));
}
