#include "driver/dispatch.h"
#include "driver/forward.h"
#include "internal/block.h"
#include "internal/catalogue.h"
#include "internal/srb.h"
#include "ioctl/completion.h"
#include "ioctl/traced.h"
#include "platform/nt.h"
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

NTSTATUS PlainRequest(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Code)
{
    const ZK_INTERNAL_CODE* row = ZK_FindInternalCode(Code);
    if (row == NULL) {
        ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n",
                 ZK_Low32(Irp), Code);
        return ZK_PassDown(Extension, Irp);
    }

    switch (row->Handling) {
    case ZK_INTERNAL_FDC_COMMAND:
        if (Extension->TraceMask & TRACE_INTERNAL)
            ZK_PrintLine(Extension, row->Line, ZK_Low32(Irp), FdcCommandByte(Stack));
        return ZK_PassDown(Extension, Irp);
    case ZK_INTERNAL_GENERIC:
        ZK_Print(TRACE_INTERNAL, Extension, row->Line, ZK_Low32(Irp));
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
    case ZK_INTERNAL_PASS:
        break;
    }
    ZK_Print(TRACE_INTERNAL, Extension, row->Line, ZK_Low32(Irp));
    return ZK_PassDown(Extension, Irp);
}

}  // namespace

NTSTATUS ZK_IRP_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID block = stack->Parameters.Others.Argument1;

    // An SRB is traced from a copy, and only when the whole block can be read:
    // an IRP_MJ_SCSI code slot holds whatever its sender left there, so the
    // pointer beside it may be anything. A block that cannot be read makes
    // the request a plain one, as a missing block does.
    if (ZK_IsSrbControlCode(code) && block != NULL) {
        SCSI_REQUEST_BLOCK srb;
        if (ZK_ReadBlock(block, &srb, sizeof(srb))) {
            ZK_TraceSrb(extension, Irp, &srb, code);
            return ZK_PassDownTraced(extension, Irp, SrbCompletion);
        }
    }

    // IOCTL_INTERNAL_USB_SUBMIT_URB and IOCTL_1394_CLASS carry request blocks
    // of their own, which are not decoded: both take the line of unknown
    // codes and pass unchanged, their blocks untouched.
    return PlainRequest(extension, Irp, stack, code);
}
