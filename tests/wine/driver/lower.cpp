#include "tests/wine/driver/lower.h"

#include "tests/wine/driver/ieee1394.h"

namespace zkt {
namespace {

Lower* LowerOf(PDEVICE_OBJECT device) { return *(Lower**)device->DeviceExtension; }

// The answer's bytes, as the simulator's bus writes them: only into the
// system buffer of a buffered device-control request, never past the
// caller's output length.
VOID FillAnswer(PIRP irp, const Reply& reply) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (reply.dataLength == 0 || location->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED ||
        irp->AssociatedIrp.SystemBuffer == NULL)
        return;
    ULONG room = location->Parameters.DeviceIoControl.OutputBufferLength;
    memcpy(irp->AssociatedIrp.SystemBuffer, reply.data, reply.dataLength < room ? reply.dataLength : room);
}

NTSTATUS Finish(PIRP irp, const Reply& reply) {
    FillAnswer(irp, reply);
    if (reply.action != Action::Unchanged) {
        irp->IoStatus.Status = reply.status;
        irp->IoStatus.Information = reply.information;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Carry(Lower* lower, PIRP irp, const Reply& reply) {
    if (reply.action != Action::Pend) return Finish(irp, reply);
    if (lower->pendedCount == kMaxPended)
        return Finish(irp, Answer(Action::Complete, STATUS_INSUFFICIENT_RESOURCES, 0));
    IoMarkIrpPending(irp);
    lower->pended[lower->pendedCount] = irp;
    lower->pendedReply[lower->pendedCount] = reply;
    ++lower->pendedCount;
    return STATUS_PENDING;
}

// What the bus answers when the story says nothing, as the simulator's bus.
Reply DefaultReply(UCHAR major, UCHAR minor) {
    switch (major) {
    case IRP_MJ_PNP:
        switch (minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            return Answer(Action::Complete, STATUS_SUCCESS, 0);
        default:
            return Answer(Action::Unchanged, 0, 0);
        }
    case IRP_MJ_POWER:
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
        return Answer(Action::Complete, STATUS_SUCCESS, 0);
    case IRP_MJ_SYSTEM_CONTROL:
        return Answer(Action::Unchanged, 0, 0);
    default:
        return Answer(Action::Complete, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

ULONG Be32(const UCHAR* p) { return (ULONG)p[0] << 24 | (ULONG)p[1] << 16 | (ULONG)p[2] << 8 | p[3]; }

VOID PutBe32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}

VOID FillBlock(ULONG lba, UCHAR* out) {
    memset(out, 0, kBlockSize);
    PutBe32(out, lba);
    memcpy(out + 4, "ZELKOR DISK ", 12);
    PutBe32(out + kBlockSize - 4, lba);
}

NTSTATUS PortStatus(UCHAR srbStatus) {
    switch (SRB_STATUS(srbStatus)) {
    case SRB_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case SRB_STATUS_DATA_OVERRUN:
        return STATUS_BUFFER_OVERFLOW;
    case SRB_STATUS_INVALID_REQUEST:
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

// One command of the disk: moves its data and returns the SRB status, or
// returns SRB_STATUS_ERROR with the sense key, ASC and ASCQ in sense[].
UCHAR Execute(Lower* lower, PSCSI_REQUEST_BLOCK srb, ULONG* transferred, UCHAR* sense) {
    const UCHAR* cdb = srb->Cdb;
    *transferred = 0;
    if (lower->failNext) {
        lower->failNext = FALSE;
        sense[0] = lower->key;
        sense[1] = lower->asc;
        sense[2] = lower->ascq;
        return SRB_STATUS_ERROR;
    }
    switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
        return SRB_STATUS_SUCCESS;
    case 0x28: {  // READ(10)
        ULONG lba = Be32(cdb + 2);
        ULONG count = (ULONG)cdb[7] << 8 | cdb[8];
        if (lba >= kBlocks || count > kBlocks - lba) {
            sense[0] = 0x05;  // ILLEGAL REQUEST, LBA OUT OF RANGE
            sense[1] = 0x21;
            sense[2] = 0x00;
            return SRB_STATUS_ERROR;
        }
        ULONG want = count * kBlockSize;
        ULONG have = srb->DataTransferLength;
        if (want == 0) return SRB_STATUS_SUCCESS;
        if (have == 0) return SRB_STATUS_DATA_OVERRUN;
        if (!(srb->SrbFlags & SRB_FLAGS_DATA_IN)) return SRB_STATUS_PHASE_SEQUENCE_FAILURE;
        ULONG move = want < have ? want : have;
        UCHAR block[kBlockSize];
        for (ULONG done = 0; done < move; done += kBlockSize) {
            FillBlock(lba + done / kBlockSize, block);
            ULONG part = move - done < kBlockSize ? move - done : kBlockSize;
            memcpy((UCHAR*)srb->DataBuffer + done, block, part);
        }
        *transferred = move;
        return want > have ? SRB_STATUS_DATA_OVERRUN : SRB_STATUS_SUCCESS;
    }
    default:
        sense[0] = 0x05;  // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE
        sense[1] = 0x20;
        sense[2] = 0x00;
        return SRB_STATUS_ERROR;
    }
}

NTSTATUS DispatchSrb(Lower* lower, PIRP irp) {
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
    if (srb == NULL) return Finish(irp, Answer(Action::Complete, STATUS_INVALID_PARAMETER, 0));
    UCHAR status = SRB_STATUS_SUCCESS;
    ULONG transferred = 0;
    srb->ScsiStatus = 0;  // SCSISTAT_GOOD
    if (srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
        lower->frozen = FALSE;
    } else if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
        status = SRB_STATUS_INVALID_REQUEST;
    } else {
        UCHAR code[3];
        status = Execute(lower, srb, &transferred, code);
        if (status == SRB_STATUS_ERROR) {
            srb->ScsiStatus = 0x02;  // SCSISTAT_CHECK_CONDITION
            transferred = 0;
            if (srb->SenseInfoBuffer != NULL && srb->SenseInfoBufferLength > 0 &&
                !(srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE)) {
                UCHAR sense[kSenseLength] = {};
                sense[0] = 0x70;
                sense[2] = code[0] & 0x0F;
                sense[7] = kSenseLength - 8;
                sense[12] = code[1];
                sense[13] = code[2];
                UCHAR copied = srb->SenseInfoBufferLength < kSenseLength ? srb->SenseInfoBufferLength : kSenseLength;
                memcpy(srb->SenseInfoBuffer, sense, copied);
                srb->SenseInfoBufferLength = copied;
                status |= SRB_STATUS_AUTOSENSE_VALID;
            }
        }
        srb->DataTransferLength = transferred;
        if (SRB_STATUS(status) != SRB_STATUS_SUCCESS && !(srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE)) {
            status |= SRB_STATUS_QUEUE_FROZEN;
            lower->frozen = TRUE;
        }
    }
    srb->SrbStatus = status;
    return Finish(irp, Answer(Action::Complete, PortStatus(status), transferred));
}

}  // namespace

NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Lower* lower = LowerOf(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = location->MajorFunction;
    UCHAR minor = location->MinorFunction;
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    for (int pass = 0; pass < 2; ++pass)
        for (ULONG i = 0; i < lower->ruleCount; ++i) {
            const Rule& rule = lower->rules[i];
            if (rule.major == major && (pass == 0 ? rule.minor == minor : rule.minor == -1))
                return Carry(lower, irp, rule.reply);
        }
    if (lower->disk && major == IRP_MJ_SCSI) return DispatchSrb(lower, irp);
    if (lower->bus1394 != NULL && major != IRP_MJ_PNP && major != IRP_MJ_POWER) return Dispatch1394(lower, irp);
    return Carry(lower, irp, DefaultReply(major, minor));
}

VOID CompletePended(Lower* lower) {
    while (lower->pendedCount != 0) {
        PIRP irp = lower->pended[0];
        Reply reply = lower->pendedReply[0];
        reply.action = Action::Complete;
        --lower->pendedCount;
        for (ULONG i = 0; i < lower->pendedCount; ++i) {
            lower->pended[i] = lower->pended[i + 1];
            lower->pendedReply[i] = lower->pendedReply[i + 1];
        }
        Finish(irp, reply);
    }
}

}  // namespace zkt
