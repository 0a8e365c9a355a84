// URBs sent the way a USB client driver sends them: the block in memory of
// its own, the transfer buffer or its MDL beside it. Shared by the USB steps
// and the storage port of a USB flash disk.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntusb.h"
#include "simkernel/core.h"

namespace scn {

// A number as the USB steps print it: 0x and upper-case hex digits.
std::string Hex(unsigned long long value);

// A USB step failed: carries the reason up.
struct UsbError {
    std::string reason;
};

// What one URB needs beyond its function.
struct UrbRequest {
    std::vector<uint8_t> block;  // the whole URB as its layout has it
    ULONG length = 0;            // the header's Length: the bytes the sender owns
    std::vector<uint8_t> data;   // the transfer buffer's content before the send
    ULONG transferLength = 0;
    bool mdl = false;             // the buffer goes by MDL
    uint8_t* external = nullptr;  // the sender's own buffer of transferLength bytes, used in place
    size_t bufferOffset = 0;      // of TransferBuffer/TransferBufferMDL in the block
    bool deviceControl = false;   // IRP_MJ_DEVICE_CONTROL instead of internal device control
    KPROCESSOR_MODE mode = KernelMode;
    bool middle = false;  // the block lies inside readable memory, not at its end
};

// Bytes that follow a block placed in the middle of readable memory: what a
// reader past the block's Length would find there.
constexpr uint8_t kBeyondBlock = 0xCC;

template <typename T>
T* Layout(UrbRequest* request)
{
    if (request->block.size() < sizeof(T))
        request->block.resize(sizeof(T), 0);
    return reinterpret_cast<T*>(request->block.data());
}

// What came back of a URB.
struct UrbResult {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    std::vector<uint8_t> data;  // the transfer buffer afterwards, TransferBufferLength bytes
};

// Sends the URB as a client driver does: the block in memory of its own,
// exactly Length bytes long with the guard page behind (a reader that goes
// further faults), the buffer or its MDL beside it.
UrbResult SendUrb(PDEVICE_OBJECT device, UrbRequest request);

}  // namespace scn
