// SCSI devices behind the simulated bus: a disk and a CD-ROM that answer the
// SRBs a storage class driver sends (IRP_MJ_SCSI) the way a port driver and
// its target would, and plain reads and writes on the same blocks.
//
// What a class driver sees of a command:
//   - success: SRB_STATUS_SUCCESS, SCSISTAT_GOOD, DataTransferLength the bytes
//     moved (less than asked when the device had less to send), IoStatus
//     STATUS_SUCCESS with Information the same count;
//   - a check condition: SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, no data,
//     fixed-format sense data (18 bytes) copied into SenseInfoBuffer with
//     SRB_STATUS_AUTOSENSE_VALID when the SRB asked for autosense (else kept
//     for REQUEST SENSE), IoStatus STATUS_IO_DEVICE_ERROR;
//   - the device had more data than the buffer holds: SRB_STATUS_DATA_OVERRUN
//     with what fitted, STATUS_BUFFER_OVERFLOW; data moving against the SRB's
//     direction flags: SRB_STATUS_PHASE_SEQUENCE_FAILURE;
//   - any failed command freezes the queue (SRB_STATUS_QUEUE_FROZEN) unless
//     the SRB carries SRB_FLAGS_NO_QUEUE_FREEZE. While the queue is frozen,
//     commands without SRB_FLAGS_BYPASS_FROZEN_QUEUE wait (pending) until
//     SRB_FUNCTION_RELEASE_QUEUE runs them or SRB_FUNCTION_FLUSH_QUEUE
//     completes them with SRB_STATUS_REQUEST_FLUSHED.
//
// Data moves when the request arrives, as a port driver starts the transfer
// in its dispatch path; a pended request then only waits for its completion.
//
// Blocks start out with a pattern that reads well in a dump: the LBA in four
// big-endian bytes, a twelve-character marker ("ZELKOR DISK " or
// "ZELKOR CDROM"), zeros, and the LBA again in the last four bytes.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntscsi.h"
#include "simkernel/bus.h"

namespace sim {

// Sense key, additional sense code and its qualifier.
struct SenseCode {
    UCHAR key = 0;
    UCHAR asc = 0;
    UCHAR ascq = 0;
    bool operator==(const SenseCode&) const = default;
};

// What INQUIRY reports of the device.
struct ScsiIdentity {
    std::string vendor;    // 8 characters at most
    std::string product;   // 16
    std::string revision;  // 4
};

// How the next storage device descriptors come out wrong, as a faulty or
// hostile lower driver would answer: a product offset of its own, a reply
// cut short (IoStatus.Information), a failed status with the bytes written
// all the same.
struct DescriptorFault {
    std::optional<ULONG> productIdOffset;
    std::optional<ULONG> information;
    std::optional<NTSTATUS> status;
};

constexpr SenseCode kSenseNoSense{0x00, 0x00, 0x00};
constexpr SenseCode kSenseMediumNotPresent{0x02, 0x3A, 0x00};
constexpr SenseCode kSenseBecomingReady{0x02, 0x04, 0x01};
constexpr SenseCode kSenseLbaOutOfRange{0x05, 0x21, 0x00};
constexpr SenseCode kSenseInvalidOpcode{0x05, 0x20, 0x00};
constexpr SenseCode kSenseInvalidFieldInCdb{0x05, 0x24, 0x00};
constexpr SenseCode kSenseRemovalPrevented{0x05, 0x53, 0x02};
constexpr SenseCode kSenseMediumChanged{0x06, 0x28, 0x00};
constexpr SenseCode kSenseReset{0x06, 0x29, 0x00};

// Fixed-format sense data as a target returns it.
constexpr size_t kFixedSenseLength = 18;
std::vector<uint8_t> FixedSense(const SenseCode& code);

// SCSI operation codes the models know.
namespace scsiop {
constexpr UCHAR kTestUnitReady = 0x00;
constexpr UCHAR kRequestSense = 0x03;
constexpr UCHAR kInquiry = 0x12;
constexpr UCHAR kModeSelect6 = 0x15;
constexpr UCHAR kModeSense6 = 0x1A;
constexpr UCHAR kStartStopUnit = 0x1B;
constexpr UCHAR kPreventAllow = 0x1E;
constexpr UCHAR kReadCapacity = 0x25;
constexpr UCHAR kRead10 = 0x28;
constexpr UCHAR kWrite10 = 0x2A;
constexpr UCHAR kReadToc = 0x43;
constexpr UCHAR kModeSelect10 = 0x55;
constexpr UCHAR kModeSense10 = 0x5A;
}  // namespace scsiop

class ScsiModel : public DeviceModel {
public:
    ScsiModel(const ScsiModel&) = delete;
    ScsiModel& operator=(const ScsiModel&) = delete;

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;

    // Longer texts are cut when INQUIRY reports them.
    void SetIdentity(const ScsiIdentity& identity);
    ScsiIdentity Identity() const;
    void SetRemovable(bool removable);
    bool Removable() const;
    UCHAR PeripheralType() const { return peripheral_; }
    ULONG BlockSize() const { return blockSize_; }
    ULONG64 BlockCount() const { return blocks_; }

    // How requests are completed: in the sender's thread before Dispatch
    // returns (the default), or pended and completed by the bus's worker at
    // `irql` after `delay`.
    void AnswerSynchronously();
    void AnswerPended(KIRQL irql = DISPATCH_LEVEL, std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // Conditions. A medium that comes back raises the unit attention
    // "medium may have changed", as a drive does when a disc is inserted.
    void SetMediumPresent(bool present);
    bool MediumPresent() const;
    // The next `commands` commands that need the medium fail with "becoming
    // ready"; then the unit is ready.
    void SetBecomingReady(unsigned commands);
    // The next command other than INQUIRY fails with this unit attention
    // (REQUEST SENSE reports and clears it instead).
    void RaiseUnitAttention(SenseCode code = kSenseMediumChanged);
    // The next command, whatever it is, fails with this sense.
    void FailNextCommand(SenseCode code);
    // The unit serial number (an empty one: the model's own) and the
    // STORAGE_BUS_TYPE the device descriptor reports (BusTypeScsi, 1, unless
    // told).
    void SetSerial(const std::string& serial);
    void SetBusType(ULONG busType);
    // Every storage device descriptor from now on answers with the fault.
    void SetDescriptorFault(const DescriptorFault& fault);

    // After the next SRB's data has moved, the pages of its data buffer (a
    // buffer from sim::AllocateBuffer) are paged out, so that whoever looks
    // at them at DISPATCH_LEVEL finds them not resident.
    void PageOutNextDataBuffer();

    bool QueueFrozen() const;
    // Commands waiting for the queue to be released.
    size_t WaitingCommands() const;
    // The PDO this model last answered for; nullptr before its first request.
    PDEVICE_OBJECT ServedDevice() const;

    // Runs one command for a bridge that carries SCSI over another transport
    // (the bulk-only transport of a USB flash disk): Srb is the bridge's own
    // block, its buffers the bridge's. Sense data without autosense is kept
    // for REQUEST SENSE, as always. Returns the SRB status.
    UCHAR ExecuteBridged(PSCSI_REQUEST_BLOCK srb);

    // The backing store, in whole blocks; bug checks outside the capacity.
    std::vector<uint8_t> ReadBlocks(ULONG64 lba, ULONG count) const;
    void WriteBlocks(ULONG64 lba, const std::vector<uint8_t>& data);
    // A block's content before anything was written to it.
    std::vector<uint8_t> InitialBlock(ULONG64 lba) const;

protected:
    ScsiModel(UCHAR peripheral, ULONG blockSize, ULONG64 blocks, bool removable, const char* marker,
              const std::string& product);

    // What a command's execution produced, before its data moves and its
    // status goes into the SRB.
    enum class Phase { None, BlocksIn, BlocksOut, ParametersOut };
    struct Outcome {
        UCHAR srbStatus = SRB_STATUS_SUCCESS;
        std::optional<SenseCode> sense;  // a check condition
        std::vector<uint8_t> dataIn;     // what the device sends, cut to the allocation length
        Phase phase = Phase::None;       // or blocks of the store move, either way
        ULONG64 lba = 0;
        ULONG blocks = 0;
        ULONG parameters = 0;  // bytes of a parameter list going out
    };
    static Outcome Check(SenseCode code);

    // Type-specific commands: true when the operation code is the type's own
    // (the outcome is then filled), false for one it does not implement.
    virtual bool ExecuteOwn(const UCHAR* cdb, Outcome* outcome) = 0;
    // Whether a command needs a ready medium.
    virtual bool NeedsMedium(UCHAR opcode) const;
    virtual bool Writable() const { return true; }

private:
    struct Completion {
        NTSTATUS status;
        ULONG_PTR information;
    };

    NTSTATUS DispatchSrb(Pdo& bus, PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS DispatchReadWrite(Pdo& bus, PDEVICE_OBJECT pdo, PIRP irp, bool write);
    // Device control as a port driver answers it (scsi_ioctl.cpp): SCSI
    // pass-through in both forms and layouts, the storage property query.
    NTSTATUS DispatchControl(Pdo& bus, PIRP irp);
    Completion PassThrough(PIRP irp, bool direct);
    Completion QueryProperty(PIRP irp);
    std::string Serial() const;
    void RunWaiting(Pdo& bus);
    // Call with the lock held.
    Reply MakeReply(const Completion& completion) const;
    std::optional<SenseCode> Gate(UCHAR opcode);
    Outcome Execute(const UCHAR* cdb);
    Completion ExecuteSrb(PIRP irp, PSCSI_REQUEST_BLOCK srb);
    std::vector<uint8_t> Inquiry(const UCHAR* cdb, Outcome* outcome) const;
    std::vector<uint8_t> RequestSense();
    std::optional<SenseCode> StartStop(const UCHAR* cdb);
    void ReadStore(ULONG64 lba, ULONG count, uint8_t* out) const;
    void WriteStore(ULONG64 lba, ULONG count, const uint8_t* in);

    const UCHAR peripheral_;
    const ULONG blockSize_;
    const ULONG64 blocks_;
    const char* const marker_;

    mutable std::mutex mutex_;
    bool removable_;
    ScsiIdentity identity_;
    bool pended_ = false;
    KIRQL pendIrql_ = DISPATCH_LEVEL;
    std::chrono::milliseconds pendDelay_{0};
    bool mediumPresent_ = true;
    bool preventRemoval_ = false;
    bool ejected_ = false;  // by START STOP UNIT: a load brings the medium back
    unsigned becomingReady_ = 0;
    std::optional<SenseCode> unitAttention_;
    std::optional<SenseCode> failNext_;
    std::optional<SenseCode> unreported_;  // sense of a check condition without autosense
    bool pageOutNext_ = false;
    DescriptorFault descriptorFault_;
    std::string serial_;
    ULONG busType_ = 1;
    bool frozen_ = false;
    std::deque<PIRP> waiting_;
    PDEVICE_OBJECT served_ = nullptr;
    std::map<ULONG64, std::vector<uint8_t>> written_;  // blocks changed since creation
};

// A direct-access device: 512-byte blocks, not removable unless told.
class ScsiDiskModel final : public ScsiModel {
public:
    static constexpr ULONG64 kDefaultBlocks = 2048;
    explicit ScsiDiskModel(ULONG64 blocks = kDefaultBlocks);

protected:
    bool ExecuteOwn(const UCHAR* cdb, Outcome* outcome) override;
};

// A CD-ROM drive: 2048-byte blocks, removable, read-only, with a
// single-track data disc in it; READ TOC answers formats 0 and 1.
class ScsiCdromModel final : public ScsiModel {
public:
    static constexpr ULONG64 kDefaultBlocks = 1024;
    explicit ScsiCdromModel(ULONG64 blocks = kDefaultBlocks);

protected:
    bool ExecuteOwn(const UCHAR* cdb, Outcome* outcome) override;
    bool NeedsMedium(UCHAR opcode) const override;
    bool Writable() const override { return false; }
};

}  // namespace sim
