// The I/O manager's device and driver objects, and the queries tests make of
// them.
#include <algorithm>
#include <cstring>
#include <memory>

#include "simkernel/core.h"
#include "simkernel/iomgr_internal.h"
#include "simkernel/memory.h"

namespace sim {
using namespace io;

namespace detail {

// ---------------------------------------------------------------------------
// Devices

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string* name,
                                  DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, NTSTATUS* status) {
    EnsureResetHook();
    Lock lock(IoLock());
    if (State().drivers.count(driver) == 0)
        BugCheck("InvalidDriverObject", "IoCreateDevice", nullptr, Hex(driver) + " is not a driver object");
    std::u16string canonical;
    if (name != nullptr) {
        canonical = CanonicalName(*name);
        *status = CheckNewName(canonical);
        if (!NT_SUCCESS(*status)) return nullptr;
    }

    const size_t extensionSpan = Align16(extensionSize);
    const size_t bytes = kDeviceObjectSpan + extensionSpan + sizeof(DevObjExtension);
    bool arena = false;
    auto* device = static_cast<PDEVICE_OBJECT>(AllocateObject(bytes, &arena));
    auto* base = reinterpret_cast<unsigned char*>(device);
    auto* doe = reinterpret_cast<DevObjExtension*>(base + kDeviceObjectSpan + extensionSpan);

    device->Type = kTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (name ? kDoDeviceHasName : 0);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize != 0 ? base + kDeviceObjectSpan : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    switch (type) {
    case FILE_DEVICE_DISK:
    case 0x00000008:  // FILE_DEVICE_DISK_FILE_SYSTEM
    case 0x00000024:  // FILE_DEVICE_VIRTUAL_DISK
        device->SectorSize = 512;
        break;
    case 0x00000003:  // FILE_DEVICE_CD_ROM_FILE_SYSTEM
        device->SectorSize = 2048;
        break;
    default:
        break;
    }
    InitializeListHead(&device->Queue.ListEntry);
    device->DeviceQueue.Type = kTypeDeviceQueue;
    device->DeviceQueue.Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&device->DeviceQueue.DeviceListHead);
    device->DeviceLock.Header.Type = SynchronizationEvent;
    device->DeviceLock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    device->DeviceLock.Header.SignalState = 1;
    InitializeListHead(&device->DeviceLock.Header.WaitListHead);
    doe->Type = kTypeDeviceObjectExtension;
    doe->Size = sizeof(DevObjExtension);
    doe->DeviceObject = device;
    device->DeviceObjectExtension = doe;

    if (name != nullptr) InsertName(canonical, NameKind::Device, device);
    DeviceState state;
    state.name = canonical;
    state.arena = arena;
    State().devices.emplace(device, std::move(state));
    ObInsert(device, ObjectType::Device, DestroyDevice);

    // Newest first, as the I/O manager links them.
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    *status = STATUS_SUCCESS;
    return device;
}

std::u16string DeviceNameOf(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    const auto it = State().devices.find(device);
    return it == State().devices.end() ? std::u16string() : it->second.name;
}

// ---------------------------------------------------------------------------
// Drivers

PDRIVER_OBJECT CreateDriverObject(const std::string& serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    EnsureResetHook();
    Lock lock(IoLock());
    auto state = std::make_unique<DriverState>();
    state->service = Widen(serviceName);
    state->name = u"\\Driver\\" + state->service;
    state->registryPath =
        Widen(std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\")) + state->service;
    state->hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
    *status = CheckNewName(state->name);
    if (!NT_SUCCESS(*status)) return nullptr;

    auto* driver =
        static_cast<PDRIVER_OBJECT>(AllocateObject(sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), &state->arena));
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    auto counted = [](std::u16string& text) {
        UNICODE_STRING s;
        s.Length = static_cast<USHORT>(text.size() * 2);
        s.MaximumLength = static_cast<USHORT>(text.size() * 2 + 2);
        s.Buffer = text.data();
        return s;
    };
    driver->Type = kTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverStart = reinterpret_cast<PVOID>(entry);
    driver->DriverSize = 0x10000;
    driver->DriverExtension = extension;
    driver->DriverName = counted(state->name);
    state->hardwareDatabaseString = counted(state->hardwareDatabase);
    driver->HardwareDatabase = &state->hardwareDatabaseString;
    driver->DriverInit = entry;
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = InvalidDeviceRequest;
    extension->DriverObject = driver;
    extension->ServiceKeyName = counted(state->service);
    state->registryPathString = counted(state->registryPath);

    InsertName(state->name, NameKind::Driver, driver);
    State().drivers.emplace(driver, std::move(state));
    ObInsert(driver, ObjectType::Driver, DestroyDriver);
    *status = STATUS_SUCCESS;
    return driver;
}

PUNICODE_STRING DriverRegistryPath(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(driver);
    return it == State().drivers.end() ? nullptr : &it->second->registryPathString;
}

void MarkDriverUnloaded(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(driver);
    if (it == State().drivers.end()) return;
    it->second->loaded = false;
    RemoveName(it->second->name);
}

namespace {

// Device objects of the driver still in memory: deleted ones that a work
// item, a handle or a reference keeps.
bool HasDevicesInMemory(PDRIVER_OBJECT driver) {
    for (const auto& [device, state] : State().devices)
        if (device->DriverObject == driver) return true;
    return false;
}

}  // namespace

bool MarkUnloadPending(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(driver);
    if (it == State().drivers.end() || !HasDevicesInMemory(driver)) return false;
    it->second->unloadPending = true;
    return true;
}

PDRIVER_OBJECT TakePendingUnload(PDRIVER_OBJECT owner) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(owner);
    if (it == State().drivers.end() || !it->second->unloadPending || State().resetting || HasDevicesInMemory(owner))
        return nullptr;
    it->second->unloadPending = false;
    return owner;
}

bool IsDriverLoaded(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(driver);
    return it != State().drivers.end() && it->second->loaded;
}

std::string DriverNameOf(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    const auto it = State().drivers.find(driver);
    return it == State().drivers.end() ? "driver " + Hex(driver) : Narrow(it->second->name);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Queries for tests

using namespace detail;

void SetWdmVersionAvailable(bool available) {
    EnsureResetHook();
    Lock lock(IoLock());
    State().wdmAvailable = available;
}

void MarkAsPdo(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    DeviceOrBugCheck(device, "MarkAsPdo").pdo = true;
}

bool IsPdo(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    const auto it = State().devices.find(device);
    return it != State().devices.end() && it->second.pdo;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    while (device != nullptr && device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    const auto it = State().devices.find(device);
    return it == State().devices.end() ? nullptr : it->second.attachedTo;
}

bool IsDeleted(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    const auto it = State().devices.find(device);
    return it == State().devices.end() || it->second.deleted;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    return State().devices.count(device) != 0;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    Lock lock(IoLock());
    std::vector<PDEVICE_OBJECT> devices;
    if (State().drivers.count(driver) == 0) return devices;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
        devices.push_back(d);
    return devices;
}

size_t LiveDeviceObjects() {
    Lock lock(IoLock());
    return State().devices.size();
}

std::optional<std::string> DeviceName(PDEVICE_OBJECT device) {
    Lock lock(IoLock());
    const auto it = State().devices.find(device);
    if (it == State().devices.end() || it->second.name.empty() || it->second.deleted) return std::nullopt;
    return Narrow(it->second.name);
}

size_t OutstandingIrps() {
    Lock lock(IoLock());
    return State().irps.size();
}

void SetCompletionTimeout(std::chrono::milliseconds timeout) {
    EnsureResetHook();
    Lock lock(IoLock());
    State().timeout = timeout;
}

}  // namespace sim
