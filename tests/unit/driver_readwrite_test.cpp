// Reads, writes and the generic completion routine, driven through the
// simulated kernel: the driver loaded as a service with one instance on a
// PDO of the simulated bus, whose answers each case chooses. The verifier
// checks pending and completion rules on every request; these tests check
// what the driver answers, prints and passes down.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "ioctl/completion.h"
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

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

struct IrpCapture {
    PIRP irp = nullptr;
    std::function<void(PIRP, PIO_STACK_LOCATION)> Setup() {
        return [this](PIRP sent, PIO_STACK_LOCATION) { irp = sent; };
    }
};

// ---------------------------------------------------------------------------
// A driver above the filter, as a class driver would be: it passes reads and
// writes down with a completion routine that records what reached it.

struct UpperSeen {
    std::atomic<bool> called{false};
    std::atomic<bool> pendingReturned{false};
    std::atomic<int> irql{-1};
    std::atomic<NTSTATUS> lowerReturned{0};
};
UpperSeen g_upper;

struct UpperExtension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT UpperLower(PDEVICE_OBJECT device) {
    return static_cast<UpperExtension*>(device->DeviceExtension)->lower;
}

NTSTATUS UpperCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    g_upper.pendingReturned = irp->PendingReturned != FALSE;
    g_upper.irql = sim::CurrentIrql();
    g_upper.called = true;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS UpperTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(UpperLower(device), irp);
    g_upper.lowerReturned = status;
    return status;
}

NTSTATUS UpperPass(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(UpperLower(device), irp);
}

// The removal goes down first; each driver then leaves on its way back.
NTSTATUS UpperPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return UpperPass(device, irp);
    PDEVICE_OBJECT lower = UpperLower(device);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS UpperAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver, sizeof(UpperExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<UpperExtension*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = UpperPass;
    driver->MajorFunction[IRP_MJ_READ] = UpperTransfer;
    driver->MajorFunction[IRP_MJ_WRITE] = UpperTransfer;
    driver->MajorFunction[IRP_MJ_PNP] = UpperPnp;
    driver->DriverExtension->AddDevice = UpperAddDevice;
    return STATUS_SUCCESS;
}

// Stands in for a device-control dispatch that hooks the generic completion,
// so that the routine's device-control output can be tested on its own.
// As the driver's dispatch routines do: the request holds the remove lock,
// which the completion routine releases.
NTSTATUS DeviceControlWithGenericCompletion(PDEVICE_OBJECT device, PIRP irp) {
    if (!NT_SUCCESS(IoAcquireRemoveLock(&ZK_GetExtension(device)->RemoveLock, irp))) return STATUS_DELETE_PENDING;
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ZK_CompletionRoutineGeneric, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(ZK_GetExtension(device)->LowerDevice, irp);
    return STATUS_PENDING;
}

class DriverReadWrite : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack());
        ASSERT_EQ(record_->DeviceKind, ZK_KIND_FILTER);
        sim::ClearDebugOutput();
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        EXPECT_EQ(sim::OpenHandles(), 0u);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }
};

// How the bus answers a transfer in the table tests.
enum class Lower { Complete, Pend, PendAtPassive, Hold, Cancel };

struct Answer {
    const char* what;
    Lower how;
    NTSTATUS status;
    const char* statusName;
};

const Answer kAnswers[] = {
    {"completed at once", Lower::Complete, STATUS_SUCCESS, "STATUS_SUCCESS"},
    {"failed at once", Lower::Complete, STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
    {"failed with an unnamed status", Lower::Complete, STATUS_INVALID_DEVICE_REQUEST, "0xC0000010"},
    {"pended, completed at DISPATCH_LEVEL", Lower::Pend, STATUS_SUCCESS, "STATUS_SUCCESS"},
    {"pended, failed at DISPATCH_LEVEL", Lower::Pend, STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
    {"pended, completed at PASSIVE_LEVEL", Lower::PendAtPassive, STATUS_SUCCESS, "STATUS_SUCCESS"},
    {"held, then released", Lower::Hold, STATUS_SUCCESS, "STATUS_SUCCESS"},
    {"held, then cancelled", Lower::Cancel, STATUS_CANCELLED, "STATUS_CANCELLED"},
};

// Sends the request with the bus answering as the case says.
sim::IoResult SendAnswered(sim::Pdo& pdo, PDEVICE_OBJECT target, const sim::Request& request, UCHAR major,
                           const Answer& answer, ULONG_PTR information) {
    switch (answer.how) {
    case Lower::Complete:
        pdo.SetRule(major, sim::Reply::Complete(answer.status, information));
        return sim::Send(target, request);
    case Lower::Pend:
        pdo.SetRule(major, sim::Reply::Pend(answer.status, information, 5ms, DISPATCH_LEVEL));
        return sim::Send(target, request);
    case Lower::PendAtPassive:
        pdo.SetRule(major, sim::Reply::Pend(answer.status, information, 5ms, PASSIVE_LEVEL));
        return sim::Send(target, request);
    case Lower::Hold:
    case Lower::Cancel: {
        pdo.SetRule(major, sim::Reply::Hold(answer.status, information));
        std::future<sim::IoResult> pending = sim::SendAsync(target, request);
        while (pdo.HeldCount() == 0)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(pending.wait_for(20ms), std::future_status::timeout);
        if (answer.how == Lower::Hold)
            pdo.Release();
        else
            pdo.CancelHeld();
        return pending.get();
    }
    }
    return {};
}

// ---------------------------------------------------------------------------
// The filter device

TEST_F(DriverReadWrite, FilterAnswersPendingWhateverTheLowerDeviceDoes) {
    uint8_t buffer[0x200] = {};
    for (const bool write : {false, true}) {
        for (const Answer& answer : kAnswers) {
            sim::ClearDebugOutput();
            pdo_->ClearReceived();
            record_->TraceMask = TRACE_IO;
            IrpCapture capture;
            const sim::Request request =
                (write ? sim::Request::Write(buffer, 0x200, 0x800) : sim::Request::Read(buffer, 0x200, 0x800))
                    .Setup(capture.Setup());
            const UCHAR major = write ? IRP_MJ_WRITE : IRP_MJ_READ;
            const sim::IoResult result = SendAnswered(*pdo_, pdo_->Device(), request, major, answer, 0x200);
            const std::string what = std::string(write ? "write " : "read ") + answer.what;

            EXPECT_EQ(result.returned, STATUS_PENDING) << what;
            EXPECT_EQ(result.final, answer.status) << what;
            if (answer.how != Lower::Cancel) EXPECT_EQ(result.information, 0x200u) << what;
            // Only the status line: neither reads nor writes show a buffer.
            EXPECT_EQ(sim::DebugText(),
                      Line(write ? "Irp: 0x%X - IRP_MJ_WRITE: Length: 0x200, Offset: 0x800\n"
                                 : "Irp: 0x%X - IRP_MJ_READ: Length: 0x200, Offset: 0x800\n",
                           Low32(capture.irp)) +
                          Line("Irp: 0x%X - completed with Status: %s.\n", Low32(capture.irp), answer.statusName))
                << what;

            // Passed on unchanged, with the generic completion for every outcome.
            const std::vector<sim::ReceivedRequest> received = pdo_->Received();
            ASSERT_EQ(received.size(), 1u) << what;
            EXPECT_EQ(received[0].major, major) << what;
            EXPECT_EQ(received[0].location.Parameters.Read.Length, 0x200u) << what;
            EXPECT_EQ(received[0].location.Parameters.Read.ByteOffset.QuadPart, 0x800) << what;
            EXPECT_EQ(received[0].location.CompletionRoutine, ZK_CompletionRoutineGeneric) << what;
            EXPECT_EQ(received[0].location.Context, nullptr) << what;
            EXPECT_EQ(received[0].location.Control & 0xE0, 0xE0) << what;
        }
    }
}

// The caller above sees every request as pending, in the IRQL and thread of
// whoever completed it below.
TEST_F(DriverReadWrite, PendingFlagReachesTheDriverAbove) {
    PDRIVER_OBJECT upper = sim::LoadDriver(UpperEntry, "upper");
    ASSERT_NE(upper, nullptr);
    ASSERT_EQ(sim::PnpAddDevice(upper, pdo_->Device()), STATUS_SUCCESS);
    ASSERT_EQ(sim::AttachedTo(sim::TopOfStack(pdo_->Device())), filter_);

    struct Case {
        const char* what;
        sim::Reply reply;
        KIRQL completionIrql;
    } cases[] = {
        {"completed at once", sim::Reply::Complete(STATUS_SUCCESS, 4), PASSIVE_LEVEL},
        {"failed at once", sim::Reply::Complete(STATUS_IO_DEVICE_ERROR), PASSIVE_LEVEL},
        {"pended, completed at DISPATCH_LEVEL", sim::Reply::Pend(STATUS_SUCCESS, 4, 5ms, DISPATCH_LEVEL),
         DISPATCH_LEVEL},
        {"pended, failed at DISPATCH_LEVEL", sim::Reply::Pend(STATUS_IO_DEVICE_ERROR, 0, 5ms, DISPATCH_LEVEL),
         DISPATCH_LEVEL},
    };
    uint8_t buffer[4] = {};
    for (const Case& c : cases) {
        for (const UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
            g_upper.called = false;
            g_upper.pendingReturned = false;
            pdo_->SetRule(major, c.reply);
            const sim::Request request =
                major == IRP_MJ_READ ? sim::Request::Read(buffer, 4) : sim::Request::Write(buffer, 4);
            const sim::IoResult result = sim::Send(pdo_->Device(), request);
            EXPECT_EQ(result.returned, STATUS_PENDING) << c.what;
            EXPECT_EQ(g_upper.lowerReturned.load(), STATUS_PENDING) << c.what;
            EXPECT_TRUE(g_upper.called.load()) << c.what;
            EXPECT_TRUE(g_upper.pendingReturned.load()) << c.what;
            EXPECT_EQ(g_upper.irql.load(), c.completionIrql) << c.what;
            EXPECT_EQ(result.final, c.reply.status) << c.what;
        }
    }
}

TEST_F(DriverReadWrite, SentAtDispatchLevel) {
    record_->TraceMask = TRACE_IO;
    pdo_->SetRule(IRP_MJ_READ, sim::Reply::Complete(STATUS_SUCCESS, 0x10));
    uint8_t buffer[0x10];
    IrpCapture capture;
    sim::IoResult result;
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        result = sim::Send(pdo_->Device(), sim::Request::Read(buffer, 0x10, 0x123456789A).Setup(capture.Setup()));
    }
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    // The offset is a 64-bit value.
    EXPECT_EQ(sim::DebugText(),
              Line("Irp: 0x%X - IRP_MJ_READ: Length: 0x10, Offset: 0x123456789A\n", Low32(capture.irp)) +
                  Line("Irp: 0x%X - completed with Status: STATUS_SUCCESS.\n", Low32(capture.irp)));
    EXPECT_EQ(pdo_->Received().at(0).irql, DISPATCH_LEVEL);
}

// Tracing affects output only: without the I/O level the request still goes
// down with the completion routine and still answers STATUS_PENDING.
TEST_F(DriverReadWrite, MaskWithoutTheIoLevelPrintsNothing) {
    uint8_t buffer[8] = {};
    for (const ULONG mask : {0x000u, 0x1FEu, ULONG(TRACE_TIMESTAMP)}) {
        sim::ClearDebugOutput();
        pdo_->ClearReceived();
        record_->TraceMask = mask;
        pdo_->SetRule(IRP_MJ_WRITE, sim::Reply::Complete(STATUS_IO_DEVICE_ERROR));
        const sim::IoResult result = sim::Send(pdo_->Device(), sim::Request::Write(buffer, 8, 0));
        EXPECT_EQ(result.returned, STATUS_PENDING) << mask;
        EXPECT_EQ(result.final, STATUS_IO_DEVICE_ERROR) << mask;
        EXPECT_EQ(sim::DebugText(), "") << mask;
        ASSERT_EQ(pdo_->Received().size(), 1u);
        EXPECT_EQ(pdo_->Received()[0].location.CompletionRoutine, ZK_CompletionRoutineGeneric) << mask;
    }
}

// ---------------------------------------------------------------------------
// The control device: nothing lies below it

TEST_F(DriverReadWrite, ControlDeviceCompletesAtOnce) {
    record_->TraceMask = 0x1FF;
    uint8_t buffer[0x20] = {};
    for (const bool write : {false, true}) {
        const sim::Request request =
            (write ? sim::Request::Write(buffer, 0x20, 0x40) : sim::Request::Read(buffer, 0x20, 0x40))
                .InitialStatus(STATUS_NOT_SUPPORTED)
                .InitialInformation(0x7);
        const sim::IoResult result = sim::Send(control_, request);
        EXPECT_EQ(result.returned, STATUS_SUCCESS) << write;
        EXPECT_EQ(result.final, STATUS_SUCCESS) << write;
        EXPECT_EQ(result.information, 0x7u) << write;  // left as it came
    }

    // As a program sends them, through the link.
    const sim::OpenResult open = sim::OpenFile("\\DosDevices\\Zelkor1");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::ReadFile(open.handle, buffer, sizeof buffer, 0).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::WriteFile(open.handle, buffer, sizeof buffer, 0).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::CloseFile(open.handle), STATUS_SUCCESS);

    EXPECT_EQ(sim::DebugText(), "");  // the control record's mask stays 0
    EXPECT_TRUE(pdo_->Received().empty());
}

// ---------------------------------------------------------------------------
// The generic completion routine under device control

class GenericCompletion : public DriverReadWrite {
protected:
    void SetUp() override {
        DriverReadWrite::SetUp();
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlWithGenericCompletion;
    }

    struct Sent {
        PIRP irp = nullptr;
        PVOID systemBuffer = nullptr;  // as the I/O manager set it up
    };

    // Sends a device-control request whose output the bus fills with a
    // pattern.
    Sent Send(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength, NTSTATUS status,
              std::function<void(PIRP, PIO_STACK_LOCATION)> setup = {}) {
        Sent sent;
        pdo_->SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(status, 0).Fill([](PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            const ULONG method = location->Parameters.DeviceIoControl.IoControlCode & 3;
            if (method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer != nullptr) {
                uint8_t* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                for (ULONG i = 0; i < location->Parameters.DeviceIoControl.OutputBufferLength; ++i)
                    system[i] = static_cast<uint8_t>(0x30 + i % 64);
            }
        }));
        sim::Request request = sim::Request::DeviceControl(code, input, inputLength, output, outputLength);
        request.Setup([&](PIRP irp, PIO_STACK_LOCATION location) {
            sent.irp = irp;
            sent.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            if (setup) setup(irp, location);
        });
        const sim::IoResult result = sim::Send(pdo_->Device(), request);
        EXPECT_EQ(result.returned, STATUS_PENDING);
        EXPECT_EQ(result.final, status);
        return sent;
    }
};

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kInDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_NEITHER, FILE_ANY_ACCESS);

std::vector<uint8_t> Pattern(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(0x30 + i % 64);
    return bytes;
}

TEST_F(GenericCompletion, StatusBufferLineAndOutputDump) {
    record_->TraceMask = TRACE_IO | TRACE_DEVICE_CONTROL;
    std::vector<uint8_t> input(0x10, 0xEE), output(0x20);
    const Sent sent = Send(kBufferedCode, input.data(), 0x10, output.data(), 0x20, STATUS_INVALID_DEVICE_REQUEST);
    // The output length is dumped whatever the status and whatever
    // Information says.
    const std::vector<uint8_t> dumped = Pattern(0x20);
    EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - completed with Status: 0xC0000010.\n", Low32(sent.irp)) +
                                    Line("Buffer: 0x%X, Length: 0x10/0x20.\n", Low32(sent.systemBuffer)) +
                                    DumpLines(dumped.data(), 0x20));
}

TEST_F(GenericCompletion, DumpFollowsTheOutputLengthAndItsLevel) {
    struct Case {
        ULONG output;
        ULONG mask;
        size_t lines;  // after the status and buffer lines
    } cases[] = {
        {0, TRACE_IO | TRACE_DEVICE_CONTROL, 2},
        {1, TRACE_IO | TRACE_DEVICE_CONTROL, 3},
        {0x1000, TRACE_IO | TRACE_DEVICE_CONTROL, 2 + 128},
        {0x40, TRACE_IO, 2},
        {0x40, TRACE_DEVICE_CONTROL, 4},
        {0x40, 0, 0},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        record_->TraceMask = c.mask;
        std::vector<uint8_t> output(c.output);
        Send(kBufferedCode, nullptr, 0, output.data(), c.output, STATUS_SUCCESS);
        EXPECT_EQ(CountLines(sim::DebugText()), c.lines) << c.output << " at mask " << c.mask;
    }
}

// The direct methods keep only the input in the system buffer: dumping the
// output length from it would read past its end (ASan's heap-buffer-overflow;
// beyond a page, a fault).
TEST_F(GenericCompletion, DirectMethodDumpReadPastTheSystemBuffer) {
    record_->TraceMask = TRACE_IO | TRACE_DEVICE_CONTROL;
    const std::vector<uint8_t> input = Pattern(0x10);
    for (const ULONG code : {kOutDirectCode, kInDirectCode}) {
        sim::ClearDebugOutput();
        std::vector<uint8_t> output(0x100);
        Send(code, input.data(), 0x10, output.data(), 0x100, STATUS_SUCCESS);
        const std::string text = sim::DebugText();
        ASSERT_EQ(CountLines(text), 3u) << text;
        EXPECT_NE(text.find("Length: 0x10/0x100.\n"), std::string::npos);
        EXPECT_TRUE(text.ends_with(DumpLines(input.data(), 0x10))) << text;
    }
    // Output shorter than the input: the output length still bounds the dump.
    sim::ClearDebugOutput();
    std::vector<uint8_t> output(4);
    Send(kOutDirectCode, input.data(), 0x10, output.data(), 4, STATUS_SUCCESS);
    EXPECT_TRUE(sim::DebugText().ends_with(DumpLines(input.data(), 4))) << sim::DebugText();
}

// METHOD_NEITHER has no system buffer: whatever the field holds is not the
// request's, and for USB hub requests the length fields even hold pointers.
TEST_F(GenericCompletion, MethodNeitherDumpedAForeignSystemBuffer) {
    record_->TraceMask = TRACE_IO | TRACE_DEVICE_CONTROL;
    sim::SimBuffer stale = sim::AllocateBuffer(16);
    std::memset(stale.address, 0x55, 16);
    uint8_t output[0x40] = {};
    const Sent sent = Send(kNeitherCode, nullptr, 0, output, 0x40, STATUS_SUCCESS,
                           [&](PIRP irp, PIO_STACK_LOCATION) { irp->AssociatedIrp.SystemBuffer = stale.address; });
    EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - completed with Status: STATUS_SUCCESS.\n", Low32(sent.irp)) +
                                    Line("Buffer: 0x%X, Length: 0x0/0x40.\n", Low32(stale.address)));
    sim::FreeBuffer(stale);
}

}  // namespace
