// URBs below the golden scenarios: the end a request takes at every mask
// and on both paths, and what the completion routine makes of a block that
// is not what the dispatch hooked.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "internal/urb.h"
#include "internal/urb_detail.h"
#include "platform/ntscsi.h"
#include "platform/ntusb.h"
#include "simkernel/memory.h"
#include "tests/unit/expected_text.h"
#include "tests/unit/filtered_stack.h"
#include "trace/print.h"

namespace {

using namespace expected;

constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_NOT_READY;

class DriverUrb : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack());
        block_ = sim::AllocateBuffer(sizeof(URB));
        data_ = sim::AllocateBuffer(16);
        for (int i = 0; i < 16; ++i)
            data_.address[i] = static_cast<uint8_t>(0x40 + i);
        urb_ = reinterpret_cast<PURB>(block_.address);
        Answer({});
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        sim::FreeBuffer(block_);
        sim::FreeBuffer(data_);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // A bulk IN transfer of the 16 bytes, as a class driver builds it.
    void Bulk(USHORT function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        std::memset(urb_, 0, sizeof(URB));
        urb_->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb_->UrbHeader.Function = function;
        urb_->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb_->UrbBulkOrInterruptTransfer.TransferBufferLength = 16;
        urb_->UrbBulkOrInterruptTransfer.TransferBuffer = data_.address;
    }

    // The lower driver completes with kLowerStatus, after `change` has had
    // its way with the IRP and the filter's stack location.
    void Answer(std::function<void(PIRP, PIO_STACK_LOCATION)> change) {
        auto fill = [this, change](PIRP irp) {
            irp_ = irp;
            if (change) change(irp, IoGetCurrentIrpStackLocation(irp) + 1);
        };
        pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(kLowerStatus).Fill(fill));
        pdo_->SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(kLowerStatus).Fill(fill));
    }

    sim::IoResult Submit(bool deviceControl, KPROCESSOR_MODE mode = KernelMode) {
        PURB urb = urb_;
        sim::Request request = deviceControl
                                   ? sim::Request::DeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, nullptr, 0)
                                   : sim::Request::InternalDeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        request.Setup([urb](PIRP, PIO_STACK_LOCATION location) { location->Parameters.Others.Argument1 = urb; });
        request.Mode(mode);
        return sim::Send(pdo_->Device(), request);
    }

    sim::SimBuffer block_;
    sim::SimBuffer data_;
    PURB urb_ = nullptr;
    PIRP irp_ = nullptr;
};

// Whether a URB's result is traced depends on its function alone (and on
// who sent it), never on the mask: the untraced path reads the function
// just as the traced one does, and a program's request is never taken for a
// URB, not even when its Argument1 happens to hold one.
TEST_F(DriverUrb, RequestsLeaveByTheirFunctionAtEveryMask) {
    struct Case {
        const char* what;
        USHORT function;
        bool deviceControl;
        KPROCESSOR_MODE mode;
        NTSTATUS returned;
    } cases[] = {
        {"bulk, internal", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, false, KernelMode, STATUS_PENDING},
        {"bulk, device control", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, true, KernelMode, STATUS_PENDING},
        {"descriptor, internal", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, false, KernelMode, STATUS_PENDING},
        {"vendor, device control", URB_FUNCTION_VENDOR_DEVICE, true, KernelMode, STATUS_PENDING},
        {"control transfer, internal", URB_FUNCTION_CONTROL_TRANSFER, false, KernelMode, kLowerStatus},
        {"select configuration, device control", URB_FUNCTION_SELECT_CONFIGURATION, true, KernelMode, kLowerStatus},
        {"isochronous, internal", URB_FUNCTION_ISOCH_TRANSFER, false, KernelMode, kLowerStatus},
        // A program's request goes on with the generic completion.
        {"select configuration from a program", URB_FUNCTION_SELECT_CONFIGURATION, true, UserMode, STATUS_PENDING},
    };
    for (const Case& c : cases) {
        for (const ULONG mask : {0u, ULONG(TRACE_IO), ULONG(TRACE_INTERNAL), 0x1FFu}) {
            record_->TraceMask = mask;
            Bulk(c.function);
            sim::ClearDebugOutput();
            const sim::IoResult result = Submit(c.deviceControl, c.mode);
            EXPECT_EQ(result.returned, c.returned) << c.what << " at mask " << mask;
            EXPECT_EQ(result.final, kLowerStatus) << c.what << " at mask " << mask;
            const std::string text = sim::DebugText();
            if (c.mode == UserMode && mask == 0x1FFu) {
                EXPECT_EQ(text.find("SUBMIT_URB - URB_FUNCTION"), std::string::npos) << text;
                EXPECT_NE(text.find("completed with Status"), std::string::npos) << text;
            }
        }
    }
}

// The completion routine reads the block as it stands when the request
// completes. A control transfer is traced as a descriptor request, with the
// value bytes of its setup packet and its buffer dumped whatever the
// direction; a function or a code it does not trace gets one line at 0x040.
TEST_F(DriverUrb, CompletionTracesTheBlockItFinds) {
    record_->TraceMask = TRACE_INTERNAL | TRACE_UNRECOGNISED;
    const UCHAR setup[8] = {0x00, 0x06, 0x03, 0x02, 0x09, 0x04, 0x10, 0x00};
    Answer([this, &setup](PIRP, PIO_STACK_LOCATION) {
        urb_->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb_->UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
        std::memcpy(urb_->UrbControlTransfer.SetupPacket, setup, 8);
        urb_->UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    });
    Bulk();
    sim::ClearDebugOutput();
    Submit(false);
    std::string text = sim::DebugText();
    const std::string line = Line(
        "ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - "
        "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE - Status 0xC00000A3 - Buffer: 0x%X, MDL: 0x0, Length: 0x10, "
        "Index:0x3, DescriptorType: 0x2.\n",
        Low32(irp_), Low32(data_.address));
    EXPECT_NE(text.find(line + DumpLines(data_.address, 16)), std::string::npos) << text;

    Answer([this](PIRP, PIO_STACK_LOCATION) { urb_->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE; });
    Bulk();
    sim::ClearDebugOutput();
    Submit(false);
    text = sim::DebugText();
    EXPECT_NE(text.find(Line("ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - bad urb code 0x1.\n", Low32(irp_))),
              std::string::npos)
        << text;

    Answer([](PIRP, PIO_STACK_LOCATION filter) {
        filter->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    });
    Bulk();
    sim::ClearDebugOutput();
    Submit(false);
    text = sim::DebugText();
    EXPECT_NE(text.find(Line("ZK_CompletionRoutineUrbSubmit: Irp: 0x%X - bad IOCTL code 0x220013.\n", Low32(irp_))),
              std::string::npos)
        << text;
}

// The transfer MDL is read only when it can be: a URB whose MDL pointer
// leads nowhere is traced, its buffer dumped, and its MDL left alone, on the
// way down (OUT) and back (IN).
TEST_F(DriverUrb, AnMdlThatCannotBeReadIsNotDumped) {
    record_->TraceMask = 0x1FF & ~ULONG(TRACE_TIMESTAMP);
    for (const ULONG direction : {ULONG(USBD_TRANSFER_DIRECTION_OUT), ULONG(USBD_TRANSFER_DIRECTION_IN)}) {
        Bulk();
        urb_->UrbBulkOrInterruptTransfer.TransferFlags = direction;
        urb_->UrbBulkOrInterruptTransfer.TransferBufferMDL =
            static_cast<PMDL>(const_cast<void*>(sim::InvalidKernelAddress()));
        sim::ClearDebugOutput();
        EXPECT_EQ(Submit(false).final, kLowerStatus);
        const std::string text = sim::DebugText();
        EXPECT_NE(text.find(DumpLines(data_.address, 16)), std::string::npos) << text;
        EXPECT_EQ(text.find("ZK_DumpMemory: MDL"), std::string::npos) << text;
    }
}

// The detail level gives a selection a completion routine and reads what
// the lower driver put in the URB no further than the URB's Length: here a
// lower driver claims 100 pipes in an interface record that runs past a
// URB which ends at a page with nothing behind it. One pipe fits; one is
// printed, and nothing faults. Its type is a value no pipe type has, read as
// the number it is (not as the enumeration, whose range it lies outside:
// UBSan stopped the read before). Without the bit the request has no routine.
TEST_F(DriverUrb, TheDetailLevelReadsASelectionNoFurtherThanItsUrb) {
    constexpr ULONG length = sizeof(_URB_SELECT_CONFIGURATION);  // room for one pipe
    sim::SimBuffer tight = sim::AllocateBuffer(length, sim::kPageSize - length);
    auto* select = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(tight.address);
    auto build = [select] {
        std::memset(select, 0, length);
        select->Hdr.Length = length;
        select->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        select->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(0x1);
    };
    Answer([select](PIRP, PIO_STACK_LOCATION) {
        select->ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x8A7C0040);
        select->Interface.Length = 0x18 + 100 * sizeof(USBD_PIPE_INFORMATION);
        select->Interface.NumberOfPipes = 100;
        select->Interface.Pipes[0].EndpointAddress = 0x81;
        const ULONG type = 0xF7;
        std::memcpy(&select->Interface.Pipes[0].PipeType, &type, sizeof(type));
        select->Interface.Pipes[0].MaximumPacketSize = 0x200;
        select->Interface.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x8A7C0100);
    });
    urb_ = reinterpret_cast<PURB>(select);

    record_->TraceMask = 0x1FF;
    build();
    EXPECT_EQ(Submit(false).returned, kLowerStatus);

    record_->TraceMask = TRACE_BUS_DETAIL;
    build();
    sim::ClearDebugOutput();
    EXPECT_EQ(Submit(false).returned, STATUS_PENDING);
    const std::string text = sim::DebugText();
    const std::string head = Line(
        "ZK_CompletionRoutineUrbDetail: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - "
        "URB_FUNCTION_SELECT_CONFIGURATION - ",
        Low32(irp_));
    EXPECT_EQ(text, head + "Status: 0xC00000A3, UsbdStatus: USBD_STATUS_SUCCESS, Length: 0x0.\n" + head +
                        "ConfigurationHandle: 0x8A7C0040.\n" + head +
                        "InterfaceNumber: 0, AlternateSetting: 0, Class: 0x00, SubClass: 0x00, Protocol: 0x00, "
                        "InterfaceHandle: 0x0, NumberOfPipes: 100.\n" +
                        head +
                        "InterfaceNumber: 0, Pipe: 0, PipeHandle: 0x8A7C0100, EndpointAddress: 0x81, PipeType: "
                        "0xF7, MaximumPacketSize: 0x200, Interval: 0x0.\n");
    pdo_->WaitIdle();
    sim::FreeBuffer(tight);
}

}  // namespace
