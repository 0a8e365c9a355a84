// The simulated SCSI models' autosense and frozen queue, pended completion,
// plain reads and writes on the same blocks, the faults of a driver above,
// and the scenario commands that drive the models.
#include "sim_scsi_model_fixture.h"

namespace {

using namespace scsi_model_test;

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
        while (disk_->WaitingCommands() < 1)
            std::this_thread::yield();
        auto secondDone = sim::SendAsync(pdo, second.Request());
        while (disk_->WaitingCommands() < 2)
            std::this_thread::yield();
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
    while (disk_->WaitingCommands() < 1)
        std::this_thread::yield();
    auto afterDone = sim::SendAsync(pdo, after.Request());
    while (disk_->WaitingCommands() < 2)
        std::this_thread::yield();

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
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i ^ 0x5A);
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
