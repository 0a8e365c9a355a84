// A 1394 bus behind a lower device and a client driver above the filter, as
// the simulator's `ieee1394` steps have them: the client allocates address
// ranges of its own memory with its own routines, the bus keeps them, and a
// remote node's read or write of a range makes the bus call the routine the
// allocation named (through the filter's substitute, which calls the
// client's).
#pragma once
#include "platform/nt.h"
#include "tests/wine/driver/lower.h"
#include "tests/wine/driver/story.h"

namespace zkt {

// The `ieee1394 NAME STEP` steps the stack driver knows: bus, allocate,
// remote-read, remote-write and free.
VOID Play1394(const Step& step, Lower* lower);
// The bus's answer to what reaches the bottom of a stack it sits behind.
NTSTATUS Dispatch1394(Lower* lower, PIRP irp);
// Lets go of the bus and of the client's memory (at unload).
VOID Release1394(Lower* lower);

}  // namespace zkt
