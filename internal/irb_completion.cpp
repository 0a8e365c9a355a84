#include "driver/extension.h"
#include "driver/forward.h"
#include "internal/callback.h"
#include "internal/irb.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// Every level a line of the IRB completion prints at: its own lines, and
// the MDL header lines of its dumps.
constexpr ULONG ZK_IRB_COMPLETION_LEVELS = TRACE_INTERNAL | TRACE_UNRECOGNISED | TRACE_IO;

// The host's physical-address mapping routine and its context go to the
// requester as a substitute and a record of the filter's, whatever the mask.
// The answer is the lower driver's: read from a copy, written (both fields in
// one guarded copy, wherever the requester's structure lies) only when a
// record was had.
VOID InterposeMapping(PZK_EXTENSION Extension, PVOID Information, const GET_LOCAL_HOST_INFO4* Answer)
{
    // A structure the filter may not write is left as it is, before a
    // record uses up a number.
    if (!ZK_WriteBlock(Information, Answer, sizeof(*Answer)))
        return;
    PZK_CALLBACK_CONTEXT record = ZK_NewCallbackContext(Extension, 0);
    if (record == NULL)
        return;
    record->SavedContext = Answer->Context;
    record->SavedMappingRoutine = Answer->PhysAddrMappingRoutine;
    GET_LOCAL_HOST_INFO4 substituted;
    substituted.PhysAddrMappingRoutine = ZK_PhysAddrMappingRoutine;
    substituted.Context = record;
    if (!ZK_WriteBlock(Information, &substituted, sizeof(substituted))) {
        ZK_FreeCallbackContext(record);
        return;
    }
    ZK_Print(TRACE_INTERNAL, Extension, "ZK_CompletionRoutineIrb: #%u Original Context: 0x%X, New Context: 0x%X.\n",
             record->Number, ZK_Low32(record->SavedContext), ZK_Low32(record));
}

// Level 4 of a successful host-information answer, traced or not.
VOID HostMapping(PZK_EXTENSION Extension, const IRB* Irb)
{
    PVOID information = Irb->u.GetLocalHostInformation.Information;
    GET_LOCAL_HOST_INFO4 answer;
    if (!ZK_ReadBlock(information, &answer, sizeof(answer)))
        return;
    ZK_Print(TRACE_INTERNAL, Extension,
             "ZK_CompletionRoutineIrb: GET_PHYS_ADDR_ROUTINE: PhysAddrMappingRoutine: 0x%X, Context: 0x%X.\n",
             ZK_Low32((PVOID)answer.PhysAddrMappingRoutine), ZK_Low32(answer.Context));
    InterposeMapping(Extension, information, &answer);
}

VOID TraceHostInformation(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb)
{
    ULONG level = Irb->u.GetLocalHostInformation.nLevel;
    PVOID information = Irb->u.GetLocalHostInformation.Information;
    switch (level) {
    case GET_HOST_UNIQUE_ID: {
        GET_LOCAL_HOST_INFO1 info;
        if (ZK_ReadBlock(information, &info, sizeof(info)))
            ZK_Print(TRACE_INTERNAL, Extension, "ZK_CompletionRoutineIrb: GET_HOST_CAPABILITIES: 0x%I64X.\n",
                     info.UniqueId.QuadPart);
        return;
    }
    case GET_HOST_CAPABILITIES: {
        GET_LOCAL_HOST_INFO2 info;
        if (ZK_ReadBlock(information, &info, sizeof(info)))
            ZK_Print(TRACE_INTERNAL, Extension,
                     "ZK_CompletionRoutineIrb: GET_HOST_CAPABILITIES: HostCapabilities: 0x%X, MaxAsyncReadRequest: "
                     "0x%X, MaxAsyncWriteRequest: 0x%X.\n",
                     info.HostCapabilities, info.MaxAsyncReadRequest, info.MaxAsyncWriteRequest);
        return;
    }
    case GET_POWER_SUPPLIED: {
        GET_LOCAL_HOST_INFO3 info;
        if (ZK_ReadBlock(information, &info, sizeof(info)))
            ZK_Print(TRACE_INTERNAL, Extension,
                     "ZK_CompletionRoutineIrb: GET_POWER_SUPPLIED: deciWattsSupplied: 0x%X, Voltage: 0x%X.\n",
                     info.deciWattsSupplied, info.Voltage);
        return;
    }
    case GET_PHYS_ADDR_ROUTINE:
        HostMapping(Extension, Irb);
        return;
    case GET_HOST_CONFIG_ROM: {
        GET_LOCAL_HOST_INFO5 info;
        if (!ZK_ReadBlock(information, &info, sizeof(info)))
            return;
        ZK_Print(TRACE_INTERNAL, Extension,
                 "ZK_CompletionRoutineIrb: GET_HOST_CONFIG_ROM: ConfigRom: 0x%X, ConfigRomLength: 0x%X.\n",
                 ZK_Low32(info.ConfigRom), info.ConfigRomLength);
        ZK_DumpMemory(TRACE_INTERNAL, Extension, info.ConfigRom, info.ConfigRomLength);
        return;
    }
    case GET_HOST_CSR_CONTENTS: {
        GET_LOCAL_HOST_INFO6 info;
        if (ZK_ReadBlock(information, &info, sizeof(info)))
            ZK_Print(TRACE_INTERNAL, Extension,
                     "ZK_CompletionRoutineIrb: GET_HOST_CSR_CONTENTS: CsrBaseAddress.Off_High: 0x%X, "
                     "CsrBaseAddress.Off_Low: 0x%X, CsrDataLength: 0x%X, CsrDataBuffer: 0x%X.\n",
                     (ULONG)info.CsrBaseAddress.Off_High, info.CsrBaseAddress.Off_Low, info.CsrDataLength,
                     ZK_Low32(info.CsrDataBuffer));
        return;
    }
    case GET_HOST_DMA_CAPABILITIES: {
        GET_LOCAL_HOST_INFO7 info;
        if (ZK_ReadBlock(information, &info, sizeof(info)))
            ZK_Print(TRACE_INTERNAL, Extension,
                     "ZK_CompletionRoutineIrb: GET_HOST_DMA_CAPABILITIES. HostDmaCapabilities: 0x%X, "
                     "MaxDmaBufferSize: 0x%I64X.\n",
                     info.HostDmaCapabilities, info.MaxDmaBufferSize.QuadPart);
        return;
    }
    default:
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_CompletionRoutineIrb: Irp: 0x%X - unknown level 0x%X.\n",
                 ZK_Low32(Irp), level);
        return;
    }
}

// Out of line: the block's copy and the status name would otherwise give
// every completion a frame, traced or not.
DECLSPEC_NOINLINE VOID TraceIrbCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ZK_Print(TRACE_INTERNAL, Extension,
             "ZK_CompletionRoutineIrb: Irp: 0x%X - IOCTL_1394_CLASS - SystemBuffer: 0x%X, MDL: 0x%X, "
             "OutputBufferLength: 0x%X.\n",
             ZK_Low32(Irp), ZK_Low32(Irp->AssociatedIrp.SystemBuffer), ZK_Low32(Irp->MdlAddress),
             stack->Parameters.DeviceIoControl.OutputBufferLength);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_1394_CLASS) {
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_CompletionRoutineIrb: Irp: 0x%X - bad IOCTL code 0x%X.\n",
                 ZK_Low32(Irp), code);
        return;
    }

    // The block as it stands now; one that cannot be read prints no more.
    IRB irb;
    if (!ZK_ReadBlock(stack->Parameters.Others.Argument1, &irb, sizeof(irb)))
        return;
    NTSTATUS result = Irp->IoStatus.Status;
    CHAR status[ZK_NAME_BUFFER];
    ZK_StatusName(result, status);

    switch (irb.FunctionNumber) {
    case REQUEST_ASYNC_READ:
        ZK_Print(TRACE_INTERNAL, Extension,
                 "ZK_CompletionRoutineIrb: Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_READ - AsyncRead.Mdl: 0x%X, "
                 "AsyncRead.nNumberOfBytesToRead: 0x%X, Status %s\n",
                 ZK_Low32(Irp), ZK_Low32(irb.u.AsyncRead.Mdl), irb.u.AsyncRead.nNumberOfBytesToRead, status);
        ZK_DumpMdl(TRACE_INTERNAL, Extension, irb.u.AsyncRead.Mdl, irb.u.AsyncRead.nNumberOfBytesToRead);
        ZK_DumpMdl(TRACE_INTERNAL, Extension, Irp->MdlAddress, 0);
        return;
    case REQUEST_ASYNC_WRITE:
        ZK_Print(TRACE_INTERNAL, Extension,
                 "ZK_CompletionRoutineIrb: Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_WRITE - Status %s\n",
                 ZK_Low32(Irp), status);
        ZK_DumpMdl(TRACE_INTERNAL, Extension, irb.u.AsyncWrite.Mdl, irb.u.AsyncWrite.nNumberOfBytesToWrite);
        ZK_DumpMdl(TRACE_INTERNAL, Extension, Irp->MdlAddress, 0);
        return;
    case REQUEST_GET_LOCAL_HOST_INFO:
        ZK_Print(TRACE_INTERNAL, Extension,
                 "ZK_CompletionRoutineIrb: Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_GET_LOCAL_HOST_INFO - Status %s\n",
                 ZK_Low32(Irp), status);
        if (irb.u.GetLocalHostInformation.Information == NULL || !NT_SUCCESS(result))
            return;
        TraceHostInformation(Extension, Irp, &irb);
        return;
    default:
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_CompletionRoutineIrb: Irp: 0x%X - bad function code 0x%X.\n",
                 ZK_Low32(Irp), irb.FunctionNumber);
        return;
    }
}

// Untraced, only a host's mapping routine needs anything done.
DECLSPEC_NOINLINE VOID UntracedIrbCompletion(PZK_EXTENSION Extension, PIRP Irp, PVOID Block)
{
    IRB irb;
    if (!NT_SUCCESS(Irp->IoStatus.Status) || !ZK_ReadBlock(Block, &irb, sizeof(irb)))
        return;
    if (irb.u.GetLocalHostInformation.nLevel == GET_PHYS_ADDR_ROUTINE &&
        irb.u.GetLocalHostInformation.Information != NULL)
        HostMapping(Extension, &irb);
}

// What an address range's allocation or release means for its records.
DECLSPEC_NOINLINE VOID TrackAddressRange(PZK_EXTENSION Extension, PIRP Irp)
{
    IRB irb;
    if (!ZK_ReadBlock(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1, &irb, sizeof(irb)))
        return;
    BOOLEAN succeeded = NT_SUCCESS(Irp->IoStatus.Status);
    if (irb.FunctionNumber == REQUEST_ALLOCATE_ADDRESS_RANGE) {
        // The block should still hold the filter's record as its context;
        // the bus has taken the pair, and the client gets its own back.
        ZK_EndAllocation(Extension, IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1,
                         irb.u.AllocateAddressRange.Context, succeeded, irb.u.AllocateAddressRange.hAddressRange);
        return;
    }
    if (irb.FunctionNumber == REQUEST_FREE_ADDRESS_RANGE && succeeded) {
        // Once the bus has released the range it calls none of its routines.
        HANDLE range;
        if (ZK_ReadBlock(irb.u.FreeAddressRange.pAddressRange, &range, sizeof(range)))
            ZK_FreeRangeCallbackContexts(Extension, range);
    }
}

}  // namespace

// The mask is read here, not taken from the dispatch routine: a tool may
// have changed it while the request was below.
NTSTATUS ZK_CompletionRoutineIrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (extension->TraceMask & ZK_IRB_COMPLETION_LEVELS)
        ZK_TAIL_CALL return ZK_TraceAndLeave<TraceIrbCompletion>(DeviceObject, Irp, Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG function;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_1394_CLASS &&
        ZK_ReadIrbFunction(stack->Parameters.Others.Argument1, &function) && function == REQUEST_GET_LOCAL_HOST_INFO)
        UntracedIrbCompletion(extension, Irp, stack->Parameters.Others.Argument1);
    return ZK_LeaveCompletion(extension, Irp);
}

NTSTATUS ZK_CompletionRoutineAddressRange(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    TrackAddressRange(extension, Irp);
    return ZK_LeaveCompletion(extension, Irp);
}
