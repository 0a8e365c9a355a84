// The simulated SCSI disk and CD-ROM as a class driver sees them: each
// command's data and status, the sense of each condition, autosense, the
// frozen queue, pended completion, plain reads and writes on the same
// blocks, and the scenario commands that drive them.
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

namespace {

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
            buffer_ = sim::AllocateBuffer(command.length, (sim::kPageSize - command.length % sim::kPageSize) %
                                                              sim::kPageSize);
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

Bytes Cdb10(UCHAR opcode, ULONG lba, ULONG count) {
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

std::string Text(const Bytes& data, size_t offset, size_t length) {
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

void ExpectGood(const Sent& sent, ULONG transferred) {
    EXPECT_EQ(sent.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(sent.srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(sent.srb.DataTransferLength, transferred);
    EXPECT_EQ(sent.io.final, STATUS_SUCCESS);
    EXPECT_EQ(sent.io.information, transferred);
}

// ---------------------------------------------------------------------------
// Commands

TEST_F(ScsiModelTest, InquiryReportsTypeRemovabilityAndIdentity) {
    struct Case {
        bool cdrom;
        std::optional<bool> removable;
        std::optional<sim::ScsiIdentity> identity;
        UCHAR type;
        UCHAR rmb;
        const char* text;  // vendor (8), product (16), revision (4)
    };
    const Case cases[] = {
        {false, {}, {}, 0x00, 0x00, "Simbus  Virtual Disk    1.00"},
        {true, {}, {}, 0x05, 0x80, "Simbus  Virtual CD-ROM  1.00"},
        {false, true, sim::ScsiIdentity{"Acme", "USB Flash", "2"}, 0x00, 0x80, "Acme    USB Flash       2   "},
        {false, {}, sim::ScsiIdentity{"VendorTooLong", "A product name too long", "12345"}, 0x00, 0x00,
         "VendorToA product name t1234"},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        std::shared_ptr<sim::ScsiModel> model;
        if (c.cdrom)
            model = std::make_shared<sim::ScsiCdromModel>();
        else
            model = std::make_shared<sim::ScsiDiskModel>();
        if (c.removable) model->SetRemovable(*c.removable);
        if (c.identity) model->SetIdentity(*c.identity);
        const Sent sent = Execute(Attach(model), {kInquiry36, 36});
        ExpectGood(sent, 36);
        EXPECT_EQ(sent.data[0], c.type) << c.text;
        EXPECT_EQ(sent.data[1], c.rmb) << c.text;
        EXPECT_EQ(sent.data[3], 0x02);
        EXPECT_EQ(sent.data[4], 31);
        EXPECT_EQ(Text(sent.data, 8, 28), c.text);
    }
}

TEST_F(ScsiModelTest, InquiryVitalProductPagesAndBadPageCodes) {
    PDEVICE_OBJECT pdo = Disk();
    const Sent pages = Execute(pdo, {{0x12, 0x01, 0x00, 0, 0xFF, 0}, 0xFF});
    ExpectGood(pages, 6);
    EXPECT_EQ(Bytes(pages.data.begin(), pages.data.begin() + 6), (Bytes{0x00, 0x00, 0x00, 2, 0x00, 0x80}));

    const Sent serial = Execute(pdo, {{0x12, 0x01, 0x80, 0, 0xFF, 0}, 0xFF});
    ASSERT_EQ(serial.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(serial.data[1], 0x80);
    EXPECT_EQ(serial.srb.DataTransferLength, 4u + serial.data[3]);

    for (const Bytes& cdb : {Bytes{0x12, 0x01, 0x83, 0, 0xFF, 0}, Bytes{0x12, 0x00, 0x80, 0, 0xFF, 0}})
        EXPECT_EQ(SenseOf(pdo, cdb, 0xFF), sim::FixedSense(sim::kSenseInvalidFieldInCdb));
}

TEST_F(ScsiModelTest, ReadCapacityReportsTheLastBlockAndTheBlockSize) {
    struct Case {
        bool cdrom;
        ULONG64 blocks;
        Bytes expected;
    };
    const Case cases[] = {
        {false, 2048, {0x00, 0x00, 0x07, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        {true, 1024, {0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x08, 0x00}},
        {false, 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}},
        // Beyond what ten bytes of CDB can address: the class driver must ask READ CAPACITY(16).
        {false, 1ull << 33, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        std::shared_ptr<sim::ScsiModel> model;
        if (c.cdrom)
            model = std::make_shared<sim::ScsiCdromModel>(c.blocks);
        else
            model = std::make_shared<sim::ScsiDiskModel>(c.blocks);
        const Sent sent = Execute(Attach(model), {kReadCapacity, 8});
        ExpectGood(sent, 8);
        EXPECT_EQ(sent.data, c.expected) << c.blocks;
    }
}

TEST_F(ScsiModelTest, ModeSenseAnswersWithAHeaderCutToTheAllocationLength) {
    PDEVICE_OBJECT pdo = Disk();
    struct Case {
        Bytes cdb;
        ULONG length;
        Bytes expected;
    };
    const Case cases[] = {
        {{0x1A, 0, 0x3F, 0, 0xFF, 0}, 0xFF, {3, 0, 0, 0}},
        {{0x1A, 0, 0x08, 0, 2, 0}, 0xFF, {3, 0}},
        {{0x5A, 0, 0x3F, 0, 0, 0, 0, 0x01, 0x00, 0}, 0x100, {0, 6, 0, 0, 0, 0, 0, 0}},
        {{0x5A, 0, 0x3F, 0, 0, 0, 0, 0x00, 0x03, 0}, 0x100, {0, 6, 0}},
    };
    for (const Case& c : cases) {
        const Sent sent = Execute(pdo, {c.cdb, c.length});
        ExpectGood(sent, static_cast<ULONG>(c.expected.size()));
        EXPECT_EQ(Bytes(sent.data.begin(), sent.data.begin() + c.expected.size()), c.expected);
        // The rest of the buffer is as the class driver left it.
        EXPECT_EQ(sent.data[c.expected.size()], 0xCC);
    }
}

TEST_F(ScsiModelTest, ReadTocDescribesOneDataTrackAndTheLeadOut) {
    PDEVICE_OBJECT pdo = Cdrom();
    struct Case {
        const char* what;
        Bytes cdb;
        Bytes expected;
    };
    const Case cases[] = {
        {"TOC in LBA form",
         {0x43, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x20, 0x00},
         {0x00, 0x12, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0, 0, 0x14, 0xAA, 0, 0x00, 0x00, 0x04, 0x00}},
        // 1024 blocks and the two-second pregap: 1174 frames are 0:15:49.
        {"TOC in MSF form",
         {0x43, 0x02, 0x00, 0, 0, 0, 0, 0x00, 0x20, 0x00},
         {0x00, 0x12, 1, 1, 0, 0x14, 1, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0, 0, 0, 15, 49}},
        {"from the lead-out on",
         {0x43, 0x00, 0x00, 0, 0, 0, 0xAA, 0x00, 0x20, 0x00},
         {0x00, 0x0A, 1, 1, 0, 0x14, 0xAA, 0, 0x00, 0x00, 0x04, 0x00}},
        {"session information",
         {0x43, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x20, 0x00},
         {0x00, 0x0A, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}},
        {"session format in the old place", {0x43, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x20, 0x40},
         {0x00, 0x0A, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}},
        {"cut to the allocation length", {0x43, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x04, 0x00}, {0x00, 0x12, 1, 1}},
    };
    for (const Case& c : cases) {
        const Sent sent = Execute(pdo, {c.cdb, 0x20});
        ExpectGood(sent, static_cast<ULONG>(c.expected.size()));
        EXPECT_EQ(Bytes(sent.data.begin(), sent.data.begin() + c.expected.size()), c.expected) << c.what;
    }
    for (const Bytes& cdb : {Bytes{0x43, 0x00, 0x02, 0, 0, 0, 0, 0x00, 0x20, 0x00},
                             Bytes{0x43, 0x00, 0x00, 0, 0, 0, 2, 0x00, 0x20, 0x00}})
        EXPECT_EQ(SenseOf(pdo, cdb, 0x20), sim::FixedSense(sim::kSenseInvalidFieldInCdb));
}

TEST_F(ScsiModelTest, CommandsATypeDoesNotImplementAreInvalidOperationCodes) {
    PDEVICE_OBJECT disk = Disk();
    PDEVICE_OBJECT cdrom = Cdrom();
    struct Case {
        PDEVICE_OBJECT pdo;
        Bytes cdb;
    };
    const Case cases[] = {
        {disk, {0x43, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}},  // READ TOC
        {disk, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
        {disk, {0xFF, 0, 0, 0, 0, 0}},
        {cdrom, Cdb10(0x2A, 0, 1)},  // a reader does not write
        {cdrom, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SenseOf(c.pdo, c.cdb, 0x800), sim::FixedSense(sim::kSenseInvalidOpcode)) << int{c.cdb[0]};
    ExpectGood(Execute(disk, {{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0}), 0);
}

// The target gets CdbLength bytes; what the block holds beyond them is not
// part of the command.
TEST_F(ScsiModelTest, CdbBytesBeyondCdbLengthAreNotPartOfTheCommand) {
    PDEVICE_OBJECT pdo = Disk();
    Srb srb({{0x5A, 0, 0x3F, 0, 0, 0, 0, 0x00, 0xFF, 0}, 0x100});
    srb.Block()->CdbLength = 6;
    const Sent sent = srb.Result(sim::Send(pdo, srb.Request()));
    ExpectGood(sent, 0);
}

// ---------------------------------------------------------------------------
// Data

TEST_F(ScsiModelTest, WrittenBlocksReadBackAndOthersKeepTheirPattern) {
    PDEVICE_OBJECT pdo = Disk();
    Bytes written(1024);
    for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7);
    Command write{Cdb10(0x2A, 5, 2), 1024, SRB_FLAGS_DATA_OUT};
    write.out = written;
    ExpectGood(Execute(pdo, write), 1024);

    const Sent read = Execute(pdo, {Cdb10(0x28, 4, 4), 2048});
    ExpectGood(read, 2048);
    EXPECT_EQ(Bytes(read.data.begin(), read.data.begin() + 512), disk_->InitialBlock(4));
    EXPECT_EQ(Bytes(read.data.begin() + 512, read.data.begin() + 1536), written);
    EXPECT_EQ(Bytes(read.data.begin() + 1536, read.data.end()), disk_->InitialBlock(7));
    EXPECT_EQ(disk_->ReadBlocks(5, 2), written);

    const Bytes block = disk_->InitialBlock(0x01020304);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Text(block, 4, 12), "ZELKOR DISK ");
    EXPECT_EQ(Bytes(block.end() - 4, block.end()), (Bytes{1, 2, 3, 4}));
}

TEST_F(ScsiModelTest, BlocksPastTheEndAreOutOfRange) {
    PDEVICE_OBJECT pdo = Disk(2048);
    struct Case {
        ULONG lba;
        ULONG count;
        bool inRange;
    };
    const Case cases[] = {
        {2047, 1, true}, {2047, 2, false}, {2048, 0, false}, {2046, 0, true}, {0xFFFFFFFF, 1, false},
    };
    for (const Case& c : cases)
        for (const UCHAR opcode : {UCHAR{0x28}, UCHAR{0x2A}}) {
            Command command{Cdb10(opcode, c.lba, c.count), 1024, opcode == 0x28 ? ULONG{SRB_FLAGS_DATA_IN}
                                                                                : ULONG{SRB_FLAGS_DATA_OUT}};
            if (c.inRange) {
                ExpectGood(Execute(pdo, command), c.count * 512);
                continue;
            }
            const Sent sent = Execute(pdo, command);
            EXPECT_EQ(sent.srb.SrbStatus, kFrozenCheck) << c.lba << "+" << c.count;
            EXPECT_EQ(sent.srb.DataTransferLength, 0u);
            EXPECT_EQ(Bytes(sent.sense.begin(), sent.sense.end()), sim::FixedSense(sim::kSenseLbaOutOfRange));
            Release(pdo);
        }
}

TEST_F(ScsiModelTest, DataTransferLengthSaysWhatMoved) {
    PDEVICE_OBJECT pdo = Disk();
    struct Case {
        const char* what;
        Command command;
        UCHAR srbStatus;
        NTSTATUS status;
        ULONG transferred;
    };
    const Case cases[] = {
        {"less to send than room", {kInquiry36, 64}, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 36},
        {"more to send than room", {Cdb10(0x28, 0, 2), 512}, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN,
         STATUS_BUFFER_OVERFLOW, 512},
        {"no room at all", {kReadCapacity, 0}, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN,
         STATUS_BUFFER_OVERFLOW, 0},
        {"nothing to send", {kTestUnitReady, 0x200}, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"write with less data than blocks", {Cdb10(0x2A, 0, 2), 512, SRB_FLAGS_DATA_OUT},
         SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN, STATUS_BUFFER_OVERFLOW, 512},
        // Data moving against the SRB's direction: the bus phase is not the one the adapter expects.
        {"read without DATA_IN", {Cdb10(0x28, 0, 1), 512, SRB_FLAGS_DATA_OUT},
         SRB_STATUS_PHASE_SEQUENCE_FAILURE | SRB_STATUS_QUEUE_FROZEN, STATUS_IO_DEVICE_ERROR, 0},
        {"write without DATA_OUT", {Cdb10(0x2A, 9, 1), 512, SRB_FLAGS_DATA_IN},
         SRB_STATUS_PHASE_SEQUENCE_FAILURE | SRB_STATUS_QUEUE_FROZEN, STATUS_IO_DEVICE_ERROR, 0},
        {"both directions allowed", {Cdb10(0x28, 0, 1), 512, SRB_FLAGS_UNSPECIFIED_DIRECTION}, SRB_STATUS_SUCCESS,
         STATUS_SUCCESS, 512},
    };
    for (const Case& c : cases) {
        const Sent sent = Execute(pdo, c.command);
        EXPECT_EQ(sent.srb.SrbStatus, c.srbStatus) << c.what;
        EXPECT_EQ(sent.srb.ScsiStatus, SCSISTAT_GOOD) << c.what;
        EXPECT_EQ(sent.srb.DataTransferLength, c.transferred) << c.what;
        EXPECT_EQ(sent.io.final, c.status) << c.what;
        EXPECT_EQ(sent.io.information, c.transferred) << c.what;
        if (sent.srb.SrbStatus & SRB_STATUS_QUEUE_FROZEN) Release(pdo);
    }
    // A failed phase moved nothing.
    const Sent untouched = Execute(pdo, {Cdb10(0x28, 0, 1), 512, SRB_FLAGS_DATA_OUT | SRB_FLAGS_NO_QUEUE_FREEZE});
    EXPECT_EQ(untouched.data, Bytes(512, 0xCC));
    EXPECT_EQ(disk_->ReadBlocks(9, 1), disk_->InitialBlock(9));
}

// ---------------------------------------------------------------------------
// Conditions

TEST_F(ScsiModelTest, EachConditionFailsItsCommandsWithItsSense) {
    using Arrange = std::function<void(sim::ScsiModel&)>;
    const Arrange none = [](sim::ScsiModel&) {};
    const Arrange insert = [](sim::ScsiModel& m) { m.SetMediumPresent(true); };
    struct Case {
        const char* what;
        bool cdrom;
        Arrange arrange;
        Bytes cdb;
        std::vector<sim::SenseCode> senses;  // one failed command each
        Arrange then;
        std::vector<sim::SenseCode> thenSenses;  // then the command succeeds
    };
    const Case cases[] = {
        // The disc that comes back may be another one.
        {"medium absent", true, [](sim::ScsiModel& m) { m.SetMediumPresent(false); }, kTestUnitReady,
         {sim::kSenseMediumNotPresent, sim::kSenseMediumNotPresent}, insert, {sim::kSenseMediumChanged}},
        {"medium absent, READ TOC", true, [](sim::ScsiModel& m) { m.SetMediumPresent(false); },
         {0x43, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, {sim::kSenseMediumNotPresent}, insert, {sim::kSenseMediumChanged}},
        {"becoming ready", false, [](sim::ScsiModel& m) { m.SetBecomingReady(2); }, Cdb10(0x28, 0, 1),
         {sim::kSenseBecomingReady, sim::kSenseBecomingReady}, none, {}},
        {"becoming ready spares INQUIRY", false, [](sim::ScsiModel& m) { m.SetBecomingReady(2); }, kInquiry36, {},
         none, {}},
        {"medium changed", true, [](sim::ScsiModel& m) { m.RaiseUnitAttention(); }, kReadCapacity,
         {sim::kSenseMediumChanged}, none, {}},
        {"reset", false, [](sim::ScsiModel& m) { m.RaiseUnitAttention(sim::kSenseReset); },
         {0x1A, 0, 0x3F, 0, 0xFF, 0}, {sim::kSenseReset}, none, {}},
        {"next command fails", false, [](sim::ScsiModel& m) { m.FailNextCommand({0x03, 0x11, 0x00}); }, kInquiry36,
         {{0x03, 0x11, 0x00}}, none, {}},
        {"a failure comes before a unit attention", false,
         [](sim::ScsiModel& m) {
             m.RaiseUnitAttention();
             m.FailNextCommand({0x04, 0x44, 0x00});
         },
         kTestUnitReady, {{0x04, 0x44, 0x00}, sim::kSenseMediumChanged}, none, {}},
        {"a unit attention comes before not ready", true,
         [](sim::ScsiModel& m) {
             m.SetMediumPresent(false);
             m.RaiseUnitAttention(sim::kSenseReset);
         },
         kTestUnitReady, {sim::kSenseReset, sim::kSenseMediumNotPresent}, insert, {sim::kSenseMediumChanged}},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        PDEVICE_OBJECT pdo = c.cdrom ? Cdrom() : Disk();
        sim::ScsiModel& model = c.cdrom ? static_cast<sim::ScsiModel&>(*cdrom_) : *disk_;
        c.arrange(model);
        auto expectFailures = [&](const std::vector<sim::SenseCode>& senses) {
            for (const sim::SenseCode& sense : senses) {
                const Sent sent = Execute(pdo, {c.cdb, 0x800});
                EXPECT_EQ(sent.srb.SrbStatus, kFrozenCheck) << c.what;
                EXPECT_EQ(sent.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION) << c.what;
                EXPECT_EQ(sent.srb.DataTransferLength, 0u) << c.what;
                EXPECT_EQ(sent.srb.SenseInfoBufferLength, 18) << c.what;
                EXPECT_EQ(sent.sense, sim::FixedSense(sense)) << c.what;
                EXPECT_EQ(sent.io.final, STATUS_IO_DEVICE_ERROR) << c.what;
                EXPECT_EQ(sent.io.information, 0u) << c.what;
                Release(pdo);
            }
        };
        expectFailures(c.senses);
        c.then(model);
        expectFailures(c.thenSenses);
        EXPECT_EQ(Execute(pdo, {c.cdb, 0x800}).srb.SrbStatus, SRB_STATUS_SUCCESS) << c.what;
    }
}

TEST_F(ScsiModelTest, FixedSenseDataLayout) {
    EXPECT_EQ(sim::FixedSense({0x05, 0x21, 0x07}),
              (Bytes{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x07, 0, 0, 0, 0}));
}

TEST_F(ScsiModelTest, UnitAttentionSparesInquiryAndIsReportedByRequestSense) {
    PDEVICE_OBJECT pdo = Cdrom();
    cdrom_->RaiseUnitAttention();
    ExpectGood(Execute(pdo, {kInquiry36, 36}), 36);
    const Sent sense = Execute(pdo, {{0x03, 0, 0, 0, 18, 0}, 18});
    ExpectGood(sense, 18);
    EXPECT_EQ(sense.data, sim::FixedSense(sim::kSenseMediumChanged));
    ExpectGood(Execute(pdo, {kTestUnitReady}), 0);

    // A reset function raises the power-on-or-reset attention.
    Command reset{kReleaseQueue};
    reset.function = SRB_FUNCTION_RESET_LOGICAL_UNIT;
    EXPECT_EQ(Execute(pdo, reset).srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(SenseOf(pdo, kTestUnitReady), sim::FixedSense(sim::kSenseReset));
}

TEST_F(ScsiModelTest, EjectLoadAndPreventRemoval) {
    PDEVICE_OBJECT pdo = Cdrom();
    const Bytes prevent = {0x1E, 0, 0, 0, 0x01, 0};
    const Bytes allow = {0x1E, 0, 0, 0, 0x00, 0};
    const Bytes eject = {0x1B, 0, 0, 0, 0x02, 0};
    const Bytes load = {0x1B, 0, 0, 0, 0x03, 0};
    ExpectGood(Execute(pdo, {prevent}), 0);
    EXPECT_EQ(SenseOf(pdo, eject), sim::FixedSense(sim::kSenseRemovalPrevented));
    EXPECT_TRUE(cdrom_->MediumPresent());
    ExpectGood(Execute(pdo, {allow}), 0);
    ExpectGood(Execute(pdo, {eject}), 0);
    EXPECT_FALSE(cdrom_->MediumPresent());
    EXPECT_EQ(SenseOf(pdo, kTestUnitReady), sim::FixedSense(sim::kSenseMediumNotPresent));
    ExpectGood(Execute(pdo, {load}), 0);
    EXPECT_EQ(SenseOf(pdo, kTestUnitReady), sim::FixedSense(sim::kSenseMediumChanged));
    ExpectGood(Execute(pdo, {kTestUnitReady}), 0);

    // A disc taken out by hand does not come back with a load.
    cdrom_->SetMediumPresent(false);
    ExpectGood(Execute(pdo, {load}), 0);
    EXPECT_FALSE(cdrom_->MediumPresent());

    // A fixed disk ignores load and eject.
    PDEVICE_OBJECT disk = Disk();
    ExpectGood(Execute(disk, {eject}), 0);
    EXPECT_TRUE(disk_->MediumPresent());
}

// ---------------------------------------------------------------------------
// Autosense and the queue

TEST_F(ScsiModelTest, SenseDataGoesToTheSenseBufferOnlyWhenTheSrbAsksForIt) {
    struct Case {
        const char* what;
        UCHAR senseLength;
        ULONG flags;
        bool autosense;
        UCHAR lengthAfter;
    };
    const Case cases[] = {
        {"a full buffer", 18, 0, true, 18},
        {"a larger buffer", 32, 0, true, 18},
        {"a short buffer", 8, 0, true, 8},
        {"no buffer", 0, 0, false, 0},
        {"autosense disabled", 18, SRB_FLAGS_DISABLE_AUTOSENSE, false, 18},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        PDEVICE_OBJECT pdo = Disk();
        disk_->FailNextCommand({0x03, 0x11, 0x00});
        Command command{kTestUnitReady, 0, c.flags | SRB_FLAGS_NO_QUEUE_FREEZE, c.senseLength};
        const Sent sent = Execute(pdo, command);
        EXPECT_EQ(sent.srb.SrbStatus, c.autosense ? SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID : SRB_STATUS_ERROR)
            << c.what;
        EXPECT_EQ(sent.srb.SenseInfoBufferLength, c.lengthAfter) << c.what;
        const Bytes full = sim::FixedSense({0x03, 0x11, 0x00});
        for (size_t i = 0; i < sent.sense.size(); ++i)
            EXPECT_EQ(sent.sense[i], c.autosense && i < c.lengthAfter ? full[i] : 0xEE) << c.what << " byte " << i;

        // Sense nobody fetched waits for REQUEST SENSE, once.
        const Sent request = Execute(pdo, {{0x03, 0, 0, 0, 18, 0}, 18});
        ExpectGood(request, 18);
        EXPECT_EQ(request.data, c.autosense ? sim::FixedSense(sim::kSenseNoSense) : full) << c.what;
        EXPECT_EQ(Execute(pdo, {{0x03, 0, 0, 0, 18, 0}, 18}).data, sim::FixedSense(sim::kSenseNoSense));
    }
}

TEST_F(ScsiModelTest, FailedCommandsFreezeTheQueueUnlessTheSrbSaysNot) {
    PDEVICE_OBJECT pdo = Disk();
    disk_->FailNextCommand({0x03, 0x11, 0x00});
    EXPECT_EQ(Execute(pdo, {kTestUnitReady, 0, SRB_FLAGS_NO_QUEUE_FREEZE}).srb.SrbStatus,
              SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_FALSE(disk_->QueueFrozen());
    disk_->FailNextCommand({0x03, 0x11, 0x00});
    EXPECT_EQ(Execute(pdo, {kTestUnitReady, 0, 0}).srb.SrbStatus, kFrozenCheck);
    EXPECT_TRUE(disk_->QueueFrozen());
    // A request that bypasses the frozen queue runs, and does not thaw it.
    ExpectGood(Execute(pdo, {kInquiry36, 36, SRB_FLAGS_DATA_IN | SRB_FLAGS_BYPASS_FROZEN_QUEUE}), 36);
    EXPECT_TRUE(disk_->QueueFrozen());
    Release(pdo);
    EXPECT_FALSE(disk_->QueueFrozen());
}

TEST_F(ScsiModelTest, CommandsWaitBehindAFrozenQueueUntilReleasedOrFlushed) {
    for (const UCHAR function : {UCHAR{SRB_FUNCTION_RELEASE_QUEUE}, UCHAR{SRB_FUNCTION_FLUSH_QUEUE}}) {
        sim::ResetKernel();
        PDEVICE_OBJECT pdo = Disk();
        disk_->FailNextCommand({0x03, 0x11, 0x00});
        Execute(pdo, {kTestUnitReady, 0, 0});

        Srb first({Cdb10(0x28, 3, 1), 512});
        Srb second({kInquiry36, 36});
        auto firstDone = sim::SendAsync(pdo, first.Request());
        while (disk_->WaitingCommands() < 1) std::this_thread::yield();
        auto secondDone = sim::SendAsync(pdo, second.Request());
        while (disk_->WaitingCommands() < 2) std::this_thread::yield();
        EXPECT_EQ(firstDone.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);

        Command thaw{kReleaseQueue, 0, 0};
        thaw.function = function;
        EXPECT_EQ(Execute(pdo, thaw).srb.SrbStatus, SRB_STATUS_SUCCESS);
        const Sent a = first.Result(firstDone.get());
        const Sent b = second.Result(secondDone.get());
        EXPECT_EQ(disk_->WaitingCommands(), 0u);
        if (function == SRB_FUNCTION_RELEASE_QUEUE) {
            ExpectGood(a, 512);
            EXPECT_EQ(a.data, disk_->InitialBlock(3));
            ExpectGood(b, 36);
        } else {
            for (const Sent& s : {a, b}) {
                EXPECT_EQ(s.srb.SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
                EXPECT_EQ(s.srb.DataTransferLength, 0u);
                EXPECT_EQ(s.io.final, STATUS_UNSUCCESSFUL);
            }
        }
    }
}

TEST_F(ScsiModelTest, ReleasedCommandsStopAtTheNextOneThatFreezesTheQueue) {
    PDEVICE_OBJECT pdo = Disk();
    disk_->FailNextCommand({0x03, 0x11, 0x00});
    Execute(pdo, {kTestUnitReady, 0, 0});
    Srb failing({Cdb10(0x28, 5000, 1), 512});
    Srb after({kTestUnitReady, 0, 0});
    auto failingDone = sim::SendAsync(pdo, failing.Request());
    while (disk_->WaitingCommands() < 1) std::this_thread::yield();
    auto afterDone = sim::SendAsync(pdo, after.Request());
    while (disk_->WaitingCommands() < 2) std::this_thread::yield();

    Release(pdo);
    EXPECT_EQ(failing.Result(failingDone.get()).srb.SrbStatus, kFrozenCheck);
    EXPECT_EQ(disk_->WaitingCommands(), 1u);
    Release(pdo);
    ExpectGood(after.Result(afterDone.get()), 0);
}

TEST_F(ScsiModelTest, OtherFunctionsAreAnsweredAsAPortDriverDoes) {
    PDEVICE_OBJECT pdo = Disk();
    struct Case {
        UCHAR function;
        UCHAR srbStatus;
        NTSTATUS status;
    };
    const Case cases[] = {
        {SRB_FUNCTION_CLAIM_DEVICE, SRB_STATUS_SUCCESS, STATUS_SUCCESS},
        {SRB_FUNCTION_RELEASE_DEVICE, SRB_STATUS_SUCCESS, STATUS_SUCCESS},
        {SRB_FUNCTION_FLUSH, SRB_STATUS_SUCCESS, STATUS_SUCCESS},
        {SRB_FUNCTION_SHUTDOWN, SRB_STATUS_SUCCESS, STATUS_SUCCESS},
        {SRB_FUNCTION_IO_CONTROL, SRB_STATUS_INVALID_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
        {SRB_FUNCTION_RECEIVE_EVENT, SRB_STATUS_INVALID_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
        {0x77, SRB_STATUS_INVALID_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        Command command{kReleaseQueue, 0, 0};
        command.function = c.function;
        const Sent sent = Execute(pdo, command);
        EXPECT_EQ(sent.srb.SrbStatus, c.srbStatus) << int{c.function};
        EXPECT_EQ(sent.io.final, c.status) << int{c.function};
        if (c.function == SRB_FUNCTION_CLAIM_DEVICE) EXPECT_EQ(sent.srb.DataBuffer, pdo);
    }
    EXPECT_FALSE(disk_->QueueFrozen());

    Srb shortBlock({kTestUnitReady});
    shortBlock.Block()->Length = 0x40;
    const Sent sent = shortBlock.Result(sim::Send(pdo, shortBlock.Request()));
    EXPECT_EQ(sent.srb.SrbStatus, SRB_STATUS_BAD_SRB_BLOCK_LENGTH);
    EXPECT_EQ(sent.io.final, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(sim::Send(pdo, sim::Request::InternalDeviceControl(0, nullptr)).final, STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Completion

struct CompletionSeen {
    const SCSI_REQUEST_BLOCK* srb = nullptr;
    std::atomic<int> calls{0};
    std::atomic<KIRQL> irql{0};
    std::atomic<std::thread::id> thread{};
    std::atomic<bool> dataResident{true};
};

// The sender's own completion routine: it runs above every stack location,
// so it has none of its own to look at.
NTSTATUS NoteCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* seen = static_cast<CompletionSeen*>(context);
    seen->calls++;
    seen->irql = KeGetCurrentIrql();
    seen->thread = std::this_thread::get_id();
    seen->dataResident = MmIsAddressValid(seen->srb->DataBuffer) != FALSE;
    return STATUS_SUCCESS;
}

sim::Request Watched(Srb& srb, CompletionSeen* seen) {
    seen->srb = srb.Block();
    return srb.Request().Setup([seen](PIRP, PIO_STACK_LOCATION location) {
        location->CompletionRoutine = NoteCompletion;
        location->Context = seen;
        location->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    });
}

TEST_F(ScsiModelTest, AnswersCompleteInTheSendersThreadOrFromTheBusWorkerAtTheChosenIrql) {
    struct Case {
        const char* what;
        bool pended;
        KIRQL irql;
    };
    const Case cases[] = {
        {"synchronous", false, PASSIVE_LEVEL},
        {"pended at DISPATCH_LEVEL", true, DISPATCH_LEVEL},
        {"pended at PASSIVE_LEVEL", true, PASSIVE_LEVEL},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        PDEVICE_OBJECT pdo = Disk();
        if (c.pended) disk_->AnswerPended(c.irql, std::chrono::milliseconds(5));
        CompletionSeen seen;
        Srb srb({Cdb10(0x28, 1, 1), 512});
        const Sent sent = srb.Result(sim::Send(pdo, Watched(srb, &seen)));
        EXPECT_EQ(sent.io.returned, c.pended ? STATUS_PENDING : STATUS_SUCCESS) << c.what;
        ExpectGood(sent, 512);
        EXPECT_EQ(sent.data, disk_->InitialBlock(1)) << c.what;
        EXPECT_EQ(seen.calls, 1) << c.what;
        EXPECT_EQ(seen.irql, c.irql) << c.what;
        EXPECT_EQ(seen.thread.load() == std::this_thread::get_id(), !c.pended) << c.what;
    }
}

TEST_F(ScsiModelTest, PagedOutDataBufferIsNotResidentWhenTheCompletionRunsAtDispatchLevel) {
    PDEVICE_OBJECT pdo = Disk();
    disk_->AnswerPended(DISPATCH_LEVEL);
    disk_->PageOutNextDataBuffer();
    CompletionSeen seen;
    Srb srb({Cdb10(0x28, 2, 16), 8192});
    const Sent sent = srb.Result(sim::Send(pdo, Watched(srb, &seen)));
    EXPECT_FALSE(seen.dataResident);
    // The data did arrive: touched at PASSIVE_LEVEL, the pages come back.
    ExpectGood(sent, 8192);
    EXPECT_EQ(sent.data, disk_->ReadBlocks(2, 16));

    // Once only.
    CompletionSeen again;
    Srb next({Cdb10(0x28, 2, 1), 512});
    next.Result(sim::Send(pdo, Watched(next, &again)));
    EXPECT_TRUE(again.dataResident);
}

// ---------------------------------------------------------------------------
// Reads and writes

TEST_F(ScsiModelTest, ReadAndWriteRequestsUseTheBufferOfTheDevicesTransferMethod) {
    for (const ULONG flags : {ULONG{DO_DIRECT_IO}, ULONG{DO_BUFFERED_IO}, ULONG{0}}) {
        sim::ResetKernel();
        auto model = std::make_shared<sim::ScsiDiskModel>();
        PDEVICE_OBJECT pdo = Attach(model, flags);
        Bytes data(1024);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
        const sim::IoResult wrote = sim::Send(pdo, sim::Request::Write(data.data(), 1024, 512 * 3));
        EXPECT_EQ(wrote.final, STATUS_SUCCESS) << flags;
        EXPECT_EQ(wrote.information, 1024u) << flags;
        EXPECT_EQ(model->ReadBlocks(3, 2), data) << flags;

        Bytes read(1536, 0);
        const sim::IoResult got = sim::Send(pdo, sim::Request::Read(read.data(), 1536, 512 * 2));
        EXPECT_EQ(got.final, STATUS_SUCCESS) << flags;
        EXPECT_EQ(got.information, 1536u) << flags;
        EXPECT_EQ(Bytes(read.begin(), read.begin() + 512), model->InitialBlock(2)) << flags;
        EXPECT_EQ(Bytes(read.begin() + 512, read.end()), data) << flags;
        // The same blocks through an SRB.
        EXPECT_EQ(Execute(pdo, {Cdb10(0x28, 3, 2), 1024}).data, data) << flags;
        EXPECT_TRUE(sim::OutstandingMdls().empty());
    }
}

TEST_F(ScsiModelTest, ReadAndWriteRequestsADeviceCannotServeFail) {
    PDEVICE_OBJECT disk = Disk(16);
    PDEVICE_OBJECT cdrom = Cdrom();
    Bytes buffer(4096);
    struct Case {
        const char* what;
        PDEVICE_OBJECT pdo;
        bool write;
        ULONG length;
        LONGLONG offset;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"offset inside a block", disk, false, 512, 100, STATUS_INVALID_PARAMETER},
        {"length not whole blocks", disk, true, 700, 0, STATUS_INVALID_PARAMETER},
        {"negative offset", disk, false, 512, -512, STATUS_INVALID_PARAMETER},
        {"past the end", disk, false, 1024, 15 * 512, STATUS_INVALID_PARAMETER},
        {"at the end", disk, true, 512, 16 * 512, STATUS_INVALID_PARAMETER},
        {"last block", disk, false, 512, 15 * 512, STATUS_SUCCESS},
        {"nothing at all", disk, false, 0, 123, STATUS_SUCCESS},
        {"written to a CD-ROM", cdrom, true, 2048, 0, STATUS_INVALID_DEVICE_REQUEST},
        {"CD-ROM block size", cdrom, false, 512, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        const sim::Request request = c.write ? sim::Request::Write(buffer.data(), c.length, c.offset)
                                             : sim::Request::Read(buffer.data(), c.length, c.offset);
        const sim::IoResult result = sim::Send(c.pdo, request);
        EXPECT_EQ(result.final, c.status) << c.what;
        EXPECT_EQ(result.information, NT_SUCCESS(c.status) ? c.length : 0u) << c.what;
    }
    cdrom_->SetMediumPresent(false);
    EXPECT_EQ(sim::Send(cdrom, sim::Request::Read(buffer.data(), 2048, 0)).final, STATUS_IO_DEVICE_ERROR);
    disk_->FailNextCommand({0x03, 0x11, 0x00});
    EXPECT_EQ(sim::Send(disk, sim::Request::Read(buffer.data(), 512, 0)).final, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(sim::Send(disk, sim::Request::Read(buffer.data(), 512, 0)).final, STATUS_SUCCESS);
}

TEST_F(ScsiModelTest, OtherRequestsGetABusDriversAnswers) {
    PDEVICE_OBJECT pdo = Disk();
    EXPECT_EQ(sim::Send(pdo, sim::Request(IRP_MJ_CREATE)).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::Send(pdo, sim::Request(IRP_MJ_FLUSH_BUFFERS)).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::Send(pdo, sim::Request::DeviceControl(0x70000, nullptr, 0, nullptr, 0)).final,
              STATUS_INVALID_DEVICE_REQUEST);
    // A property query without its query is refused as a port driver refuses it.
    EXPECT_EQ(sim::Send(pdo, sim::Request::DeviceControl(0x2D1400, nullptr, 0, nullptr, 0)).final,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::Send(pdo, sim::Request(IRP_MJ_SYSTEM_CONTROL).InitialStatus(STATUS_NOT_SUPPORTED)).final,
              STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------
// Faults of the driver above

class ScsiModelDeathTest : public ScsiModelTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ScsiModelTest::SetUp();
    }
};

TEST_F(ScsiModelDeathTest, DataTransferWithoutADataBufferIsABugCheck) {
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = Disk();
            Srb srb({kInquiry36, 36});
            srb.Block()->DataBuffer = nullptr;
            sim::Send(pdo, srb.Request());
        },
        "an SRB that moves data has a DataBuffer");
}

TEST_F(ScsiModelDeathTest, DataBufferWithAnInvalidPageIsABugCheck) {
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = Disk();
            Srb srb({Cdb10(0x28, 0, 1), 512});
            sim::InvalidatePage(srb.Block()->DataBuffer);
            sim::Send(pdo, srb.Request());
        },
        "DataBuffer has a page that is not accessible");
}

TEST_F(ScsiModelDeathTest, DirectIoReadWithoutAnMdlIsABugCheck) {
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = Disk();
            Bytes buffer(512);
            sim::Send(pdo, sim::Request::Read(buffer.data(), 512, 0).Setup([](PIRP irp, PIO_STACK_LOCATION) {
                // A filter that forgot to copy DO_DIRECT_IO hands down no MDL.
                irp->MdlAddress = nullptr;
                irp->UserBuffer = nullptr;
            }));
        },
        "a request to a DO_DIRECT_IO device describes its buffer with an MDL");
}

// ---------------------------------------------------------------------------
// Scenarios

scn::RunResult RunScsiScenario(const std::string& text) {
    scn::Scenario scenario;
    scn::ParseError error;
    EXPECT_TRUE(scn::ParseScenario(text, "scsi.scn", &scenario, &error)) << error.Message();
    return scn::RunScenario(scenario, {});
}

TEST(ScsiScenario, ConditionStepsReachTheNamedDevicesModel) {
    const char* text =
        "device cd model=cdrom vendor=Acme product=\"Fast CD\" revision=7\n"
        "device disk model=disk blocks=16 removable=yes\n"
        "srb cd cdb=\"12 00 00 00 24 00\" length=36\n"
        "srb disk cdb=\"28 00 00 00 00 0F 00 00 01 00\" length=512\n"
        "srb disk cdb=\"28 00 00 00 00 10 00 00 01 00\" length=512 expect=0xC0000185 flags=no-queue-freeze\n"
        "medium cd absent\n"
        "srb cd cdb=\"00 00 00 00 00 00\" expect=0xC0000185\n"
        "srb cd cdb=00 function=0x04\n"
        "medium cd present\n"
        "srb cd cdb=\"00 00 00 00 00 00\" expect=0xC0000185 flags=no-queue-freeze\n"
        "becoming-ready disk count=2\n"
        "srb disk cdb=\"00 00 00 00 00 00\" expect=0xC0000185 flags=no-queue-freeze\n"
        "srb disk cdb=\"00 00 00 00 00 00\" expect=0xC0000185 flags=no-queue-freeze\n"
        "srb disk cdb=\"00 00 00 00 00 00\" expect=0\n"
        "sense disk key=0x03 asc=0x11\n"
        "srb disk cdb=\"12 00 00 00 24 00\" length=36 expect=0xC0000185 flags=0x100\n"
        "unit-attention disk cause=reset\n"
        "srb disk cdb=\"00 00 00 00 00 00\" expect=0xC0000185 flags=bypass-frozen-queue,no-queue-freeze\n"
        "answer disk pend irql=passive delay=2\n"
        "page-out disk\n"
        "srb disk cdb=\"2A 00 00 00 00 01 00 00 01 00\" data=\"AA 55\" length=512 expect=0\n"
        "answer disk sync\n"
        "read disk length=512 offset=512\n";
    const scn::RunResult result = RunScsiScenario(text);
    EXPECT_TRUE(result.ok) << result.error;
}

TEST(ScsiScenario, MistakesStopTheRunWithTheirReason) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"device d\nsense d key=3 asc=0x11\n", "scsi.scn:2: device 'd' is no SCSI device"},
        {"device d model=disk\nmedium d absent\n", "scsi.scn:2: device 'd' is not removable"},
        {"device d model=cdrom\nmedium d gone\n", "medium takes absent or present"},
        {"device d model=disk\nsense d key=0x10 asc=0\n", "key= takes 0 to 15"},
        {"device d model=disk\nsense d asc=0x11\n", "sense needs key= and asc="},
        {"device d model=disk\nunit-attention d cause=cosmic-ray\n", "cause= takes medium-changed or reset"},
        {"device d model=disk\nanswer d later\n", "answer takes sync or pend"},
        {"device d model=disk\nanswer d sync irql=passive\n", "go with 'answer NAME pend'"},
        {"device d model=disk\nanswer d pend irql=high\n", "irql= takes passive or dispatch"},
        {"device d model=disk vendor=ABCDEFGHI\n", "vendor= takes at most 8 characters"},
        {"device d model=disk blocks=0\n", "blocks= takes 1 to 2^40 blocks"},
        {"device d model=disk removable=maybe\n", "removable= takes yes or no"},
        {"device d product=X\n", "product= describes a SCSI device: it needs model=disk or model=cdrom"},
        {"device d model=tape\n", "unknown device model 'tape'"},
        {"device d model=disk\nsrb d cdb=00 flags=fast\n", "unknown SRB flag 'fast'"},
        {"device d model=disk\nsrb d cdb=00 sense=300\n", "sense= takes 0 to 255 bytes"},
        {"device d model=disk\nsrb d cdb=\"28 00 00 00 10 00 00 00 01 00\" length=512\nsrb d cdb=00\n",
         "scsi.scn:3: the device's queue is frozen since a command failed"},
    };
    for (const Case& c : cases) {
        const scn::RunResult result = RunScsiScenario(c.text);
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << c.text << "\n" << result.error;
    }
}

TEST(ScsiScenario, DeviceModelsAreForgottenWithTheKernel) {
    scn::Step step;
    step.command = "device";
    step.args = {"forgotten"};
    step.options = {{"model", "disk"}};
    sim::PdoOptions options;
    std::string reason;
    ASSERT_TRUE(scn::ParseDeviceOptions(step, &options, &reason)) << reason;
    EXPECT_EQ(options.deviceType, ULONG{FILE_DEVICE_DISK});
    EXPECT_EQ(scn::ScsiModelOf("forgotten"), options.model);
    sim::ResetKernel();
    EXPECT_EQ(scn::ScsiModelOf("forgotten"), nullptr);
}

}  // namespace
