#include "sim/usb_urb.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/guarded.h"
#include "platform/ntscsi.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"

namespace scn {
namespace {

void ProbeAndLockForUrb(PVOID mdl)
{
    MmProbeAndLockPages(static_cast<PMDL>(mdl), KernelMode, IoModifyAccess);
}

}  // namespace

std::string Hex(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

// Sends the URB as a client driver does: the block in memory of its own,
// exactly Length bytes long with the guard page behind (a reader that goes
// further faults), the buffer or its MDL beside it.
UrbResult SendUrb(PDEVICE_OBJECT device, UrbRequest request)
{
    auto* header = reinterpret_cast<_URB_HEADER*>(request.block.data());
    header->Length = static_cast<USHORT>(request.length);
    if (request.length < sizeof(_URB_HEADER) || request.length > request.block.size())
        throw UsbError{"urb-length= takes " + Hex(sizeof(_URB_HEADER)) + " to " + Hex(request.block.size()) +
                       " for this function"};

    sim::SimBuffer data{};
    PMDL mdl = nullptr;
    uint8_t* buffer = request.external;
    if (request.transferLength != 0 && buffer == nullptr) {
        data = sim::AllocateBuffer(request.transferLength);
        std::memset(data.address, 0, request.transferLength);
        for (size_t i = 0; i < request.transferLength && !request.data.empty(); ++i)
            data.address[i] = request.data[i % request.data.size()];
        buffer = data.address;
    }
    if (request.transferLength != 0 && request.mdl) {
        // As a class driver does: without an MDL, or with pages that cannot
        // be locked (the probe raises), the transfer is not sent at all.
        mdl = IoAllocateMdl(buffer, request.transferLength, FALSE, FALSE, nullptr);
        if (mdl != nullptr && !NT_SUCCESS(ZkGuardedCall(ProbeAndLockForUrb, mdl))) {
            IoFreeMdl(mdl);
            mdl = nullptr;
        }
        if (mdl == nullptr) {
            if (data.address != nullptr)
                sim::FreeBuffer(data);
            throw UsbError{"the transfer buffer's MDL could not be had: the URB is not sent"};
        }
    }
    if (request.bufferOffset != 0) {
        auto* transfer = reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(request.block.data());
        static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                      offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength));
        transfer->TransferBufferLength = request.transferLength;
        transfer->TransferBuffer = request.mdl ? nullptr : buffer;
        transfer->TransferBufferMDL = mdl;
    }

    // At its memory's end, or at the start of a page that goes on readable
    // (holding kBeyondBlock) well past the whole layout.
    const size_t length = request.length;
    sim::SimBuffer block = request.middle ? sim::AllocateBuffer(request.block.size() + sim::kPageSize)
                                          : sim::AllocateBuffer(length, sim::kPageSize - length % sim::kPageSize);
    if (request.middle)
        std::memset(block.address, kBeyondBlock, block.size);
    std::memcpy(block.address, request.block.data(), length);
    PVOID urb = block.address;

    sim::Request irp = request.deviceControl
                           ? sim::Request::DeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, nullptr, 0)
                           : sim::Request::InternalDeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    if (request.deviceControl)
        irp.Setup([urb](PIRP, PIO_STACK_LOCATION location) { location->Parameters.Others.Argument1 = urb; });
    irp.Mode(request.mode);
    UrbResult result;
    result.status = sim::Send(device, irp).final;

    // A short block may lie at any byte: read it back through an aligned copy.
    _URB_BULK_OR_INTERRUPT_TRANSFER done{};
    std::memcpy(&done, block.address, std::min(length, sizeof done));
    result.urbStatus = done.Hdr.Status;
    if (request.bufferOffset != 0 && buffer != nullptr && length >= sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        const ULONG moved = std::min(done.TransferBufferLength, request.transferLength);
        result.data.assign(buffer, buffer + moved);
    }
    if (mdl != nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if (data.address != nullptr)
        sim::FreeBuffer(data);
    sim::FreeBuffer(block);
    return result;
}

}  // namespace scn
