// The device-control completion routines check the code they complete: a
// routine that finds another code in the filter's stack location than the
// one it was installed for says so at TRACE_UNRECOGNISED and reads nothing.
// The lower device here rewrites the filter's location before completing,
// which no well-behaved driver does.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "platform/ntioctl.h"
#include "simkernel/memory.h"
#include "tests/unit/expected_text.h"
#include "tests/unit/filtered_stack.h"
#include "trace/print.h"

namespace {

using namespace expected;

constexpr ULONG kOtherCode = 0x9C402410;

class DeviceControlCompletion : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack({FILE_DEVICE_DISK, 0, 0, nullptr}));
        pdo_->SetHandler([](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return std::nullopt;
            PIO_STACK_LOCATION filterLocation = IoGetCurrentIrpStackLocation(irp) + 1;
            filterLocation->Parameters.DeviceIoControl.IoControlCode = kOtherCode;
            return sim::Reply::Complete(STATUS_SUCCESS);
        });
        record_->TraceMask = TRACE_UNRECOGNISED;
    }

    void TearDown() override {
        sim::PnpRemoveDevice(pdo_->Device());
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // Sends the code with a 64-byte buffer both ways; the IRP's address.
    PIRP Send(ULONG code) {
        sim::SimBuffer buffer = sim::AllocateBuffer(64);
        std::memset(buffer.address, 0, 64);
        PIRP sent = nullptr;
        sim::ClearDebugOutput();
        sim::Send(pdo_->Device(), sim::Request::DeviceControl(code, buffer.address, 64, buffer.address, 64)
                                      .Setup([&sent](PIRP irp, PIO_STACK_LOCATION) { sent = irp; }));
        sim::FreeBuffer(buffer);
        return sent;
    }
};

TEST_F(DeviceControlCompletion, ARoutineCompletingAnotherCodeSaysSoAndReadsNothing) {
    PIRP irp = Send(IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(sim::DebugText(),
              Line("ZK_CompletionRoutinePassThrough: Irp: 0x%X - Called for unknown IOCTL code 0x%X.\n", Low32(irp),
                   kOtherCode));

    const std::string before = record_->DeviceName;
    irp = Send(IOCTL_STORAGE_QUERY_PROPERTY);
    EXPECT_EQ(sim::DebugText(),
              Line("ZK_CompletionRoutineDeviceControl: Irp: 0x%X - bad IOCTL code 0x%X.\n", Low32(irp), kOtherCode));
    EXPECT_EQ(record_->DeviceName, before);
}

}  // namespace
