#include "internal/urb.h"

#include "driver/forward.h"
#include "driver/traced.h"
#include "internal/urb_detail.h"
#include "ioctl/completion.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// ---------------------------------------------------------------------------
// The texts. Both dispatches print the same lines, each at its own levels.

#define ZK_URB_LINE(Name) "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - " Name ".\n"

constexpr char ZK_URB_BULK_LINE[] =
    "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER. Buffer: 0x%X, MDL: 0x%X, "
    "Length: 0x%X, Pipe:0x%X, Flags: 0x%X.\n";
constexpr char ZK_URB_DESCRIPTOR_LINE[] =
    "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE. Buffer: 0x%X, MDL: 0x%X, "
    "Length: 0x%X, Index: 0x%X, DescriptorType: 0x%X.\n";
constexpr char ZK_URB_VENDOR_LINE[] =
    "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_VENDOR_DEVICE. Function: 0x%X, Buffer: 0x%X, MDL: "
    "0x%X, Length: 0x%X, Request: 0x%X, Value: 0x%X, Index: 0x%X, Flags: 0x%X.\n";
constexpr char ZK_URB_UNKNOWN_LINE[] = "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - Unknown urb function 0x%X.\n";

// Device control only: a program's request holds no URB, and a driver's
// pointer may lead nowhere.
constexpr char ZK_URB_FROM_PROGRAM_LINE[] = "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB from user mode: no URB.\n";
constexpr char ZK_URB_UNREADABLE_LINE[] = "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - URB 0x%X cannot be read.\n";

constexpr char ZK_URB_COMPLETION_BULK_LINE[] =
    "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - "
    "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER - Status %s - Buffer: 0x%X, MDL: 0x%X, Length: 0x%X, Pipe:0x%X, "
    "Flags: 0x%X.\n";
constexpr char ZK_URB_COMPLETION_DESCRIPTOR_LINE[] =
    "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - "
    "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE - Status %s - Buffer: 0x%X, MDL: 0x%X, Length: 0x%X, Index:0x%X, "
    "DescriptorType: 0x%X.\n";
constexpr char ZK_URB_COMPLETION_VENDOR_LINE[] =
    "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_VENDOR_DEVICE - "
    "Status %s - TransferBuffer: 0x%X, TransferBufferMDL: 0x%X, TransferBufferLength: 0x%X, Request: 0x%X, "
    "Value: 0x%X, Index: 0x%X, TransferFlags: 0x%X.\n";

// ---------------------------------------------------------------------------
// The functions the dispatches name

enum ZK_URB_LAYOUT : UCHAR {
    ZK_URB_NAME_ONLY,   // the function's name is all that is printed
    ZK_URB_BULK,        // _URB_BULK_OR_INTERRUPT_TRANSFER
    ZK_URB_DESCRIPTOR,  // _URB_CONTROL_DESCRIPTOR_REQUEST
    ZK_URB_VENDOR,      // _URB_CONTROL_VENDOR_OR_CLASS_REQUEST
};

struct ZK_URB_FUNCTION {
    USHORT Function;
    ZK_URB_LAYOUT Layout;
    ULONG InternalLevel;  // on the internal path; device control prints every line at TRACE_DEVICE_CONTROL
    PCSTR NameLine;       // also the line of a URB too short for its layout
};

constexpr ZK_URB_FUNCTION ZK_URB_FUNCTIONS[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, ZK_URB_NAME_ONLY, TRACE_INTERNAL,
     ZK_URB_LINE("URB_FUNCTION_SELECT_CONFIGURATION")},
    {URB_FUNCTION_SELECT_INTERFACE, ZK_URB_NAME_ONLY, TRACE_DEVICE_CONTROL,
     ZK_URB_LINE("URB_FUNCTION_SELECT_INTERFACE")},
    {URB_FUNCTION_CONTROL_TRANSFER, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_CONTROL_TRANSFER")},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, ZK_URB_BULK, TRACE_INTERNAL,
     ZK_URB_LINE("URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER")},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, ZK_URB_DESCRIPTOR, TRACE_INTERNAL,
     ZK_URB_LINE("URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE")},
    {URB_FUNCTION_VENDOR_DEVICE, ZK_URB_VENDOR, TRACE_DEVICE_CONTROL, ZK_URB_LINE("URB_FUNCTION_VENDOR_DEVICE")},
    {URB_FUNCTION_VENDOR_ENDPOINT, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_VENDOR_ENDPOINT")},
    {URB_FUNCTION_CLASS_INTERFACE, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_CLASS_INTERFACE")},
    {URB_FUNCTION_RESET_PIPE, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_RESET_PIPE")},
    {URB_FUNCTION_CLASS_OTHER, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_CLASS_OTHER")},
    {URB_FUNCTION_VENDOR_OTHER, ZK_URB_NAME_ONLY, TRACE_INTERNAL, ZK_URB_LINE("URB_FUNCTION_VENDOR_OTHER")},
};

constexpr bool FunctionsAscend()
{
    for (ULONG i = 1; i < sizeof(ZK_URB_FUNCTIONS) / sizeof(ZK_URB_FUNCTIONS[0]); ++i)
        if (ZK_URB_FUNCTIONS[i - 1].Function >= ZK_URB_FUNCTIONS[i].Function)
            return false;
    return true;
}
static_assert(FunctionsAscend(), "one row per URB function, in ascending order");

const ZK_URB_FUNCTION* FindUrbFunction(USHORT Function)
{
    for (const ZK_URB_FUNCTION& row : ZK_URB_FUNCTIONS)
        if (row.Function == Function)
            return &row;
    return NULL;
}

// The requests whose result is traced: bulk, descriptor and vendor.
FORCEINLINE BOOLEAN CompletionTraced(USHORT Function)
{
    // Bulk and interrupt transfers, by far the commonest URBs, by one
    // compare of their own.
    if (__builtin_expect(Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 1))
        return TRUE;
    return Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || Function == URB_FUNCTION_VENDOR_DEVICE;
}

// ---------------------------------------------------------------------------
// Reading a URB. It is the sender's block: copied under guard, and no
// further than its header's Length says it reaches.

// The first two fields of every URB.
struct UrbHead {
    USHORT Length;
    USHORT Function;
};
static_assert(__builtin_offsetof(_URB_HEADER, Function) + sizeof(USHORT) == sizeof(UrbHead));

// The head of the URB at Urb, read as one word; FALSE when there is none to
// read, or the URB says it is too short to hold its own function.
FORCEINLINE BOOLEAN ReadUrbHead(const void* Urb, UrbHead* Head)
{
    static_assert(sizeof(UrbHead) == sizeof(ULONG));
    ULONG word;
    BOOLEAN read = ZK_ReadWord(Urb, &word);
    __builtin_memcpy(Head, &word, sizeof(*Head));
    return read && Head->Length >= sizeof(*Head);
}

BOOLEAN ReadUrbFunction(const void* Urb, USHORT* Function)
{
    UrbHead head;
    if (!ReadUrbHead(Urb, &head))
        return FALSE;
    *Function = head.Function;
    return TRUE;
}

ULONG LayoutSize(USHORT Function)
{
    switch (Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
        return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_CONTROL_TRANSFER:
        return sizeof(_URB_CONTROL_TRANSFER);
    default:
        return 0;
    }
}

// What could be read of a URB.
struct UrbCopy {
    USHORT Function;
    BOOLEAN Whole;  // Urb holds the layout the function selects
    URB Urb;
};

// FALSE when the URB has no function to read. A URB shorter than the layout
// its function selects, or whose layout cannot be read, is known by its
// function only.
BOOLEAN ReadUrb(const void* Urb, UrbCopy* Copy)
{
    UrbHead head;
    if (!ReadUrbHead(Urb, &head))
        return FALSE;
    Copy->Function = head.Function;
    ULONG size = LayoutSize(head.Function);
    Copy->Whole = size != 0 && head.Length >= size && ZK_ReadBlock(Urb, &Copy->Urb, size) &&
                  Copy->Urb.UrbHeader.Function == head.Function;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Dispatch

// A transfer's data: the buffer, then the MDL, both for TransferBufferLength.
// The MDL is the sender's word as much as the URB: one that cannot be read is
// no MDL to dump.
VOID DumpTransfer(ULONG Level, PZK_EXTENSION Extension, PVOID Buffer, PMDL Mdl, ULONG Length)
{
    // The MDL's header line prints at TRACE_IO whatever the level.
    if (!(Extension->TraceMask & (Level | TRACE_IO)))
        return;
    ZK_DumpMemory(Level, Extension, Buffer, Length);
    MDL header;
    if (Mdl != NULL && ZK_ReadBlock(Mdl, &header, sizeof(header)))
        ZK_DumpMdl(Level, Extension, Mdl, Length);
}

VOID DumpOutgoing(ULONG Level, PZK_EXTENSION Extension, ULONG Flags, PVOID Buffer, PMDL Mdl, ULONG Length)
{
    if (!(Flags & USBD_TRANSFER_DIRECTION_IN))
        DumpTransfer(Level, Extension, Buffer, Mdl, Length);
}

// Prints the URB's line and its outgoing data. DeviceControl: every line and
// dump at TRACE_DEVICE_CONTROL; else at the function's own level.
VOID TraceUrb(PZK_EXTENSION Extension, PIRP Irp, const UrbCopy* Copy, BOOLEAN DeviceControl)
{
    const ZK_URB_FUNCTION* row = FindUrbFunction(Copy->Function);
    if (row == NULL) {
        ZK_Print(DeviceControl ? (ULONG)TRACE_DEVICE_CONTROL : (ULONG)TRACE_INTERNAL, Extension, ZK_URB_UNKNOWN_LINE,
                 ZK_Low32(Irp), (ULONG)Copy->Function);
        return;
    }
    ULONG level = DeviceControl ? (ULONG)TRACE_DEVICE_CONTROL : row->InternalLevel;
    if (row->Layout == ZK_URB_NAME_ONLY || !Copy->Whole) {
        ZK_Print(level, Extension, row->NameLine, ZK_Low32(Irp));
        return;
    }
    if (row->Layout == ZK_URB_BULK) {
        const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = Copy->Urb.UrbBulkOrInterruptTransfer;
        ZK_Print(level, Extension, ZK_URB_BULK_LINE, ZK_Low32(Irp), ZK_Low32(bulk.TransferBuffer),
                 ZK_Low32(bulk.TransferBufferMDL), bulk.TransferBufferLength, ZK_Low32(bulk.PipeHandle),
                 bulk.TransferFlags);
        DumpOutgoing(level, Extension, bulk.TransferFlags, bulk.TransferBuffer, bulk.TransferBufferMDL,
                     bulk.TransferBufferLength);
    } else if (row->Layout == ZK_URB_DESCRIPTOR) {
        const _URB_CONTROL_DESCRIPTOR_REQUEST& descriptor = Copy->Urb.UrbControlDescriptorRequest;
        ZK_Print(level, Extension, ZK_URB_DESCRIPTOR_LINE, ZK_Low32(Irp), ZK_Low32(descriptor.TransferBuffer),
                 ZK_Low32(descriptor.TransferBufferMDL), descriptor.TransferBufferLength, (ULONG)descriptor.Index,
                 (ULONG)descriptor.DescriptorType);
    } else {
        const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = Copy->Urb.UrbControlVendorClassRequest;
        ZK_Print(level, Extension, ZK_URB_VENDOR_LINE, ZK_Low32(Irp), (ULONG)URB_FUNCTION_VENDOR_DEVICE,
                 ZK_Low32(vendor.TransferBuffer), ZK_Low32(vendor.TransferBufferMDL), vendor.TransferBufferLength,
                 (ULONG)vendor.Request, (ULONG)vendor.Value, (ULONG)vendor.Index, vendor.TransferFlags);
        DumpOutgoing(level, Extension, vendor.TransferFlags, vendor.TransferBuffer, vendor.TransferBufferMDL,
                     vendor.TransferBufferLength);
    }
}

FORCEINLINE PVOID UrbOf(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

// The end a URB's function chooses.
FORCEINLINE NTSTATUS PassUrb(PZK_EXTENSION Extension, PIRP Irp, USHORT Function)
{
    if (CompletionTraced(Function))
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineUrbSubmit);
    return ZK_PassDown(Extension, Irp);
}

// The same on the traced path, where the detail level gives every other
// function a completion routine of its own. Mask is the one the dispatch
// traced with.
FORCEINLINE NTSTATUS PassUrbTraced(PZK_EXTENSION Extension, PIRP Irp, USHORT Function, ULONG Mask)
{
    if (!CompletionTraced(Function) && (Mask & TRACE_BUS_DETAIL))
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineUrbDetail);
    return PassUrb(Extension, Irp, Function);
}

// A URB that cannot be read is no URB: on the internal path it is a plain
// code outside the catalogue, as an SRB request whose block is gone.
DECLSPEC_NOINLINE NTSTATUS TraceInternal(PZK_EXTENSION Extension, PIRP Irp)
{
    UrbCopy copy;
    if (!ReadUrb(UrbOf(Irp), &copy)) {
        ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", ZK_Low32(Irp),
                 (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB);
        return ZK_PassDown(Extension, Irp);
    }
    TraceUrb(Extension, Irp, &copy, FALSE);
    ULONG mask = Extension->TraceMask;
    if (mask & TRACE_BUS_DETAIL)
        ZK_TraceUrbDetail(Extension, Irp, UrbOf(Irp));
    return PassUrbTraced(Extension, Irp, copy.Function, mask);
}

// On the device-control path a request without a URB is one whose result is
// still worth seeing, as for any code the dispatch cannot decode.
DECLSPEC_NOINLINE NTSTATUS TraceDeviceControl(PZK_EXTENSION Extension, PIRP Irp)
{
    PVOID urb = UrbOf(Irp);
    UrbCopy copy;
    if (!ReadUrb(urb, &copy)) {
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, ZK_URB_UNREADABLE_LINE, ZK_Low32(Irp), ZK_Low32(urb));
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
    }
    TraceUrb(Extension, Irp, &copy, TRUE);
    ULONG mask = Extension->TraceMask;
    if (mask & TRACE_BUS_DETAIL)
        ZK_TraceUrbDetail(Extension, Irp, urb);
    return PassUrbTraced(Extension, Irp, copy.Function, mask);
}

// Everything the internal branch prints at: its lines and dumps, the MDL
// dump's header line, and the detail level, which also decides the
// completion routine.
constexpr ULONG ZK_URB_INTERNAL_LEVELS = TRACE_INTERNAL | TRACE_DEVICE_CONTROL | TRACE_IO | TRACE_BUS_DETAIL;
constexpr ULONG ZK_URB_DEVICE_CONTROL_LEVELS = TRACE_DEVICE_CONTROL | TRACE_IO | TRACE_BUS_DETAIL;

}  // namespace

// Untraced, only the URB's function is read: it decides whether the result
// is traced, so a completion level set now or later finds its routine.
NTSTATUS ZK_InternalUrbRequest(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->TraceMask & ZK_URB_INTERNAL_LEVELS)
        return TraceInternal(Extension, Irp);
    USHORT function;
    if (ReadUrbFunction(UrbOf(Irp), &function) && CompletionTraced(function) && Extension->DeviceKind == ZK_KIND_FILTER)
        return ZK_PassDownWithCompletion(Extension, Irp, ZK_CompletionRoutineUrbSubmit);
    return ZK_PassDownOutOfLine(Extension, Irp);
}

// A program may send this code too, but the I/O manager puts no URB in its
// request: Argument1 then holds the program's output length, and the program
// chose the rest. Its pointer is never followed.
NTSTATUS ZK_DeviceControlUrbRequest(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Irp->RequestorMode != KernelMode) {
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, ZK_URB_FROM_PROGRAM_LINE, ZK_Low32(Irp));
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
    }
    if (Extension->TraceMask & ZK_URB_DEVICE_CONTROL_LEVELS)
        return TraceDeviceControl(Extension, Irp);
    USHORT function;
    if (ReadUrbFunction(UrbOf(Irp), &function))
        return PassUrb(Extension, Irp, function);
    return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineGeneric);
}

// ---------------------------------------------------------------------------
// Completion

namespace {

// What came from the device: the buffer, then the MDL.
VOID DumpIncoming(PZK_EXTENSION Extension, ULONG Flags, PVOID Buffer, PMDL Mdl, ULONG Length)
{
    if (Flags & USBD_TRANSFER_DIRECTION_IN)
        DumpTransfer(TRACE_INTERNAL, Extension, Buffer, Mdl, Length);
}

// The line of a completed URB too short for its layout: name and status.
VOID TraceShortCompletion(PZK_EXTENSION Extension, PIRP Irp, USHORT Function, PCSTR Status)
{
    PCSTR name = Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER"
                 : Function == URB_FUNCTION_VENDOR_DEVICE            ? "URB_FUNCTION_VENDOR_DEVICE"
                                                                     : "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    ZK_Print(TRACE_INTERNAL, Extension,
             "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - %s - Status %s.\n",
             ZK_Low32(Irp), name, Status);
}

VOID TraceUrbCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - bad IOCTL code 0x%X.\n",
                 ZK_Low32(Irp), code);
        return;
    }
    // A program's request carries no URB; the dispatch never hooks one, but
    // the pointer is not followed whoever did.
    if (Irp->RequestorMode != KernelMode)
        return;
    UrbCopy copy;
    if (!ReadUrb(stack->Parameters.Others.Argument1, &copy))
        return;

    USHORT function = copy.Function;
    if (function != URB_FUNCTION_CONTROL_TRANSFER && !CompletionTraced(function)) {
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - bad urb code 0x%X.\n",
                 ZK_Low32(Irp), (ULONG)function);
        return;
    }

    CHAR status[ZK_NAME_BUFFER];
    ZK_StatusName(Irp->IoStatus.Status, status);
    if (!copy.Whole) {
        TraceShortCompletion(Extension, Irp, function, status);
        return;
    }

    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = copy.Urb.UrbBulkOrInterruptTransfer;
        ZK_Print(TRACE_INTERNAL, Extension, ZK_URB_COMPLETION_BULK_LINE, ZK_Low32(Irp), status,
                 ZK_Low32(bulk.TransferBuffer), ZK_Low32(bulk.TransferBufferMDL), bulk.TransferBufferLength,
                 ZK_Low32(bulk.PipeHandle), bulk.TransferFlags);
        DumpIncoming(Extension, bulk.TransferFlags, bulk.TransferBuffer, bulk.TransferBufferMDL,
                     bulk.TransferBufferLength);
    } else if (function == URB_FUNCTION_VENDOR_DEVICE) {
        const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = copy.Urb.UrbControlVendorClassRequest;
        ZK_Print(TRACE_INTERNAL, Extension, ZK_URB_COMPLETION_VENDOR_LINE, ZK_Low32(Irp), status,
                 ZK_Low32(vendor.TransferBuffer), ZK_Low32(vendor.TransferBufferMDL), vendor.TransferBufferLength,
                 (ULONG)vendor.Request, (ULONG)vendor.Value, (ULONG)vendor.Index, vendor.TransferFlags);
        DumpIncoming(Extension, vendor.TransferFlags, vendor.TransferBuffer, vendor.TransferBufferMDL,
                     vendor.TransferBufferLength);
    } else {
        // A control transfer has its setup packet's value bytes where the
        // descriptor request has Index and DescriptorType.
        const _URB_CONTROL_DESCRIPTOR_REQUEST& descriptor = copy.Urb.UrbControlDescriptorRequest;
        static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) ==
                      __builtin_offsetof(_URB_CONTROL_TRANSFER, SetupPacket) + 2);
        static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) ==
                      __builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL));
        ZK_Print(TRACE_INTERNAL, Extension, ZK_URB_COMPLETION_DESCRIPTOR_LINE, ZK_Low32(Irp), status,
                 ZK_Low32(descriptor.TransferBuffer), ZK_Low32(descriptor.TransferBufferMDL),
                 descriptor.TransferBufferLength, (ULONG)descriptor.Index, (ULONG)descriptor.DescriptorType);
        // Whatever the direction and the status.
        DumpTransfer(TRACE_INTERNAL, Extension, descriptor.TransferBuffer, descriptor.TransferBufferMDL,
                     descriptor.TransferBufferLength);
    }
}

// Out of line: the URB's copy and the status text would otherwise give
// every completion a frame, traced or not. The standard lines, then the
// detail level's.
DECLSPEC_NOINLINE VOID TraceUrbCompletions(PZK_EXTENSION Extension, PIRP Irp)
{
    TraceUrbCompletion(Extension, Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if ((Extension->TraceMask & TRACE_BUS_DETAIL) &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        Irp->RequestorMode == KernelMode)
        ZK_TraceUrbDetailCompletion(Extension, Irp, stack->Parameters.Others.Argument1,
                                    "ZK_CompletionRoutineUrbSubmit");
}

}  // namespace

// The mask is read here, not taken from the dispatch routine: a tool may
// have changed it while the request was below.
NTSTATUS ZK_CompletionRoutineUrbSubmit(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (extension->TraceMask & (TRACE_INTERNAL | TRACE_UNRECOGNISED | TRACE_IO | TRACE_BUS_DETAIL))
        ZK_TAIL_CALL return ZK_TraceAndLeave<TraceUrbCompletions>(DeviceObject, Irp, Context);
    return ZK_LeaveCompletion(extension, Irp);
}
