// The untraced paths: each dispatch and completion routine tests its levels
// before any other work and takes a short path when none is set. These tests
// hold that path to the traced one: a request leaves the same way at every
// mask, a completion routine reads the mask as it stands when the request
// completes, and a level that is the only one set still reaches its lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "internal/srb.h"
#include "ioctl/completion.h"
#include "platform/ntscsi.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "tests/unit/expected_text.h"
#include "trace/print.h"

namespace {

using namespace expected;

constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_NOT_READY;
// Every level but those of the internal dispatch lines.
constexpr ULONG kNoInternalLines = 0x1FF & ~ULONG(TRACE_INTERNAL | TRACE_UNRECOGNISED);

class DriverUntraced : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        driver_ = sim::LoadDriver(DriverEntry, "zelkor");
        ASSERT_NE(driver_, nullptr);
        pdo_ = &sim::CreatePdo("\\Device\\00000062", {FILE_DEVICE_DISK, DO_DIRECT_IO, 0, nullptr});
        ASSERT_EQ(sim::PnpAddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
        record_ = static_cast<PZK_EXTENSION>(sim::TopOfStack(pdo_->Device())->DeviceExtension);

        srbBuffer_ = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
        srb_ = reinterpret_cast<PSCSI_REQUEST_BLOCK>(srbBuffer_.address);
        srb_->Length = sizeof(SCSI_REQUEST_BLOCK);
        srb_->Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb_->CdbLength = 10;
        srb_->Cdb[0] = 0x28;
        sim::ClearDebugOutput();
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        sim::FreeBuffer(srbBuffer_);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // The lower driver's part: status, srb_'s status set to success, and
    // the mask changed to changedTo_ just ahead of completion when
    // changeMask_ is set.
    void Answer(NTSTATUS status = STATUS_SUCCESS) {
        auto finish = [this](PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            if (location->MajorFunction == IRP_MJ_SCSI && location->Parameters.Scsi.Srb == srb_)
                srb_->SrbStatus = SRB_STATUS_SUCCESS;
            if (changeMask_) record_->TraceMask = changedTo_;
        };
        pdo_->SetRule(IRP_MJ_SCSI, sim::Reply::Complete(status).Fill(finish));
        pdo_->SetRule(IRP_MJ_READ, sim::Reply::Complete(status, 0x200).Fill(finish));
    }

    struct Sent {
        PIRP irp = nullptr;
        sim::IoResult result;
    };

    Sent Send(sim::Request request) {
        Sent sent;
        request.Setup([&](PIRP irp, PIO_STACK_LOCATION) { sent.irp = irp; });
        sent.result = sim::Send(pdo_->Device(), request);
        return sent;
    }

    sim::ReceivedRequest Received() {
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        EXPECT_EQ(received.size(), 1u);
        pdo_->ClearReceived();
        return received.empty() ? sim::ReceivedRequest{} : received.back();
    }

    PDRIVER_OBJECT driver_ = nullptr;
    sim::Pdo* pdo_ = nullptr;
    PZK_EXTENSION record_ = nullptr;
    sim::SimBuffer srbBuffer_;
    PSCSI_REQUEST_BLOCK srb_ = nullptr;
    bool changeMask_ = false;
    ULONG changedTo_ = 0;
};

// Whether an SRB request takes SrbCompletion depends on its code and block
// pointer alone, never on the mask or on whether the block can be read: the
// untraced path must not read the block at all, and the traced path, which
// copies it for its lines, must forward the request the same way.
TEST_F(DriverUntraced, SrbForwardingDependedOnTheMask) {
    sim::SimBuffer cut = sim::AllocateBuffer(0x20, sim::kPageSize - 0x20);
    sim::SimBuffer paged = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
    sim::SimBuffer raced = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
    struct Case {
        const char* what;
        PVOID block;
        KIRQL irql;
        std::function<void()> prepare;
    } cases[] = {
        {"readable", srb_, PASSIVE_LEVEL, {}},
        {"readable, at DISPATCH_LEVEL", srb_, DISPATCH_LEVEL, {}},
        {"nowhere", const_cast<void*>(sim::InvalidKernelAddress()), PASSIVE_LEVEL, {}},
        {"cut by an invalid page", cut.address, PASSIVE_LEVEL, {}},
        {"paged out, at DISPATCH_LEVEL", paged.address, DISPATCH_LEVEL, [&] { sim::PageOut(paged.address); }},
        {"taken away between the validity tests and the read", raced.address, PASSIVE_LEVEL,
         [&] { sim::InvalidatePageAfterChecks(raced.address, 2); }},
    };
    Answer(kLowerStatus);
    for (const Case& c : cases) {
        for (const ULONG mask : {0u, kNoInternalLines, ULONG(TRACE_INTERNAL), 0x1FFu}) {
            record_->TraceMask = mask;
            if (c.prepare) c.prepare();
            Sent sent;
            {
                sim::IrqlScope irql(c.irql);
                sent = Send(sim::Request::InternalDeviceControl(0, c.block));
            }
            sim::MakeValid(paged.address);
            sim::MakeValid(raced.address);
            const sim::ReceivedRequest received = Received();
            EXPECT_EQ(received.location.Parameters.Scsi.Srb, c.block) << c.what << " at mask " << mask;
            EXPECT_EQ(sent.result.returned, STATUS_PENDING) << c.what << " at mask " << mask;
            EXPECT_EQ(sent.result.final, kLowerStatus) << c.what << " at mask " << mask;
            EXPECT_EQ(received.location.CompletionRoutine, SrbCompletion) << c.what << " at mask " << mask;
        }
    }
    sim::FreeBuffer(cut);
    sim::FreeBuffer(paged);
    sim::FreeBuffer(raced);
}

// A tool changes the mask while requests are below: each completion routine
// prints by the mask it finds, not by the one the request was sent under.
TEST_F(DriverUntraced, CompletionUsedTheDispatchTimeMask) {
    Answer();
    changeMask_ = true;
    uint8_t data[0x200] = {};
    struct Case {
        const char* what;
        sim::Request request;
        ULONG sentUnder;
        ULONG changedTo;
        const char* expected;  // takes the IRP's address once
    } cases[] = {
        {"read, traced from completion on", sim::Request::Read(data, sizeof data, 0x400), 0, TRACE_IO,
         "** Irp: 0x%X - completed with Status: STATUS_SUCCESS.\n"},
        {"read, no longer traced at completion", sim::Request::Read(data, sizeof data, 0x400), TRACE_IO, 0,
         "** Irp: 0x%X - IRP_MJ_READ: Length: 0x200, Offset: 0x400\n"},
        {"port status, traced from completion on",
         sim::Request::InternalDeviceControl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, data), 0, TRACE_IO,
         "** Irp: 0x%X - completed with Status: STATUS_SUCCESS.\n"},
        {"SRB, traced from completion on", sim::Request::InternalDeviceControl(0, srb_), 0, TRACE_SRB_COMPLETION,
         "** SrbCompletion: Irp: 0x%X - Function: SRB_FUNCTION_EXECUTE_SCSI, IrpStatus: STATUS_SUCCESS, "
         "ScsiStatus: SCSISTAT_GOOD, SrbStatus: SRB_STATUS_SUCCESS.\n"
         "** SrbCompletion: DataBuffer: 0x0, DataTransferLength: 0x0, SenseInfoBufferLength: 0x0.\n"},
        {"SRB, no longer traced at completion", sim::Request::InternalDeviceControl(0, srb_), TRACE_SRB_COMPLETION, 0,
         ""},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        record_->TraceMask = c.sentUnder;
        changedTo_ = c.changedTo;
        const Sent sent = Send(c.request);
        Received();
        char expected[512];
        std::snprintf(expected, sizeof expected, c.expected, Low32(sent.irp));
        EXPECT_EQ(sim::DebugText(), expected) << c.what;
    }
}

// Each routine tests the union of its levels first; a level left out of it
// would lose its lines whenever it is the only one set.
TEST_F(DriverUntraced, LevelLeftOutOfTheEarlyTest) {
    Answer();
    uint8_t bytes[16];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>(0x41 + i);
    const std::string dump = DumpLines(bytes, sizeof bytes);
    struct Case {
        const char* what;
        ULONG mask;
        std::function<sim::Request()> request;
        std::function<std::string(PIRP)> expected;
    } cases[] = {
        {"WMI registration buffer, dumped at TRACE_DATA", TRACE_DATA,
         [&] {
             return sim::Request(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX)
                 .Setup([&](PIRP, PIO_STACK_LOCATION location) {
                     location->Parameters.WMI.BufferSize = sizeof bytes;
                     location->Parameters.WMI.Buffer = bytes;
                 });
         },
         [&](PIRP) { return dump; }},
        {"SRB data, dumped at TRACE_DATA", TRACE_DATA,
         [&] {
             srb_->DataBuffer = bytes;
             srb_->DataTransferLength = sizeof bytes;
             return sim::Request::InternalDeviceControl(0, srb_);
         },
         [&](PIRP) { return dump; }},
        {"unknown SRB function, at TRACE_UNRECOGNISED", TRACE_UNRECOGNISED,
         [&] {
             srb_->Function = 0xEE;
             return sim::Request::InternalDeviceControl(IOCTL_SCSI_EXECUTE_NONE, srb_);
         },
         [&](PIRP irp) {
             return Line("ZK_IRP_InternalDeviceControl: Irp: 0x%X - unknown SCSI function 0xEE, IOCTL code: 0x%X.\n",
                         Low32(irp), unsigned(IOCTL_SCSI_EXECUTE_NONE));
         }},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        record_->TraceMask = c.mask;
        const Sent sent = Send(c.request());
        Received();
        EXPECT_EQ(sim::DebugText(), c.expected(sent.irp)) << c.what;
    }
}

}  // namespace
