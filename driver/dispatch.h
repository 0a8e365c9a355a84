// The driver's entry points as the kernel sees them.
//
// driver/ is the core. It includes trace/ and platform/ below it and nothing
// of ioctl/ or internal/ above: their dispatch routines are declared here,
// and what load, add-device, removal and unload ask of them in
// driver/lifetime.h.
#pragma once
#include "platform/ntio.h"

extern "C" DRIVER_INITIALIZE DriverEntry;  // PASSIVE_LEVEL, once per load

DRIVER_UNLOAD ZK_Unload;
DRIVER_ADD_DEVICE ZK_AddDevice;  // PASSIVE_LEVEL, once per device stack

// Dispatch routines: called in the sender's thread at the sender's IRQL.
DRIVER_DISPATCH ZK_IRP_Pass;
DRIVER_DISPATCH ZK_IRP_PnP;    // PASSIVE_LEVEL
DRIVER_DISPATCH ZK_IRP_Power;  // up to DISPATCH_LEVEL
DRIVER_DISPATCH ZK_IRP_Read;
DRIVER_DISPATCH ZK_IRP_Write;
DRIVER_DISPATCH ZK_IRP_DeviceControl;
DRIVER_DISPATCH ZK_IRP_InternalDeviceControl;

// Completion routines: up to DISPATCH_LEVEL, in any thread.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineStartDevice;
IO_COMPLETION_ROUTINE ZK_CompletionRoutineUsageNotification;
