#include "simkernel/scsi_model.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace sim {
namespace {

constexpr UCHAR kSynchronizeCache = 0x35;

constexpr const char* kRoutine = "ScsiModel";

ULONG Be16(const UCHAR* p) { return (ULONG{p[0]} << 8) | p[1]; }
ULONG Be32(const UCHAR* p) { return (ULONG{p[0]} << 24) | (ULONG{p[1]} << 16) | (ULONG{p[2]} << 8) | p[3]; }

void PutBe16(uint8_t* p, ULONG value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void PutBe32(uint8_t* p, ULONG value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

void CutTo(std::vector<uint8_t>* data, size_t allocation) {
    if (data->size() > allocation) data->resize(allocation);
}

// INQUIRY's fixed-width text fields: cut, then padded with blanks.
void PutText(uint8_t* field, size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// What the I/O manager's caller sees for a port-level SRB status.
NTSTATUS PortStatus(UCHAR srbStatus) {
    switch (SRB_STATUS(srbStatus)) {
    case SRB_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case SRB_STATUS_DATA_OVERRUN:
        return STATUS_BUFFER_OVERFLOW;
    case SRB_STATUS_INVALID_REQUEST:
    case SRB_STATUS_BAD_FUNCTION:
    case SRB_STATUS_BAD_SRB_BLOCK_LENGTH:
        return STATUS_INVALID_DEVICE_REQUEST;
    case SRB_STATUS_REQUEST_FLUSHED:
        return STATUS_UNSUCCESSFUL;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

// A transfer reaches memory the way DMA does: pages a driver handed over
// must exist. A buffer page that is invalid (or read-only, for data coming
// in) means the driver above gave the device memory it may not use.
void CheckReachable(const void* address, size_t length, bool deviceWrites, const void* irp, const char* what) {
    if (length == 0) return;
    const auto start = reinterpret_cast<uintptr_t>(address);
    for (uintptr_t page = start & ~(uintptr_t)(kPageSize - 1); page < start + length; page += kPageSize) {
        const void* p = reinterpret_cast<const void*>(std::max(page, start));
        const PageState state = QueryPage(p);
        if (state == PageState::Invalid || (deviceWrites && state == PageState::ReadOnly))
            BugCheck("a device transfers only to and from memory the driver above handed over intact", kRoutine, irp,
                     std::string(what) + " has a page that is " +
                         (state == PageState::Invalid ? "not accessible" : "read-only"));
    }
}

void PageOutRange(void* address, size_t length, const void* irp) {
    const auto start = reinterpret_cast<uintptr_t>(address);
    for (uintptr_t page = start & ~(uintptr_t)(kPageSize - 1); page < start + length; page += kPageSize) {
        const void* p = reinterpret_cast<const void*>(std::max(page, start));
        if (QueryPage(p) == PageState::Unknown)
            BugCheck("SIMULATION_SETUP", kRoutine, irp,
                     "a data buffer can be paged out only when it comes from sim::AllocateBuffer");
        PageOut(p);
    }
}

// Where a read or write moves its data, as the device's transfer method
// says. A direct-I/O transfer goes through the MDL's pages, as DMA does, so
// nothing is mapped (the simulated system address is the range itself).
uint8_t* TransferBuffer(PDEVICE_OBJECT pdo, PIRP irp, ULONG length) {
    if (pdo->Flags & DO_DIRECT_IO) {
        PMDL mdl = irp->MdlAddress;
        if (mdl == nullptr)
            BugCheck("a request to a DO_DIRECT_IO device describes its buffer with an MDL", kRoutine, irp,
                     "Irp->MdlAddress is NULL");
        if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
            BugCheck("a device transfers only through locked pages", kRoutine, irp, "the request's MDL is not locked");
        if (mdl->ByteCount < length)
            BugCheck("the MDL covers the transfer", kRoutine, irp,
                     "the MDL describes " + std::to_string(mdl->ByteCount) + " bytes, the request moves " +
                         std::to_string(length));
        return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
    }
    void* buffer = (pdo->Flags & DO_BUFFERED_IO) ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
    if (buffer == nullptr)
        BugCheck("a request carries the buffer its device's transfer method names", kRoutine, irp,
                 (pdo->Flags & DO_BUFFERED_IO) ? "Irp->AssociatedIrp.SystemBuffer is NULL on a DO_BUFFERED_IO device"
                                               : "Irp->UserBuffer is NULL");
    return static_cast<uint8_t*>(buffer);
}

}  // namespace

std::vector<uint8_t> FixedSense(const SenseCode& code) {
    std::vector<uint8_t> sense(kFixedSenseLength, 0);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = code.key & 0x0F;
    sense[7] = kFixedSenseLength - 8;  // additional sense length
    sense[12] = code.asc;
    sense[13] = code.ascq;
    return sense;
}

// ---------------------------------------------------------------------------
// Settings and conditions

ScsiModel::ScsiModel(UCHAR peripheral, ULONG blockSize, ULONG64 blocks, bool removable, const char* marker,
                     const std::string& product)
    : peripheral_(peripheral),
      blockSize_(blockSize),
      blocks_(blocks),
      marker_(marker),
      removable_(removable),
      identity_{"Simbus", product, "1.00"} {
    if (blocks == 0) throw std::invalid_argument("ScsiModel: a device has at least one block");
}

void ScsiModel::SetIdentity(const ScsiIdentity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
}

ScsiIdentity ScsiModel::Identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

void ScsiModel::SetRemovable(bool removable) {
    std::lock_guard<std::mutex> lock(mutex_);
    removable_ = removable;
}

bool ScsiModel::Removable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return removable_;
}

void ScsiModel::AnswerSynchronously() {
    std::lock_guard<std::mutex> lock(mutex_);
    pended_ = false;
}

void ScsiModel::AnswerPended(KIRQL irql, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    pended_ = true;
    pendIrql_ = irql;
    pendDelay_ = delay;
}

void ScsiModel::SetMediumPresent(bool present) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (present && !mediumPresent_) unitAttention_ = kSenseMediumChanged;
    mediumPresent_ = present;
    ejected_ = false;
}

bool ScsiModel::MediumPresent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mediumPresent_;
}

void ScsiModel::SetBecomingReady(unsigned commands) {
    std::lock_guard<std::mutex> lock(mutex_);
    becomingReady_ = commands;
}

void ScsiModel::RaiseUnitAttention(SenseCode code) {
    std::lock_guard<std::mutex> lock(mutex_);
    unitAttention_ = code;
}

void ScsiModel::FailNextCommand(SenseCode code) {
    std::lock_guard<std::mutex> lock(mutex_);
    failNext_ = code;
}

void ScsiModel::SetSerial(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    serial_ = serial;
}

void ScsiModel::SetBusType(ULONG busType) {
    std::lock_guard<std::mutex> lock(mutex_);
    busType_ = busType;
}

void ScsiModel::SetDescriptorFault(const DescriptorFault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    descriptorFault_ = fault;
}

void ScsiModel::PageOutNextDataBuffer() {
    std::lock_guard<std::mutex> lock(mutex_);
    pageOutNext_ = true;
}

bool ScsiModel::QueueFrozen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frozen_;
}

size_t ScsiModel::WaitingCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

PDEVICE_OBJECT ScsiModel::ServedDevice() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

// ---------------------------------------------------------------------------
// Backing store

std::vector<uint8_t> ScsiModel::InitialBlock(ULONG64 lba) const {
    std::vector<uint8_t> block(blockSize_, 0);
    PutBe32(block.data(), static_cast<ULONG>(lba));
    std::memcpy(block.data() + 4, marker_, 12);
    PutBe32(block.data() + blockSize_ - 4, static_cast<ULONG>(lba));
    return block;
}

void ScsiModel::ReadStore(ULONG64 lba, ULONG count, uint8_t* out) const {
    for (ULONG i = 0; i < count; ++i, out += blockSize_) {
        const auto it = written_.find(lba + i);
        if (it != written_.end())
            std::memcpy(out, it->second.data(), blockSize_);
        else
            std::memcpy(out, InitialBlock(lba + i).data(), blockSize_);
    }
}

void ScsiModel::WriteStore(ULONG64 lba, ULONG count, const uint8_t* in) {
    for (ULONG i = 0; i < count; ++i, in += blockSize_)
        written_[lba + i].assign(in, in + blockSize_);
}

std::vector<uint8_t> ScsiModel::ReadBlocks(ULONG64 lba, ULONG count) const {
    if (lba >= blocks_ || count > blocks_ - lba) throw std::out_of_range("ScsiModel::ReadBlocks: beyond the capacity");
    std::vector<uint8_t> data(size_t{count} * blockSize_);
    std::lock_guard<std::mutex> lock(mutex_);
    ReadStore(lba, count, data.data());
    return data;
}

void ScsiModel::WriteBlocks(ULONG64 lba, const std::vector<uint8_t>& data) {
    if (data.size() % blockSize_ != 0) throw std::invalid_argument("ScsiModel::WriteBlocks: whole blocks only");
    const ULONG count = static_cast<ULONG>(data.size() / blockSize_);
    if (lba >= blocks_ || count > blocks_ - lba) throw std::out_of_range("ScsiModel::WriteBlocks: beyond the capacity");
    std::lock_guard<std::mutex> lock(mutex_);
    WriteStore(lba, count, data.data());
}

// ---------------------------------------------------------------------------
// Commands

ScsiModel::Outcome ScsiModel::Check(SenseCode code) {
    Outcome outcome;
    outcome.sense = code;
    return outcome;
}

bool ScsiModel::NeedsMedium(UCHAR opcode) const {
    switch (opcode) {
    case scsiop::kTestUnitReady:
    case scsiop::kReadCapacity:
    case scsiop::kRead10:
    case scsiop::kWrite10:
        return true;
    default:
        return false;
    }
}

// The conditions that fail a command before it runs, in the order a target
// reports them.
std::optional<SenseCode> ScsiModel::Gate(UCHAR opcode) {
    if (failNext_) {
        const SenseCode code = *failNext_;
        failNext_.reset();
        return code;
    }
    if (unitAttention_ && opcode != scsiop::kInquiry && opcode != scsiop::kRequestSense) {
        const SenseCode code = *unitAttention_;
        unitAttention_.reset();
        return code;
    }
    if (NeedsMedium(opcode)) {
        if (!mediumPresent_) return kSenseMediumNotPresent;
        if (becomingReady_ > 0) {
            --becomingReady_;
            return kSenseBecomingReady;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> ScsiModel::Inquiry(const UCHAR* cdb, Outcome* outcome) const {
    std::vector<uint8_t> data;
    if (cdb[1] & 0x01) {  // vital product data
        if (cdb[2] == 0x00) {
            data = {peripheral_, 0x00, 0x00, 2, 0x00, 0x80};
        } else if (cdb[2] == 0x80) {
            const std::string serial = Serial();
            data = {peripheral_, 0x80, 0x00, static_cast<uint8_t>(serial.size())};
            data.insert(data.end(), serial.begin(), serial.end());
        } else {
            outcome->sense = kSenseInvalidFieldInCdb;
            return {};
        }
    } else if (cdb[2] != 0) {  // a page code without EVPD
        outcome->sense = kSenseInvalidFieldInCdb;
        return {};
    } else {
        data.assign(36, 0);
        data[0] = peripheral_;
        data[1] = removable_ ? 0x80 : 0x00;
        data[2] = 0x05;  // SPC-3
        data[3] = 0x02;  // response data format
        data[4] = 36 - 5;
        PutText(&data[8], 8, identity_.vendor);
        PutText(&data[16], 16, identity_.product);
        PutText(&data[32], 4, identity_.revision);
    }
    CutTo(&data, Be16(cdb + 3));
    return data;
}

// The sense a target holds when asked: that of a failed command nobody
// fetched, a pending unit attention (reported and cleared), or the unit's
// state.
std::vector<uint8_t> ScsiModel::RequestSense() {
    SenseCode code = kSenseNoSense;
    if (unreported_) {
        code = *unreported_;
        unreported_.reset();
    } else if (unitAttention_) {
        code = *unitAttention_;
        unitAttention_.reset();
    } else if (!mediumPresent_) {
        code = kSenseMediumNotPresent;
    } else if (becomingReady_ > 0) {
        code = kSenseBecomingReady;
    }
    return FixedSense(code);
}

std::optional<SenseCode> ScsiModel::StartStop(const UCHAR* cdb) {
    const bool start = cdb[4] & 0x01;
    const bool loadEject = cdb[4] & 0x02;
    if (!loadEject || !removable_) return std::nullopt;
    if (!start) {
        if (preventRemoval_) return kSenseRemovalPrevented;
        if (mediumPresent_) {
            mediumPresent_ = false;
            ejected_ = true;
        }
    } else if (ejected_) {
        mediumPresent_ = true;
        ejected_ = false;
        unitAttention_ = kSenseMediumChanged;
    }
    return std::nullopt;
}

ScsiModel::Outcome ScsiModel::Execute(const UCHAR* cdb) {
    const UCHAR opcode = cdb[0];
    if (const auto sense = Gate(opcode)) return Check(*sense);
    Outcome outcome;
    switch (opcode) {
    case scsiop::kTestUnitReady:
        break;
    case scsiop::kRequestSense:
        outcome.dataIn = RequestSense();
        CutTo(&outcome.dataIn, cdb[4]);
        break;
    case scsiop::kInquiry:
        outcome.dataIn = Inquiry(cdb, &outcome);
        break;
    case scsiop::kModeSelect6:
        // The parameter list is taken and set aside: the model keeps no pages.
        outcome.phase = Phase::ParametersOut;
        outcome.parameters = cdb[4];
        break;
    case scsiop::kModeSelect10:
        outcome.phase = Phase::ParametersOut;
        outcome.parameters = Be16(cdb + 7);
        break;
    case scsiop::kModeSense6:
        // Header only: no block descriptor, no pages.
        outcome.dataIn = {3, 0, 0, 0};
        CutTo(&outcome.dataIn, cdb[4]);
        break;
    case scsiop::kModeSense10:
        outcome.dataIn = {0, 6, 0, 0, 0, 0, 0, 0};
        CutTo(&outcome.dataIn, Be16(cdb + 7));
        break;
    case scsiop::kStartStopUnit:
        if (const auto sense = StartStop(cdb)) return Check(*sense);
        break;
    case scsiop::kPreventAllow:
        preventRemoval_ = (cdb[4] & 0x01) != 0;
        break;
    case scsiop::kReadCapacity:
        outcome.dataIn.assign(8, 0);
        PutBe32(outcome.dataIn.data(), blocks_ - 1 > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(blocks_ - 1));
        PutBe32(outcome.dataIn.data() + 4, blockSize_);
        break;
    case scsiop::kRead10:
    case scsiop::kWrite10: {
        if (opcode == scsiop::kWrite10 && !Writable()) return Check(kSenseInvalidOpcode);
        const ULONG64 lba = Be32(cdb + 2);
        const ULONG count = Be16(cdb + 7);
        if (lba >= blocks_ || count > blocks_ - lba) return Check(kSenseLbaOutOfRange);
        outcome.lba = lba;
        outcome.blocks = count;
        outcome.phase = opcode == scsiop::kRead10 ? Phase::BlocksIn : Phase::BlocksOut;
        break;
    }
    default:
        if (!ExecuteOwn(cdb, &outcome)) return Check(kSenseInvalidOpcode);
        break;
    }
    return outcome;
}

ScsiModel::Completion ScsiModel::ExecuteSrb(PIRP irp, PSCSI_REQUEST_BLOCK srb) {
    // The target receives CdbLength bytes; whatever lies beyond them in the
    // block is not part of the command.
    UCHAR cdb[16] = {};
    std::memcpy(cdb, srb->Cdb, std::min<size_t>(srb->CdbLength, sizeof cdb));
    Outcome outcome = Execute(cdb);

    ULONG transferred = 0;
    const bool blocks = outcome.phase == Phase::BlocksIn || outcome.phase == Phase::BlocksOut;
    const bool out = outcome.phase == Phase::BlocksOut || outcome.phase == Phase::ParametersOut;
    const size_t want = blocks                                  ? size_t{outcome.blocks} * blockSize_
                        : outcome.phase == Phase::ParametersOut ? outcome.parameters
                                                                : outcome.dataIn.size();
    if (!outcome.sense && want > 0) {
        const ULONG have = srb->DataTransferLength;
        if (have == 0) {
            outcome.srbStatus = SRB_STATUS_DATA_OVERRUN;
        } else if (!(srb->SrbFlags & (out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN))) {
            outcome.srbStatus = SRB_STATUS_PHASE_SEQUENCE_FAILURE;
        } else {
            if (srb->DataBuffer == nullptr)
                BugCheck("an SRB that moves data has a DataBuffer", kRoutine, irp,
                         "DataTransferLength is " + std::to_string(have) + " and DataBuffer is NULL");
            transferred = static_cast<ULONG>(std::min<size_t>(want, have));
            auto* buffer = static_cast<uint8_t*>(srb->DataBuffer);
            CheckReachable(buffer, transferred, !out, irp, "the SRB's DataBuffer");
            if (out) {
                if (blocks) WriteStore(outcome.lba, transferred / blockSize_, buffer);
            } else if (blocks) {
                std::vector<uint8_t> data(size_t{(transferred + blockSize_ - 1) / blockSize_} * blockSize_);
                ReadStore(outcome.lba, static_cast<ULONG>(data.size() / blockSize_), data.data());
                std::memcpy(buffer, data.data(), transferred);
            } else {
                std::memcpy(buffer, outcome.dataIn.data(), transferred);
            }
            if (want > have) outcome.srbStatus = SRB_STATUS_DATA_OVERRUN;
            if (pageOutNext_) {
                pageOutNext_ = false;
                PageOutRange(buffer, have, irp);
            }
        }
    }

    UCHAR status = outcome.srbStatus;
    srb->ScsiStatus = SCSISTAT_GOOD;
    if (outcome.sense) {
        status = SRB_STATUS_ERROR;
        srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        transferred = 0;
        const std::vector<uint8_t> sense = FixedSense(*outcome.sense);
        if (srb->SenseInfoBuffer != nullptr && srb->SenseInfoBufferLength > 0 &&
            !(srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE)) {
            const UCHAR copied = static_cast<UCHAR>(std::min<size_t>(sense.size(), srb->SenseInfoBufferLength));
            CheckReachable(srb->SenseInfoBuffer, copied, true, irp, "the SRB's SenseInfoBuffer");
            std::memcpy(srb->SenseInfoBuffer, sense.data(), copied);
            srb->SenseInfoBufferLength = copied;
            status |= SRB_STATUS_AUTOSENSE_VALID;
            unreported_.reset();
        } else {
            unreported_ = *outcome.sense;
        }
    }
    srb->DataTransferLength = transferred;
    if (SRB_STATUS(status) != SRB_STATUS_SUCCESS && !(srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE)) {
        status |= SRB_STATUS_QUEUE_FROZEN;
        frozen_ = true;
    }
    srb->SrbStatus = status;
    return Completion{PortStatus(status), transferred};
}

UCHAR ScsiModel::ExecuteBridged(PSCSI_REQUEST_BLOCK srb) {
    std::lock_guard<std::mutex> lock(mutex_);
    ExecuteSrb(nullptr, srb);
    return srb->SrbStatus;
}

// ---------------------------------------------------------------------------
// Requests

Reply ScsiModel::MakeReply(const Completion& completion) const {
    if (pended_) return Reply::Pend(completion.status, completion.information, pendDelay_, pendIrql_);
    return Reply::Complete(completion.status, completion.information);
}

NTSTATUS ScsiModel::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    Pdo* bus = FindPdo(pdo);
    if (bus == nullptr)
        BugCheck("SIMULATION_SETUP", kRoutine, irp, "a SCSI model answers only for a PDO of the simulated bus");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        served_ = pdo;
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_SCSI:
        return DispatchSrb(*bus, pdo, irp);
    case IRP_MJ_READ:
        return DispatchReadWrite(*bus, pdo, irp, false);
    case IRP_MJ_WRITE:
        return DispatchReadWrite(*bus, pdo, irp, true);
    case IRP_MJ_DEVICE_CONTROL:
        return DispatchControl(*bus, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
        return bus->Answer(irp, Reply::Complete(STATUS_SUCCESS));
    case IRP_MJ_SYSTEM_CONTROL:
        return bus->Answer(irp, Reply::Unchanged());
    default:
        return bus->Answer(irp, Reply::Complete(STATUS_INVALID_DEVICE_REQUEST));
    }
}

NTSTATUS ScsiModel::DispatchSrb(Pdo& bus, PDEVICE_OBJECT pdo, PIRP irp) {
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
    if (srb == nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        const Reply reply = MakeReply(Completion{STATUS_INVALID_PARAMETER, 0});
        lock.unlock();
        return bus.Answer(irp, reply);
    }

    std::unique_lock<std::mutex> lock(mutex_);
    Completion completion{STATUS_SUCCESS, 0};
    std::deque<PIRP> flushed;
    bool release = false;
    auto done = [srb](UCHAR status) {
        srb->SrbStatus = status;
        srb->ScsiStatus = SCSISTAT_GOOD;
        return Completion{PortStatus(status), 0};
    };
    if (srb->Length != sizeof(SCSI_REQUEST_BLOCK)) {
        completion = done(SRB_STATUS_BAD_SRB_BLOCK_LENGTH);
    } else {
        switch (srb->Function) {
        case SRB_FUNCTION_EXECUTE_SCSI:
            if (frozen_ && !(srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
                IoMarkIrpPending(irp);
                waiting_.push_back(irp);
                return STATUS_PENDING;
            }
            completion = ExecuteSrb(irp, srb);
            break;
        case SRB_FUNCTION_RELEASE_QUEUE:
            frozen_ = false;
            release = true;
            completion = done(SRB_STATUS_SUCCESS);
            break;
        case SRB_FUNCTION_FLUSH_QUEUE:
            frozen_ = false;
            flushed.swap(waiting_);
            completion = done(SRB_STATUS_SUCCESS);
            break;
        case SRB_FUNCTION_CLAIM_DEVICE:
            // The port driver hands the claimer the device to send to.
            srb->DataBuffer = pdo;
            completion = done(SRB_STATUS_SUCCESS);
            break;
        case SRB_FUNCTION_RESET_DEVICE:
        case SRB_FUNCTION_RESET_LOGICAL_UNIT:
        case SRB_FUNCTION_RESET_BUS:
            unitAttention_ = kSenseReset;
            completion = done(SRB_STATUS_SUCCESS);
            break;
        case SRB_FUNCTION_RELEASE_DEVICE:
        case SRB_FUNCTION_FLUSH:
        case SRB_FUNCTION_SHUTDOWN:
        case SRB_FUNCTION_LOCK_QUEUE:
        case SRB_FUNCTION_UNLOCK_QUEUE:
            completion = done(SRB_STATUS_SUCCESS);
            break;
        default:
            completion = done(SRB_STATUS_INVALID_REQUEST);
            break;
        }
    }
    const Reply reply = MakeReply(completion);
    const Reply flushReply = MakeReply(Completion{STATUS_UNSUCCESSFUL, 0});
    lock.unlock();

    const NTSTATUS returned = bus.Answer(irp, reply);
    for (PIRP waiting : flushed) {
        PSCSI_REQUEST_BLOCK waitingSrb = IoGetCurrentIrpStackLocation(waiting)->Parameters.Scsi.Srb;
        waitingSrb->SrbStatus = SRB_STATUS_REQUEST_FLUSHED;
        waitingSrb->ScsiStatus = SCSISTAT_GOOD;
        waitingSrb->DataTransferLength = 0;
        bus.Answer(waiting, flushReply);
    }
    if (release) RunWaiting(bus);
    return returned;
}

// Commands that waited for the queue, oldest first, until one of them
// freezes it again.
void ScsiModel::RunWaiting(Pdo& bus) {
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (frozen_ || waiting_.empty()) return;
        PIRP irp = waiting_.front();
        waiting_.pop_front();
        const Completion completion = ExecuteSrb(irp, IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb);
        const Reply reply = MakeReply(completion);
        lock.unlock();
        bus.Answer(irp, reply);
    }
}

NTSTATUS ScsiModel::DispatchReadWrite(Pdo& bus, PDEVICE_OBJECT pdo, PIRP irp, bool write) {
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = write ? location->Parameters.Write.Length : location->Parameters.Read.Length;
    const LONGLONG offset =
        write ? location->Parameters.Write.ByteOffset.QuadPart : location->Parameters.Read.ByteOffset.QuadPart;

    std::unique_lock<std::mutex> lock(mutex_);
    Completion completion{STATUS_SUCCESS, 0};
    if (write && !Writable()) {
        completion.status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (length == 0) {
        // Nothing to move: no buffer either.
    } else if (offset < 0 || offset % blockSize_ != 0 || length % blockSize_ != 0 ||
               static_cast<ULONG64>(offset) / blockSize_ >= blocks_ ||
               length / blockSize_ > blocks_ - static_cast<ULONG64>(offset) / blockSize_) {
        completion.status = STATUS_INVALID_PARAMETER;
    } else if (Gate(write ? scsiop::kWrite10 : scsiop::kRead10)) {
        completion.status = STATUS_IO_DEVICE_ERROR;
    } else {
        uint8_t* buffer = TransferBuffer(pdo, irp, length);
        CheckReachable(buffer, length, !write, irp, write ? "the write's buffer" : "the read's buffer");
        const ULONG64 lba = static_cast<ULONG64>(offset) / blockSize_;
        if (write)
            WriteStore(lba, length / blockSize_, buffer);
        else
            ReadStore(lba, length / blockSize_, buffer);
        completion.information = length;
    }
    const Reply reply = MakeReply(completion);
    lock.unlock();
    return bus.Answer(irp, reply);
}

// ---------------------------------------------------------------------------
// Device types

ScsiDiskModel::ScsiDiskModel(ULONG64 blocks) : ScsiModel(0x00, 512, blocks, false, "ZELKOR DISK ", "Virtual Disk") {}

bool ScsiDiskModel::ExecuteOwn(const UCHAR* cdb, Outcome* outcome) {
    (void)outcome;
    return cdb[0] == kSynchronizeCache;
}

ScsiCdromModel::ScsiCdromModel(ULONG64 blocks)
    : ScsiModel(0x05, 2048, blocks, true, "ZELKOR CDROM", "Virtual CD-ROM") {}

bool ScsiCdromModel::NeedsMedium(UCHAR opcode) const {
    return opcode == scsiop::kReadToc || (opcode != scsiop::kWrite10 && ScsiModel::NeedsMedium(opcode));
}

bool ScsiCdromModel::ExecuteOwn(const UCHAR* cdb, Outcome* outcome) {
    if (cdb[0] != scsiop::kReadToc) return false;
    const bool msf = cdb[1] & 0x02;
    UCHAR format = cdb[2] & 0x0F;
    if (format == 0) format = cdb[9] >> 6;  // where older drives took the format
    const UCHAR track = cdb[6];

    auto address = [msf](ULONG64 lba, uint8_t* out) {
        if (!msf) {
            PutBe32(out, static_cast<ULONG>(lba));
            return;
        }
        const ULONG64 frames = lba + 150;  // the two-second pregap
        out[0] = 0;
        out[1] = static_cast<uint8_t>(frames / (60 * 75));
        out[2] = static_cast<uint8_t>((frames / 75) % 60);
        out[3] = static_cast<uint8_t>(frames % 75);
    };
    auto descriptor = [&](UCHAR number, ULONG64 lba) {
        uint8_t entry[8] = {0, 0x14, number, 0};  // ADR 1, data track
        address(lba, entry + 4);
        outcome->dataIn.insert(outcome->dataIn.end(), entry, entry + 8);
    };

    if (format == 0) {  // the TOC: one data track and the lead-out
        if (track > 1 && track != 0xAA) {
            outcome->sense = kSenseInvalidFieldInCdb;
            return true;
        }
        outcome->dataIn = {0, 0, 1, 1};
        if (track <= 1) descriptor(1, 0);
        descriptor(0xAA, BlockCount());
    } else if (format == 1) {  // session information: one session
        outcome->dataIn = {0, 0, 1, 1};
        descriptor(1, 0);
    } else {
        outcome->sense = kSenseInvalidFieldInCdb;
        return true;
    }
    PutBe16(outcome->dataIn.data(), static_cast<ULONG>(outcome->dataIn.size() - 2));
    CutTo(&outcome->dataIn, Be16(cdb + 7));
    return true;
}

}  // namespace sim
