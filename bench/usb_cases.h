// The USB request the benchmarks send: a bulk IN transfer, as a class
// driver submits it with IOCTL_INTERNAL_USB_SUBMIT_URB.
#pragma once
#include "platform/ntio.h"
#include "simkernel/memory.h"

namespace zkbench {

// Builds, in *memory (freed by the caller with sim::FreeBuffer), a URB for a
// bulk IN transfer of Length bytes into Data on an opaque pipe handle.
PVOID MakeBulkInUrb(sim::SimBuffer* memory, PVOID Data, ULONG Length);

}  // namespace zkbench
