// Internal device control, driven through the simulated kernel: the plain
// control codes of the catalogue and their neighbours, the codes outside it,
// the floppy controller's command line, and the control device, which
// classifies like the filter but passes nothing on. SRBs have their own file.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "internal/catalogue.h"
#include "internal/srb.h"
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

// The status every request is answered with below the filter: one the bus
// would not choose by itself, so that passing it back is visible.
constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_NOT_READY;
constexpr const char* kLowerStatusName = "0xC00000A3";

class DriverInternal : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack());
        record_->TraceMask = TRACE_INTERNAL | TRACE_IO;
        pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(kLowerStatus));
        sim::ClearDebugOutput();
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    struct Sent {
        PIRP irp = nullptr;
        sim::IoResult result;
    };

    // An internal request as a driver above sends it: the code, Argument1
    // and, for METHOD_NEITHER parameter blocks, Type3InputBuffer.
    Sent Send(PDEVICE_OBJECT target, ULONG code, PVOID argument1 = nullptr, PVOID type3 = nullptr) {
        Sent sent;
        sim::Request request = sim::Request::InternalDeviceControl(code, argument1);
        request.Setup([&](PIRP irp, PIO_STACK_LOCATION location) {
            sent.irp = irp;
            location->Parameters.DeviceIoControl.Type3InputBuffer = type3;
        });
        sent.result = sim::Send(target, request);
        return sent;
    }

    // The one request the bus received since the last clear.
    sim::ReceivedRequest Received() {
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        EXPECT_EQ(received.size(), 1u);
        pdo_->ClearReceived();
        return received.empty() ? sim::ReceivedRequest{} : received[0];
    }
};

// ---------------------------------------------------------------------------
// The catalogue

// Lines written out here rather than taken from the table, one per kind of
// row: a name, two names of one value, the value in brackets, the two rows
// with a completion routine.
TEST_F(DriverInternal, CatalogueLinesByCode) {
    struct Case {
        ULONG code;
        const char* line;
        bool traced;  // passed down with the generic completion
    } cases[] = {
        {0x70C03, "Irp: 0x%X - IOCTL_DISK_INTERNAL_ACQUIRE_FDC.\n", false},
        {0x70C13, "Irp: 0x%X - IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND_QUEUED.\n", false},
        {0x70C47, "Irp: 0x%X - IOCTL_DISK_INTERNAL_SET_HD_BIT.\n", false},
        {0x220007, "Irp: 0x%X - IOCTL_INTERNAL_USB_RESET_PORT.\n", true},
        {0x22000F, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO.\n", false},
        {0x220013, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_PORT_STATUS.\n", true},
        {0x22001B, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_HUB_COUNT.\n", false},
        {0x220020, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_HUB_NAME.\n", false},
        {0x220220, "Irp: 0x%X - IOCTL_1394_TOGGLE_ENUM_TEST_ON.\n", false},
        {0x220224, "Irp: 0x%X - IOCTL_1394_TOGGLE_ENUM_TEST_OFF.\n", false},
        {0x2203FC, "Irp: 0x%X - IOCTL_USB_HCD_GET_STATS_1.\n", false},
        {0x220408, "Irp: 0x%X - IOCTL_USB_GET_ROOT_HUB_NAME or IOCTL_USB_GET_NODE_INFORMATION.\n", false},
        {0x220420, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_BUS_INFO or IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME.\n",
         false},
        {0x220424, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME or IOCTL_GET_HCD_DRIVERKEY_NAME.\n", false},
        {0x220428, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_BUSGUID_INFO or IOCTL_USB_HCD_GET_STATS_2.\n", false},
        {0x22042C, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO.\n", false},
        {0x220430, "Irp: 0x%X - IOCTL_USB_HCD_DISABLE_PORT.\n", false},
        {0x220433, "Irp: 0x%X - IOCTL_USB_HCD_DISABLE_PORT [0x220433].\n", false},
        {0x220434, "Irp: 0x%X - IOCTL_USB_HCD_ENABLE_PORT.\n", false},
    };
    int block = 0;
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        const Sent sent = Send(pdo_->Device(), c.code, &block);
        std::string expected = Line(c.line, Low32(sent.irp));
        if (c.traced) expected += Line("Irp: 0x%X - completed with Status: %s.\n", Low32(sent.irp), kLowerStatusName);
        EXPECT_EQ(sim::DebugText(), expected) << std::hex << c.code;
        // With a completion routine the sender sees STATUS_PENDING; without
        // one, the lower driver's own answer.
        EXPECT_EQ(sent.result.returned, c.traced ? STATUS_PENDING : kLowerStatus) << std::hex << c.code;
        EXPECT_EQ(sent.result.final, kLowerStatus);

        const sim::ReceivedRequest received = Received();
        EXPECT_EQ(received.location.Parameters.DeviceIoControl.IoControlCode, c.code);
        EXPECT_EQ(received.location.Parameters.Others.Argument1, &block);
        EXPECT_EQ(received.location.CompletionRoutine,
                  c.traced ? ZK_CompletionRoutineGeneric : static_cast<PIO_COMPLETION_ROUTINE>(nullptr))
            << std::hex << c.code;
    }
}

// Every row reached through the dispatch routine, and every value beside a
// row that is no row itself taken for unknown: the lookup matches whole
// values only.
TEST_F(DriverInternal, EveryRowIsReachedAndItsNeighboursAreUnknown) {
    ASSERT_EQ(ZK_INTERNAL_CODE_COUNT, 43u);
    for (const ZK_INTERNAL_CODE& row : ZK_InternalCodes) {
        sim::ClearDebugOutput();
        const Sent sent = Send(pdo_->Device(), row.Code);
        std::string expected = Line(row.Line, Low32(sent.irp), 0u);
        if (row.Handling == ZK_INTERNAL_GENERIC)
            expected += Line("Irp: 0x%X - completed with Status: %s.\n", Low32(sent.irp), kLowerStatusName);
        EXPECT_EQ(sim::DebugText(), expected) << std::hex << row.Code;
        EXPECT_EQ(Received().location.CompletionRoutine != nullptr, row.Handling == ZK_INTERNAL_GENERIC);

        for (const ULONG neighbour : {row.Code - 1, row.Code + 1}) {
            if (ZK_FindInternalCode(neighbour) != nullptr) continue;
            sim::ClearDebugOutput();
            const Sent other = Send(pdo_->Device(), neighbour);
            EXPECT_EQ(sim::DebugText(),
                      Line("Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", Low32(other.irp), neighbour));
            EXPECT_EQ(other.result.returned, kLowerStatus);
            Received();
        }
    }
}

// Codes outside the catalogue, including the four SRB codes without a block
// and the two whose request blocks are not decoded: traced at the internal
// level (not the level of unrecognised codes) and passed on untouched. The
// two undecoded blocks here point at no memory at all.
TEST_F(DriverInternal, UnknownCodesArePassedOnUntouched) {
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof srb;
    const PVOID nowhere = const_cast<void*>(sim::InvalidKernelAddress());
    struct Case {
        ULONG code;
        PVOID argument1;
    } cases[] = {
        {IOCTL_SCSI_EXECUTE_OUT, &srb},  // lies between the two SRB codes but is none
        {0, nullptr},
        {1, nullptr},
        {IOCTL_SCSI_EXECUTE_IN, nullptr},
        {IOCTL_SCSI_EXECUTE_NONE, nullptr},
        {0x70C05, nullptr},
        {0x70C00, nullptr},
        {0x70C4B, nullptr},
        {IOCTL_INTERNAL_USB_SUBMIT_URB, nowhere},
        {IOCTL_1394_CLASS, nowhere},
        {0xFFFFFFFF, nowhere},
    };
    for (const Case& c : cases) {
        for (const ULONG mask : {ULONG(TRACE_INTERNAL), 0x1FFu & ~ULONG(TRACE_INTERNAL)}) {
            sim::ClearDebugOutput();
            record_->TraceMask = mask;
            const Sent sent = Send(pdo_->Device(), c.code, c.argument1);
            const std::string expected =
                mask == TRACE_INTERNAL
                    ? Line("Irp: 0x%X - unknown internal device control IOCTL 0x%X.\n", Low32(sent.irp), c.code)
                    : "";
            EXPECT_EQ(sim::DebugText(), expected) << std::hex << c.code << " at mask " << mask;
            EXPECT_EQ(sent.result.returned, kLowerStatus) << std::hex << c.code;
            const sim::ReceivedRequest received = Received();
            EXPECT_EQ(received.location.Parameters.Others.Argument1, c.argument1);
            EXPECT_EQ(received.location.Parameters.DeviceIoControl.IoControlCode, c.code);
            EXPECT_EQ(received.location.CompletionRoutine, nullptr) << std::hex << c.code;
        }
    }
}

// Tracing affects output only.
TEST_F(DriverInternal, MaskWithoutTheInternalLevelStillTracesCompletion) {
    record_->TraceMask = 0;
    const Sent sent = Send(pdo_->Device(), IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(sent.result.returned, STATUS_PENDING);
    EXPECT_EQ(Received().location.CompletionRoutine, ZK_CompletionRoutineGeneric);
    EXPECT_EQ(Send(pdo_->Device(), IOCTL_INTERNAL_USB_GET_HUB_COUNT).result.returned, kLowerStatus);
    Received();
    EXPECT_EQ(sim::DebugText(), "");
}

TEST_F(DriverInternal, PortStatusPendedAndCompletedAtDispatchLevel) {
    for (const ULONG code : {ULONG(IOCTL_INTERNAL_USB_GET_PORT_STATUS), ULONG(IOCTL_INTERNAL_USB_RESET_PORT)}) {
        sim::ClearDebugOutput();
        pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Pend(STATUS_SUCCESS, 0, 5ms, DISPATCH_LEVEL));
        ULONG portStatus = 0;
        const Sent sent = Send(pdo_->Device(), code, &portStatus);
        EXPECT_EQ(sent.result.returned, STATUS_PENDING);
        EXPECT_EQ(sent.result.final, STATUS_SUCCESS);
        const std::string name = code == IOCTL_INTERNAL_USB_RESET_PORT ? "IOCTL_INTERNAL_USB_RESET_PORT"
                                                                       : "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
        EXPECT_EQ(sim::DebugText(), Line("Irp: 0x%X - %s.\n", Low32(sent.irp), name.c_str()) +
                                        Line("Irp: 0x%X - completed with Status: STATUS_SUCCESS.\n", Low32(sent.irp)));
        Received();
    }
    // Without a completion routine the lower driver's pending answer is
    // passed back as it is.
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Pend(STATUS_SUCCESS, 0, 5ms, DISPATCH_LEVEL));
    EXPECT_EQ(Send(pdo_->Device(), IOCTL_INTERNAL_USB_GET_HUB_COUNT).result.returned, STATUS_PENDING);
    Received();
}

// ---------------------------------------------------------------------------
// The floppy controller's command line

// The command byte is reached through two pointers of the sender's, read
// only where the memory is there to read: an unreadable one prints 0 as a
// missing one does, at any IRQL, without a fault.
TEST_F(DriverInternal, FdcCommandLineNeverFollowsAnUnreadablePointer) {
    const PVOID nowhere = const_cast<void*>(sim::InvalidKernelAddress());
    uint8_t fifo[4] = {0x4D, 0x01, 0x02, 0x03};
    ISSUE_FDC_COMMAND_PARMS good{};
    good.FifoInBuffer = fifo;
    ISSUE_FDC_COMMAND_PARMS noFifo{};
    ISSUE_FDC_COMMAND_PARMS badFifo{};
    badFifo.FifoInBuffer = static_cast<PUCHAR>(nowhere);

    // The block's first member runs into an invalid page after 4 bytes.
    sim::SimBuffer cut = sim::AllocateBuffer(4, sim::kPageSize - 4);
    // A whole block on a page that is paged out, and one whose command bytes are.
    sim::SimBuffer pagedBlock = sim::AllocateBuffer(sizeof(ISSUE_FDC_COMMAND_PARMS));
    std::memcpy(pagedBlock.address, &good, sizeof good);
    sim::PageOut(pagedBlock.address);
    sim::SimBuffer pagedFifo = sim::AllocateBuffer(4);
    pagedFifo.address[0] = 0x4D;
    ISSUE_FDC_COMMAND_PARMS toPagedFifo{};
    toPagedFifo.FifoInBuffer = pagedFifo.address;
    sim::PageOut(pagedFifo.address);

    struct Case {
        const char* what;
        PVOID parameters;
        KIRQL irql;
        ULONG command;
    } cases[] = {
        {"readable", &good, PASSIVE_LEVEL, 0x4D},
        {"readable, at DISPATCH_LEVEL", &good, DISPATCH_LEVEL, 0x4D},
        {"no parameter block", nullptr, PASSIVE_LEVEL, 0},
        {"no command bytes", &noFifo, PASSIVE_LEVEL, 0},
        {"parameter block nowhere", nowhere, PASSIVE_LEVEL, 0},
        {"command bytes nowhere", &badFifo, PASSIVE_LEVEL, 0},
        {"parameter block cut by an invalid page", cut.address, PASSIVE_LEVEL, 0},
        {"parameter block paged out, at DISPATCH_LEVEL", pagedBlock.address, DISPATCH_LEVEL, 0},
        {"command bytes paged out, at DISPATCH_LEVEL", &toPagedFifo, DISPATCH_LEVEL, 0},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        Sent sent;
        {
            sim::IrqlScope irql(c.irql);
            sent = Send(pdo_->Device(), IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND, nullptr, c.parameters);
        }
        char byte[8];
        std::snprintf(byte, sizeof byte, "%02X", c.command);
        EXPECT_EQ(sim::DebugText(),
                  Line("Irp: 0x%X - IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND. Command. 0x%s\n", Low32(sent.irp), byte))
            << c.what;
        EXPECT_EQ(sent.result.returned, kLowerStatus) << c.what;
        const sim::ReceivedRequest received = Received();
        EXPECT_EQ(received.location.Parameters.DeviceIoControl.Type3InputBuffer, c.parameters) << c.what;
        EXPECT_EQ(received.location.CompletionRoutine, nullptr) << c.what;
    }
    EXPECT_EQ(sim::QueryPage(pagedBlock.address), sim::PageState::PagedOut);
    EXPECT_EQ(sim::QueryPage(pagedFifo.address), sim::PageState::PagedOut);
    sim::FreeBuffer(cut);
    sim::FreeBuffer(pagedBlock);
    sim::FreeBuffer(pagedFifo);
}

// ---------------------------------------------------------------------------
// The control device

// Classified and traced as on the filter, through the control device's own
// record, and completed there with success: nothing lies below it, not even
// for the codes that would take a completion routine on the filter.
TEST_F(DriverInternal, ControlDeviceClassifiesButPassesNothingOn) {
    record_->TraceMask = 0x1FF;
    uint8_t fifo[1] = {0x0F};
    ISSUE_FDC_COMMAND_PARMS parameters{};
    parameters.FifoInBuffer = fifo;
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_FLUSH;
    const PVOID nowhere = const_cast<void*>(sim::InvalidKernelAddress());

    struct Case {
        ULONG code;
        PVOID argument1;
        PVOID type3;
        const char* line;  // at TRACE_INTERNAL in the control record, which has no trailer
    } cases[] = {
        {IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, nullptr, "Irp: 0x%X - IOCTL_INTERNAL_USB_CYCLE_PORT.\n"},
        {IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr, nullptr, "Irp: 0x%X - IOCTL_INTERNAL_USB_GET_PORT_STATUS.\n"},
        {IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND, nullptr, &parameters,
         "Irp: 0x%X - IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND. Command. 0x0F\n"},
        {0, &srb, nullptr, "Irp: 0x%X - SRB_FUNCTION_FLUSH.\n"},
        {IOCTL_INTERNAL_USB_SUBMIT_URB, nowhere, nullptr,
         "Irp: 0x%X - unknown internal device control IOCTL 0x220003.\n"},
        {0x12345678, nullptr, nullptr, "Irp: 0x%X - unknown internal device control IOCTL 0x12345678.\n"},
    };
    for (const ULONG controlMask : {0u, ULONG(TRACE_INTERNAL)}) {
        ZK_GetExtension(control_)->TraceMask = controlMask;
        for (const Case& c : cases) {
            sim::ClearDebugOutput();
            sim::Request request =
                sim::Request::InternalDeviceControl(c.code, c.argument1).InitialStatus(STATUS_NOT_SUPPORTED);
            PIRP irp = nullptr;
            request.Setup([&](PIRP built, PIO_STACK_LOCATION location) {
                irp = built;
                location->Parameters.DeviceIoControl.Type3InputBuffer = c.type3;
            });
            const sim::IoResult result = sim::Send(control_, request);
            EXPECT_EQ(result.returned, STATUS_SUCCESS) << std::hex << c.code;
            EXPECT_EQ(result.final, STATUS_SUCCESS) << std::hex << c.code;
            EXPECT_EQ(sim::DebugText(), controlMask == 0 ? "" : LineWith("", c.line, Low32(irp))) << std::hex << c.code;
        }
    }
    ZK_GetExtension(control_)->TraceMask = 0;
    EXPECT_TRUE(pdo_->Received().empty());
}

}  // namespace
