#include "driver/dispatch.h"
#include "driver/forward.h"
#include "driver/traced.h"
#include "internal/urb.h"
#include "ioctl/catalogue.h"
#include "ioctl/completion.h"
#include "ioctl/control.h"
#include "ioctl/passthrough.h"
#include "ioctl/property.h"
#include "platform/nt.h"
#include "trace/dump.h"
#include "trace/print.h"

static_assert(IOCTL_ZK_REQUEST == 0x5A4B0004, "the catalogue's check names this value");

// Both device objects: in the sender's thread, normally at PASSIVE_LEVEL.
// On the filter device a request is traced by its code and passed on, for
// some codes with a completion routine that traces its result; on the
// control device the private request is served and every other one is
// completed with success.

namespace {

// Every level a line of this routine prints at: the catalogue's lines and
// dumps, the unknown codes' line, the outgoing pass-through data.
constexpr ULONG ZK_CONTROL_LEVELS = TRACE_DEVICE_CONTROL | TRACE_UNRECOGNISED | TRACE_INTERNAL;

// How many bytes of the input the system buffer holds: METHOD_NEITHER has
// no system buffer, whatever the field says.
ULONG InputInSystemBuffer(PIO_STACK_LOCATION Stack)
{
    if (METHOD_FROM_CTL_CODE(Stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_NEITHER)
        return 0;
    return Stack->Parameters.DeviceIoControl.InputBufferLength;
}

PCSTR BufferLine(ULONG Code)
{
    switch (Code) {
    case IOCTL_SCSI_MINIPORT:
        return "Irp: 0x%X - IOCTL_SCSI_MINIPORT. SystemBuffer: 0x%X, InputBufferLength: 0x%X, OutputBufferLength: "
               "0x%X.\n";
    case IOCTL_IDE_PASS_THROUGH:
        return "Irp: 0x%X - IOCTL_IDE_PASS_THROUGH. SystemBuffer: 0x%X, InputBufferLength: 0x%X, OutputBufferLength: "
               "0x%X.\n";
    default:
        return "Irp: 0x%X - IOCTL_ATA_PASS_THROUGH. SystemBuffer: 0x%X, InputBufferLength: 0x%X, OutputBufferLength: "
               "0x%X.\n";
    }
}

VOID TraceBuffer(PZK_EXTENSION Extension, PIRP Irp, PCSTR Line, ULONG Level)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (Level == TRACE_UNRECOGNISED)
        ZK_Print(TRACE_UNRECOGNISED, Extension, Line, ZK_Low32(Irp), code, ZK_Low32(buffer),
                 stack->Parameters.DeviceIoControl.InputBufferLength,
                 stack->Parameters.DeviceIoControl.OutputBufferLength);
    else
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, Line, ZK_Low32(Irp), ZK_Low32(buffer),
                 stack->Parameters.DeviceIoControl.InputBufferLength,
                 stack->Parameters.DeviceIoControl.OutputBufferLength);
    ZK_DumpMemory(TRACE_DEVICE_CONTROL, Extension, buffer, InputInSystemBuffer(stack));
}

// How a request that is not a plain named code leaves by its slot's
// handling, traced or not, so that a completion level set now, or later,
// finds its routine in place: the control device's private request, a URB
// with its own decoding, the codes with a completion routine (every unknown
// code among them) and the rows passed on unchanged. The standard property
// query takes its routine whatever the mask: the rename is no trace.
DECLSPEC_NOINLINE NTSTATUS PassByHandling(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, UCHAR Handling)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    switch (Handling) {
    case ZK_CONTROL_NONE:
        if (Code == IOCTL_ZK_REQUEST && extension->DeviceKind == ZK_KIND_CONTROL)
            return ZK_ControlDeviceRequest(DeviceObject, Irp);
        return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutineGeneric);
    case ZK_CONTROL_GENERIC:
        return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutineGeneric);
    case ZK_CONTROL_PASS_THROUGH:
        return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutinePassThrough);
    case ZK_CONTROL_URB:
        return ZK_DeviceControlUrbRequest(extension, Irp);
    case ZK_CONTROL_PROPERTY:
        if (ZK_IsStandardPropertyQuery(Irp))
            return ZK_PassDownTraced(extension, Irp, ZK_CompletionRoutineDeviceControl);
        return ZK_PassDown(extension, Irp);
    default:
        return ZK_PassDown(extension, Irp);
    }
}

// The completion routine of a row that only chooses one, by its handling.
// A plain row (ZK_CONTROL_NAME) never asks: its code is known before.
constexpr PIO_COMPLETION_ROUTINE ZK_CONTROL_ROUTINES[] = {
    ZK_CompletionRoutineGeneric,
    ZK_CompletionRoutineGeneric,
    ZK_CompletionRoutinePassThrough,
};
static_assert(ZK_CONTROL_NAME == 0 && ZK_CONTROL_GENERIC == 1 && ZK_CONTROL_PASS_THROUGH == 2);

// Every request that is not a plain named code, untraced: its handling,
// decided by its home slot alone from the hash the caller computed (Hash is
// ZK_ControlHash(Code)). Out of line and reached by a tail call, so that the
// dispatch routine's untraced path keeps no frame for it. The commonest ends
// on the filter device, an unknown code (a slot that does not hold it) or a
// row that only chooses its completion routine, take a compare or two and
// the one call of the lower driver; the rest go on to PassByHandling.
DECLSPEC_NOINLINE NTSTATUS PassOther(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, ULONG_PTR Hash)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    const ZK_CONTROL_SLOT* home = ZK_ControlHome(Hash);
    if (extension->DeviceKind == ZK_KIND_FILTER) {
        if (home->Code != Code)
            return ZK_PassDownWithCompletion(extension, Irp, ZK_CompletionRoutineGeneric);
        if (home->Handling <= ZK_CONTROL_PASS_THROUGH)
            return ZK_PassDownWithCompletion(extension, Irp, ZK_CONTROL_ROUTINES[home->Handling]);
    }
    return PassByHandling(DeviceObject, Irp, Code, ZK_OtherControlHandlingAt(Code, Hash));
}

// Out of line: the untraced path would otherwise carry the frame of the
// lines and dumps.
DECLSPEC_NOINLINE NTSTATUS TraceDeviceControlAndPass(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    const ZK_CONTROL_CODE* row = ZK_FindControlCode(Code);
    const UCHAR handling = row != NULL ? (UCHAR)row->Handling : ZK_CONTROL_NONE;
    if ((extension->DeviceKind == ZK_KIND_CONTROL && Code == IOCTL_ZK_REQUEST) || Code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return PassByHandling(DeviceObject, Irp, Code, handling);
    if (row == NULL) {
        TraceBuffer(extension, Irp, "Irp: 0x%X - unknown device control IOCTL 0x%X. Buffer: 0x%X, Length 0x%X/0x%X.\n",
                    TRACE_UNRECOGNISED);
        return PassByHandling(DeviceObject, Irp, Code, handling);
    }
    switch (row->Handling) {
    case ZK_CONTROL_PASS_THROUGH:
        return ZK_PassThroughRequest(extension, Irp, Code);
    case ZK_CONTROL_PROPERTY:
        return ZK_PropertyRequest(extension, Irp);
    case ZK_CONTROL_BUFFER:
        TraceBuffer(extension, Irp, BufferLine(Code), TRACE_DEVICE_CONTROL);
        return PassByHandling(DeviceObject, Irp, Code, handling);
    default:
        ZK_Print(TRACE_DEVICE_CONTROL, extension, row->Line, ZK_Low32(Irp));
        return PassByHandling(DeviceObject, Irp, Code, handling);
    }
}

}  // namespace

// Untraced, a plain named code costs its lookup and the pass down; every
// other request leaves as it would traced, so that a completion level set
// now, or later, finds its routine in place.
NTSTATUS ZK_IRP_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (extension->TraceMask & ZK_CONTROL_LEVELS)
        return TraceDeviceControlAndPass(DeviceObject, Irp, code);
    const ULONG hash = ZK_ControlHash(code);
    if (ZK_IsPlainControlCodeAt(code, hash))
        return ZK_PassDown(extension, Irp);
    return PassOther(DeviceObject, Irp, code, hash);
}
