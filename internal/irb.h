// IEEE 1394 request blocks: IOCTL_1394_CLASS on the internal path.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_1394_CLASS: traces the IRB as the
// record's mask asks and passes the request on (or, on the control device,
// completes it).
NTSTATUS ZK_Internal1394Request(PZK_EXTENSION Extension, PIRP Irp);
