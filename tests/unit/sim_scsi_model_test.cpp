// The simulated SCSI disk and CD-ROM as a class driver sees them: each
// command's data and status, the data on the blocks, and the sense of each
// condition. The queue, completion and the scenario steps are in
// sim_scsi_queue_test.cpp.
#include "sim_scsi_model_fixture.h"

namespace {

using namespace scsi_model_test;

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
    // clang-format off
    const Case cases[] = {
        {false, {}, {}, 0x00, 0x00, "Simbus  Virtual Disk    1.00"},
        {true, {}, {}, 0x05, 0x80, "Simbus  Virtual CD-ROM  1.00"},
        {false, true, sim::ScsiIdentity{"Acme", "USB Flash", "2"}, 0x00, 0x80, "Acme    USB Flash       2   "},
        {false, {}, sim::ScsiIdentity{"VendorTooLong", "A product name too long", "12345"}, 0x00, 0x00,
         "VendorToA product name t1234"},
    };
    // clang-format on
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
    // clang-format off
    const Case cases[] = {
        {false, 2048, {0x00, 0x00, 0x07, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        {true, 1024, {0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x08, 0x00}},
        {false, 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}},
        // Beyond what ten bytes of CDB can address: the class driver must ask READ CAPACITY(16).
        {false, 1ull << 33, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}},
    };
    // clang-format on
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
    // clang-format off
    const Case cases[] = {
        {{0x1A, 0, 0x3F, 0, 0xFF, 0}, 0xFF, {3, 0, 0, 0}},
        {{0x1A, 0, 0x08, 0, 2, 0}, 0xFF, {3, 0}},
        {{0x5A, 0, 0x3F, 0, 0, 0, 0, 0x01, 0x00, 0}, 0x100, {0, 6, 0, 0, 0, 0, 0, 0}},
        {{0x5A, 0, 0x3F, 0, 0, 0, 0, 0x00, 0x03, 0}, 0x100, {0, 6, 0}},
    };
    // clang-format on
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
    // clang-format off
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
    // clang-format on
    for (const Case& c : cases) {
        const Sent sent = Execute(pdo, {c.cdb, 0x20});
        ExpectGood(sent, static_cast<ULONG>(c.expected.size()));
        EXPECT_EQ(Bytes(sent.data.begin(), sent.data.begin() + c.expected.size()), c.expected) << c.what;
    }
    for (const Bytes& cdb :
         {Bytes{0x43, 0x00, 0x02, 0, 0, 0, 0, 0x00, 0x20, 0x00}, Bytes{0x43, 0x00, 0x00, 0, 0, 0, 2, 0x00, 0x20, 0x00}})
        EXPECT_EQ(SenseOf(pdo, cdb, 0x20), sim::FixedSense(sim::kSenseInvalidFieldInCdb));
}

TEST_F(ScsiModelTest, CommandsATypeDoesNotImplementAreInvalidOperationCodes) {
    PDEVICE_OBJECT disk = Disk();
    PDEVICE_OBJECT cdrom = Cdrom();
    struct Case {
        PDEVICE_OBJECT pdo;
        Bytes cdb;
    };
    // clang-format off
    const Case cases[] = {
        {disk, {0x43, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}},  // READ TOC
        {disk, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
        {disk, {0xFF, 0, 0, 0, 0, 0}},
        {cdrom, Cdb10(0x2A, 0, 1)},  // a reader does not write
        {cdrom, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    // clang-format on
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
    for (size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<uint8_t>(i * 7);
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
    // clang-format off
    const Case cases[] = {
        {2047, 1, true}, {2047, 2, false}, {2048, 0, false}, {2046, 0, true}, {0xFFFFFFFF, 1, false},
    };
    // clang-format on
    for (const Case& c : cases)
        for (const UCHAR opcode : {UCHAR{0x28}, UCHAR{0x2A}}) {
            Command command{Cdb10(opcode, c.lba, c.count), 1024,
                            opcode == 0x28 ? ULONG{SRB_FLAGS_DATA_IN} : ULONG{SRB_FLAGS_DATA_OUT}};
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
    // clang-format off
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
    // clang-format on
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
    // clang-format off
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
    // clang-format on
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

}  // namespace
