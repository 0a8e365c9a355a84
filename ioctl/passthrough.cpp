#include "ioctl/passthrough.h"

#include "driver/traced.h"
#include "ioctl/completion.h"
#include "platform/nt.h"
#include "trace/callerdata.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// Fixed-format sense data up to its ASCQ byte: what the sense decoder reads.
constexpr ULONG ZK_FIXED_SENSE_DECODED = 14;

// The fields of a pass-through block the traces use, whichever layout the
// program sent.
struct PassThroughBlock {
    ULONG Size;  // of the layout read
    UCHAR ScsiStatus;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG_PTR DataBufferOffset;  // the direct form: the address of DataBuffer
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
};

template <typename Layout>
void CopyFields(const Layout& From, PassThroughBlock* To)
{
    To->Size = sizeof(Layout);
    To->ScsiStatus = From.ScsiStatus;
    To->TargetId = From.TargetId;
    To->Lun = From.Lun;
    To->CdbLength = From.CdbLength;
    To->SenseInfoLength = From.SenseInfoLength;
    To->DataIn = From.DataIn;
    To->DataTransferLength = From.DataTransferLength;
    To->SenseInfoOffset = From.SenseInfoOffset;
    memcpy(To->Cdb, From.Cdb, sizeof(To->Cdb));
}

// Reads the block at the start of the system buffer in the layout its sender
// used: a 32-bit program's has a 32-bit offset (or pointer) and is 44 bytes
// long. FALSE when the input is shorter than the block: nothing is read
// beyond it.
BOOLEAN ReadPassThrough(PIRP Irp, PassThroughBlock* Block)
{
    const UCHAR* buffer = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
    if (buffer == NULL)
        return FALSE;
    // The buffered and the direct form share their layout but for the one
    // field, which is read as the offset here and stands for the address.
    static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, DataBufferOffset) ==
                  __builtin_offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
    static_assert(__builtin_offsetof(SCSI_PASS_THROUGH32, DataBufferOffset) ==
                  __builtin_offsetof(SCSI_PASS_THROUGH_DIRECT32, DataBuffer));
    // Only a program's request can carry the 32-bit layout. A driver's IRP
    // may name no thread at all, and the question cannot even be asked of it
    // (a kernel that looks up the IRP's thread faults on one that has none).
    if (Irp->RequestorMode == UserMode && IoIs32bitProcess(Irp)) {
        SCSI_PASS_THROUGH32 block;
        if (length < sizeof(block))
            return FALSE;
        memcpy(&block, buffer, sizeof(block));
        CopyFields(block, Block);
        Block->DataBufferOffset = block.DataBufferOffset;
    } else {
        SCSI_PASS_THROUGH block;
        if (length < sizeof(block))
            return FALSE;
        memcpy(&block, buffer, sizeof(block));
        CopyFields(block, Block);
        Block->DataBufferOffset = block.DataBufferOffset;
    }
    return TRUE;
}

// How many of Length bytes at Offset lie within the first Limit bytes of a
// buffer: 0 when the range starts outside.
ULONG Within(ULONG_PTR Offset, ULONG Length, ULONG Limit)
{
    if (Offset >= Limit)
        return 0;
    ULONG room = Limit - (ULONG)Offset;
    return Length < room ? Length : room;
}

VOID ReleaseMapping(PMDL Mdl)
{
    if (Mdl != NULL) {
        MmUnlockPages(Mdl);
        IoFreeMdl(Mdl);
    }
}

// The data a direct request sends, read in the sender's own thread; a
// program's address is locked as the program's.
VOID DumpDirectOut(PZK_EXTENSION Extension, PIRP Irp, PVOID DataBuffer, ULONG Length)
{
    if (Length == 0 || DataBuffer == NULL)
        return;
    if (Length > ZK_DUMP_LIMIT)
        Length = ZK_DUMP_LIMIT;
    PMDL mdl;
    PVOID address = ZK_MapSenderData(Irp, DataBuffer, Length, &mdl);
    if (address != NULL)
        ZK_DumpMemory(TRACE_INTERNAL, Extension, address, Length);
    ReleaseMapping(mdl);
}

VOID TraceCommand(PZK_EXTENSION Extension, PIRP Irp, const PassThroughBlock* Block, BOOLEAN Direct)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (Extension->TraceMask & TRACE_DEVICE_CONTROL) {
        // All 16 bytes, whatever CdbLength says: the block holds them.
        const UCHAR* cdb = Block->Cdb;
        CHAR name[ZK_NAME_BUFFER];
        ZK_CdbName(cdb, name);
        PCSTR command = Direct ? "Irp: 0x%X - IOCTL_SCSI_PASS_THROUGH_DIRECT: %02X %02X %02X %02X %02X %02X %02X %02X "
                                 "%02X %02X %02X %02X %02X %02X %02X %02X %s\n"
                               : "Irp: 0x%X - IOCTL_SCSI_PASS_THROUGH: %02X %02X %02X %02X %02X %02X %02X %02X "
                                 "%02X %02X %02X %02X %02X %02X %02X %02X %s\n";
        ZK_PrintLine(Extension, command, ZK_Low32(Irp), (ULONG)cdb[0], (ULONG)cdb[1], (ULONG)cdb[2], (ULONG)cdb[3],
                     (ULONG)cdb[4], (ULONG)cdb[5], (ULONG)cdb[6], (ULONG)cdb[7], (ULONG)cdb[8], (ULONG)cdb[9],
                     (ULONG)cdb[10], (ULONG)cdb[11], (ULONG)cdb[12], (ULONG)cdb[13], (ULONG)cdb[14], (ULONG)cdb[15],
                     name);
        PCSTR parameters =
            Direct ? "Irp: 0x%X - InputBufferLength: 0x%X, OutputBufferLength: 0x%X, DataBuffer: 0x%X, TargetId: 0x%X, "
                     "Lun: 0x%X, CdbLength: 0x%X, SenseInfoLength: 0x%X, DataIn: 0x%X, DataTransferLength: 0x%X, "
                     "SenseInfoOffset: 0x%X.\n"
                   : "Irp: 0x%X - InputBufferLength: 0x%X, OutputBufferLength: 0x%X, DataBufferOffset: 0x%X, "
                     "TargetId: 0x%X, Lun: 0x%X, CdbLength: 0x%X, SenseInfoLength: 0x%X, DataIn: 0x%X, "
                     "DataTransferLength: 0x%X, SenseInfoOffset: 0x%X.\n";
        ZK_PrintLine(Extension, parameters, ZK_Low32(Irp), stack->Parameters.DeviceIoControl.InputBufferLength,
                     stack->Parameters.DeviceIoControl.OutputBufferLength, (ULONG)Block->DataBufferOffset,
                     (ULONG)Block->TargetId, (ULONG)Block->Lun, (ULONG)Block->CdbLength, (ULONG)Block->SenseInfoLength,
                     (ULONG)Block->DataIn, Block->DataTransferLength, Block->SenseInfoOffset);
    }

    if (Block->DataIn != SCSI_IOCTL_DATA_OUT || !(Extension->TraceMask & TRACE_INTERNAL))
        return;
    if (Direct) {
        DumpDirectOut(Extension, Irp, (PVOID)Block->DataBufferOffset, Block->DataTransferLength);
    } else {
        // Only what lies within the program's input.
        PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
        ULONG length = Within(Block->DataBufferOffset, Block->DataTransferLength,
                              stack->Parameters.DeviceIoControl.InputBufferLength);
        if (length != 0)
            ZK_DumpMemory(TRACE_INTERNAL, Extension, buffer + Block->DataBufferOffset, length);
    }
}

}  // namespace

NTSTATUS ZK_PassThroughRequest(PZK_EXTENSION Extension, PIRP Irp, ULONG Code)
{
    BOOLEAN direct = Code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    PassThroughBlock block;
    if (ReadPassThrough(Irp, &block))
        TraceCommand(Extension, Irp, &block, direct);
    else
        // Shorter than its block: named only.
        ZK_Print(TRACE_DEVICE_CONTROL, Extension,
                 direct ? "Irp: 0x%X - IOCTL_SCSI_PASS_THROUGH_DIRECT.\n" : "Irp: 0x%X - IOCTL_SCSI_PASS_THROUGH.\n",
                 ZK_Low32(Irp));
    return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutinePassThrough);
}

namespace {

// The sense data the port driver put at SenseInfoOffset, as far as it lies
// within what came back.
VOID TraceSense(PZK_EXTENSION Extension, PUCHAR Buffer, const PassThroughBlock* Block, ULONG Returned)
{
    ULONG length = Within(Block->SenseInfoOffset, Block->SenseInfoLength, Returned);
    if (length == 0)
        return;
    PUCHAR sense = Buffer + Block->SenseInfoOffset;
    UCHAR copy[ZK_FIXED_SENSE_DECODED] = {};
    memcpy(copy, sense, length < sizeof(copy) ? length : sizeof(copy));
    CHAR text[ZK_NAME_BUFFER];
    ZK_SenseCodeName(copy, text);
    ZK_Print(TRACE_DEVICE_CONTROL, Extension, "PassThroughCompletion: SenseCode: %s.\n", text);
    ZK_DumpMemory(TRACE_DEVICE_CONTROL, Extension, sense, length);
}

VOID DumpDataIn(PZK_EXTENSION Extension, PIRP Irp, PUCHAR Buffer, const PassThroughBlock* Block, BOOLEAN Direct,
                ULONG Returned)
{
    if (!(Extension->TraceMask & TRACE_DATA))
        return;
    if (!Direct) {
        ULONG length = Within(Block->DataBufferOffset, Block->DataTransferLength, Returned);
        if (length != 0)
            ZK_DumpMemory(TRACE_DATA, Extension, Buffer + Block->DataBufferOffset, length);
        return;
    }
    ULONG length = Block->DataTransferLength < ZK_DUMP_LIMIT ? Block->DataTransferLength : ZK_DUMP_LIMIT;
    ZK_DumpRequestData(TRACE_DATA, Extension, Irp, (PVOID)Block->DataBufferOffset, length);
}

DECLSPEC_NOINLINE VOID TracePassThroughCompletion(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_SCSI_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        ZK_Print(TRACE_UNRECOGNISED, Extension,
                 "ZK_CompletionRoutinePassThrough: Irp: 0x%X - Called for unknown IOCTL code 0x%X.\n", ZK_Low32(Irp),
                 code);
        return;
    }
    BOOLEAN direct = code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    CHAR status[ZK_NAME_BUFFER];
    PassThroughBlock block;
    if (!ReadPassThrough(Irp, &block)) {
        if (Extension->TraceMask & TRACE_DEVICE_CONTROL) {
            ZK_StatusName(Irp->IoStatus.Status, status);
            ZK_PrintLine(Extension,
                         "PassThroughCompletion: Irp: 0x%X - IrpStatus: %s, no pass-through block in 0x%X bytes.\n",
                         ZK_Low32(Irp), status, stack->Parameters.DeviceIoControl.InputBufferLength);
        }
        return;
    }

    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    // Only printed: the offset is the program's and may point anywhere, so
    // the address is formed as a number, not as a pointer into the buffer.
    ULONG_PTR data = direct ? block.DataBufferOffset : (ULONG_PTR)buffer + block.DataBufferOffset;
    if (Extension->TraceMask & TRACE_DEVICE_CONTROL) {
        CHAR scsiStatus[ZK_NAME_BUFFER];
        ZK_StatusName(Irp->IoStatus.Status, status);
        ZK_ScsiStatusName(block.ScsiStatus, scsiStatus);
        ZK_PrintLine(Extension, "PassThroughCompletion: Irp: 0x%X - IrpStatus: %s, ScsiStatus: %s.\n", ZK_Low32(Irp),
                     status, scsiStatus);
        ZK_PrintLine(
            Extension,
            "PassThroughCompletion: DataBuffer: 0x%X, DataTransferLength: 0x%X, SenseInfoBufferLength: 0x%X.\n",
            (ULONG)data, block.DataTransferLength, (ULONG)block.SenseInfoLength);
    }

    // What the port driver returned in the system buffer: never more than
    // the buffer holds.
    ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength > size)
        size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG returned = Irp->IoStatus.Information < size ? (ULONG)Irp->IoStatus.Information : size;

    if (block.ScsiStatus != SCSISTAT_GOOD) {
        if (Extension->TraceMask & TRACE_DEVICE_CONTROL)
            TraceSense(Extension, buffer, &block, returned);
    } else if (block.DataTransferLength != 0 && block.DataIn != SCSI_IOCTL_DATA_OUT) {
        DumpDataIn(Extension, Irp, buffer, &block, direct, returned);
    }
}

}  // namespace

// The mask is read here, not taken from the dispatch routine: a tool may
// have changed it while the request was below.
NTSTATUS ZK_CompletionRoutinePassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (extension->TraceMask & (TRACE_DEVICE_CONTROL | TRACE_UNRECOGNISED | TRACE_DATA))
        ZK_TAIL_CALL return ZK_TraceAndLeave<TracePassThroughCompletion>(DeviceObject, Irp, Context);
    return ZK_LeaveCompletion(extension, Irp);
}
