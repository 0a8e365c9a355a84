// Device control on the SCSI models, answered as a port driver answers it:
// SCSI pass-through (the buffered form with its data in the system buffer,
// the direct form with the caller's buffer locked behind an MDL on the
// request, each in the 64-bit and the 32-bit layout) and the storage
// property query, whose device descriptor is built from the INQUIRY data.
//
// A pass-through command runs against the model as an SRB's does, except
// that it never freezes the queue; a check condition completes the request
// with success, ScsiStatus CHECK CONDITION and the sense data copied at
// SenseInfoOffset, as the port driver reports it. IoStatus.Information
// counts the bytes of the system buffer that came back: the block, and the
// data (buffered, coming in) or the sense after it, whichever ends last.
#include <algorithm>
#include <cstring>

#include "platform/guarded.h"
#include "platform/ntioctl.h"
#include "simkernel/core.h"
#include "simkernel/scsi_model.h"

namespace sim {
namespace {

// Whether [offset, offset + length) lies within a buffer of `size` bytes.
bool Inside(ULONG_PTR offset, ULONG length, ULONG size) { return offset <= size && length <= size - offset; }

// The fields the port driver works with, whichever layout came in.
struct Block {
    UCHAR cdbLength = 0;
    UCHAR senseInfoLength = 0;
    UCHAR dataIn = 0;
    ULONG dataTransferLength = 0;
    ULONG_PTR data = 0;  // offset, or the direct form's address
    ULONG senseInfoOffset = 0;
    UCHAR cdb[16] = {};
    ULONG size = 0;  // of the layout
};

template <typename Layout>
bool ReadLayout(const uint8_t* buffer, ULONG length, Block* block) {
    Layout layout;
    if (length < sizeof(layout)) return false;
    std::memcpy(&layout, buffer, sizeof(layout));
    if (layout.Length != sizeof(layout)) return false;
    block->cdbLength = layout.CdbLength;
    block->senseInfoLength = layout.SenseInfoLength;
    block->dataIn = layout.DataIn;
    block->dataTransferLength = layout.DataTransferLength;
    block->senseInfoOffset = layout.SenseInfoOffset;
    std::memcpy(block->cdb, layout.Cdb, sizeof(block->cdb));
    block->size = sizeof(layout);
    return true;
}

// Writes the port driver's answer into the caller's block.
template <typename Layout>
void WriteBack(uint8_t* buffer, UCHAR scsiStatus, UCHAR senseLength, ULONG transferred) {
    Layout layout;
    std::memcpy(&layout, buffer, sizeof(layout));
    layout.ScsiStatus = scsiStatus;
    layout.SenseInfoLength = senseLength;
    layout.DataTransferLength = transferred;
    std::memcpy(buffer, &layout, sizeof(layout));
}

struct LockArgs {
    PMDL mdl;
    KPROCESSOR_MODE mode;
    LOCK_OPERATION operation;
};

void ProbeAndLock(PVOID context) {
    auto* args = static_cast<LockArgs*>(context);
    MmProbeAndLockPages(args->mdl, args->mode, args->operation);
}

// The block in the system buffer, in the caller's layout.
bool ReadBlock(const uint8_t* buffer, ULONG input, bool is32, Block* block) {
    if (is32) {
        if (!ReadLayout<SCSI_PASS_THROUGH32>(buffer, input, block)) return false;
        block->data = reinterpret_cast<const SCSI_PASS_THROUGH32*>(buffer)->DataBufferOffset;
    } else {
        if (!ReadLayout<SCSI_PASS_THROUGH>(buffer, input, block)) return false;
        std::memcpy(&block->data, buffer + offsetof(SCSI_PASS_THROUGH, DataBufferOffset), sizeof(ULONG_PTR));
    }
    return true;
}

// Where the data lies: in the system buffer, or in the caller's pages,
// locked and described by an MDL on the request (the I/O manager frees it
// with the request). *data stays NULL when no data moves.
NTSTATUS LocateData(PIRP irp, bool direct, const Block& block, uint8_t* buffer, ULONG size, uint8_t** data) {
    if (block.dataTransferLength == 0) return STATUS_SUCCESS;
    if (!direct) {
        if (block.data < block.size || !Inside(block.data, block.dataTransferLength, size))
            return STATUS_INVALID_PARAMETER;
        *data = buffer + block.data;
        return STATUS_SUCCESS;
    }
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(block.data), block.dataTransferLength, FALSE, FALSE,
                             irp->MdlAddress != nullptr ? nullptr : irp);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    LockArgs args{mdl, irp->RequestorMode, block.dataIn == SCSI_IOCTL_DATA_OUT ? IoReadAccess : IoWriteAccess};
    const NTSTATUS locked = ZkGuardedCall(ProbeAndLock, &args);
    if (!NT_SUCCESS(locked)) {
        if (irp->MdlAddress == mdl) irp->MdlAddress = nullptr;
        IoFreeMdl(mdl);
        return locked;
    }
    if (irp->MdlAddress != mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        BugCheck("SIMULATION_SETUP", "ScsiModel", irp, "a pass-through request arrived with an MDL already");
    }
    *data = static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
    return STATUS_SUCCESS;
}

}  // namespace

std::string ScsiModel::Serial() const {
    return serial_.empty() ? "ZK" + std::string(marker_ + 7, 5) + "0001" : serial_;
}

NTSTATUS ScsiModel::DispatchControl(Pdo& bus, PIRP irp) {
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    Completion completion{STATUS_INVALID_DEVICE_REQUEST, 0};
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT)
        completion = PassThrough(irp, code == IOCTL_SCSI_PASS_THROUGH_DIRECT);
    else if (code == IOCTL_STORAGE_QUERY_PROPERTY)
        completion = QueryProperty(irp);
    std::unique_lock<std::mutex> lock(mutex_);
    const Reply reply = MakeReply(completion);
    lock.unlock();
    return bus.Answer(irp, reply);
}

ScsiModel::Completion ScsiModel::PassThrough(PIRP irp, bool direct) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG input = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output = location->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG size = std::max(input, output);
    const bool is32 = IoIs32bitProcess(irp) != FALSE;

    Block block;
    const bool read = buffer != nullptr && ReadBlock(buffer, input, is32, &block);
    if (!read || block.cdbLength == 0 || block.cdbLength > 16 || block.dataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return Completion{STATUS_INVALID_PARAMETER, 0};
    if (block.senseInfoLength != 0 &&
        (block.senseInfoOffset < block.size || !Inside(block.senseInfoOffset, block.senseInfoLength, size)))
        return Completion{STATUS_INVALID_PARAMETER, 0};

    uint8_t* data = nullptr;
    if (const NTSTATUS located = LocateData(irp, direct, block, buffer, size, &data); !NT_SUCCESS(located))
        return Completion{located, 0};

    std::lock_guard<std::mutex> lock(mutex_);
    UCHAR cdb[16] = {};
    std::memcpy(cdb, block.cdb, block.cdbLength);
    Outcome outcome = Execute(cdb);

    ULONG transferred = 0;
    UCHAR scsiStatus = SCSISTAT_GOOD;
    UCHAR senseLength = 0;
    ULONG_PTR information = block.size;
    if (outcome.sense) {
        scsiStatus = SCSISTAT_CHECK_CONDITION;
        const std::vector<uint8_t> sense = FixedSense(*outcome.sense);
        senseLength = static_cast<UCHAR>(std::min<size_t>(sense.size(), block.senseInfoLength));
        if (senseLength != 0) {
            std::memcpy(buffer + block.senseInfoOffset, sense.data(), senseLength);
            information = std::max<ULONG_PTR>(information, block.senseInfoOffset + senseLength);
            unreported_.reset();
        } else {
            unreported_ = *outcome.sense;
        }
    } else {
        const bool blocks = outcome.phase == Phase::BlocksIn || outcome.phase == Phase::BlocksOut;
        const bool out = outcome.phase == Phase::BlocksOut || outcome.phase == Phase::ParametersOut;
        const size_t want = blocks                                  ? size_t{outcome.blocks} * blockSize_
                            : outcome.phase == Phase::ParametersOut ? outcome.parameters
                                                                    : outcome.dataIn.size();
        transferred = static_cast<ULONG>(std::min<size_t>(want, block.dataTransferLength));
        if (transferred != 0 && block.dataIn == (out ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT)) {
            // The data would move against the direction the caller named.
            scsiStatus = SCSISTAT_CHECK_CONDITION;
            transferred = 0;
        } else if (out) {
            if (blocks) WriteStore(outcome.lba, transferred / blockSize_, data);
        } else if (blocks && transferred != 0) {
            std::vector<uint8_t> stored(size_t{(transferred + blockSize_ - 1) / blockSize_} * blockSize_);
            ReadStore(outcome.lba, static_cast<ULONG>(stored.size() / blockSize_), stored.data());
            std::memcpy(data, stored.data(), transferred);
        } else if (transferred != 0) {
            std::memcpy(data, outcome.dataIn.data(), transferred);
        }
        if (!direct && !out && transferred != 0)
            information = std::max<ULONG_PTR>(information, block.data + transferred);
    }
    if (is32)
        WriteBack<SCSI_PASS_THROUGH32>(buffer, scsiStatus, senseLength, transferred);
    else
        WriteBack<SCSI_PASS_THROUGH>(buffer, scsiStatus, senseLength, transferred);
    return Completion{STATUS_SUCCESS, std::min<ULONG_PTR>(information, output)};
}

// The descriptor: the fixed part, the raw INQUIRY data right after it (so
// that byte 48 starts the vendor, product and revision fields), then the four
// texts with their NULs.
ScsiModel::Completion ScsiModel::QueryProperty(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG input = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output = location->Parameters.DeviceIoControl.OutputBufferLength;
    if (buffer == nullptr || input < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters))
        return Completion{STATUS_INVALID_PARAMETER, 0};
    // Read as numbers: a program may send any value, not only the enumerations'.
    ULONG propertyId;
    ULONG queryType;
    std::memcpy(&propertyId, buffer + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), sizeof(ULONG));
    std::memcpy(&queryType, buffer + offsetof(STORAGE_PROPERTY_QUERY, QueryType), sizeof(ULONG));
    if (propertyId != StorageDeviceProperty) return Completion{STATUS_NOT_SUPPORTED, 0};
    if (queryType == PropertyExistsQuery) return Completion{STATUS_SUCCESS, 0};
    if (queryType != PropertyStandardQuery) return Completion{STATUS_INVALID_DEVICE_REQUEST, 0};
    if (output < 8) return Completion{STATUS_BUFFER_TOO_SMALL, 0};

    std::lock_guard<std::mutex> lock(mutex_);
    const UCHAR inquiry[6] = {scsiop::kInquiry, 0, 0, 0, 36, 0};
    Outcome unused;
    const std::vector<uint8_t> raw = Inquiry(inquiry, &unused);
    std::vector<uint8_t> reply(sizeof(STORAGE_DEVICE_DESCRIPTOR) - 1 + raw.size());
    std::memcpy(reply.data() + offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties), raw.data(), raw.size());
    auto append = [&reply](const std::string& text) {
        const ULONG offset = static_cast<ULONG>(reply.size());
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
        return offset;
    };
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    descriptor.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor.DeviceType = peripheral_;
    descriptor.RemovableMedia = removable_;
    // The texts as INQUIRY has them: fixed widths, padded with blanks.
    auto field = [](const std::string& text, size_t width) {
        std::string padded = text.substr(0, width);
        padded.resize(width, ' ');
        return padded;
    };
    descriptor.VendorIdOffset = append(field(identity_.vendor, 8));
    descriptor.ProductIdOffset = append(field(identity_.product, 16));
    descriptor.ProductRevisionOffset = append(field(identity_.revision, 4));
    descriptor.SerialNumberOffset = append(Serial());
    descriptor.BusType = static_cast<STORAGE_BUS_TYPE>(busType_);
    descriptor.RawPropertiesLength = static_cast<ULONG>(raw.size());
    descriptor.Size = static_cast<ULONG>(reply.size());
    if (descriptorFault_.productIdOffset) descriptor.ProductIdOffset = *descriptorFault_.productIdOffset;
    std::memcpy(reply.data(), &descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));

    const ULONG copied = static_cast<ULONG>(std::min<size_t>(reply.size(), output));
    std::memcpy(buffer, reply.data(), copied);
    const ULONG_PTR information = descriptorFault_.information ? *descriptorFault_.information : copied;
    return Completion{descriptorFault_.status ? *descriptorFault_.status : STATUS_SUCCESS, information};
}

}  // namespace sim
