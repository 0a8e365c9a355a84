// The untraced dispatch decides a request's end from its code and the first
// word of its block by shortcuts of its own: a table of the plain codes at
// their hash's slot, one out-of-line path for every other code, a one-word
// guarded read of the block's function. Whatever the shortcut, a request
// must leave the filter at mask 0 as it leaves at the full mask, where the
// dispatch takes its traced path: the same status to its sender, the same
// status at the end, the same completion routine under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <vector>

#include "ioctl/catalogue.h"
#include "ioctl/request.h"
#include "platform/nt1394.h"
#include "platform/ntusb.h"
#include "simkernel/memory.h"
#include "tests/unit/filtered_stack.h"

namespace {

constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_NOT_READY;
// The nine standard levels; the detail level (0x200) gives other URB
// functions a routine of its own.
constexpr ULONG kFullMask = 0x1FF;

struct Exit {
    NTSTATUS returned = 0;
    NTSTATUS final = 0;
    size_t received = 0;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    bool operator==(const Exit&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Exit& exit) {
    return out << "returned 0x" << std::hex << exit.returned << ", final 0x" << exit.final << std::dec << ", "
               << exit.received << " received, routine " << reinterpret_cast<void*>(exit.routine);
}

// Every value the untraced device-control dispatch must decide exactly: each
// catalogue code; every value of the plain codes' table (the plain codes at
// home and the stand-ins of the other slots); for each plain code, another
// value of its slot; the control device's private code, 0 and all ones.
std::vector<ULONG> ControlCodesToTry() {
    std::vector<ULONG> codes;
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes)
        codes.push_back(row.Code);
    for (ULONG slot = 0; slot < ZK_PLAIN_HOME_SIZE; ++slot) {
        const ULONG value = ZK_PlainHome.Code[slot];
        codes.push_back(value);
        if (!ZK_IsPlainControlCode(value)) continue;
        ULONG other = value + 1;
        while (ZK_ControlHash(other) != slot)
            ++other;
        codes.push_back(other);
    }
    codes.insert(codes.end(), {ZK_REQUEST_CODE, 0u, 0xFFFFFFFFu});
    return codes;
}

class UntracedExits : public FilteredStackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildStack());
        pdo_->SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(kLowerStatus));
        pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(kLowerStatus));
    }

    void TearDown() override {
        pdo_->WaitIdle();
        sim::PnpRemoveDevice(pdo_->Device());
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    Exit Send(const sim::Request& request, ULONG mask, KIRQL irql = PASSIVE_LEVEL) {
        record_->TraceMask = mask;
        sim::IoResult result;
        {
            sim::IrqlScope raised(irql);
            result = sim::Send(pdo_->Device(), request);
        }
        const std::vector<sim::ReceivedRequest> received = pdo_->Received();
        pdo_->ClearReceived();
        sim::ClearDebugOutput();
        Exit exit{result.returned, result.final, received.size(), nullptr};
        if (received.size() == 1) exit.routine = received[0].location.CompletionRoutine;
        return exit;
    }
};

TEST_F(UntracedExits, EveryControlCodeLeavesAsTraced) {
    // Room for any code's input: a pass-through block, a property query (all
    // zeros: the standard query), a URB pointer's target.
    sim::SimBuffer input = sim::AllocateBuffer(0x100);
    sim::SimBuffer output = sim::AllocateBuffer(0x100);
    std::memset(input.address, 0, input.size);
    for (const ULONG code : ControlCodesToTry()) {
        const sim::Request request = sim::Request::DeviceControl(code, input.address, 0x40, output.address, 0x40);
        const Exit traced = Send(request, kFullMask);
        EXPECT_EQ(Send(request, 0), traced) << "code 0x" << std::hex << code;
        EXPECT_EQ(traced.received, 1u) << "code 0x" << std::hex << code;
    }
    sim::FreeBuffer(input);
    sim::FreeBuffer(output);
}

// A URB's or an IRB's function word inside a page, across two valid pages,
// and running into an invalid page: read in one piece or not at all, and
// at DISPATCH_LEVEL never touched where a page is missing.
TEST_F(UntracedExits, EveryBlockWordLeavesAsTraced) {
    struct Place {
        const char* what;
        size_t bytes;
        size_t offsetInPage;
        bool readable;
    } places[] = {
        {"inside a page", 0x400, 0x10, true},
        {"across two pages", 0x400, sim::kPageSize - 2, true},
        {"into an invalid page", 2, sim::kPageSize - 2, false},
    };
    for (const Place& place : places) {
        sim::SimBuffer block = sim::AllocateBuffer(place.bytes, place.offsetInPage);
        std::memset(block.address, 0, block.size);
        // The URB's Length, then (where it fits) its function; an IRB of
        // function 0, REQUEST_ASYNC_READ, is all zeros.
        const USHORT head[2] = {sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER};
        std::memcpy(block.address, head, std::min(sizeof(head), block.size));
        const struct {
            const char* what;
            ULONG code;
        } kinds[] = {{"URB", IOCTL_INTERNAL_USB_SUBMIT_URB}, {"IRB", IOCTL_1394_CLASS}};
        for (const auto& kind : kinds) {
            if (kind.code == IOCTL_1394_CLASS) std::memset(block.address, 0, std::min(sizeof(ULONG), block.size));
            const sim::Request request = sim::Request::InternalDeviceControl(kind.code, block.address);
            const Exit traced = Send(request, kFullMask);
            EXPECT_EQ(Send(request, 0), traced) << kind.what << ", " << place.what;
            EXPECT_EQ(Send(request, 0, DISPATCH_LEVEL), traced) << kind.what << ", " << place.what << ", raised";
            // A bulk transfer and an asynchronous read have their results
            // traced; a block that cannot be read goes down untouched.
            EXPECT_EQ(traced.routine != nullptr, place.readable) << kind.what << ", " << place.what;
        }
        sim::FreeBuffer(block);
    }
}

}  // namespace
