// What the driver core asks of the subsystems that keep state of their own
// beside an instance's records: the control device's request lock
// (ioctl/control.cpp) and the 1394 callback records (internal/callback.cpp).
// Load, add-device, removal and unload reach that state only through these
// routines, so the core never includes the headers of the subsystems above it.
#pragma once
#include "driver/extension.h"

// The control record's remove lock keeps the filter's record alive while a
// request uses it. ZK_AddDevice readies it once the control record is
// zeroed; the filter's removal retires it before the filter's record goes:
// it waits for the requests in flight, and every later one fails with
// STATUS_NO_SUCH_DEVICE. Both at PASSIVE_LEVEL.
VOID ZK_ControlDeviceReady(PZK_EXTENSION ControlRecord);
VOID ZK_ControlDeviceRetire(PZK_EXTENSION ControlRecord);

// The driver's list of 1394 callback records, empty: at load.
VOID ZK_InitCallbackContexts();

// The device is gone and the lower drivers have finished its removal: waits
// for the 1394 substitutes still running for it, frees the records of its
// ranges and retires the rest until unload. PASSIVE_LEVEL.
VOID ZK_FreeCallbackContexts(PZK_EXTENSION Extension);

// Frees the records the removed devices left behind (the host's mapping
// routine's, which a client may call as long as the driver is there): at
// unload, when no call can come any more.
VOID ZK_FreeRetiredCallbackContexts();
