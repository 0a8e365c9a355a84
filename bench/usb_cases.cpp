#include "bench/usb_cases.h"

#include <cstring>

#include "platform/ntusb.h"

namespace zkbench {

PVOID MakeBulkInUrb(sim::SimBuffer* memory, PVOID Data, ULONG Length)
{
    *memory = sim::AllocateBuffer(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    auto* urb = reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(memory->address);
    std::memset(urb, 0, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0xFFFF9E0F8A7C0100ull);
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = Length;
    urb->TransferBuffer = Data;
    return urb;
}

}  // namespace zkbench
