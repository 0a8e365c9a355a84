// USB request blocks: IOCTL_INTERNAL_USB_SUBMIT_URB, on the internal path
// where a class driver sends it and on the device-control path where a
// program may name it.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_INTERNAL_USB_SUBMIT_URB: traces
// the URB as the record's mask asks and passes the request on (or, on the
// control device, completes it).
NTSTATUS ZK_InternalUrbRequest(PZK_EXTENSION Extension, PIRP Irp);

// IRP_MJ_DEVICE_CONTROL with IOCTL_INTERNAL_USB_SUBMIT_URB: the same, with the
// device-control dispatch's smaller decoding.
NTSTATUS ZK_DeviceControlUrbRequest(PZK_EXTENSION Extension, PIRP Irp);
