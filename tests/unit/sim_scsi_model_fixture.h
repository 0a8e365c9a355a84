// What the tests of the simulated SCSI models share: an SRB as a class
// driver sends it, and a fixture that puts a disk or CD-ROM model behind a
// PDO of the simulated bus.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "platform/ntscsi.h"
#include "sim/devices.h"
#include "sim/runner.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/scsi_model.h"

namespace scsi_model_test {

using Bytes = std::vector<uint8_t>;

// An SRB as a class driver sends it, with its data buffer ending exactly at
// a guard page (a device writing past DataTransferLength faults) and a
// sense buffer of its own.
struct Command {
    Command(Bytes cdb, ULONG length = 0, ULONG flags = SRB_FLAGS_DATA_IN, UCHAR senseLength = 18)
        : cdb(std::move(cdb)), length(length), flags(flags), senseLength(senseLength) {}
    Bytes cdb;
    ULONG length;
    ULONG flags;
    UCHAR senseLength;
    UCHAR function = SRB_FUNCTION_EXECUTE_SCSI;
    Bytes out;  // the buffer's content before the send
};

struct Sent {
    sim::IoResult io;
    SCSI_REQUEST_BLOCK srb{};
    Bytes data;   // the whole buffer after completion
    Bytes sense;  // the whole sense buffer
};

class Srb {
public:
    explicit Srb(const Command& command) : sense_(command.senseLength, 0xEE) {
        if (command.length != 0) {
            buffer_ = sim::AllocateBuffer(command.length,
                                          (sim::kPageSize - command.length % sim::kPageSize) % sim::kPageSize);
            for (size_t i = 0; i < command.length; ++i)
                buffer_.address[i] = command.out.empty() ? 0xCC : command.out[i % command.out.size()];
        }
        srb_.Length = sizeof(SCSI_REQUEST_BLOCK);
        srb_.Function = command.function;
        srb_.CdbLength = static_cast<UCHAR>(command.cdb.size());
        std::copy(command.cdb.begin(), command.cdb.end(), srb_.Cdb);
        srb_.SrbFlags = command.flags;
        srb_.DataTransferLength = command.length;
        srb_.DataBuffer = buffer_.address;
        srb_.SenseInfoBuffer = sense_.empty() ? nullptr : sense_.data();
        srb_.SenseInfoBufferLength = command.senseLength;
        srb_.TimeOutValue = 10;
    }
    ~Srb() {
        if (buffer_.address != nullptr) sim::FreeBuffer(buffer_);
    }
    Srb(const Srb&) = delete;
    Srb& operator=(const Srb&) = delete;

    SCSI_REQUEST_BLOCK* Block() { return &srb_; }
    sim::Request Request() { return sim::Request::InternalDeviceControl(0, &srb_); }
    Sent Result(const sim::IoResult& io) const {
        Sent sent{io, srb_, Bytes(buffer_.address, buffer_.address + buffer_.size), sense_};
        return sent;
    }

private:
    sim::SimBuffer buffer_{};
    Bytes sense_;
    SCSI_REQUEST_BLOCK srb_{};
};

inline Bytes Cdb10(UCHAR opcode, ULONG lba, ULONG count) {
    return {opcode,
            0,
            static_cast<uint8_t>(lba >> 24),
            static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba),
            0,
            static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count),
            0};
}

const Bytes kTestUnitReady = {0x00, 0, 0, 0, 0, 0};
const Bytes kInquiry36 = {0x12, 0, 0, 0, 36, 0};
const Bytes kReadCapacity = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kReleaseQueue = {0x00};
constexpr UCHAR kFrozenCheck = SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID;

inline std::string Text(const Bytes& data, size_t offset, size_t length) {
    return std::string(reinterpret_cast<const char*>(data.data()) + offset, length);
}

class ScsiModelTest : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { sim::ResetKernel(); }

    // A PDO with the model behind it.
    PDEVICE_OBJECT Attach(std::shared_ptr<sim::ScsiModel> model, ULONG flags = DO_DIRECT_IO) {
        sim::PdoOptions options;
        options.deviceType = model->PeripheralType() == 0 ? FILE_DEVICE_DISK : FILE_DEVICE_CD_ROM;
        options.flags = flags;
        options.model = model;
        return sim::CreatePdo("\\Device\\Scsi" + std::to_string(++devices_), options).Device();
    }
    PDEVICE_OBJECT Disk(ULONG64 blocks = sim::ScsiDiskModel::kDefaultBlocks) {
        disk_ = std::make_shared<sim::ScsiDiskModel>(blocks);
        return Attach(disk_);
    }
    PDEVICE_OBJECT Cdrom() {
        cdrom_ = std::make_shared<sim::ScsiCdromModel>();
        return Attach(cdrom_);
    }

    static Sent Execute(PDEVICE_OBJECT pdo, const Command& command) {
        Srb srb(command);
        const sim::IoResult io = sim::Send(pdo, srb.Request());
        return srb.Result(io);
    }
    // Sense of a failed command, with the queue released again.
    static Bytes SenseOf(PDEVICE_OBJECT pdo, const Bytes& cdb, ULONG length = 0) {
        const Sent sent = Execute(pdo, {cdb, length});
        EXPECT_EQ(sent.srb.SrbStatus, kFrozenCheck);
        Release(pdo);
        return Bytes(sent.sense.begin(), sent.sense.begin() + sent.srb.SenseInfoBufferLength);
    }
    static void Release(PDEVICE_OBJECT pdo) {
        Command release{kReleaseQueue};
        release.function = SRB_FUNCTION_RELEASE_QUEUE;
        release.flags = 0;
        EXPECT_EQ(Execute(pdo, release).srb.SrbStatus, SRB_STATUS_SUCCESS);
    }

    std::shared_ptr<sim::ScsiDiskModel> disk_;
    std::shared_ptr<sim::ScsiCdromModel> cdrom_;
    int devices_ = 0;
};

inline void ExpectGood(const Sent& sent, ULONG transferred) {
    EXPECT_EQ(sent.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(sent.srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(sent.srb.DataTransferLength, transferred);
    EXPECT_EQ(sent.io.final, STATUS_SUCCESS);
    EXPECT_EQ(sent.io.information, transferred);
}

}  // namespace scsi_model_test
