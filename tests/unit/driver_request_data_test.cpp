// A data buffer that a request names by its virtual address belongs to the
// process that sent it, while the completion runs in whatever process is
// current. On Windows the request's MDL maps the same pages at a system
// address of its own; here the test gives the MDL a system mapping with other
// bytes than the sender's address, so a dump shows which one the filter read.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/ntioctl.h"
#include "simkernel/memory.h"
#include "tests/unit/expected_text.h"
#include "tests/unit/filtered_stack.h"
#include "trace/print.h"

namespace {

using namespace expected;
using namespace std::chrono_literals;

constexpr ULONG kLength = 16;

class RequestData : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack({FILE_DEVICE_DISK, 0, 0, nullptr}));
        sender_ = sim::AllocateBuffer(kLength);
        mapping_ = sim::AllocateBuffer(kLength);
        std::memset(sender_.address, 'P', kLength);
        std::memset(mapping_.address, 'S', kLength);
        sim::ClearDebugOutput();
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        sim::FreeBuffer(sender_);
        sim::FreeBuffer(mapping_);
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // The sender's buffer described by a locked MDL on the request, mapped in
    // system space at the other buffer. The I/O manager unlocks and frees it
    // with the request.
    void AttachMdl(PIRP irp) {
        PMDL mdl = IoAllocateMdl(sender_.address, kLength, FALSE, FALSE, irp);
        ASSERT_NE(mdl, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        mdl->MappedSystemVa = mapping_.address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }

    std::string SenderDump() const { return DumpLines(sender_.address, kLength); }
    std::string MappingDump() const { return DumpLines(mapping_.address, kLength); }

    sim::SimBuffer sender_;
    sim::SimBuffer mapping_;
};

// A program's direct pass-through: the port driver locks DataBuffer behind an
// MDL and completes at DISPATCH_LEVEL in another thread. The data that came
// in is read through the MDL; without one, the program's address is not read.
TEST_F(RequestData, DirectPassThroughReadsTheProgramsDataThroughTheMdl) {
    record_->TraceMask = TRACE_DEVICE_CONTROL | TRACE_DATA;
    bool describe = true;
    pdo_->SetHandler([&](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return std::nullopt;
        if (describe) AttachMdl(irp);
        return sim::Reply::Pend(STATUS_SUCCESS, sizeof(SCSI_PASS_THROUGH_DIRECT), 0ms, DISPATCH_LEVEL);
    });
    sim::SimBuffer block = sim::AllocateBuffer(sizeof(SCSI_PASS_THROUGH_DIRECT));
    auto* spt = reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(block.address);
    spt->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    spt->CdbLength = 6;
    spt->Cdb[0] = 0x12;
    spt->DataIn = SCSI_IOCTL_DATA_IN;
    spt->DataTransferLength = kLength;
    spt->DataBuffer = sender_.address;
    auto send = [&] {
        sim::ClearDebugOutput();
        sim::Send(pdo_->Device(), sim::Request::DeviceControl(IOCTL_SCSI_PASS_THROUGH_DIRECT, block.address,
                                                              sizeof(SCSI_PASS_THROUGH_DIRECT), block.address,
                                                              sizeof(SCSI_PASS_THROUGH_DIRECT))
                                      .Mode(UserMode));
        pdo_->WaitIdle();
        return sim::DebugText();
    };

    std::string text = send();
    EXPECT_NE(text.find(MappingDump()), std::string::npos) << text;
    EXPECT_EQ(text.find(SenderDump()), std::string::npos) << text;

    describe = false;
    text = send();
    EXPECT_NE(text.find("PassThroughCompletion: DataBuffer: "), std::string::npos) << text;
    EXPECT_EQ(text.find(SenderDump()), std::string::npos) << text;
    EXPECT_EQ(text.find(MappingDump()), std::string::npos) << text;
    sim::FreeBuffer(block);
}

// A disk class driver's SRB for a program's read: DataBuffer is the address
// the program's MDL describes, and the MDL travels on the request.
TEST_F(RequestData, SrbDataOfAProgramsReadComesThroughTheMdl) {
    record_->TraceMask = TRACE_DATA;
    pdo_->SetHandler([](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        if (location->MajorFunction != IRP_MJ_SCSI) return std::nullopt;
        location->Parameters.Scsi.Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return sim::Reply::Pend(STATUS_SUCCESS, kLength, 0ms, DISPATCH_LEVEL);
    });
    sim::SimBuffer block = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
    auto* srb = reinterpret_cast<PSCSI_REQUEST_BLOCK>(block.address);
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb->CdbLength = 10;
    srb->Cdb[0] = 0x28;
    srb->SrbFlags = SRB_FLAGS_DATA_IN;
    srb->DataBuffer = sender_.address;
    srb->DataTransferLength = kLength;
    sim::Send(pdo_->Device(), sim::Request::InternalDeviceControl(0, srb).Setup(
                                  [this](PIRP irp, PIO_STACK_LOCATION) { AttachMdl(irp); }));
    pdo_->WaitIdle();
    EXPECT_EQ(sim::DebugText(), MappingDump());
    sim::FreeBuffer(block);
}

}  // namespace
