// SCSI request blocks through the filter, driven through the simulated
// kernel: the dispatch line of each function, the completion routine's lines
// and dumps for each outcome, and the blocks and buffers that cannot be read
// when the driver looks. Below the filter a small SCSI target, written here,
// answers each SRB as the case tells it.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "internal/srb.h"
#include "platform/ntscsi.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "tests/unit/expected_text.h"
#include "tests/unit/filtered_stack.h"
#include "trace/print.h"

namespace {

using namespace expected;

using namespace std::chrono_literals;

// Fixed-format sense data: INVALID FIELD IN CDB (key 5, ASC 24h).
const std::vector<uint8_t> kInvalidFieldSense = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                                                 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00};

// How the SCSI target below answers.
struct Outcome {
    NTSTATUS irpStatus = STATUS_SUCCESS;
    UCHAR srbStatus = SRB_STATUS_SUCCESS;
    UCHAR scsiStatus = SCSISTAT_GOOD;
    std::vector<uint8_t> sense;  // written to the sense buffer, its length stored
    bool pend = false;           // completed later by a worker at DISPATCH_LEVEL
    std::function<void(PSCSI_REQUEST_BLOCK)> beforeCompletion;
};

class DriverSrb : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack({FILE_DEVICE_DISK, 0, 0, nullptr}));
        pdo_->SetHandler([this](PDEVICE_OBJECT, PIRP irp) { return Target(irp); });

        srbBuffer_ = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
        srb_ = reinterpret_cast<PSCSI_REQUEST_BLOCK>(srbBuffer_.address);
        srb_->Length = sizeof(SCSI_REQUEST_BLOCK);
        srb_->SenseInfoBuffer = sense_;
        srb_->SenseInfoBufferLength = sizeof sense_;
        sim::ClearDebugOutput();
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        sim::FreeBuffer(srbBuffer_);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // The port driver's part: status bytes, sense data, the IRP's status.
    std::optional<sim::Reply> Target(PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        if (location->MajorFunction != IRP_MJ_SCSI) return std::nullopt;
        PSCSI_REQUEST_BLOCK srb = location->Parameters.Scsi.Srb;
        const Outcome outcome = outcome_;
        auto finish = [srb, outcome](PIRP) {
            srb->SrbStatus = outcome.srbStatus;
            srb->ScsiStatus = outcome.scsiStatus;
            if (!outcome.sense.empty()) {
                std::memcpy(srb->SenseInfoBuffer, outcome.sense.data(), outcome.sense.size());
                srb->SenseInfoBufferLength = static_cast<UCHAR>(outcome.sense.size());
            }
            if (outcome.beforeCompletion) outcome.beforeCompletion(srb);
        };
        sim::Reply reply = outcome.pend ? sim::Reply::Pend(outcome.irpStatus, 0, 5ms, DISPATCH_LEVEL)
                                        : sim::Reply::Complete(outcome.irpStatus);
        return reply.Fill(finish);
    }

    struct Sent {
        PIRP irp = nullptr;
        sim::IoResult result;
    };

    Sent Send(ULONG code = 0, PVOID block = nullptr) {
        Sent sent;
        sim::Request request = sim::Request::InternalDeviceControl(code, block != nullptr ? block : srb_);
        request.Setup([&](PIRP irp, PIO_STACK_LOCATION) { sent.irp = irp; });
        sent.result = sim::Send(pdo_->Device(), request);
        return sent;
    }

    void Command(std::initializer_list<uint8_t> cdb, void* data, ULONG length) {
        srb_->Function = SRB_FUNCTION_EXECUTE_SCSI;
        std::memset(srb_->Cdb, 0, sizeof srb_->Cdb);
        std::copy(cdb.begin(), cdb.end(), srb_->Cdb);
        srb_->CdbLength = static_cast<UCHAR>(cdb.size());
        srb_->DataBuffer = data;
        srb_->DataTransferLength = length;
        srb_->SrbFlags = SRB_FLAGS_DATA_IN;
    }

    // The two lines every completion prints.
    std::string CompletionLines(PIRP irp, const char* function, const char* irpStatus, const char* scsiStatus,
                                const char* srbStatus) {
        return Line("SrbCompletion: Irp: 0x%X - Function: %s, IrpStatus: %s, ScsiStatus: %s, SrbStatus: %s.\n",
                    Low32(irp), function, irpStatus, scsiStatus, srbStatus) +
               Line("SrbCompletion: DataBuffer: 0x%X, DataTransferLength: 0x%X, SenseInfoBufferLength: 0x%X.\n",
                    Low32(srb_->DataBuffer), srb_->DataTransferLength, srb_->SenseInfoBufferLength);
    }

    sim::SimBuffer srbBuffer_;
    PSCSI_REQUEST_BLOCK srb_ = nullptr;
    uint8_t sense_[18] = {};
    Outcome outcome_;
};

// ---------------------------------------------------------------------------
// Dispatch

TEST_F(DriverSrb, CommandLineShowsAll16CdbBytesAndTheName) {
    record_->TraceMask = TRACE_INTERNAL;
    // clang-format off
    struct Case {
        std::vector<uint8_t> cdb;
        const char* bytes;
        const char* name;
    } cases[] = {
        // A 6-byte command: the 10 bytes after it print as the block holds them.
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11, 0x22, 0x33, 0x44},
         "00 00 00 00 00 00 AA BB CC DD EE FF 11 22 33 44", "TEST UNIT READY"},
        {{0x28, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x00},
         "28 00 00 00 10 00 00 00 08 00 00 00 00 00 00 00", "READ [10]"},
        {{0x12, 0x00, 0x00, 0x00, 0x24, 0x00}, "12 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00", "INQUIRY"},
        // ATA pass-through is named with its command byte, byte 8.
        {{0xCC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEC, 0x00, 0x00, 0x00},
         "CC 00 00 00 00 00 00 00 EC 00 00 00 00 00 00 00", "ATA PASSTHROUGH 0xEC"},
        {{0xCC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x25, 0x00, 0x00, 0x00},
         "CC 00 00 00 00 00 00 00 25 00 00 00 00 00 00 00", "ATA PASSTHROUGH 0x25"},
        {{0xFF, 0x01}, "FF 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "unknown command"},
    };
    // clang-format on
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        srb_->Function = SRB_FUNCTION_EXECUTE_SCSI;
        std::memset(srb_->Cdb, 0, sizeof srb_->Cdb);
        std::memcpy(srb_->Cdb, c.cdb.data(), c.cdb.size());
        const Sent sent = Send();
        EXPECT_EQ(sim::DebugText(),
                  Line("Irp: 0x%X - SRB_FUNCTION_EXECUTE_SCSI: %s %s\n", Low32(sent.irp), c.bytes, c.name))
            << c.name;
        EXPECT_EQ(sent.result.returned, STATUS_PENDING);
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].location.Parameters.Scsi.Srb, srb_);
        EXPECT_EQ(received[0].location.CompletionRoutine, SrbCompletion);
        EXPECT_EQ(received[0].location.Context, nullptr);
    }
}

// Class drivers leave 0, 1 or one of two execute codes beside the SRB.
TEST_F(DriverSrb, EachOfTheFourCodesCarriesAnSrb) {
    record_->TraceMask = TRACE_INTERNAL;
    srb_->Function = SRB_FUNCTION_SHUTDOWN;
    for (const ULONG code : {0u, 1u, ULONG(IOCTL_SCSI_EXECUTE_IN), ULONG(IOCTL_SCSI_EXECUTE_NONE)}) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        const Sent sent = Send(code);
        EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - SRB_FUNCTION_SHUTDOWN.\n", Low32(sent.irp))) << code;
        EXPECT_EQ(sent.result.returned, STATUS_PENDING) << code;
        ASSERT_EQ(pdo_->Received().size(), 1u);
        EXPECT_EQ(pdo_->Received()[0].location.CompletionRoutine, SrbCompletion) << code;
    }
}

// Named functions at the internal level; every other function at the level
// of unrecognised codes, with the control code. Either way the request goes
// down with the completion routine, which then prints its two lines only.
TEST_F(DriverSrb, FunctionLinesAndTheirLevels) {
    // clang-format off
    struct Case {
        UCHAR function;
        const char* line;      // nullptr: unknown
        const char* decoded;   // as the completion names it
    } cases[] = {
        {SRB_FUNCTION_CLAIM_DEVICE, "Irp: 0x%X - SRB_FUNCTION_CLAIM_DEVICE.\n", "SRB_FUNCTION_CLAIM_DEVICE"},
        {SRB_FUNCTION_IO_CONTROL, "Irp: 0x%X - SRB_FUNCTION_IO_CONTROL.\n", "0x2"},
        {SRB_FUNCTION_RELEASE_QUEUE, "Irp: 0x%X - SRB_FUNCTION_RELEASE_QUEUE.\n", "0x4"},
        {SRB_FUNCTION_SHUTDOWN, "Irp: 0x%X - SRB_FUNCTION_SHUTDOWN.\n", "0x7"},
        {SRB_FUNCTION_FLUSH, "Irp: 0x%X - SRB_FUNCTION_FLUSH.\n", "0x8"},
        {SRB_FUNCTION_FLUSH_QUEUE, "Irp: 0x%X - SRB_FUNCTION_FLUSH_QUEUE.\n", "SRB_FUNCTION_FLUSH_QUEUE"},
        {SRB_FUNCTION_RECEIVE_EVENT, nullptr, "0x3"},
        {SRB_FUNCTION_ATTACH_DEVICE, nullptr, "0x5"},
        {SRB_FUNCTION_RELEASE_DEVICE, nullptr, "0x6"},
        {0x09, nullptr, "0x9"},
        {SRB_FUNCTION_TERMINATE_IO, nullptr, "0x14"},
        {SRB_FUNCTION_RESET_BUS, nullptr, "SRB_FUNCTION_RESET_BUS"},
        {SRB_FUNCTION_REMOVE_DEVICE, nullptr, "0x16"},
        {0x28, nullptr, "0x28"},
        {0xFF, nullptr, "0xFF"},
    };
    // clang-format on
    srb_->DataBuffer = nullptr;
    for (const Case& c : cases) {
        srb_->Function = c.function;
        for (const ULONG mask : {ULONG(TRACE_INTERNAL), ULONG(TRACE_UNRECOGNISED), ULONG(TRACE_SRB_COMPLETION)}) {
            sim::ClearDebugOutput();
            pdo_->ClearReceived();
            record_->TraceMask = mask;
            const Sent sent = Send(IOCTL_SCSI_EXECUTE_NONE);
            std::string expected;
            if (mask == TRACE_INTERNAL && c.line != nullptr) expected = Line(c.line, Low32(sent.irp));
            if (mask == TRACE_UNRECOGNISED && c.line == nullptr)
                expected = Line(
                    "ZK_IRP_InternalDeviceControl: Irp: 0x%X - unknown SCSI function 0x%X, IOCTL code: 0x1B0013.\n",
                    Low32(sent.irp), c.function);
            if (mask == TRACE_SRB_COMPLETION)
                expected =
                    CompletionLines(sent.irp, c.decoded, "STATUS_SUCCESS", "SCSISTAT_GOOD", "SRB_STATUS_SUCCESS");
            EXPECT_EQ(sim::DebugText(), expected) << int(c.function) << " at mask " << mask;
            EXPECT_EQ(sent.result.returned, STATUS_PENDING);
            ASSERT_EQ(pdo_->Received().size(), 1u);
            EXPECT_EQ(pdo_->Received()[0].location.CompletionRoutine, SrbCompletion);
        }
    }
}

// ---------------------------------------------------------------------------
// Completion

TEST_F(DriverSrb, CompletionOfACommandByOutcome) {
    std::vector<uint8_t> data(0x20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('A' + i);
    const std::string dataDump = DumpLines(data.data(), data.size());
    const std::string senseLines =
        Line("SrbCompletion: SenseCode: INVALID FIELD IN CDB.\n") + DumpLines(kInvalidFieldSense.data(), 18);

    // clang-format off
    struct Case {
        const char* what;
        NTSTATUS irpStatus;
        UCHAR srbStatus;
        UCHAR scsiStatus;
        bool withSense;
        bool withData;
        const char* names[3];  // IRP status, SCSI status, SRB status
        bool dataDumped;
        bool senseShown;
    } cases[] = {
        {"success", STATUS_SUCCESS, 0x01, SCSISTAT_GOOD, false, true,
         {"STATUS_SUCCESS", "SCSISTAT_GOOD", "SRB_STATUS_SUCCESS"}, true, false},
        {"success, queue frozen", STATUS_SUCCESS, 0x41, SCSISTAT_GOOD, false, true,
         {"STATUS_SUCCESS", "SCSISTAT_GOOD", "SRB_STATUS_SUCCESS | SRB_STATUS_QUEUE_FROZEN"}, true, false},
        {"success with sense", STATUS_SUCCESS, 0x81, SCSISTAT_GOOD, true, true,
         {"STATUS_SUCCESS", "SCSISTAT_GOOD", "SRB_STATUS_SUCCESS | SRB_STATUS_AUTOSENSE_VALID"}, true, true},
        {"check condition with sense", STATUS_IO_DEVICE_ERROR, 0x84, SCSISTAT_CHECK_CONDITION, true, true,
         {"STATUS_IO_DEVICE_ERROR", "SCSISTAT_CHECK_CONDITION", "SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID"},
         false, true},
        {"error, queue frozen, sense", STATUS_IO_DEVICE_ERROR, 0xC4, SCSISTAT_CHECK_CONDITION, true, true,
         {"STATUS_IO_DEVICE_ERROR", "SCSISTAT_CHECK_CONDITION",
          "SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID"},
         false, true},
        // The flag counts, not the buffer: sense data without it stays unread.
        {"error without autosense", STATUS_IO_DEVICE_ERROR, 0x04, SCSISTAT_BUSY, false, true,
         {"STATUS_IO_DEVICE_ERROR", "SCSISTAT_BUSY", "SRB_STATUS_ERROR"}, false, false},
        {"success, no data buffer", STATUS_SUCCESS, 0x01, SCSISTAT_GOOD, false, false,
         {"STATUS_SUCCESS", "SCSISTAT_GOOD", "SRB_STATUS_SUCCESS"}, false, false},
        {"unnamed statuses", STATUS_INVALID_DEVICE_REQUEST, 0x3F, 0x30, false, true,
         {"0xC0000010", "unknown 0x30", "0x3F"}, false, false},
    };
    // clang-format on
    for (const bool pend : {false, true}) {
        for (const Case& c : cases) {
            sim::ClearDebugOutput();
            record_->TraceMask = TRACE_SRB_COMPLETION | TRACE_DATA;
            std::memset(sense_, 0, sizeof sense_);
            Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, c.withData ? data.data() : nullptr, 0x20);
            srb_->SenseInfoBufferLength = sizeof sense_;
            outcome_ = {};
            outcome_.irpStatus = c.irpStatus;
            outcome_.srbStatus = c.srbStatus;
            outcome_.scsiStatus = c.scsiStatus;
            outcome_.pend = pend;
            if (c.withSense) outcome_.sense = kInvalidFieldSense;
            const Sent sent = Send();
            EXPECT_EQ(sent.result.returned, STATUS_PENDING);
            EXPECT_EQ(sent.result.final, c.irpStatus);  // never changed

            std::string expected =
                CompletionLines(sent.irp, "SRB_FUNCTION_EXECUTE_SCSI", c.names[0], c.names[1], c.names[2]);
            if (c.dataDumped) expected += dataDump;
            if (c.senseShown) expected += senseLines;
            EXPECT_EQ(sim::DebugText(), expected) << c.what << (pend ? ", pended" : "");
        }
    }
}

// With only the completion level the two lines print, neither the dispatch
// line nor the dump, and no buffer is mapped for a dump that would not show.
TEST_F(DriverSrb, LevelsSplitTheLines) {
    sim::SimBuffer data = sim::AllocateBuffer(0x10);
    std::memset(data.address, 0x42, 0x10);
    sim::PageOut(data.address);
    // clang-format off
    struct Case {
        ULONG mask;
        bool dispatchLine, completionLines, dump;
    } cases[] = {
        {TRACE_SRB_COMPLETION, false, true, false},
        {TRACE_DATA, false, false, true},
        {TRACE_INTERNAL, true, false, false},
        {0, false, false, false},
        {TRACE_INTERNAL | TRACE_SRB_COMPLETION | TRACE_DATA, true, true, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        sim::PageOut(data.address);
        record_->TraceMask = c.mask;
        Command({0x28}, data.address, 0x10);
        const int mdls = sim::CallCount("IoAllocateMdl");
        const Sent sent = Send();
        EXPECT_EQ(sent.result.returned, STATUS_PENDING);
        std::string expected;
        if (c.dispatchLine)
            expected += Line(
                "Irp: 0x%X - SRB_FUNCTION_EXECUTE_SCSI: 28 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 READ [10]\n",
                Low32(sent.irp));
        if (c.completionLines)
            expected += CompletionLines(sent.irp, "SRB_FUNCTION_EXECUTE_SCSI", "STATUS_SUCCESS", "SCSISTAT_GOOD",
                                        "SRB_STATUS_SUCCESS");
        if (c.dump) expected += DumpLines(std::vector<uint8_t>(0x10, 0x42).data(), 0x10);
        EXPECT_EQ(sim::DebugText(), expected) << "mask " << c.mask;
        // Completed at PASSIVE_LEVEL, the paged-out buffer needs an MDL to be shown.
        EXPECT_EQ(sim::CallCount("IoAllocateMdl") - mdls, c.dump ? 1 : 0) << "mask " << c.mask;
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
    }
    sim::FreeBuffer(data);
}

// A data buffer that is not resident: at PASSIVE_LEVEL it is locked through
// an MDL for the dump and released at once; at DISPATCH_LEVEL nothing may
// page it in, so the dump is skipped.
TEST_F(DriverSrb, PagedOutDataBuffer) {
    record_->TraceMask = TRACE_SRB_COMPLETION | TRACE_DATA;
    sim::SimBuffer data = sim::AllocateBuffer(0x18);
    for (int i = 0; i < 0x18; ++i)
        data.address[i] = static_cast<uint8_t>(0x61 + i);
    std::vector<uint8_t> bytes(data.address, data.address + 0x18);
    for (const bool pend : {false, true}) {
        sim::ClearDebugOutput();
        sim::PageOut(data.address);
        Command({0x28}, data.address, 0x18);
        outcome_ = {};
        outcome_.pend = pend;
        const int mdls = sim::CallCount("IoAllocateMdl");
        const Sent sent = Send();
        std::string expected = CompletionLines(sent.irp, "SRB_FUNCTION_EXECUTE_SCSI", "STATUS_SUCCESS", "SCSISTAT_GOOD",
                                               "SRB_STATUS_SUCCESS");
        if (!pend) expected += DumpLines(bytes.data(), bytes.size());
        EXPECT_EQ(sim::DebugText(), expected) << (pend ? "at DISPATCH_LEVEL" : "at PASSIVE_LEVEL");
        EXPECT_EQ(sim::CallCount("IoAllocateMdl") - mdls, pend ? 0 : 1);
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        if (pend) EXPECT_EQ(sim::QueryPage(data.address), sim::PageState::PagedOut);
    }
    sim::FreeBuffer(data);
}

// The dump shows at most 2048 bytes, and only that much is mapped.
TEST_F(DriverSrb, LargeTransferDumpsItsFirst2048Bytes) {
    record_->TraceMask = TRACE_DATA;
    sim::SimBuffer data = sim::AllocateBuffer(0x10000);
    std::memset(data.address, 0x5A, 0x10000);
    for (size_t page = 0; page < 0x10000; page += sim::kPageSize)
        sim::PageOut(data.address + page);
    Command({0x28}, data.address, 0x10000);
    Send();
    EXPECT_EQ(sim::DebugText(), DumpLines(std::vector<uint8_t>(2048, 0x5A).data(), 2048));
    // The pages beyond the dump were never locked in.
    EXPECT_EQ(sim::QueryPage(data.address + sim::kPageSize), sim::PageState::PagedOut);
    EXPECT_EQ(sim::QueryPage(data.address + 0xF000), sim::PageState::PagedOut);
    sim::FreeBuffer(data);
}

// ---------------------------------------------------------------------------
// What cannot be read

// The decoder reads sense bytes 2, 12 and 13. SenseInfoBufferLength counts
// the valid ones: with fewer than 14 there is nothing to decode, and reading
// on would run past the buffer (here into an invalid page).
TEST_F(DriverSrb, ShortSenseWasDecodedPastItsValidBytes) {
    record_->TraceMask = TRACE_SRB_COMPLETION;
    sim::SimBuffer sense = sim::AllocateBuffer(8, sim::kPageSize - 8);
    const std::vector<uint8_t> shortSense = {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00};
    Command({0x00}, nullptr, 0);
    srb_->SenseInfoBuffer = sense.address;
    outcome_ = {};
    outcome_.irpStatus = STATUS_IO_DEVICE_ERROR;
    outcome_.srbStatus = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
    outcome_.scsiStatus = SCSISTAT_CHECK_CONDITION;
    outcome_.sense = shortSense;
    const Sent sent = Send();
    EXPECT_EQ(sim::DebugText(),
              CompletionLines(sent.irp, "SRB_FUNCTION_EXECUTE_SCSI", "STATUS_IO_DEVICE_ERROR",
                              "SCSISTAT_CHECK_CONDITION", "SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID") +
                  DumpLines(shortSense.data(), 8));
    sim::FreeBuffer(sense);
}

TEST_F(DriverSrb, SenseBufferThatCannotBeRead) {
    record_->TraceMask = TRACE_SRB_COMPLETION;
    sim::SimBuffer paged = sim::AllocateBuffer(18);
    std::memcpy(paged.address, kInvalidFieldSense.data(), 18);
    // clang-format off
    struct Case {
        const char* what;
        PVOID sense;
        bool pend;
        std::string decoded;
    } cases[] = {
        {"nowhere", const_cast<void*>(sim::InvalidKernelAddress()), false, ""},
        {"paged out, at DISPATCH_LEVEL", paged.address, true, ""},
    };
    // clang-format on
    char text[64];
    std::snprintf(text, sizeof text, "Bad sense buffer 0x%016" PRIX64,
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(sim::InvalidKernelAddress())));
    cases[0].decoded = text;
    std::snprintf(text, sizeof text, "Bad sense buffer 0x%016" PRIX64,
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(paged.address)));
    cases[1].decoded = text;
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        sim::PageOut(paged.address);
        Command({0x00}, nullptr, 0);
        srb_->SenseInfoBuffer = c.sense;
        srb_->SenseInfoBufferLength = 18;
        outcome_ = {};
        outcome_.irpStatus = STATUS_IO_DEVICE_ERROR;
        outcome_.srbStatus = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
        outcome_.pend = c.pend;
        const Sent sent = Send();
        EXPECT_EQ(sim::DebugText(), CompletionLines(sent.irp, "SRB_FUNCTION_EXECUTE_SCSI", "STATUS_IO_DEVICE_ERROR",
                                                    "SCSISTAT_GOOD", "SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID") +
                                        Line("SrbCompletion: SenseCode: %s.\n", c.decoded.c_str()))
            << c.what;
    }
    sim::FreeBuffer(paged);
}

// The block beside an SRB code is the sender's word. One that cannot be read
// whole, at the IRQL of the call, is traced as an unknown code, without a look
// inside; the request still goes on with SrbCompletion, which finds nothing
// to read either.
TEST_F(DriverSrb, UnreadableSrbWasDereferenced) {
    record_->TraceMask = TRACE_INTERNAL | TRACE_UNRECOGNISED | TRACE_SRB_COMPLETION;
    // Only the first 0x20 bytes of this block lie on a valid page.
    sim::SimBuffer cut = sim::AllocateBuffer(0x20, sim::kPageSize - 0x20);
    sim::SimBuffer paged = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
    std::memcpy(paged.address, srb_, sizeof(SCSI_REQUEST_BLOCK));
    sim::PageOut(paged.address);
    // clang-format off
    struct Case {
        const char* what;
        PVOID block;
        KIRQL irql;
    } cases[] = {
        {"nowhere", const_cast<void*>(sim::InvalidKernelAddress()), PASSIVE_LEVEL},
        {"cut by an invalid page", cut.address, PASSIVE_LEVEL},
        {"paged out, at DISPATCH_LEVEL", paged.address, DISPATCH_LEVEL},
    };
    // clang-format on
    pdo_->SetHandler({});
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_DEVICE_NOT_READY));
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        Sent sent;
        {
            sim::IrqlScope irql(c.irql);
            sent = Send(0, c.block);
        }
        EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - unknown internal device control IOCTL 0x0.\n", Low32(sent.irp)))
            << c.what;
        // Still an SRB request by its code and pointer: it takes SrbCompletion,
        // which finds nothing to read either and prints nothing.
        EXPECT_EQ(sent.result.returned, STATUS_PENDING) << c.what;
        EXPECT_EQ(sent.result.final, STATUS_DEVICE_NOT_READY) << c.what;
        ASSERT_EQ(pdo_->Received().size(), 1u);
        EXPECT_EQ(pdo_->Received()[0].location.Parameters.Scsi.Srb, c.block) << c.what;
        EXPECT_EQ(pdo_->Received()[0].location.CompletionRoutine, SrbCompletion) << c.what;
    }
    sim::FreeBuffer(cut);
    sim::FreeBuffer(paged);
}

// A port driver that lets the block go before completing: the completion
// finds nothing to read and lets completion go on.
TEST_F(DriverSrb, SrbGoneBeforeCompletion) {
    record_->TraceMask = TRACE_SRB_COMPLETION | TRACE_DATA;
    uint8_t data[4] = {1, 2, 3, 4};
    Command({0x28}, data, sizeof data);
    outcome_ = {};
    outcome_.pend = true;
    outcome_.beforeCompletion = [](PSCSI_REQUEST_BLOCK srb) { sim::InvalidatePage(srb); };
    const Sent sent = Send();
    EXPECT_EQ(sent.result.returned, STATUS_PENDING);
    EXPECT_EQ(sent.result.final, STATUS_SUCCESS);
    EXPECT_EQ(sim::DebugText(), "");
    sim::MakeValid(srb_);
}

}  // namespace
