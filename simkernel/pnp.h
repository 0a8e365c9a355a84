// The driver loader and a small Plug and Play and power manager: loads a
// driver as a service, hands it device stacks through its add-device
// routine, and sends the Plug and Play and power requests those managers
// send, to the top of a PDO's stack, waiting for each to finish.
#pragma once
#include <functional>
#include <string>

#include "platform/ntio.h"
#include "simkernel/iomgr.h"

namespace sim {

// ---------------------------------------------------------------------------
// Loader

// Creates the driver object ("\Driver\<service>", DriverExtension with the
// service name), makes sure the service key exists under
// \Registry\Machine\System\CurrentControlSet\Services, and calls the entry
// routine at PASSIVE_LEVEL with that key's path. Devices created there lose
// DO_DEVICE_INITIALIZING afterwards, as the I/O manager does for them.
// nullptr when the entry routine fails (devices left behind are a bug
// check) or the name is taken; *status (if given) says why.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName, NTSTATUS* status = nullptr);
// Calls the unload routine; device objects of the driver left after it are a
// bug check. STATUS_INVALID_DEVICE_REQUEST for a driver without one (it
// cannot be unloaded), STATUS_INVALID_PARAMETER for one not loaded.
// STATUS_PENDING when a deleted device
// object of the driver is still referenced (a queued work item, an open
// handle): the unload routine is then called, on that thread, when the
// last such reference goes.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------------------
// Plug and Play

// Calls the driver's AddDevice routine for the PDO's stack at PASSIVE_LEVEL.
// When it succeeds, every device it created must have cleared
// DO_DEVICE_INITIALIZING (a bug check otherwise). STATUS_INVALID_DEVICE_REQUEST
// for a driver without an AddDevice routine.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// Requests to the top of the PDO's stack at PASSIVE_LEVEL, IoStatus.Status
// starting as STATUS_NOT_SUPPORTED.
IoResult PnpStartDevice(PDEVICE_OBJECT pdo);
IoResult PnpQueryStopDevice(PDEVICE_OBJECT pdo);
IoResult PnpStopDevice(PDEVICE_OBJECT pdo);
IoResult PnpCancelStopDevice(PDEVICE_OBJECT pdo);
IoResult PnpQueryRemoveDevice(PDEVICE_OBJECT pdo);
IoResult PnpCancelRemoveDevice(PDEVICE_OBJECT pdo);
IoResult PnpSurpriseRemoval(PDEVICE_OBJECT pdo);
// The bus deletes a PDO whose device is gone. When the removal has come
// back, a device still attached to a deleted one is a bug check: its driver
// never detached.
IoResult PnpRemoveDevice(PDEVICE_OBJECT pdo);
// Any minor function; setup fills the parameters. IRP_MN_REMOVE_DEVICE is
// checked as above.
IoResult PnpRequest(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIRP, PIO_STACK_LOCATION)> setup = {});
// IRP_MN_DEVICE_USAGE_NOTIFICATION: a paging, hibernation or dump file moves
// onto the device (inPath) or off it. When any such request has come back,
// the power manager's rule is checked along the stack (CheckPagableStack).
IoResult PnpUsageNotification(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
// No device object with DO_POWER_PAGABLE above one without it: a bug check
// (PowerPagableAboveNonPagable) names the two.
void CheckPagableStack(PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------
// Power

// Power requests go out through PoCallDriver at PowerIrql(pdo): PASSIVE_LEVEL
// when the top of the stack has DO_POWER_PAGABLE, else DISPATCH_LEVEL.
// IoStatus.Status starts as STATUS_NOT_SUPPORTED.
KIRQL PowerIrql(PDEVICE_OBJECT pdo);
IoResult PowerSetState(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, ULONG state);
IoResult PowerQueryState(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, ULONG state);
// state: the deepest system power state the device may wake the system from.
IoResult PowerWaitWake(PDEVICE_OBJECT pdo, ULONG systemState);
IoResult PowerSequence(PDEVICE_OBJECT pdo, PVOID sequence);
IoResult PowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIRP, PIO_STACK_LOCATION)> setup = {});

}  // namespace sim
