// The control device's private request: a tool reads an instance's identity
// and reads or changes its trace configuration.
#pragma once
#include "driver/extension.h"
#include "driver/lifetime.h"
#include "ioctl/request.h"
#include "platform/nt.h"

// Device type 0x5A4B, function 1, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_ZK_REQUEST CTL_CODE(0x5A4B, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_ZK_REQUEST == 0x5A4B0004 && IOCTL_ZK_REQUEST == ZK_REQUEST_CODE);

// IRP_MJ_DEVICE_CONTROL with IOCTL_ZK_REQUEST on the control device
// (PASSIVE_LEVEL). Completes the request and returns the status it completed
// it with.
NTSTATUS ZK_ControlDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ZK_ControlDeviceReady and ZK_ControlDeviceRetire, which add-device and
// removal call, are declared with the driver core (driver/lifetime.h).
