// The driver under load: several threads send reads, SRBs, URBs and IRBs
// through one stack, the lower device completing some at once and some later
// from its own thread at DISPATCH_LEVEL, while a program changes the trace
// configuration through the control device; meanwhile the device is
// surprise-removed, the senders stop as class drivers do, and the device is
// removed and the driver unloaded. Every request must come back exactly once
// (the verifier checks double completion), nothing may be left, and the
// verifier must stay silent.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/dispatch.h"
#include "ioctl/request.h"
#include "platform/nt1394.h"
#include "platform/ntscsi.h"
#include "platform/ntusb.h"
#include "simkernel/bus.h"
#include "simkernel/caller.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "tools/zkctl/zkctl.h"

namespace {

// Answers every request a stack of this kind sees: reads with their length,
// SRBs with success, URBs and IRBs with success; every third one later, from
// the bus's worker at DISPATCH_LEVEL. Once the device is gone, with
// STATUS_NO_SUCH_DEVICE.
class LoadModel : public sim::DeviceModel {
public:
    NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) override {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = gone ? (NTSTATUS)0xC000000E : STATUS_SUCCESS;
        ULONG_PTR information = 0;
        if (stack->MajorFunction == IRP_MJ_READ && status == STATUS_SUCCESS)
            information = stack->Parameters.Read.Length;
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == 0) {
            auto* srb = static_cast<PSCSI_REQUEST_BLOCK>(stack->Parameters.Others.Argument1);
            srb->SrbStatus = status == STATUS_SUCCESS ? SRB_STATUS_SUCCESS : SRB_STATUS_NO_DEVICE;
        }
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            urb->UrbHeader.Status =
                status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : (USBD_STATUS)0xC0007000;  // USBD_STATUS_DEVICE_GONE
        }
        if (counter.fetch_add(1) % 3 == 0)
            return pdo->Answer(irp,
                               sim::Reply::Pend(status, information, std::chrono::milliseconds(0), DISPATCH_LEVEL));
        return pdo->Answer(irp, sim::Reply::Complete(status, information));
    }

    sim::Pdo* pdo = nullptr;
    std::atomic<bool> gone{false};
    std::atomic<unsigned> counter{0};
};

class HandleInstance : public zkctl::Instance {
public:
    explicit HandleInstance(HANDLE handle) : handle_(handle) {}
    zkctl::Reply Request(const std::vector<uint8_t>& input, size_t outputLength) override {
        std::vector<uint8_t> output(outputLength);
        sim::IoResult result = sim::DeviceIoControl(handle_, ZK_REQUEST_CODE, input, output);
        zkctl::Reply reply;
        if (!NT_SUCCESS(result.final)) reply.failure = zkctl::Failure::Refused;
        output.resize(std::min<size_t>(result.information, output.size()));
        reply.output = output;
        return reply;
    }

private:
    HANDLE handle_;
};

// The four kinds of request the senders mix: a read, an SRB, a URB and an
// IRB, each reading into `data`; `blocks` holds the block.
sim::Request MixedRequest(unsigned kind, void* data, void* blocks) {
    switch (kind) {
    case 0:
        return sim::Request::Read(data, 512, 0x10000);
    case 1: {
        auto* srb = reinterpret_cast<PSCSI_REQUEST_BLOCK>(blocks);
        srb->Length = sizeof(SCSI_REQUEST_BLOCK);
        srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb->CdbLength = 10;
        srb->Cdb[0] = 0x28;
        srb->Cdb[8] = 1;
        srb->SrbFlags = SRB_FLAGS_DATA_IN;
        srb->DataTransferLength = 512;
        srb->DataBuffer = data;
        return sim::Request::InternalDeviceControl(0, srb);
    }
    case 2: {
        auto* urb = reinterpret_cast<PURB>(blocks);
        urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = data;
        return sim::Request::InternalDeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    }
    default: {
        auto* irb = reinterpret_cast<IRB*>(blocks);
        irb->FunctionNumber = REQUEST_ASYNC_READ;
        irb->u.AsyncRead.nNumberOfBytesToRead = 64;
        return sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb);
    }
    }
}

TEST(DriverLoad, RequestsRacingConfigurationChangesAndRemoval) {
    sim::ResetKernel();
    sim::SetDebugRecording(false);
    PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, "zelkor");
    ASSERT_NE(driver, nullptr);
    auto model = std::make_shared<LoadModel>();
    sim::PdoOptions options;
    options.flags = DO_DIRECT_IO;
    options.deviceType = FILE_DEVICE_DISK;
    options.model = model;
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", options);
    model->pdo = &pdo;
    ASSERT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpStartDevice(pdo.Device()).final, STATUS_SUCCESS);
    PDEVICE_OBJECT top = sim::TopOfStack(pdo.Device());

    std::atomic<bool> stop{false};
    std::atomic<unsigned> sent{0}, returned{0};
    auto sender = [&](unsigned seed) {
        sim::SimBuffer data = sim::AllocateBuffer(4096);
        sim::SimBuffer blocks = sim::AllocateBuffer(4096);
        for (unsigned i = 0; !stop.load(); ++i) {
            std::memset(blocks.address, 0, 4096);
            const sim::Request request = MixedRequest((seed + i) % 4, data.address, blocks.address);
            sent.fetch_add(1);
            sim::Send(top, request);
            returned.fetch_add(1);
        }
        sim::FreeBuffer(blocks);
        sim::FreeBuffer(data);
    };
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 4; ++t)
        senders.emplace_back(sender, t);

    // A program switching tracing on and off, and reading it back.
    std::atomic<bool> programStop{false};
    std::atomic<unsigned> changes{0};
    std::thread program([&] {
        sim::ActingAs admin(sim::Account::Administrator);
        sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor1", UserMode);
        ASSERT_NE(opened.handle, nullptr);
        auto open = [&](unsigned, zkctl::Reply*) { return std::make_unique<HandleInstance>(opened.handle); };
        for (unsigned i = 0; !programStop.load(); ++i) {
            zkctl::Run({"set", "1", "--mask", i % 2 ? "0x0FF" : "0", "--trailer", i % 2 ? "on: " : "off: "}, open);
            zkctl::Run({"get", "1"}, open);
            changes.fetch_add(1);
        }
        sim::CloseFile(opened.handle);
    });

    while (sent.load() < 400 || changes.load() < 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The device is pulled while requests and changes are under way; the
    // class drivers above stop sending once they learn it.
    model->gone = true;
    EXPECT_EQ(sim::PnpRequest(pdo.Device(), IRP_MN_SURPRISE_REMOVAL).final, STATUS_SUCCESS);
    while (sent.load() < 600)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (std::thread& t : senders)
        t.join();
    programStop = true;
    program.join();
    pdo.WaitIdle();
    EXPECT_EQ(sent.load(), returned.load());

    EXPECT_EQ(sim::PnpRemoveDevice(pdo.Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::LeakReport(), "");
    EXPECT_TRUE(sim::OutstandingMdls().empty());
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::ResetKernel();
}

}  // namespace
