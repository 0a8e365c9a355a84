#include "internal/irb.h"

#include "driver/forward.h"
#include "driver/traced.h"
#include "internal/callback.h"
#include "internal/irb_detail.h"
#include "trace/block.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// The functions with a line of their own and nothing more, 0x02 to 0x1F.
// The asynchronous read and write, the allocation, the release and the host
// information print fields of their blocks.
constexpr PCSTR ZK_IRB_LINES[] = {
    NULL,
    NULL,
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_LOCK.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_ALLOCATE_BANDWIDTH.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_ALLOCATE_CHANNEL.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_ALLOCATE_RESOURCES.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_ATTACH_BUFFERS.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_DETACH_BUFFERS.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_FREE_BANDWIDTH.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_FREE_CHANNEL.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_FREE_RESOURCES.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_LISTEN.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_STOP.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_TALK.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_QUERY_CYCLE_TIME.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_QUERY_RESOURCES.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH.\n",
    NULL,
    NULL,
    NULL,
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_ADDR_FROM_DEVICE_OBJECT.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_CONTROL.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_SPEED_BETWEEN_DEVICES.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_SET_DEVICE_XMIT_PROPERTIES.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_CONFIGURATION_INFO.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_BUS_RESET.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_GENERATION_COUNT.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_SEND_PHY_CONFIG_PACKET.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_SPEED_TOPOLOGY_MAPS.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_BUS_RESET_NOTIFICATION.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_STREAM.\n",
    "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_SET_LOCAL_HOST_PROPERTIES.\n",
};
constexpr ULONG ZK_IRB_FUNCTION_COUNT = sizeof(ZK_IRB_LINES) / sizeof(ZK_IRB_LINES[0]);
static_assert(ZK_IRB_FUNCTION_COUNT == REQUEST_SET_LOCAL_HOST_PROPERTIES + 1);
static_assert(REQUEST_ALLOCATE_ADDRESS_RANGE == 0x11 && REQUEST_GET_LOCAL_HOST_INFO == 0x13);

// The node address is one 16-bit word of two bit fields.
USHORT NodeId(const NODE_ADDRESS* Node)
{
    USHORT value;
    __builtin_memcpy(&value, Node, sizeof(value));
    return value;
}

VOID TraceAsync(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb)
{
    if (Irb->FunctionNumber == REQUEST_ASYNC_READ) {
        const IRB_REQ_ASYNC_READ* read = &Irb->u.AsyncRead;
        ZK_PrintLine(Extension,
                     "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_READ. ID: 0x%hX, Offset: 0x%hX 0x%X, BytesToRead: "
                     "0x%X, BlockSize: 0x%X, Flags: 0x%X\n",
                     ZK_Low32(Irp), NodeId(&read->DestinationAddress.IA_Destination_ID),
                     read->DestinationAddress.IA_Destination_Offset.Off_High,
                     read->DestinationAddress.IA_Destination_Offset.Off_Low, read->nNumberOfBytesToRead,
                     read->nBlockSize, read->fulFlags);
        return;
    }
    const IRB_REQ_ASYNC_WRITE* write = &Irb->u.AsyncWrite;
    ZK_PrintLine(Extension,
                 "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_WRITE. ID: 0x%hX, Offset: 0x%hX 0x%X, BytesToWrite: "
                 "0x%X, BlockSize: 0x%X, Flags: 0x%X\n",
                 ZK_Low32(Irp), NodeId(&write->DestinationAddress.IA_Destination_ID),
                 write->DestinationAddress.IA_Destination_Offset.Off_High,
                 write->DestinationAddress.IA_Destination_Offset.Off_Low, write->nNumberOfBytesToWrite,
                 write->nBlockSize, write->fulFlags);
    ZK_DumpMdl(TRACE_INTERNAL, Extension, write->Mdl, write->nNumberOfBytesToWrite);
}

// The first range a release names; zeros when there is none to read.
VOID TraceFree(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb)
{
    ADDRESS_RANGE range = {};
    if (!ZK_ReadBlock(Irb->u.FreeAddressRange.p1394AddressRange, &range, sizeof(range)))
        range = ADDRESS_RANGE{};
    ZK_PrintLine(Extension,
                 "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_FREE_ADDRESS_RANGE - Address: 0x%04X 0x%08X - Length: "
                 "0x%04X.\n",
                 ZK_Low32(Irp), (ULONG)range.AR_Off_High, range.AR_Off_Low, (ULONG)range.AR_Length);
}

// The request's line, from the copy of its block.
VOID TraceIrb(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb)
{
    ULONG function = Irb->FunctionNumber;
    if (function == REQUEST_ASYNC_READ || function == REQUEST_ASYNC_WRITE) {
        TraceAsync(Extension, Irp, Irb);
    } else if (function == REQUEST_ALLOCATE_ADDRESS_RANGE) {
        const IRB_REQ_ALLOCATE_ADDRESS_RANGE* allocate = &Irb->u.AllocateAddressRange;
        ZK_PrintLine(Extension,
                     "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ALLOCATE_ADDRESS_RANGE - Callback: 0x%X, NotifyOptions: "
                     "0x%X, Mdl: 0x%X, RequiredAddress: 0x%X 0x%X, Length: 0x%X.\n",
                     ZK_Low32(Irp), ZK_Low32(allocate->Callback), allocate->fulNotificationOptions,
                     ZK_Low32(allocate->Mdl), (ULONG)allocate->Required1394Offset.Off_High,
                     allocate->Required1394Offset.Off_Low, allocate->nLength);
    } else if (function == REQUEST_FREE_ADDRESS_RANGE) {
        TraceFree(Extension, Irp, Irb);
    } else if (function == REQUEST_GET_LOCAL_HOST_INFO) {
        ZK_PrintLine(
            Extension, "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_LOCAL_HOST_INFO. Level: 0x%X Information: 0x%X.\n",
            ZK_Low32(Irp), Irb->u.GetLocalHostInformation.nLevel, ZK_Low32(Irb->u.GetLocalHostInformation.Information));
    } else if (function < ZK_IRB_FUNCTION_COUNT) {
        ZK_PrintLine(Extension, ZK_IRB_LINES[function], ZK_Low32(Irp));
    } else {
        ZK_PrintLine(Extension, "Irp: 0x%X - IOCTL_1394_CLASS. Unknown function: 0x%X, Flags: 0x%X\n", ZK_Low32(Irp),
                     function, Irb->Flags);
    }
}

// Puts a record and a substitute in place of the client's callback and
// context, whatever the mask. TRUE when it did: the request then goes down
// with the routine that learns the range's handle. Nothing lies below the
// control device, so no bus will ever call back there: it interposes
// nothing. A record that cannot be had, or a block that cannot be written,
// leaves the block as the client sent it.
DECLSPEC_NOINLINE BOOLEAN Interpose(PZK_EXTENSION Extension, PVOID Block)
{
    if (Extension->DeviceKind != ZK_KIND_FILTER)
        return FALSE;
    IRB irb;
    if (!ZK_ReadBlock(Block, &irb, sizeof(irb)))
        return FALSE;
    const IRB_REQ_ALLOCATE_ADDRESS_RANGE* allocate = &irb.u.AllocateAddressRange;
    if (allocate->Callback == NULL)
        return FALSE;
    // A block the filter may not write (its own fields written back fail) is
    // left as it is, before a record uses up a number.
    if (!ZK_PutAllocationCallback(Block, allocate->Callback, allocate->Context))
        return FALSE;
    PZK_CALLBACK_CONTEXT record = ZK_NewCallbackContext(Extension, 0);
    if (record == NULL)
        return FALSE;
    record->SavedContext = allocate->Context;
    record->SavedCallback = allocate->Callback;
    record->Mdl = allocate->Mdl;  // read only by the allocation completion substitute
    record->Block = Block;        // gets the client's pair back when the allocation completes
    PVOID substitute = allocate->fulNotificationOptions == 0 ? (PVOID)ZK_AllocationCompletionRoutine
                                                             : (PVOID)ZK_DriverNotificationRoutine;
    if (!ZK_PutAllocationCallback(Block, substitute, record)) {
        ZK_FreeCallbackContext(record);
        return FALSE;
    }
    ZK_Print(TRACE_INTERNAL, Extension,
             "ZK_IRP_InternalDeviceControl: #%u Original Context: 0x%X, New Context: 0x%X.\n", record->Number,
             ZK_Low32(record->SavedContext), ZK_Low32(record));
    return TRUE;
}

BOOLEAN HasCallbackRecords(PZK_EXTENSION Extension)
{
    return Extension->DeviceKind == ZK_KIND_FILTER && ZK_HasCallbackContexts(Extension);
}

// The request's lines as the mask asks, from one copy of its block: the
// standard line, or without it a write's MDL header (an MDL dump's header
// line prints at 0x001, whatever the dump's own level); then the detail
// level's. A block that cannot be copied prints none of them. Out of line:
// the copy is large, and the untraced path carries none of it.
DECLSPEC_NOINLINE VOID TraceIrbLines(PZK_EXTENSION Extension, PIRP Irp, const void* Block, ULONG Function)
{
    ULONG mask = Extension->TraceMask;
    const BOOLEAN writeHeader = (mask & TRACE_IO) && Function == REQUEST_ASYNC_WRITE;
    if (!(mask & (TRACE_INTERNAL | TRACE_BUS_DETAIL)) && !writeHeader)
        return;
    IRB irb;
    if (!ZK_ReadBlock(Block, &irb, sizeof(irb)))
        return;
    if (mask & TRACE_INTERNAL)
        TraceIrb(Extension, Irp, &irb);
    else if (writeHeader)
        ZK_DumpMdl(TRACE_INTERNAL, Extension, irb.u.AsyncWrite.Mdl, irb.u.AsyncWrite.nNumberOfBytesToWrite);
    if (mask & TRACE_BUS_DETAIL)
        ZK_TraceIrbDetail(Extension, Irp, &irb);
}

// Where a request of Function goes, traced or not: a read, a write and a
// host-information query with the routine that traces their results (and
// interposes a host's mapping routine), an allocation with its callback
// interposed, a release with the routine that keeps the records in step.
DECLSPEC_NOINLINE NTSTATUS PassIrb(PZK_EXTENSION Extension, PIRP Irp, PVOID Block, ULONG Function)
{
    switch (Function) {
    case REQUEST_ASYNC_READ:
    case REQUEST_ASYNC_WRITE:
    case REQUEST_GET_LOCAL_HOST_INFO:
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineIrb);
    case REQUEST_ALLOCATE_ADDRESS_RANGE:
        if (Interpose(Extension, Block))
            return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineAddressRange);
        return ZK_PassDown(Extension, Irp);
    case REQUEST_FREE_ADDRESS_RANGE:
        // Only a filter with records has any to free when the range goes.
        if (HasCallbackRecords(Extension))
            return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineAddressRange);
        return ZK_PassDown(Extension, Irp);
    default:
        return ZK_PassDown(Extension, Irp);
    }
}

// A block that cannot be read: the request is traced as a code of its own
// and passes on unchanged.
DECLSPEC_NOINLINE NTSTATUS PassUnreadable(PZK_EXTENSION Extension, PIRP Irp)
{
    ZK_Print(TRACE_INTERNAL, Extension, "Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", ZK_Low32(Irp),
             (ULONG)IOCTL_1394_CLASS);
    return ZK_PassDown(Extension, Irp);
}

// The traced dispatch: the request's lines, then where its function sends
// it.
DECLSPEC_NOINLINE NTSTATUS Traced1394Request(PZK_EXTENSION Extension, PIRP Irp)
{
    PVOID block = IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    ULONG function;
    if (!ZK_ReadIrbFunction(block, &function))
        return PassUnreadable(Extension, Irp);
    TraceIrbLines(Extension, Irp, block, function);
    return PassIrb(Extension, Irp, block, function);
}

}  // namespace

// Untraced, the function is read once, and a read, a write or a host query
// on the filter device goes down with its routine from here; every other
// end is PassIrb's.
NTSTATUS ZK_Internal1394Request(PZK_EXTENSION Extension, PIRP Irp)
{
    if (Extension->TraceMask & (TRACE_INTERNAL | TRACE_IO | TRACE_BUS_DETAIL))
        return Traced1394Request(Extension, Irp);
    PVOID block = IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    ULONG function;
    if (!ZK_ReadIrbFunction(block, &function))
        return PassUnreadable(Extension, Irp);
    static_assert(REQUEST_ASYNC_READ == 0 && REQUEST_ASYNC_WRITE == 1);
    if ((function <= REQUEST_ASYNC_WRITE || function == REQUEST_GET_LOCAL_HOST_INFO) &&
        Extension->DeviceKind == ZK_KIND_FILTER)
        return ZK_PassDownWithCompletion(Extension, Irp, ZK_CompletionRoutineIrb);
    return PassIrb(Extension, Irp, IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1, function);
}
