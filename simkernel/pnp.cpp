// The driver loader and the Plug and Play and power managers' requests.
#include "simkernel/pnp.h"

#include <cstring>
#include <set>

#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/registry.h"

namespace sim {
namespace {

[[noreturn]] void IrqlChanged(const char* rule, const std::string& routine, KIRQL before) {
    BugCheck(rule, routine, nullptr,
             "called at IRQL " + std::to_string(before) + ", returned at IRQL " + std::to_string(CurrentIrql()));
}

std::string DeviceList(const std::vector<PDEVICE_OBJECT>& devices) {
    std::string text;
    for (PDEVICE_OBJECT device : devices) {
        if (!text.empty()) text += ", ";
        text += detail::Hex(device);
        if (auto name = DeviceName(device)) text += " (" + *name + ")";
    }
    return text;
}

IoResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIRP, PIO_STACK_LOCATION)> setup) {
    RequirePassive("PnpRequest");
    Request request = Request::Pnp(minor);
    if (setup) request.Setup(std::move(setup));
    return detail::SendAtIrql(pdo, request, PASSIVE_LEVEL);
}

IoResult SendPower(PDEVICE_OBJECT pdo, Request request) {
    RequirePassive("PowerRequest");
    return detail::SendAtIrql(pdo, request, PowerIrql(pdo));
}

}  // namespace

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName, NTSTATUS* status) {
    RequirePassive("LoadDriver");
    NTSTATUS result = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = detail::CreateDriverObject(serviceName, entry, &result);
    if (driver == nullptr) {
        if (status != nullptr) *status = result;
        return nullptr;
    }
    Registry().CreateKey(std::string(kServicesRoot) + "\\" + serviceName);

    const std::string routine = "DriverEntry of " + detail::DriverNameOf(driver);
    const Answerable answer(driver);
    const KIRQL irql = CurrentIrql();
    result = entry(driver, detail::DriverRegistryPath(driver));
    if (CurrentIrql() != irql) IrqlChanged("IrqlChangedByDriverEntry", routine, irql);
    const std::vector<PDEVICE_OBJECT> devices = DevicesOf(driver);
    if (!NT_SUCCESS(result)) {
        if (!devices.empty())
            BugCheck(
                "DriverEntryFailureLeftDevices", routine, nullptr,
                "failed with " + detail::HexStatus(result) + " and left its devices behind: " + DeviceList(devices));
        detail::MarkDriverUnloaded(driver);
        if (status != nullptr) *status = result;
        return nullptr;
    }
    for (PDEVICE_OBJECT device : devices)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (status != nullptr) *status = result;
    return driver;
}

namespace detail {

void CompleteUnload(PDRIVER_OBJECT driver) {
    const std::string routine = "DriverUnload of " + DriverNameOf(driver);
    const Answerable answer(driver);
    const KIRQL irql = CurrentIrql();
    driver->DriverUnload(driver);
    if (CurrentIrql() != irql) IrqlChanged("IrqlChangedByDriverUnload", routine, irql);
    CheckNothingLeftOnDeletedDevices(routine);
    const std::vector<PDEVICE_OBJECT> devices = DevicesOf(driver);
    if (!devices.empty())
        BugCheck("UnloadWithDevices", routine, nullptr,
                 "the driver unloaded with device objects not deleted: " + DeviceList(devices));
    MarkDriverUnloaded(driver);
}

}  // namespace detail

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) {
    RequirePassive("UnloadDriver");
    if (!detail::IsDriverLoaded(driver)) return STATUS_INVALID_PARAMETER;
    if (driver->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    // A deleted device object that something still references keeps its
    // driver's code in memory: the unload waits for the object to go.
    if (DevicesOf(driver).empty() && detail::MarkUnloadPending(driver)) return STATUS_PENDING;
    detail::CompleteUnload(driver);
    return STATUS_SUCCESS;
}

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    RequirePassive("PnpAddDevice");
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const std::vector<PDEVICE_OBJECT> before = DevicesOf(driver);
    const std::set<PDEVICE_OBJECT> old(before.begin(), before.end());
    const std::string routine = "AddDevice of " + detail::DriverNameOf(driver);
    const Answerable answer(driver);
    const KIRQL irql = CurrentIrql();
    const NTSTATUS status = addDevice(driver, pdo);
    if (CurrentIrql() != irql) IrqlChanged("IrqlChangedByAddDevice", routine, irql);
    if (NT_SUCCESS(status)) {
        std::vector<PDEVICE_OBJECT> initializing;
        for (PDEVICE_OBJECT device : DevicesOf(driver))
            if (old.count(device) == 0 && (device->Flags & DO_DEVICE_INITIALIZING)) initializing.push_back(device);
        if (!initializing.empty())
            BugCheck("DeviceInitializingNotCleared", routine, nullptr,
                     "DO_DEVICE_INITIALIZING is still set on " + DeviceList(initializing) +
                         " after the add-device routine returned");
    }
    return status;
}

IoResult PnpStartDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE, {}); }
IoResult PnpQueryStopDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, {}); }
IoResult PnpStopDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_STOP_DEVICE, {}); }
IoResult PnpCancelStopDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, {}); }
IoResult PnpQueryRemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, {}); }
IoResult PnpCancelRemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, {}); }
IoResult PnpSurpriseRemoval(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, {}); }

IoResult PnpRemoveDevice(PDEVICE_OBJECT pdo) { return PnpRequest(pdo, IRP_MN_REMOVE_DEVICE, {}); }

IoResult PnpRequest(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIRP, PIO_STACK_LOCATION)> setup) {
    const IoResult result = SendPnp(pdo, minor, std::move(setup));
    // Once the removal has come back, every driver of the stack has had its
    // turn to detach.
    if (minor == IRP_MN_REMOVE_DEVICE) detail::CheckNothingLeftOnDeletedDevices("IRP_MN_REMOVE_DEVICE");
    if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) CheckPagableStack(pdo);
    return result;
}

IoResult PnpUsageNotification(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    return PnpRequest(pdo, IRP_MN_DEVICE_USAGE_NOTIFICATION, [=](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
        location->Parameters.UsageNotification.Type = type;
    });
}

void CheckPagableStack(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT lowest = nullptr;  // the lowest device without DO_POWER_PAGABLE so far
    for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
        if (!(device->Flags & DO_POWER_PAGABLE)) {
            if (lowest == nullptr) lowest = device;
        } else if (lowest != nullptr) {
            BugCheck("PowerPagableAboveNonPagable", "IRP_MN_DEVICE_USAGE_NOTIFICATION", nullptr,
                     detail::Hex(device) + " has DO_POWER_PAGABLE set above " + detail::Hex(lowest) +
                         ", which has it clear: the power manager would send power IRPs through it at "
                         "PASSIVE_LEVEL in a thread that may page, while a device below cannot wait for a "
                         "page (a hang at hibernate or resume)");
        }
    }
}

KIRQL PowerIrql(PDEVICE_OBJECT pdo) {
    return (TopOfStack(pdo)->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL;
}

IoResult PowerSetState(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, ULONG state) {
    return SendPower(pdo, Request::Power(IRP_MN_SET_POWER, type, state));
}

IoResult PowerQueryState(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, ULONG state) {
    return SendPower(pdo, Request::Power(IRP_MN_QUERY_POWER, type, state));
}

IoResult PowerWaitWake(PDEVICE_OBJECT pdo, ULONG systemState) {
    return SendPower(pdo, Request::Power(IRP_MN_WAIT_WAKE, SystemPowerState, systemState));
}

IoResult PowerSequence(PDEVICE_OBJECT pdo, PVOID sequence) {
    return SendPower(pdo, Request::Power(IRP_MN_POWER_SEQUENCE).Argument(1, sequence));
}

IoResult PowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIRP, PIO_STACK_LOCATION)> setup) {
    Request request = Request::Power(minor);
    if (setup) request.Setup(std::move(setup));
    return SendPower(pdo, request);
}

}  // namespace sim
