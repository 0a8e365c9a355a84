// USB request blocks: IOCTL_INTERNAL_USB_SUBMIT_URB, on the internal path
// where a class driver sends it and on the device-control path where a
// program may name it.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_INTERNAL_USB_SUBMIT_URB: traces
// the URB as the record's mask asks and passes the request on (or, on the
// control device, completes it). Dispatch, up to DISPATCH_LEVEL.
NTSTATUS ZK_InternalUrbRequest(PZK_EXTENSION Extension, PIRP Irp);

// IRP_MJ_DEVICE_CONTROL with IOCTL_INTERNAL_USB_SUBMIT_URB: the same, with the
// device-control dispatch's smaller decoding, every line at its level. From
// user mode the request carries no URB and nothing of it is read.
NTSTATUS ZK_DeviceControlUrbRequest(PZK_EXTENSION Extension, PIRP Irp);

// Completion routine of bulk, descriptor and vendor requests: up to
// DISPATCH_LEVEL, in any thread. Prints the request's status and the
// transfer, dumps what came from the device; changes nothing and lets
// completion go on. Registered with a NULL context.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineUrbSubmit;
