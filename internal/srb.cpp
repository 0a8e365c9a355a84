#include "internal/srb.h"

#include "driver/forward.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/callerdata.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// Fixed-format sense data up to its ASCQ byte: what the sense decoder reads.
constexpr ULONG ZK_FIXED_SENSE_DECODED = 14;

// The functions that have a line of their own, apart from a command.
PCSTR SrbFunctionLine(UCHAR Function)
{
    switch (Function) {
    case SRB_FUNCTION_CLAIM_DEVICE:
        return "Irp: 0x%X - SRB_FUNCTION_CLAIM_DEVICE.\n";
    case SRB_FUNCTION_IO_CONTROL:
        return "Irp: 0x%X - SRB_FUNCTION_IO_CONTROL.\n";
    case SRB_FUNCTION_RELEASE_QUEUE:
        return "Irp: 0x%X - SRB_FUNCTION_RELEASE_QUEUE.\n";
    case SRB_FUNCTION_SHUTDOWN:
        return "Irp: 0x%X - SRB_FUNCTION_SHUTDOWN.\n";
    case SRB_FUNCTION_FLUSH:
        return "Irp: 0x%X - SRB_FUNCTION_FLUSH.\n";
    case SRB_FUNCTION_FLUSH_QUEUE:
        return "Irp: 0x%X - SRB_FUNCTION_FLUSH_QUEUE.\n";
    default:
        return NULL;
    }
}

VOID TraceCommand(PZK_EXTENSION Extension, PIRP Irp, const SCSI_REQUEST_BLOCK* Srb)
{
    if (!(Extension->TraceMask & TRACE_INTERNAL))
        return;
    // All 16 bytes, whatever the command's length: the block holds them.
    const UCHAR* cdb = Srb->Cdb;
    static_assert(sizeof(Srb->Cdb) == 16);
    CHAR name[ZK_NAME_BUFFER];
    ZK_CdbName(cdb, name);
    ZK_PrintLine(Extension,
                 "Irp: 0x%X - SRB_FUNCTION_EXECUTE_SCSI: %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X "
                 "%02X %02X %02X %02X %s\n",
                 ZK_Low32(Irp), (ULONG)cdb[0], (ULONG)cdb[1], (ULONG)cdb[2], (ULONG)cdb[3], (ULONG)cdb[4],
                 (ULONG)cdb[5], (ULONG)cdb[6], (ULONG)cdb[7], (ULONG)cdb[8], (ULONG)cdb[9], (ULONG)cdb[10],
                 (ULONG)cdb[11], (ULONG)cdb[12], (ULONG)cdb[13], (ULONG)cdb[14], (ULONG)cdb[15], name);
}

// The data of a successful command: what arrived after a read, what was sent
// after a write. Only what the dump can show is mapped. DataBuffer is often a
// program's address (the one its read's MDL describes), while the completion
// runs in any process: it is reached through the request's MDL.
VOID DumpData(PZK_EXTENSION Extension, PIRP Irp, const SCSI_REQUEST_BLOCK* Srb)
{
    if (!(Extension->TraceMask & TRACE_DATA))
        return;
    ULONG length = Srb->DataTransferLength < ZK_DUMP_LIMIT ? Srb->DataTransferLength : ZK_DUMP_LIMIT;
    ZK_DumpRequestData(TRACE_DATA, Extension, Irp, Srb->DataBuffer, length);
}

// The sense data the port driver fetched. SenseInfoBufferLength then counts
// the valid bytes: fewer than the decoder reads leave nothing to decode, and
// the dump shows what there is.
VOID TraceSense(PZK_EXTENSION Extension, const SCSI_REQUEST_BLOCK* Srb)
{
    if (!(Extension->TraceMask & TRACE_SRB_COMPLETION))
        return;
    PVOID sense = Srb->SenseInfoBuffer;
    CHAR text[ZK_NAME_BUFFER];
    UCHAR copy[ZK_FIXED_SENSE_DECODED];
    if (!MmIsAddressValid(sense)) {
        // The decoder names the bad address without reading it.
        ZK_SenseCodeName(sense, text);
        ZK_PrintLine(Extension, "SrbCompletion: SenseCode: %s.\n", text);
    } else if (Srb->SenseInfoBufferLength >= ZK_FIXED_SENSE_DECODED &&
               ZK_ReadBlock(sense, copy, ZK_FIXED_SENSE_DECODED)) {
        ZK_SenseCodeName(copy, text);
        ZK_PrintLine(Extension, "SrbCompletion: SenseCode: %s.\n", text);
    }
    ZK_DumpMemory(TRACE_SRB_COMPLETION, Extension, sense, Srb->SenseInfoBufferLength);
}

}  // namespace

VOID ZK_TraceSrb(PZK_EXTENSION Extension, PIRP Irp, const SCSI_REQUEST_BLOCK* Srb, ULONG ControlCode)
{
    if (Srb->Function == SRB_FUNCTION_EXECUTE_SCSI) {
        TraceCommand(Extension, Irp, Srb);
        return;
    }
    PCSTR line = SrbFunctionLine(Srb->Function);
    if (line != NULL)
        ZK_Print(TRACE_INTERNAL, Extension, line, ZK_Low32(Irp));
    else
        ZK_Print(TRACE_UNRECOGNISED, Extension,
                 "ZK_IRP_InternalDeviceControl: Irp: 0x%X - unknown SCSI function 0x%X, IOCTL code: 0x%X.\n",
                 ZK_Low32(Irp), (ULONG)Srb->Function, ControlCode);
}

namespace {

// Out of line: the block's copy and the name buffers would otherwise give
// every completion a frame and saved registers, traced or not.
DECLSPEC_NOINLINE VOID TraceSrbCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    // The filter's own location still holds the SRB pointer. The block is
    // copied as it stands now; one that cannot be read prints nothing.
    SCSI_REQUEST_BLOCK srb;
    if (!ZK_ReadBlock(IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb, &srb, sizeof(srb)))
        return;

    if (Extension->TraceMask & TRACE_SRB_COMPLETION) {
        CHAR function[ZK_NAME_BUFFER];
        CHAR status[ZK_NAME_BUFFER];
        CHAR scsiStatus[ZK_NAME_BUFFER];
        CHAR srbStatus[ZK_NAME_BUFFER];
        ZK_StatusName(Irp->IoStatus.Status, status);
        ZK_ScsiStatusName(srb.ScsiStatus, scsiStatus);
        ZK_SrbStatusName(srb.SrbStatus, srbStatus);
        ZK_SrbFunctionName(srb.Function, function);
        ZK_PrintLine(Extension,
                     "SrbCompletion: Irp: 0x%X - Function: %s, IrpStatus: %s, ScsiStatus: %s, SrbStatus: %s.\n",
                     ZK_Low32(Irp), function, status, scsiStatus, srbStatus);
        ZK_PrintLine(Extension,
                     "SrbCompletion: DataBuffer: 0x%X, DataTransferLength: 0x%X, SenseInfoBufferLength: 0x%X.\n",
                     ZK_Low32(srb.DataBuffer), srb.DataTransferLength, (ULONG)srb.SenseInfoBufferLength);
    }

    if (srb.Function != SRB_FUNCTION_EXECUTE_SCSI)
        return;
    if (SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS && srb.DataBuffer != NULL)
        DumpData(Extension, Irp, &srb);
    if ((srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) && srb.SenseInfoBuffer != NULL)
        TraceSense(Extension, &srb);
}

}  // namespace

// The mask is read here, not taken from the dispatch routine: a tool may
// have changed it while the request was below.
NTSTATUS SrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (extension->TraceMask & (TRACE_SRB_COMPLETION | TRACE_DATA))
        ZK_TAIL_CALL return ZK_TraceAndLeave<TraceSrbCompletion>(DeviceObject, Irp, Context);
    return ZK_LeaveCompletion(extension, Irp);
}
