// Plug and Play, power and pass-through dispatch, driven through the
// simulated kernel: the driver loaded as a service, one instance on a PDO of
// the simulated bus, requests sent the way the managers and applications
// send them. The verifier checks completion, pending and power rules on
// every request; these tests check what the driver itself decides.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "tests/unit/expected_text.h"
#include "trace/print.h"

namespace {

using namespace expected;

using namespace std::chrono_literals;

PZK_EXTENSION Record(PDEVICE_OBJECT device) { return static_cast<PZK_EXTENSION>(device->DeviceExtension); }

// Records the IRP a request was built as, for the lines that print it.
struct IrpCapture {
    PIRP irp = nullptr;
    std::function<void(PIRP, PIO_STACK_LOCATION)> Setup() {
        return [this](PIRP sent, PIO_STACK_LOCATION) { irp = sent; };
    }
};

class DriverPnp : public ::testing::Test {
protected:
    void SetUp() override { Boot(); }

    void TearDown() override {
        if (!removed_) sim::PnpRemoveDevice(pdo_->Device());
        // A request the bus completed from its worker is freed once the
        // worker is done with it, which may be after its sender saw it end.
        pdo_->WaitIdle();
        EXPECT_EQ(sim::OpenHandles(), 0u);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // A fresh kernel with the driver loaded and one instance on a new PDO.
    void Boot() {
        sim::ResetKernel();
        removed_ = false;
        driver_ = sim::LoadDriver(DriverEntry, "zelkor");
        ASSERT_NE(driver_, nullptr);
        pdo_ = &sim::CreatePdo("\\Device\\00000062");
        ASSERT_EQ(sim::PnpAddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
        filter_ = sim::TopOfStack(pdo_->Device());
        control_ = sim::FindDevice("\\Device\\Zelkor1");
        ASSERT_NE(control_, nullptr);
        ASSERT_EQ(Record(filter_)->DeviceKind, ZK_KIND_FILTER);
        record_ = Record(filter_);
        sim::ClearDebugOutput();
    }

    // Ends the instance of this boot and checks it left nothing behind.
    void Shutdown() {
        if (!removed_) sim::PnpRemoveDevice(pdo_->Device());
        removed_ = true;
        EXPECT_EQ(sim::LeakReport(), "");
    }

    sim::IoResult Pnp(UCHAR minor, PIRP* irp = nullptr) {
        IrpCapture capture;
        sim::IoResult result = sim::PnpRequest(pdo_->Device(), minor, capture.Setup());
        if (minor == IRP_MN_REMOVE_DEVICE) removed_ = true;
        if (irp != nullptr) *irp = capture.irp;
        return result;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    sim::Pdo* pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT control_ = nullptr;
    PZK_EXTENSION record_ = nullptr;
    bool removed_ = false;
};

// ---------------------------------------------------------------------------
// Start

TEST_F(DriverPnp, StartIsCompletedAfterTheLowerDevices) {
    struct Case {
        const char* what;
        sim::Reply reply;
        NTSTATUS status;
        LONG state;
    } cases[] = {
        {"completed at once", sim::Reply::Complete(STATUS_SUCCESS), STATUS_SUCCESS, Started},
        {"failed at once", sim::Reply::Complete(STATUS_IO_DEVICE_ERROR), STATUS_IO_DEVICE_ERROR, NotStarted},
        {"pended", sim::Reply::Pend(STATUS_SUCCESS, 0, 20ms), STATUS_SUCCESS, Started},
        {"pended, then failed", sim::Reply::Pend(STATUS_UNSUCCESSFUL, 0, 20ms), STATUS_UNSUCCESSFUL, NotStarted},
    };
    for (const Case& c : cases) {
        Boot();
        record_->TraceMask = TRACE_PASS_PNP | TRACE_DETAIL;
        pdo_->SetRule(IRP_MJ_PNP, IRP_MN_START_DEVICE, c.reply);
        PIRP irp;
        const sim::IoResult result = Pnp(IRP_MN_START_DEVICE, &irp);
        // Never STATUS_PENDING: the dispatch routine waited.
        EXPECT_EQ(result.returned, c.status) << c.what;
        EXPECT_EQ(result.final, c.status) << c.what;
        EXPECT_EQ(record_->PnpState, c.state) << c.what;
        EXPECT_EQ(record_->PreviousPnpState, NotStarted) << c.what;
        EXPECT_EQ(sim::DebugText(),
                  Line("Irp: 0x%X - IRP_MN_START_DEVICE - Device: 0x%X.\n", Low32(irp), Low32(filter_)) +
                      Line("Irp: 0x%X - IRP_MN_START_DEVICE - call IoCompleteRequest.\n", Low32(irp)))
            << c.what;

        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        ASSERT_EQ(received.size(), 1u) << c.what;
        EXPECT_EQ(received[0].location.CompletionRoutine, ZK_CompletionRoutineStartDevice) << c.what;
        EXPECT_EQ(received[0].initialStatus, STATUS_NOT_SUPPORTED) << c.what;
        Shutdown();
    }
}

TEST_F(DriverPnp, StartWaitsWhileTheBusHoldsIt) {
    record_->TraceMask = TRACE_PASS_PNP;
    pdo_->SetRule(IRP_MJ_PNP, IRP_MN_START_DEVICE, sim::Reply::Hold(STATUS_SUCCESS));
    std::future<sim::IoResult> start = sim::SendAsync(pdo_->Device(), sim::Request::Pnp(IRP_MN_START_DEVICE));
    EXPECT_EQ(start.wait_for(200ms), std::future_status::timeout);
    EXPECT_EQ(pdo_->HeldCount(), 1u);
    EXPECT_EQ(record_->PnpState, NotStarted);

    EXPECT_EQ(pdo_->Release(), 1u);
    const sim::IoResult result = start.get();
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_EQ(record_->PnpState, Started);
}

TEST_F(DriverPnp, DetailLineNeedsItsOwnBit) {
    record_->TraceMask = TRACE_DETAIL;
    PIRP irp;
    Pnp(IRP_MN_START_DEVICE, &irp);
    EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - IRP_MN_START_DEVICE - call IoCompleteRequest.\n", Low32(irp)));
}

// ---------------------------------------------------------------------------
// State bookkeeping

TEST_F(DriverPnp, StateFollowsTheRequests) {
    struct Case {
        const char* what;
        std::vector<UCHAR> minors;
        LONG state;
        LONG previous;
    } cases[] = {
        {"start", {IRP_MN_START_DEVICE}, Started, NotStarted},
        {"query-stop, cancel-stop",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
         Started,
         Started},
        // The restore keeps PreviousPnpState: a second cancel steps no further back.
        {"cancel-stop twice",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
         Started,
         Started},
        {"stop", {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, StopPending, StopPending},
        {"stop, start again",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE},
         Started,
         StopPending},
        {"query-remove", {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}, RemovePending, Started},
        {"query-remove, cancel-remove",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
         Started,
         Started},
        {"cancel-remove when not pending", {IRP_MN_START_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, Started, NotStarted},
        {"cancel-stop after query-remove",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
         RemovePending,
         Started},
        {"surprise removal", {IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL}, SurpriseRemoved, Started},
        {"other requests change nothing",
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_DEVICE_USAGE_NOTIFICATION, 0x0E},
         Started,
         NotStarted},
    };
    for (const Case& c : cases) {
        Boot();
        for (UCHAR minor : c.minors)
            Pnp(minor);
        EXPECT_EQ(record_->PnpState, c.state) << c.what;
        EXPECT_EQ(record_->PreviousPnpState, c.previous) << c.what;
        Shutdown();
    }
}

// The six state-changing requests go down with STATUS_SUCCESS; the others
// (unknown ones included) with the status they came with.
TEST_F(DriverPnp, StatusIsSetBeforePassingOnOnlyWhereTheStateChanges) {
    struct Case {
        UCHAR minor;
        NTSTATUS atBus;
    } cases[] = {
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
        {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
        {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED},
        {IRP_MN_DEVICE_USAGE_NOTIFICATION, STATUS_NOT_SUPPORTED},
        {0x0E, STATUS_NOT_SUPPORTED},
        {IRP_MN_BUS_RESET, STATUS_NOT_SUPPORTED},
        {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
    };
    const ULONG flags = filter_->Flags;
    for (const Case& c : cases) {
        pdo_->ClearReceived();
        Pnp(c.minor);
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        ASSERT_EQ(received.size(), 1u) << int(c.minor);
        EXPECT_EQ(received[0].minor, c.minor);
        EXPECT_EQ(received[0].initialStatus, c.atBus) << int(c.minor);
        EXPECT_FALSE(received[0].viaPoCallDriver);
    }
    EXPECT_EQ(filter_->Flags, flags);
}

// ---------------------------------------------------------------------------
// Lines

TEST_F(DriverPnp, NamedAndUnknownMinorsHaveTheirOwnLevels) {
    struct Case {
        UCHAR minor;
        const char* name;  // nullptr: unknown
    } cases[] = {
        {IRP_MN_QUERY_DEVICE_RELATIONS, "IRP_MN_QUERY_DEVICE_RELATIONS"},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, "IRP_MN_FILTER_RESOURCE_REQUIREMENTS"},
        {0x0E, nullptr},
        {IRP_MN_READ_CONFIG, "IRP_MN_READ_CONFIG"},
        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, "IRP_MN_QUERY_LEGACY_BUS_INFORMATION"},
        {0x19, nullptr},
        {0x86, nullptr},
        {IRP_MN_BUS_RESET, "IRP_MN_BUS_RESET"},
        {0x88, nullptr},
        {0xFF, nullptr},
    };
    for (const Case& c : cases) {
        for (ULONG mask : {ULONG(TRACE_PASS_PNP), ULONG(TRACE_UNRECOGNISED)}) {
            sim::ClearDebugOutput();
            record_->TraceMask = mask;
            PIRP irp;
            const sim::IoResult result = Pnp(c.minor, &irp);
            EXPECT_EQ(result.final, STATUS_NOT_SUPPORTED) << int(c.minor);
            std::string expected;
            if (c.name != nullptr && mask == TRACE_PASS_PNP)
                expected = Line("Irp: 0x%X - %s - Device: 0x%X.\n", Low32(irp), c.name, Low32(filter_));
            if (c.name == nullptr && mask == TRACE_UNRECOGNISED)
                expected = Line("ZK_IRP_PnP: Unknown irp minor 0x%X. Irp: 0x%X. Device: 0%X.\n", c.minor, Low32(irp),
                                Low32(filter_));
            EXPECT_EQ(sim::DebugText(), expected) << int(c.minor) << " at mask " << mask;
        }
    }
}

// ---------------------------------------------------------------------------
// Removal

TEST_F(DriverPnp, RemovalTakesTheInstanceApart) {
    record_->TraceMask = TRACE_PASS_PNP;
    Pnp(IRP_MN_START_DEVICE);
    sim::ClearDebugOutput();
    pdo_->SetRule(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, sim::Reply::Complete(STATUS_SUCCESS));

    PIRP irp;
    const sim::IoResult result = Pnp(IRP_MN_REMOVE_DEVICE, &irp);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - IRP_MN_REMOVE_DEVICE - Device: 0x%X.\n", Low32(irp), Low32(filter_)));
    EXPECT_EQ(pdo_->Received().back().minor, IRP_MN_REMOVE_DEVICE);

    EXPECT_FALSE(sim::IsLiveDevice(filter_));
    EXPECT_FALSE(sim::IsLiveDevice(control_));
    EXPECT_EQ(sim::TopOfStack(pdo_->Device()), pdo_->Device());
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), std::nullopt);
    EXPECT_TRUE(sim::DevicesOf(driver_).empty());
    EXPECT_EQ(sim::LeakReport(), "");

    // The instance number is free for the next stack.
    sim::Pdo& next = sim::CreatePdo("\\Device\\00000063");
    ASSERT_EQ(sim::PnpAddDevice(driver_, next.Device()), STATUS_SUCCESS);
    EXPECT_NE(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), std::optional<std::string>("\\Device\\Zelkor1"));
    sim::PnpRemoveDevice(next.Device());
}

TEST_F(DriverPnp, SurpriseRemovalKeepsTheInstanceUntilRemoval) {
    Pnp(IRP_MN_START_DEVICE);
    pdo_->Unplug();
    Pnp(IRP_MN_SURPRISE_REMOVAL);
    EXPECT_TRUE(sim::IsLiveDevice(filter_));
    EXPECT_NE(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    EXPECT_EQ(record_->PnpState, SurpriseRemoved);

    Pnp(IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(pdo_->Deleted());
    EXPECT_FALSE(sim::IsLiveDevice(filter_));
    EXPECT_FALSE(sim::IsLiveDevice(control_));
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
}

// The filter is as pageable as the devices around it allow: set on the way
// down only when the device above has the flag, cleared on the way back
// when the device below has cleared it. Before, it kept what it copied at
// add-device.
TEST_F(DriverPnp, UsageNotificationMirrorsTheDevicesAround) {
    PDEVICE_OBJECT below = pdo_->Device();
    PDEVICE_OBJECT above = sim::CreatePdo("\\Device\\Upper").Device();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(above, below), filter_);
    const auto notify = [&](bool inPath) {
        const sim::IoResult result = sim::Send(filter_, sim::Request::Pnp(IRP_MN_DEVICE_USAGE_NOTIFICATION)
                                                            .Setup([=](PIRP, PIO_STACK_LOCATION location) {
                                                                location->Parameters.UsageNotification.InPath = inPath;
                                                                location->Parameters.UsageNotification.Type =
                                                                    DeviceUsageTypeHibernation;
                                                            })
                                                            .ExactDevice());
        EXPECT_EQ(result.final, STATUS_SUCCESS);
        return (filter_->Flags & DO_POWER_PAGABLE) != 0;
    };
    struct Case {
        bool abovePagable, belowPagable, filterBefore, filterAfter;
    } cases[] = {
        {true, true, false, true},    // set on the way down, as the device above has it
        {true, false, true, false},   // cleared on the way up, as the device below has not
        {false, true, false, false},  // not set when the device above has it not
    };
    const auto set = [](PDEVICE_OBJECT device, bool pagable) {
        device->Flags = pagable ? (device->Flags | DO_POWER_PAGABLE) : (device->Flags & ~DO_POWER_PAGABLE);
    };
    for (const Case& c : cases) {
        for (bool inPath : {true, false}) {
            set(above, c.abovePagable);
            set(below, c.belowPagable);
            set(filter_, c.filterBefore);
            EXPECT_EQ(notify(inPath), c.filterAfter) << c.abovePagable << c.belowPagable << inPath;
        }
    }
    IoDetachDevice(filter_);
}

// A sender that still references the filter device (as the device above it
// may) can reach its dispatch after the removal: the request goes no
// further. Before, it went down with a completion routine that then ran for
// the deleted device (CompletionRoutineOnDeletedDevice; a crash on Windows).
TEST_F(DriverPnp, RequestThroughAReferenceAfterRemovalIsRefused) {
    record_->TraceMask = TRACE_IO;
    PDEVICE_OBJECT held = IoGetAttachedDeviceReference(pdo_->Device());
    ASSERT_EQ(held, filter_);
    Pnp(IRP_MN_REMOVE_DEVICE);
    ASSERT_TRUE(sim::IsDeleted(filter_));
    sim::ClearDebugOutput();

    char buffer[512];
    IrpCapture capture;
    const sim::IoResult result =
        sim::Send(held, sim::Request::Read(buffer, sizeof buffer).Setup(capture.Setup()).ExactDevice());
    EXPECT_EQ(result.final, STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - completed with Status: 0xC0000056.\n", Low32(capture.irp)));
    EXPECT_EQ(pdo_->Received().back().minor, IRP_MN_REMOVE_DEVICE);  // nothing reached the bus
    ObfDereferenceObject(held);
    EXPECT_FALSE(sim::IsLiveDevice(filter_));
}

TEST_F(DriverPnp, RemovalReturnsTheLowerDriversStatus) {
    pdo_->SetRule(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, sim::Reply::Pend(STATUS_SUCCESS, 0, 10ms));
    const sim::IoResult result = Pnp(IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_FALSE(sim::IsLiveDevice(filter_));
}

// A program holding the control device open keeps its device object in
// memory past the removal, but not the filter's record: the control record
// must no longer lead there. Under ASan, any request on the handle that
// followed the old pointer would be a use after free.
TEST_F(DriverPnp, ControlDeviceOpenAcrossRemovalForgetsTheFilter) {
    const sim::OpenResult open = sim::OpenFile("\\DosDevices\\Zelkor1");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    ASSERT_EQ(Record(control_)->FilterDevice, filter_);

    Pnp(IRP_MN_REMOVE_DEVICE);
    EXPECT_FALSE(sim::IsLiveDevice(filter_));
    ASSERT_TRUE(sim::IsLiveDevice(control_));
    EXPECT_TRUE(sim::IsDeleted(control_));
    EXPECT_EQ(Record(control_)->FilterDevice, nullptr);

    // The private request in each of its operations (the data area must be
    // reachable through a 32-bit address), then the other majors.
    constexpr ULONG kRequestCode = 0x5A4B0004;
    void* area = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    std::memset(area, 0, 4096);
    for (ULONG operation = 1; operation <= 4; ++operation) {
        const ULONG request[3] = {0x5A654C6B, operation, Low32(area)};
        ULONG reply[3] = {};
        const sim::IoResult result =
            sim::DeviceIoControl(open.handle, kRequestCode, request, sizeof request, reply, sizeof reply);
        EXPECT_NE(result.final, STATUS_PENDING) << operation;
    }
    char data[16] = {};
    EXPECT_EQ(sim::ReadFile(open.handle, data, sizeof data).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::SendOnHandle(open.handle, sim::Request(IRP_MJ_FLUSH_BUFFERS)).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::SendOnHandle(open.handle, sim::Request::Pnp(IRP_MN_QUERY_CAPABILITIES)).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::SendOnHandle(open.handle, sim::Request::Power(IRP_MN_SET_POWER)).final, STATUS_SUCCESS);

    EXPECT_EQ(sim::CloseFile(open.handle), STATUS_SUCCESS);
    EXPECT_FALSE(sim::IsLiveDevice(control_));
    munmap(area, 4096);
    EXPECT_EQ(sim::DebugText(), "");
}

// ---------------------------------------------------------------------------
// The control device: everything completes there with success, silently,
// and nothing is deleted by a removal sent to it.

TEST_F(DriverPnp, ControlDeviceCompletesEverythingSilently) {
    record_->TraceMask = 0x1FF;
    sim::Request requests[] = {
        sim::Request::Pnp(IRP_MN_START_DEVICE),
        sim::Request::Pnp(IRP_MN_QUERY_CAPABILITIES),
        sim::Request::Pnp(0x0E),
        sim::Request::Pnp(IRP_MN_REMOVE_DEVICE),
        sim::Request::Power(IRP_MN_SET_POWER, DevicePowerState, 4),
        sim::Request::Power(IRP_MN_WAIT_WAKE),
        sim::Request::Power(0x07),
        sim::Request(IRP_MJ_CREATE),
        sim::Request(IRP_MJ_CLEANUP),
        sim::Request(IRP_MJ_CLOSE),
        sim::Request(IRP_MJ_QUERY_INFORMATION),
        sim::Request(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX),
    };
    for (const sim::Request& request : requests) {
        const sim::IoResult result = sim::Send(control_, sim::Request(request).InitialStatus(STATUS_NOT_SUPPORTED));
        EXPECT_EQ(result.returned, STATUS_SUCCESS);
        EXPECT_EQ(result.final, STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::DebugText(), "");
    EXPECT_TRUE(pdo_->Received().empty());
    EXPECT_TRUE(sim::IsLiveDevice(control_));
    EXPECT_FALSE(sim::IsDeleted(control_));
    EXPECT_EQ(Record(control_)->FilterDevice, filter_);
}

// ---------------------------------------------------------------------------
// Power

TEST_F(DriverPnp, PowerRequestsAreTracedAndPassedThroughThePowerManager) {
    struct Case {
        UCHAR minor;
        const char* line;  // at TRACE_IO; nullptr: the unknown line at TRACE_UNRECOGNISED
    } cases[] = {
        {IRP_MN_WAIT_WAKE, "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_WAIT_WAKE.\n"},
        {IRP_MN_POWER_SEQUENCE, "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_POWER_SEQUENCE.\n"},
        {IRP_MN_SET_POWER, "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_SET_POWER.\n"},
        {IRP_MN_QUERY_POWER, "Irp: 0x%X - IRP_MJ_POWER - IRP_MN_QUERY_POWER.\n"},
        {0x04, nullptr},
        {0xFF, nullptr},
    };
    ASSERT_EQ(sim::PowerIrql(pdo_->Device()), DISPATCH_LEVEL);
    for (const Case& c : cases) {
        for (ULONG mask : {ULONG(TRACE_IO), ULONG(TRACE_UNRECOGNISED)}) {
            sim::ClearDebugOutput();
            pdo_->ClearReceived();
            record_->TraceMask = mask;
            IrpCapture capture;
            const sim::IoResult result = sim::PowerRequest(pdo_->Device(), c.minor, capture.Setup());
            EXPECT_EQ(result.returned, STATUS_SUCCESS);

            std::string expected;
            if (c.line != nullptr && mask == TRACE_IO) expected = Line(c.line, Low32(capture.irp));
            if (c.line == nullptr && mask == TRACE_UNRECOGNISED)
                expected = Line("Irp: 0x%X - IRP_MJ_POWER - unknown Minor 0x%X.\n", Low32(capture.irp), c.minor);
            EXPECT_EQ(sim::DebugText(), expected) << int(c.minor) << " at mask " << mask;

            const std::vector<sim::ReceivedRequest> received = pdo_->Received();
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0].minor, c.minor);
            EXPECT_TRUE(received[0].viaPoCallDriver);
            EXPECT_EQ(received[0].irql, DISPATCH_LEVEL);
        }
    }
}

TEST_F(DriverPnp, PowerParametersReachTheBusUnchanged) {
    sim::PowerSetState(pdo_->Device(), DevicePowerState, 3);
    const sim::ReceivedRequest request = pdo_->Received().back();
    EXPECT_EQ(request.location.Parameters.Power.Type, DevicePowerState);
    // Read as a number: the platform's enum names no state beyond 0.
    ULONG state = 0;
    std::memcpy(&state, &request.location.Parameters.Power.State, sizeof state);
    EXPECT_EQ(state, 3u);
    EXPECT_EQ(request.initialStatus, STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------
// Pass-through

TEST_F(DriverPnp, PassThroughLinesByMajorFunction) {
    struct Case {
        UCHAR major;
        UCHAR minor;
        ULONG mask;
        const char* line;  // "%X" takes the IRP; "" for no line
    } cases[] = {
        {IRP_MJ_CREATE, 0, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_CREATE.\n"},
        {IRP_MJ_CREATE, 0, 0, ""},
        {IRP_MJ_CLOSE, 0, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_CLOSE.\n"},
        {IRP_MJ_FLUSH_BUFFERS, 0, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_FLUSH_BUFFERS.\n"},
        {IRP_MJ_SHUTDOWN, 0, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_SHUTDOWN.\n"},
        {IRP_MJ_CLEANUP, 0, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_CLEANUP.\n"},
        {IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, TRACE_PASS_PNP,
         "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_QUERY_ALL_DATA.\n"},
        {IRP_MJ_SYSTEM_CONTROL, IRP_MN_EXECUTE_METHOD, TRACE_PASS_PNP,
         "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_EXECUTE_METHOD.\n"},
        {IRP_MJ_SYSTEM_CONTROL, 0x0A, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - unknown minor 0xA.\n"},
        {IRP_MJ_SYSTEM_CONTROL, 0x0C, TRACE_PASS_PNP, "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - unknown minor 0xC.\n"},
        {IRP_MJ_SYSTEM_CONTROL, 0x0A, TRACE_UNRECOGNISED, ""},
        {IRP_MJ_QUERY_INFORMATION, 0, TRACE_PASS_PNP, ""},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        record_->TraceMask = c.mask;
        IrpCapture capture;
        sim::Send(pdo_->Device(), sim::Request(c.major, c.minor).Setup(capture.Setup()));
        const std::string expected = c.line[0] == '\0' ? "" : Line(c.line, Low32(capture.irp));
        EXPECT_EQ(sim::DebugText(), expected) << int(c.major) << "/" << int(c.minor) << " at mask " << c.mask;
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].major, c.major);
        EXPECT_EQ(received[0].minor, c.minor);
    }

    // An unknown major names itself, its minor and the IRP.
    sim::ClearDebugOutput();
    record_->TraceMask = TRACE_UNRECOGNISED;
    IrpCapture capture;
    sim::Send(pdo_->Device(), sim::Request(IRP_MJ_QUERY_INFORMATION, 3).Setup(capture.Setup()));
    EXPECT_EQ(sim::DebugText(), Line("ZK_IRP_Pass: unknown Major: 0x5, Minor: 0x3, Irp: 0x%X.\n", Low32(capture.irp)));
}

TEST_F(DriverPnp, RegInfoExShowsTheBufferOnlyAsFarAsItGoes) {
    WMIREGINFOW info{};
    info.BufferSize = sizeof info;
    info.RegistryPath = 0x20;
    info.MofResourceName = 0x1234;
    // A 12-byte heap block: ASan reports any read of the name's bytes 12-15.
    std::vector<uint8_t> shortBlock(12, 0xAB);
    // A buffer that claims 16 bytes but ends 8 bytes before an invalid page.
    sim::SimBuffer atPageEnd = sim::AllocateBuffer(8, sim::kPageSize - 8);
    std::memset(atPageEnd.address, 0x41, 8);

    const std::string infoLine0 = "14 00 00 00 00 00 00 00  20 00 00 00 34 12 00 00  ........ ...4...";
    const std::string infoLine1 = "00 00 00 00" + std::string(39, ' ') + "...." + std::string(12, ' ');
    struct Case {
        const char* what;
        PVOID buffer;
        ULONG size;
        ULONG mask;
        std::vector<std::string> after;  // lines after the first, without trailer
    } cases[] = {
        {"null buffer", nullptr, 0x40, TRACE_PASS_PNP | TRACE_DATA, {}},
        {"whole record",
         &info,
         sizeof info,
         TRACE_PASS_PNP | TRACE_DATA,
         {infoLine0, infoLine1, "pWmiRegInfo->MofResourceName: 0x1234."}},
        {"no dump level", &info, sizeof info, TRACE_PASS_PNP, {"pWmiRegInfo->MofResourceName: 0x1234."}},
        {"exactly 16 bytes",
         &info,
         16,
         TRACE_PASS_PNP | TRACE_DATA,
         {infoLine0, "pWmiRegInfo->MofResourceName: 0x1234."}},
        {"short buffer",
         shortBlock.data(),
         12,
         TRACE_PASS_PNP | TRACE_DATA,
         {"AB AB AB AB AB AB AB AB  AB AB AB AB" + std::string(14, ' ') + std::string(12, '\xAB') + "    "}},
        {"size larger than the buffer",
         atPageEnd.address,
         16,
         TRACE_PASS_PNP | TRACE_DATA,
         {"41 41 41 41 41 41 41 41" + std::string(27, ' ') + "AAAAAAAA" + std::string(8, ' ')}},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        record_->TraceMask = c.mask;
        IrpCapture capture;
        sim::Send(
            pdo_->Device(),
            sim::Request(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX).Setup([&](PIRP irp, PIO_STACK_LOCATION location) {
                capture.irp = irp;
                location->Parameters.WMI.ProviderId = 0x1122334455667788ULL;
                location->Parameters.WMI.DataPath = reinterpret_cast<PVOID>(0xABCD);
                location->Parameters.WMI.BufferSize = c.size;
                location->Parameters.WMI.Buffer = c.buffer;
            }));
        std::string expected = Line(
            "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_REGINFO_EX. Provider: 0x55667788, DataPath: 0xABCD, "
            "BufferSize: 0x%X, Buffer: 0x%X.\n",
            Low32(capture.irp), c.size, Low32(c.buffer));
        for (const std::string& line : c.after)
            expected += "** " + line + "\n";
        EXPECT_EQ(sim::DebugText(), expected) << c.what;

        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].location.Parameters.WMI.Buffer, c.buffer) << c.what;
        EXPECT_EQ(received[0].location.Parameters.WMI.BufferSize, c.size) << c.what;
        EXPECT_EQ(received[0].location.Parameters.WMI.ProviderId, 0x1122334455667788ULL) << c.what;
    }
}

}  // namespace
