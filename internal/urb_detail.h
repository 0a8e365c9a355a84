// The USB detail level (TRACE_BUS_DETAIL): what the standard URB lines leave
// out. On the way down the setup packet of every request on the default pipe
// and the fields of pipe, isochronous and frame requests; on completion the
// URB's own USBD status and the length moved for every function, the handles
// a selection returns with its interfaces and pipes, isochronous packets, and
// the data that came in on the default pipe. Every line passes
// TRACE_BUS_DETAIL alone; the URB is the sender's block and is read under
// guard, never past its header's Length.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"

// The dispatch's detail lines for the URB at Urb. The caller has tested
// TRACE_BUS_DETAIL. Dispatch, up to DISPATCH_LEVEL.
VOID ZK_TraceUrbDetail(PZK_EXTENSION Extension, PIRP Irp, const void* Urb);

// The completion's detail lines for the URB at Urb, each line opened by
// Routine's name. The caller has tested TRACE_BUS_DETAIL and that the
// request is a kernel-mode IOCTL_INTERNAL_USB_SUBMIT_URB. Up to
// DISPATCH_LEVEL.
VOID ZK_TraceUrbDetailCompletion(PZK_EXTENSION Extension, PIRP Irp, const void* Urb, PCSTR Routine);

// Completion routine of the URBs whose result only the detail level traces
// (every function but bulk, descriptor and vendor requests, which have
// ZK_CompletionRoutineUrbSubmit). Prints detail lines only; changes nothing
// and lets completion go on. Registered with a NULL context.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineUrbDetail;

// The name of a USBD status as the platform spells it, else its value in
// hexadecimal. Buffer holds at least ZK_NAME_BUFFER bytes.
VOID ZK_UsbdStatusName(LONG Status, PCHAR Buffer);
