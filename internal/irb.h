// IEEE 1394 request blocks: IOCTL_1394_CLASS on the internal path.
#pragma once
#include "driver/extension.h"
#include "trace/block.h"
#include "platform/nt.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_1394_CLASS: traces the IRB as the
// record's mask asks and passes the request on (or, on the control device,
// completes it). Interposes the client's callback of an address-range
// allocation whatever the mask. Up to DISPATCH_LEVEL.
NTSTATUS ZK_Internal1394Request(PZK_EXTENSION Extension, PIRP Irp);

// Completion routines, up to DISPATCH_LEVEL, in any thread, with a NULL
// context. ZK_CompletionRoutineIrb traces reads, writes and host information
// and interposes the host's physical-address mapping routine;
// ZK_CompletionRoutineAddressRange prints nothing and only keeps the callback
// records in step with the ranges the bus holds.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineIrb;
IO_COMPLETION_ROUTINE ZK_CompletionRoutineAddressRange;

// The IRB's FunctionNumber, its first word, read under guard; FALSE when the
// block cannot be read.
FORCEINLINE BOOLEAN ZK_ReadIrbFunction(const void* Irb, PULONG Function)
{
    static_assert(__builtin_offsetof(IRB, FunctionNumber) == 0 && sizeof(IRB::FunctionNumber) == sizeof(ULONG));
    return ZK_ReadWord(Irb, Function);
}
