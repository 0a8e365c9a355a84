// The I/O manager: device and driver objects, device stacks, request
// packets on their way down (IofCallDriver) and back up (IofCompleteRequest)
// with the checks Driver Verifier makes there, and the requests that the
// I/O manager itself originates for applications and upper drivers.
#include "simkernel/iomgr.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "platform/guarded.h"
#include "simkernel/arena.h"
#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace sim {
namespace detail {
void ResetBus();
}  // namespace detail

namespace {

using detail::IoLock;
using Lock = std::lock_guard<std::recursive_mutex>;

// IRP flags the I/O manager sets for the buffers it owns.
constexpr ULONG kIrpBufferedIo = 0x00000010;
constexpr ULONG kIrpDeallocateBuffer = 0x00000020;
constexpr ULONG kIrpInputOperation = 0x00000040;

constexpr ULONG kDoDeviceHasName = 0x00000040;
constexpr CSHORT kTypeDeviceObjectExtension = 13;
constexpr CSHORT kTypeDeviceQueue = 20;

// The WDK aligns DEVICE_OBJECT to 16 bytes, so the extension that follows
// it starts 0x150 bytes in.
constexpr size_t kDeviceObjectSpan = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};

constexpr size_t Align16(size_t n) { return (n + 15) & ~size_t{15}; }

// The part of DEVOBJ_EXTENSION that is public.
struct DevObjExtension {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
};

void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }

bool NtError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// ---------------------------------------------------------------------------
// State

struct DeviceState {
    std::u16string name;  // empty: unnamed
    bool deleted = false;
    bool pdo = false;
    bool arena = false;
    PDEVICE_OBJECT attachedTo = nullptr;
    bool awaitingDetach = false;  // unreferenced, freed when the device above detaches
};

struct DriverState {
    std::u16string name;  // \Driver\<service>
    std::u16string service;
    std::u16string registryPath;
    std::u16string hardwareDatabase;
    UNICODE_STRING registryPathString{};
    UNICODE_STRING hardwareDatabaseString{};
    bool loaded = true;
    bool arena = false;
};

struct IrpRecord {
    size_t bytes = 0;
    bool arena = false;
    bool hasOriginator = false;  // an I/O manager sender waits for it
    bool finished = false;       // completion reached the top
    bool freeRequested = false;
    int activeCalls = 0;  // dispatch calls under way
    int activeWalks = 0;  // completions under way
    uint64_t completions = 0;
    int ownerLocation = 0;  // the location of the driver that holds the IRP
    // Per stack location (1-based, as CurrentLocation counts):
    std::vector<uint8_t> pendingSeen;   // SL_PENDING_RETURNED met by a completion
    std::vector<uint8_t> powerStarted;  // PoStartNextPowerIrp called there
    std::vector<uint8_t> viaPo;         // arrived through PoCallDriver
    std::condition_variable_any done;
    // Buffers the I/O manager made for the request.
    void* systemBuffer = nullptr;
    bool systemBufferArena = false;
    void* copyBackTo = nullptr;
    ULONG copyBackMax = 0;
};

struct HandleEntry {
    PFILE_OBJECT file;
    KPROCESSOR_MODE mode;
};

struct IoState {
    std::unordered_map<PDEVICE_OBJECT, DeviceState> devices;
    std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverState>> drivers;
    std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> irps;
    std::unordered_map<PFILE_OBJECT, bool> files;  // file object -> from the arena
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 4;
    bool wdmAvailable = true;
    std::chrono::milliseconds timeout{20000};
    bool resetting = false;
};

IoState& State() {
    static IoState* state = new IoState;
    return *state;
}

// One dispatch call under way on this thread.
struct CallFrame {
    PIRP irp;
    int location;
    bool lowerReturnedPending;
};
thread_local std::vector<CallFrame> t_frames;

void ResetIoManager();

void EnsureResetHook() {
    static std::once_flag once;
    std::call_once(once, [] { RegisterResetHook(ResetIoManager); });
}

// Memory for an object the driver sees: deterministic addresses when the
// simulator asks for them. Objects from the arena are left to the arena's own
// reset.
void* AllocateObject(size_t bytes, bool* arena) {
    *arena = DeterministicAddresses();
    return ObjectAllocate(bytes);
}

void FreeObject(void* p, bool arena) {
    if (arena && State().resetting) return;
    ObjectFree(p);
}

std::string RoutineName(const void* routine) {
    Dl_info info{};
    if (routine != nullptr && dladdr(routine, &info) != 0 && info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        std::free(demangled);
        return name;
    }
    return "routine at " + detail::Hex(routine);
}

std::string Describe(PDEVICE_OBJECT device) {
    std::string text = "device " + detail::Hex(device);
    const auto it = State().devices.find(device);
    if (it != State().devices.end() && !it->second.name.empty()) text += " (" + detail::Narrow(it->second.name) + ")";
    if (device != nullptr && device->DriverObject != nullptr)
        text += " of " + detail::DriverNameOf(device->DriverObject);
    return text;
}

DeviceState& DeviceOrBugCheck(PDEVICE_OBJECT device, const char* routine) {
    const auto it = State().devices.find(device);
    if (it == State().devices.end())
        BugCheck("InvalidDeviceObject", routine, nullptr, detail::Hex(device) + " is not a device object in memory");
    return it->second;
}

IrpRecord& IrpOrBugCheck(PIRP irp, const char* routine, const char* rule = "InvalidIrp") {
    const auto it = State().irps.find(irp);
    if (it == State().irps.end())
        BugCheck(rule, routine, irp, "not an IRP the I/O manager handed out (freed, or never allocated)");
    return *it->second;
}

void FreeIrpMemory(PIRP irp) {
    IoState& state = State();
    const auto it = state.irps.find(irp);
    if (it == state.irps.end()) return;
    const bool arena = it->second->arena;
    state.irps.erase(it);
    FreeObject(irp, arena);
}

// Frees an IRP whose owner has let it go, once no call or completion is
// still inside it; else tells a waiting sender that the IRP has gone idle.
// Call with the lock held.
void FreeWhenIdle(PIRP irp, IrpRecord& record) {
    if (record.activeCalls != 0 || record.activeWalks != 0) return;
    if (record.freeRequested) {
        FreeIrpMemory(irp);
    } else {
        record.done.notify_all();
    }
}

// The last reference is gone. A device with another still attached on top
// stays until that one detaches, as the I/O manager defers the deletion: in a
// removal the lower drivers delete their devices before the ones above have
// detached.
void DestroyDevice(void* object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    bool arena = false;
    {
        Lock lock(IoLock());
        const auto it = State().devices.find(device);
        if (it != State().devices.end()) {
            // During a reset the memory may be gone already (the arena rewinds first).
            if (!State().resetting && device->AttachedDevice != nullptr) {
                it->second.awaitingDetach = true;
                return;
            }
            arena = it->second.arena;
            State().devices.erase(it);
        }
    }
    FreeObject(device, arena);
}

void DestroyDriver(void* object) {
    auto* driver = static_cast<PDRIVER_OBJECT>(object);
    bool arena = false;
    {
        Lock lock(IoLock());
        const auto it = State().drivers.find(driver);
        if (it != State().drivers.end()) {
            arena = it->second->arena;
            State().drivers.erase(it);
        }
    }
    FreeObject(driver, arena);
}

void DestroyFile(void* object) {
    auto* file = static_cast<PFILE_OBJECT>(object);
    bool arena = false;
    {
        Lock lock(IoLock());
        const auto it = State().files.find(file);
        if (it != State().files.end()) {
            arena = it->second;
            State().files.erase(it);
        }
    }
    FreeObject(file, arena);
}

// What every driver object's dispatch table holds until the driver fills it.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Clears what a completed location no longer needs, as the I/O manager does
// before the completion routine runs; MajorFunction, DeviceObject and the
// routine itself stay.
void ZeroIrpStackLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->FileObject = nullptr;
}

// A fake thread for IRPs the I/O manager sends: Tail.Overlay.Thread is
// never null for them, as it names the requesting thread on Windows.
alignas(16) unsigned char g_fakeThread[64];

struct CopyArgs {
    void* destination;
    const void* source;
    size_t bytes;
};

void GuardedCopy(PVOID context) {
    auto* args = static_cast<CopyArgs*>(context);
    std::memcpy(args->destination, args->source, args->bytes);
}

NTSTATUS CopyGuarded(void* destination, const void* source, size_t bytes) {
    if (bytes == 0) return STATUS_SUCCESS;
    CopyArgs args{destination, source, bytes};
    return ZkGuardedCall(GuardedCopy, &args);
}

struct LockArgs {
    PMDL mdl;
    KPROCESSOR_MODE mode;
    LOCK_OPERATION operation;
};

void GuardedProbeAndLock(PVOID context) {
    auto* args = static_cast<LockArgs*>(context);
    MmProbeAndLockPages(args->mdl, args->mode, args->operation);
}

// The buffer an application passed, checked the way ProbeForRead and
// ProbeForWrite check it for a user-mode caller.
NTSTATUS ProbeUserBuffer(KPROCESSOR_MODE mode, const void* buffer, ULONG length) {
    if (mode != UserMode || length == 0) return STATUS_SUCCESS;
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    if (start + length < start || IsKernelAddress(buffer) ||
        IsKernelAddress(reinterpret_cast<const void*>(start + length - 1)))
        return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

void* AllocateSystemBuffer(IrpRecord& record, ULONG bytes) {
    record.systemBuffer = AllocateObject(bytes, &record.systemBufferArena);
    return record.systemBuffer;
}

// Describes the caller's buffer with a locked MDL on the IRP. Fails as the
// I/O manager fails the call: no MDL, or a probe that raises.
NTSTATUS AttachLockedMdl(PIRP irp, void* buffer, ULONG length, KPROCESSOR_MODE mode,
                         LOCK_OPERATION operation) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    LockArgs args{mdl, mode, operation};
    const NTSTATUS status = ZkGuardedCall(GuardedProbeAndLock, &args);
    if (!NT_SUCCESS(status)) {
        irp->MdlAddress = nullptr;
        IoFreeMdl(mdl);
    }
    return status;
}

// Releases what the I/O manager built for a request that never went out or
// has come back.
void ReleaseRequestBuffers(PIRP irp, IrpRecord& record) {
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    if (record.systemBuffer != nullptr) {
        FreeObject(record.systemBuffer, record.systemBufferArena);
        record.systemBuffer = nullptr;
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
}

void DiscardUnsentIrp(PIRP irp) {
    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, "Request::Build");
    ReleaseRequestBuffers(irp, record);
    FreeIrpMemory(irp);
}

IoResult SendIrpAt(PDEVICE_OBJECT device, PIRP irp, std::optional<KIRQL> irql);

}  // namespace

// ---------------------------------------------------------------------------
// Diagnostics shared by the kernel's files

namespace detail {

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

std::string HexStatus(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

const char* MajorName(UCHAR major) {
    static constexpr const char* kNames[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? kNames[major] : "IRP_MJ_(invalid)";
}

// ---------------------------------------------------------------------------
// Devices

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string* name,
                                  DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                  NTSTATUS* status) {
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
    state->registryPath = Widen(std::string(
                              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\")) +
                          state->service;
    state->hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
    *status = CheckNewName(state->name);
    if (!NT_SUCCESS(*status)) return nullptr;

    auto* driver = static_cast<PDRIVER_OBJECT>(
        AllocateObject(sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), &state->arena));
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
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = InvalidDeviceRequest;
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

// ---------------------------------------------------------------------------
// IRPs

PIRP AllocateIrp(CCHAR stackSize) {
    EnsureResetHook();
    if (stackSize < 0) BugCheck("InvalidParameter", "IoAllocateIrp", nullptr, "negative stack size");
    const size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto record = std::make_unique<IrpRecord>();
    auto* irp = static_cast<PIRP>(AllocateObject(bytes, &record->arena));
    irp->Type = kTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    record->bytes = bytes;
    record->ownerLocation = stackSize + 1;
    record->pendingSeen.assign(stackSize + 2, 0);
    record->powerStarted.assign(stackSize + 2, 0);
    record->viaPo.assign(stackSize + 2, 0);
    Lock lock(IoLock());
    State().irps.emplace(irp, std::move(record));
    return irp;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver) {
    const char* routine = viaPoCallDriver ? "PoCallDriver" : "IofCallDriver";
    RequireAtMostDispatch(routine);
    PIO_STACK_LOCATION location;
    int index;
    PDRIVER_DISPATCH dispatch;
    std::string target;
    {
        Lock lock(IoLock());
        IrpRecord& record = IrpOrBugCheck(irp, routine);
        if (record.finished)
            BugCheck("IrpSentAfterCompletion", routine, irp, "the IRP was completed already; its sender owns it now");
        if (device == nullptr || State().devices.count(device) == 0)
            BugCheck("InvalidDeviceObject", routine, irp, Hex(device) + " is not a device object in memory");
        target = Describe(device);
        index = irp->CurrentLocation - 1;
        if (index <= 0)
            BugCheck("NO_MORE_IRP_STACK_LOCATIONS", routine, irp,
                     "the IRP has " + std::to_string(irp->StackCount) + " stack location(s), none left for " +
                         target);
        location = irp->Tail.Overlay.CurrentStackLocation - 1;
        if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
            BugCheck("InvalidMajorFunction", routine, irp,
                     "major function " + std::to_string(location->MajorFunction) + " sent to " + target);
        if (location->MajorFunction == IRP_MJ_POWER) {
            const int owner = record.ownerLocation;
            if (owner >= 1 && owner <= irp->StackCount && !record.powerStarted[owner])
                BugCheck("PoStartNextPowerIrp", routine, irp,
                         "the driver at stack location " + std::to_string(owner) +
                             " passed a power IRP on to " + target + " without calling PoStartNextPowerIrp first");
        } else if (viaPoCallDriver) {
            BugCheck("PoCallDriver", routine, irp,
                     std::string("PoCallDriver sends power IRPs only; this one is ") +
                         MajorName(location->MajorFunction));
        }
        record.pendingSeen[index] = 0;
        record.powerStarted[index] = 0;
        record.viaPo[index] = viaPoCallDriver;
        record.ownerLocation = index;
        ++record.activeCalls;
        irp->CurrentLocation = static_cast<CHAR>(index);
        irp->Tail.Overlay.CurrentStackLocation = location;
        location->DeviceObject = device;
        dispatch = device->DriverObject->MajorFunction[location->MajorFunction];
        if (dispatch == nullptr)
            BugCheck("InvalidDispatchRoutine", routine, irp,
                     target + " has no dispatch routine for " + MajorName(location->MajorFunction));
        target += std::string(", ") + MajorName(location->MajorFunction);
    }

    const KIRQL irql = CurrentIrql();
    t_frames.push_back(CallFrame{irp, index, false});
    const NTSTATUS status = dispatch(device, irp);
    const CallFrame frame = t_frames.back();
    t_frames.pop_back();
    if (!t_frames.empty() && t_frames.back().irp == irp)
        t_frames.back().lowerReturnedPending = status == STATUS_PENDING;
    if (CurrentIrql() != irql)
        BugCheck("IrqlChangedByDispatch", RoutineName(reinterpret_cast<const void*>(dispatch)), irp,
                 "the dispatch routine for " + target + " was called at IRQL " + std::to_string(irql) +
                     " and returned at IRQL " + std::to_string(CurrentIrql()));

    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, routine);
    // The memory is still there: a free waits for the calls inside the IRP.
    const bool marked = (location->Control & SL_PENDING_RETURNED) != 0 || record.pendingSeen[index] != 0;
    --record.activeCalls;
    if (status == STATUS_PENDING && !marked && !frame.lowerReturnedPending)
        BugCheck("MarkIrpPending", RoutineName(reinterpret_cast<const void*>(dispatch)), irp,
                 "the dispatch routine for " + target +
                     " returned STATUS_PENDING without marking its stack location pending (IoMarkIrpPending)");
    if (status != STATUS_PENDING && marked)
        BugCheck("MarkIrpPending2", RoutineName(reinterpret_cast<const void*>(dispatch)), irp,
                 "the dispatch routine for " + target + " marked its stack location pending but returned " +
                     HexStatus(status) + " instead of STATUS_PENDING");
    FreeWhenIdle(irp, record);
    return status;
}

void NotePowerIrpStarted(PIRP irp, const char* routine) {
    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, routine);
    const int index = irp->CurrentLocation;
    if (index < 1 || index > irp->StackCount)
        BugCheck("PoStartNextPowerIrp", routine, irp,
                 "called with no current stack location (after IoSkipCurrentIrpStackLocation?)");
    if (irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER)
        BugCheck("PoStartNextPowerIrp", routine, irp,
                 std::string("called for a request that is not a power IRP but ") +
                     MajorName(irp->Tail.Overlay.CurrentStackLocation->MajorFunction));
    record.powerStarted[index] = 1;
}

bool ArrivedViaPoCallDriver(PIRP irp) {
    Lock lock(IoLock());
    const auto it = State().irps.find(irp);
    const int index = irp->CurrentLocation;
    return it != State().irps.end() && index >= 1 && index <= irp->StackCount && it->second->viaPo[index] != 0;
}

void CheckNothingLeftOnDeletedDevices(const std::string& routine) {
    Lock lock(IoLock());
    for (const auto& [device, state] : State().devices) {
        if (state.deleted || state.attachedTo == nullptr) continue;
        const auto below = State().devices.find(state.attachedTo);
        if (below != State().devices.end() && below->second.deleted)
            BugCheck("AttachedToDeletedDevice", routine, nullptr,
                     Describe(device) + " is still attached to the deleted " + Describe(state.attachedTo) +
                         "; a driver detaches from its lower device when the removal has gone down");
    }
}

IoResult SendAtIrql(PDEVICE_OBJECT target, const Request& request, KIRQL irql) {
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = request.Receiver(target);
    PIRP irp = request.Build(target, &status);
    if (irp == nullptr) return IoResult{status, status, 0};
    return SendIrpAt(device, irp, irql);
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
    while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
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
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) devices.push_back(d);
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

// ---------------------------------------------------------------------------
// Requests

Request::Request(UCHAR major, UCHAR minor) : major_(major), minor_(minor) {}

Request Request::Read(void* buffer, ULONG length, LONGLONG offset) {
    Request r(IRP_MJ_READ);
    r.buffers_ = Buffers::Read;
    r.buffer_ = buffer;
    r.length_ = length;
    r.offset_ = offset;
    return r;
}

Request Request::Write(const void* buffer, ULONG length, LONGLONG offset) {
    Request r(IRP_MJ_WRITE);
    r.buffers_ = Buffers::Write;
    r.input_ = buffer;
    r.length_ = length;
    r.offset_ = offset;
    return r;
}

Request Request::DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    Request r(IRP_MJ_DEVICE_CONTROL);
    r.buffers_ = Buffers::Control;
    r.code_ = code;
    r.input_ = input;
    r.inputLength_ = inputLength;
    r.buffer_ = output;
    r.length_ = outputLength;
    return r;
}

Request Request::InternalDeviceControl(ULONG code, PVOID argument1) {
    Request r(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    r.Argument(1, argument1);
    r.code_ = code;
    r.codeOnly_ = true;
    return r;
}

Request Request::Pnp(UCHAR minor) {
    Request r(IRP_MJ_PNP, minor);
    r.initialStatus_ = STATUS_NOT_SUPPORTED;
    return r;
}

Request Request::Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    Request r(IRP_MJ_POWER, minor);
    r.initialStatus_ = STATUS_NOT_SUPPORTED;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        r.setup_ = [type, state](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.Power.Type = type;
            // Any number may be asked for, in range or not: stored as the raw value.
            std::memcpy(&location->Parameters.Power.State, &state, sizeof state);
        };
    } else if (minor == IRP_MN_WAIT_WAKE) {
        // Parameters.WaitWake.PowerState: the deepest system state to wake from.
        r.setup_ = [state](PIRP, PIO_STACK_LOCATION location) {
            std::memcpy(&location->Parameters, &state, sizeof state);
        };
    }
    return r;
}

Request& Request::Mode(KPROCESSOR_MODE mode) {
    mode_ = mode;
    return *this;
}

Request& Request::LocationFlags(UCHAR flags) {
    locationFlags_ = flags;
    return *this;
}

Request& Request::InitialStatus(NTSTATUS status) {
    initialStatus_ = status;
    return *this;
}

Request& Request::InitialInformation(ULONG_PTR information) {
    initialInformation_ = information;
    return *this;
}

Request& Request::File(PFILE_OBJECT file) {
    file_ = file;
    return *this;
}

Request& Request::Argument(int index, PVOID value) {
    if (index < 1 || index > 4) throw std::out_of_range("Request::Argument: index 1 to 4");
    arguments_[index - 1] = value;
    argumentsSet_ = true;
    return *this;
}

Request& Request::Setup(std::function<void(PIRP, PIO_STACK_LOCATION)> setup) {
    if (!setup) return *this;
    if (setup_) {
        auto first = setup_;
        setup_ = [first, setup](PIRP irp, PIO_STACK_LOCATION location) {
            first(irp, location);
            setup(irp, location);
        };
    } else {
        setup_ = std::move(setup);
    }
    return *this;
}

Request& Request::ExactDevice(bool exact) {
    exact_ = exact;
    return *this;
}

PDEVICE_OBJECT Request::Receiver(PDEVICE_OBJECT target) const { return exact_ ? target : TopOfStack(target); }

PIRP Request::Build(PDEVICE_OBJECT target, NTSTATUS* status) const {
    PDEVICE_OBJECT device = Receiver(target);
    ULONG deviceFlags;
    CCHAR stackSize;
    {
        Lock lock(IoLock());
        DeviceOrBugCheck(device, "Request::Build");
        deviceFlags = device->Flags;
        stackSize = device->StackSize;
    }
    PIRP irp = AllocateIrp(stackSize);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major_;
    location->MinorFunction = minor_;
    location->Flags = locationFlags_;
    location->FileObject = file_;
    irp->RequestorMode = mode_;
    irp->IoStatus.Status = initialStatus_;
    irp->IoStatus.Information = initialInformation_;
    irp->Tail.Overlay.OriginalFileObject = file_;
    irp->Tail.Overlay.Thread = g_fakeThread;
    if (argumentsSet_) {
        location->Parameters.Others.Argument1 = arguments_[0];
        location->Parameters.Others.Argument2 = arguments_[1];
        location->Parameters.Others.Argument3 = arguments_[2];
        location->Parameters.Others.Argument4 = arguments_[3];
    }
    if (codeOnly_) location->Parameters.DeviceIoControl.IoControlCode = code_;

    NTSTATUS result = STATUS_SUCCESS;
    IrpRecord* record;
    {
        Lock lock(IoLock());
        record = &IrpOrBugCheck(irp, "Request::Build");
    }
    switch (buffers_) {
    case Buffers::None:
        break;
    case Buffers::Read:
    case Buffers::Write: {
        const bool read = buffers_ == Buffers::Read;
        void* callerBuffer = read ? buffer_ : const_cast<void*>(input_);
        if (read) {
            location->Parameters.Read.Length = length_;
            location->Parameters.Read.ByteOffset.QuadPart = offset_;
        } else {
            location->Parameters.Write.Length = length_;
            location->Parameters.Write.ByteOffset.QuadPart = offset_;
        }
        result = ProbeUserBuffer(mode_, callerBuffer, length_);
        if (!NT_SUCCESS(result) || length_ == 0) break;
        if (deviceFlags & DO_BUFFERED_IO) {
            void* system = AllocateSystemBuffer(*record, length_);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
            if (read) {
                irp->Flags |= kIrpInputOperation;
                irp->UserBuffer = callerBuffer;
                record->copyBackTo = callerBuffer;
                record->copyBackMax = length_;
            } else {
                result = CopyGuarded(system, callerBuffer, length_);
            }
        } else if (deviceFlags & DO_DIRECT_IO) {
            result = AttachLockedMdl(irp, callerBuffer, length_, mode_, read ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = callerBuffer;
        }
        break;
    }
    case Buffers::Control: {
        location->Parameters.DeviceIoControl.OutputBufferLength = length_;
        location->Parameters.DeviceIoControl.InputBufferLength = inputLength_;
        location->Parameters.DeviceIoControl.IoControlCode = code_;
        const ULONG method = code_ & 3;
        if (method == 3) {  // METHOD_NEITHER: the caller's addresses, unchecked
            location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input_);
            irp->UserBuffer = buffer_;
            break;
        }
        result = ProbeUserBuffer(mode_, input_, inputLength_);
        if (NT_SUCCESS(result)) result = ProbeUserBuffer(mode_, buffer_, length_);
        if (!NT_SUCCESS(result)) break;
        if (method == 0) {  // METHOD_BUFFERED: one system buffer for both directions
            const ULONG size = std::max(inputLength_, length_);
            if (size == 0) break;
            void* system = AllocateSystemBuffer(*record, size);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
            result = CopyGuarded(system, input_, inputLength_);
            if (length_ != 0) {
                irp->Flags |= kIrpInputOperation;
                irp->UserBuffer = buffer_;
                record->copyBackTo = buffer_;
                record->copyBackMax = length_;
            }
        } else {  // METHOD_IN_DIRECT / METHOD_OUT_DIRECT
            if (inputLength_ != 0) {
                void* system = AllocateSystemBuffer(*record, inputLength_);
                irp->AssociatedIrp.SystemBuffer = system;
                irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
                result = CopyGuarded(system, input_, inputLength_);
            }
            if (NT_SUCCESS(result) && length_ != 0)
                result = AttachLockedMdl(irp, buffer_, length_, mode_, method == 1 ? IoReadAccess : IoWriteAccess);
        }
        break;
    }
    }
    if (!NT_SUCCESS(result)) {
        DiscardUnsentIrp(irp);
        *status = result;
        return nullptr;
    }
    if (setup_) setup_(irp, location);
    *status = STATUS_SUCCESS;
    return irp;
}

namespace {

IoResult SendIrpAt(PDEVICE_OBJECT device, PIRP irp, std::optional<KIRQL> irql) {
    {
        Lock lock(IoLock());
        IrpRecord& record = IrpOrBugCheck(irp, "SendIrp");
        if (record.hasOriginator)
            BugCheck("IrpSentTwice", "SendIrp", irp, "the IRP is already on its way");
        record.hasOriginator = true;
    }
    // Power IRPs go out through PoCallDriver, as the power manager sends them.
    const bool power = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
    IoResult result;
    if (irql) {
        IrqlScope scope(*irql);
        result.returned = CallDriver(device, irp, power);
    } else {
        result.returned = CallDriver(device, irp, power);
    }

    std::unique_lock<std::recursive_mutex> lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, "SendIrp");
    if (!record.finished && result.returned != STATUS_PENDING)
        BugCheck("DispatchReturnedWithoutCompleting", "SendIrp", irp,
                 "the dispatch routine returned " + HexStatus(result.returned) +
                     " but the IRP has not been completed; a request not yet complete returns STATUS_PENDING");
    // The sender goes on only when no other thread is inside the IRP any
    // more (a completion that stopped with STATUS_MORE_PROCESSING_REQUIRED
    // may still be returning): what it leaves behind is then its own.
    const auto timeout = State().timeout;
    if (!record.done.wait_for(lock, timeout, [&] {
            return record.finished && record.activeCalls == 0 && record.activeWalks == 0;
        }))
        BugCheck("RequestNeverCompleted", "SendIrp", irp,
                 "the request was pended and not completed within " + std::to_string(timeout.count()) + " ms");
    result.final = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    // As the I/O manager finishes a request: output copied back, buffers and
    // MDLs released, the packet freed.
    if (record.copyBackTo != nullptr && !NtError(result.final)) {
        if (result.information > record.copyBackMax)
            BugCheck("InformationExceedsBuffer", "IofCompleteRequest", irp,
                     "IoStatus.Information " + std::to_string(result.information) +
                         " is larger than the caller's output buffer of " + std::to_string(record.copyBackMax) +
                         " bytes");
        CopyGuarded(record.copyBackTo, record.systemBuffer, result.information);
    }
    ReleaseRequestBuffers(irp, record);
    record.freeRequested = true;
    FreeWhenIdle(irp, record);
    return result;
}

}  // namespace

IoResult SendIrp(PDEVICE_OBJECT target, PIRP irp, bool exactDevice) {
    return SendIrpAt(exactDevice ? target : TopOfStack(target), irp, std::nullopt);
}

std::future<IoResult> SendIrpAsync(PDEVICE_OBJECT target, PIRP irp, bool exactDevice) {
    return std::async(std::launch::async, [=] { return SendIrp(target, irp, exactDevice); });
}

IoResult Send(PDEVICE_OBJECT target, const Request& request) {
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = request.Receiver(target);
    PIRP irp = request.Build(target, &status);
    if (irp == nullptr) return IoResult{status, status, 0};
    return SendIrpAt(device, irp, std::nullopt);
}

std::future<IoResult> SendAsync(PDEVICE_OBJECT target, const Request& request) {
    return std::async(std::launch::async, [target, request] { return Send(target, request); });
}

// ---------------------------------------------------------------------------
// Handles

OpenResult OpenFile(const std::string& name, KPROCESSOR_MODE mode) {
    EnsureResetHook();
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    {
        Lock lock(IoLock());
        NTSTATUS status;
        device = ResolveDevice(Widen(name), &status);
        if (device == nullptr) return OpenResult{status, nullptr};
        if (device->Flags & DO_DEVICE_INITIALIZING) return OpenResult{STATUS_NO_SUCH_DEVICE, nullptr};
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return OpenResult{STATUS_ACCESS_DENIED, nullptr};
        bool arena = false;
        file = static_cast<PFILE_OBJECT>(AllocateObject(sizeof(FILE_OBJECT), &arena));
        file->Type = kTypeFile;
        file->Size = sizeof(FILE_OBJECT);
        file->DeviceObject = device;
        file->ReadAccess = file->WriteAccess = TRUE;
        file->Lock.Header.Type = SynchronizationEvent;
        file->Lock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
        InitializeListHead(&file->Lock.Header.WaitListHead);
        file->Event.Header.Type = NotificationEvent;
        file->Event.Header.Size = sizeof(KEVENT) / sizeof(LONG);
        InitializeListHead(&file->Event.Header.WaitListHead);
        InitializeListHead(&file->IrpList);
        State().files.emplace(file, arena);
        ObInsert(file, ObjectType::File, DestroyFile);
        ObReference(device, "OpenFile");
        ++device->ReferenceCount;
    }
    Request create(IRP_MJ_CREATE);
    create.File(file).Mode(mode).Setup([](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
        location->Parameters.Create.ShareAccess = 0x3;   // FILE_SHARE_READ | FILE_SHARE_WRITE
    });
    const IoResult result = Send(device, create);

    Lock lock(IoLock());
    if (!NT_SUCCESS(result.final)) {
        --device->ReferenceCount;
        ObDereference(device, "OpenFile");
        ObDereference(file, "OpenFile");
        return OpenResult{result.final, nullptr};
    }
    const uintptr_t value = State().nextHandle;
    State().nextHandle += 4;
    State().handles.emplace(value, HandleEntry{file, mode});
    return OpenResult{result.final, reinterpret_cast<HANDLE>(value)};
}

namespace {

std::optional<HandleEntry> LookUpHandle(HANDLE handle) {
    Lock lock(IoLock());
    const auto it = State().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == State().handles.end()) return std::nullopt;
    return it->second;
}

IoResult InvalidHandle() { return IoResult{kStatusInvalidHandle, kStatusInvalidHandle, 0}; }

}  // namespace

IoResult SendOnHandle(HANDLE handle, Request request) {
    const auto entry = LookUpHandle(handle);
    if (!entry) return InvalidHandle();
    request.File(entry->file).Mode(entry->mode);
    return Send(entry->file->DeviceObject, request);
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength) {
    return SendOnHandle(handle, Request::DeviceControl(code, input, inputLength, output, outputLength));
}

IoResult DeviceIoControl(HANDLE handle, ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output) {
    return DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                           output.empty() ? nullptr : output.data(), static_cast<ULONG>(output.size()));
}

IoResult ReadFile(HANDLE handle, void* buffer, ULONG length, LONGLONG offset) {
    return SendOnHandle(handle, Request::Read(buffer, length, offset));
}

IoResult WriteFile(HANDLE handle, const void* buffer, ULONG length, LONGLONG offset) {
    return SendOnHandle(handle, Request::Write(buffer, length, offset));
}

NTSTATUS CloseFile(HANDLE handle) {
    std::optional<HandleEntry> entry;
    {
        Lock lock(IoLock());
        entry = LookUpHandle(handle);
        if (!entry) return kStatusInvalidHandle;
        State().handles.erase(reinterpret_cast<uintptr_t>(handle));
    }
    PFILE_OBJECT file = entry->file;
    PDEVICE_OBJECT device = file->DeviceObject;
    // The I/O manager sends both from kernel mode, whoever opened the handle.
    Send(device, Request(IRP_MJ_CLEANUP).File(file));
    Send(device, Request(IRP_MJ_CLOSE).File(file));
    Lock lock(IoLock());
    --device->ReferenceCount;
    ObDereference(device, "CloseFile");
    ObDereference(file, "CloseFile");
    return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
    const auto entry = LookUpHandle(handle);
    return entry ? entry->file : nullptr;
}

size_t OpenHandles() {
    Lock lock(IoLock());
    return State().handles.size();
}

// ---------------------------------------------------------------------------
// Reset

namespace {

void ResetIoManager() {
    // From here on, nothing goes back to the object arena: it may have been
    // rewound already. The bus's worker stops next, so that nothing completes
    // while the rest goes.
    {
        Lock lock(IoLock());
        State().resetting = true;
    }
    ResetBus();
    Lock lock(IoLock());
    IoState& state = State();
    // IRPs still out are abandoned with their buffers; the pool and the MDL
    // bookkeeping have resets of their own.
    for (auto& [irp, record] : state.irps) {
        if (record->systemBuffer != nullptr) FreeObject(record->systemBuffer, record->systemBufferArena);
        FreeObject(irp, record->arena);
    }
    state.irps.clear();
    state.handles.clear();
    ResetObjects();
    ResetNamespace();
    for (const auto& [device, left] : state.devices)
        if (left.awaitingDetach) FreeObject(device, left.arena);
    state.devices.clear();
    state.drivers.clear();
    state.files.clear();
    state.nextHandle = 4;
    state.wdmAvailable = true;
    state.timeout = std::chrono::milliseconds(20000);
    state.resetting = false;
}

}  // namespace
}  // namespace sim

// ---------------------------------------------------------------------------
// Exported routines

using namespace sim;
using namespace sim::detail;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
    RequirePassive("IoCreateDevice");
    if (DeviceObject == nullptr) BugCheck("InvalidParameter", "IoCreateDevice", nullptr, "DeviceObject is NULL");
    *DeviceObject = nullptr;
    std::u16string name;
    if (DeviceName != nullptr) name = FromUnicodeString(DeviceName, "IoCreateDevice");
    if (ShouldFail("IoCreateDevice")) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    *DeviceObject = CreateDeviceObject(DriverObject, DeviceExtensionSize, DeviceName ? &name : nullptr,
                                       DeviceType, DeviceCharacteristics, Exclusive, &status);
    return status;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequirePassive("IoDeleteDevice");
    {
        Lock lock(IoLock());
        const auto it = State().devices.find(DeviceObject);
        if (it == State().devices.end())
            BugCheck("DeleteDeviceTwice", "IoDeleteDevice", nullptr,
                     Hex(DeviceObject) + " is not a device object in memory (deleted and freed already?)");
        DeviceState& device = it->second;
        if (device.deleted)
            BugCheck("DeleteDeviceTwice", "IoDeleteDevice", nullptr, Describe(DeviceObject) + " was deleted already");
        if (device.attachedTo != nullptr)
            BugCheck("DeleteAttachedDevice", "IoDeleteDevice", nullptr,
                     Describe(DeviceObject) + " is still attached to " + Describe(device.attachedTo) +
                         "; IoDetachDevice comes first");
        device.deleted = true;
        if (!device.name.empty()) {
            RemoveName(device.name);
            device.name.clear();
        }
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    // The creation reference; open handles and IoGetAttachedDeviceReference
    // keep the memory until theirs go, and so does a device attached on top.
    ObDereference(DeviceObject, "IoDeleteDevice");
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoAttachDeviceToDeviceStack");
    Lock lock(IoLock());
    DeviceState& source = DeviceOrBugCheck(SourceDevice, "IoAttachDeviceToDeviceStack");
    DeviceOrBugCheck(TargetDevice, "IoAttachDeviceToDeviceStack");
    if (source.attachedTo != nullptr || source.deleted)
        BugCheck("AttachAttachedDevice", "IoAttachDeviceToDeviceStack", nullptr,
                 Describe(SourceDevice) + (source.deleted ? " was deleted" : " is attached already"));
    if (ShouldFail("IoAttachDeviceToDeviceStack")) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    // A stack whose top is going away takes no new devices.
    if (State().devices.at(top).deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    SourceDevice->SectorSize = top->SectorSize;
    source.attachedTo = top;
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoDetachDevice");
    Lock lock(IoLock());
    DeviceOrBugCheck(TargetDevice, "IoDetachDevice");
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr)
        BugCheck("DetachUnattachedDevice", "IoDetachDevice", nullptr,
                 Describe(TargetDevice) + " has no device attached to it");
    State().devices.at(attached).attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    DeviceState& target = State().devices.at(TargetDevice);
    if (target.awaitingDetach) {
        const bool arena = target.arena;
        State().devices.erase(TargetDevice);
        FreeObject(TargetDevice, arena);
    }
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireAtMostDispatch("IoGetAttachedDeviceReference");
    Lock lock(IoLock());
    DeviceOrBugCheck(DeviceObject, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObReference(top, "IoGetAttachedDeviceReference");
    return top;
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    RequirePassive("IoGetDeviceProperty");
    std::u16string name;
    {
        Lock lock(IoLock());
        const auto it = State().devices.find(DeviceObject);
        if (it == State().devices.end() || !it->second.pdo)
            BugCheck("PNP_DETECTED_FATAL_ERROR", "IoGetDeviceProperty", nullptr,
                     "invalid PDO: " + (it == State().devices.end() ? Hex(DeviceObject) : Describe(DeviceObject)) +
                         " is not a physical device object reported by a bus");
        name = it->second.name;
    }
    if (ResultLength == nullptr) BugCheck("InvalidParameter", "IoGetDeviceProperty", nullptr, "ResultLength is NULL");
    if (ShouldFail("IoGetDeviceProperty")) return STATUS_INSUFFICIENT_RESOURCES;
    if (Property != DevicePropertyPhysicalDeviceObjectName) return STATUS_INVALID_PARAMETER;
    // The object's name with its terminating NUL; an unnamed object's name
    // is empty, as the object manager reports it.
    const ULONG needed = static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
    *ResultLength = needed;
    if (BufferLength < needed || PropertyBuffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, name.c_str(), needed);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    (void)MajorVersion;
    (void)MinorVersion;
    Lock lock(IoLock());
    return State().wdmAvailable ? TRUE : FALSE;
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireAtMostDispatch("IoAllocateIrp");
    if (ShouldFail("IoAllocateIrp")) return nullptr;
    return AllocateIrp(StackSize);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    RequireAtMostDispatch("IoFreeIrp");
    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(Irp, "IoFreeIrp", "FreeIrpTwice");
    if (record.freeRequested) BugCheck("FreeIrpTwice", "IoFreeIrp", Irp, "the IRP was freed already");
    if (record.hasOriginator)
        BugCheck("FreeForeignIrp", "IoFreeIrp", Irp, "the IRP belongs to the I/O manager, which frees it itself");
    record.freeRequested = true;
    FreeWhenIdle(Irp, record);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, false);
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    static constexpr const char* kRoutine = "IofCompleteRequest";
    RequireAtMostDispatch(kRoutine);
    IrpRecord* record;
    {
        Lock lock(IoLock());
        record = &IrpOrBugCheck(Irp, kRoutine, "MULTIPLE_IRP_COMPLETE_REQUESTS");
        if (Irp->Type != kTypeIrp || Irp->CurrentLocation > Irp->StackCount + 1 || record->finished ||
            record->freeRequested)
            BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", kRoutine, Irp, "the IRP was completed already");
        if (Irp->IoStatus.Status == STATUS_PENDING)
            BugCheck("CompleteWithStatusPending", kRoutine, Irp, "an IRP is never completed with STATUS_PENDING");
        if (Irp->CancelRoutine != nullptr)
            BugCheck("CompleteWithCancelRoutine", kRoutine, Irp,
                     "the IRP still has a cancel routine (" +
                         RoutineName(reinterpret_cast<const void*>(Irp->CancelRoutine)) + ")");
        const int current = Irp->CurrentLocation;
        if (current >= 1 && current <= Irp->StackCount &&
            Irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER && !record->powerStarted[current])
            BugCheck("PoStartNextPowerIrp", kRoutine, Irp,
                     "the driver at stack location " + std::to_string(current) +
                         " completed a power IRP without calling PoStartNextPowerIrp first");
        ++record->completions;
        ++record->activeWalks;
    }

    // The walk up the stack, location by location, as the I/O manager makes it.
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    while (Irp->CurrentLocation <= Irp->StackCount + 1) {
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        uint64_t generation;
        {
            Lock lock(IoLock());
            if (Irp->PendingReturned) record->pendingSeen[Irp->CurrentLocation - 1] = 1;
            generation = record->completions;
        }
        const NTSTATUS status = Irp->IoStatus.Status;
        const UCHAR control = location->Control;
        if ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL))) {
            const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            const PVOID context = location->Context;
            ZeroIrpStackLocation(location);
            // The routine gets the device of the driver that set it: the one
            // whose location is now current; the sender has none.
            const bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT device = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            const int owner = Irp->CurrentLocation;
            {
                Lock lock(IoLock());
                record->ownerLocation = owner;
            }
            const KIRQL irql = CurrentIrql();
            const NTSTATUS result = routine(device, Irp, context);
            if (CurrentIrql() != irql)
                BugCheck("IrqlChangedByCompletionRoutine", RoutineName(reinterpret_cast<const void*>(routine)), Irp,
                         "called at IRQL " + std::to_string(irql) + ", returned at IRQL " +
                             std::to_string(CurrentIrql()));
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The IRP is its owner's again, perhaps freed already: hands off.
                Lock lock(IoLock());
                --record->activeWalks;
                FreeWhenIdle(Irp, *record);
                return;
            }
            Lock lock(IoLock());
            const std::string name = RoutineName(reinterpret_cast<const void*>(routine));
            if (record->freeRequested)
                BugCheck("CompletionContinuesAfterFree", name, Irp,
                         "the completion routine freed the IRP and returned " + HexStatus(result) +
                             " instead of STATUS_MORE_PROCESSING_REQUIRED");
            if (record->completions != generation)
                BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", name, Irp,
                         "the IRP was completed again while its completion routine ran, and the routine returned " +
                             HexStatus(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
            if (!atTop && Irp->PendingReturned &&
                !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED))
                BugCheck("PendingReturnedNotPropagated", name, Irp,
                         "Irp->PendingReturned is set and the completion routine returned " + HexStatus(result) +
                             " without marking its own stack location pending "
                             "(if (Irp->PendingReturned) IoMarkIrpPending(Irp))");
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ZeroIrpStackLocation(location);
        }
        location++;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
    }

    Lock lock(IoLock());
    record->finished = true;
    record->ownerLocation = Irp->StackCount + 1;
    --record->activeWalks;
    if (!record->hasOriginator)
        BugCheck("IrpWithoutOwner", kRoutine, Irp,
                 "completion reached the top of an IRP from IoAllocateIrp; the completion routine of the driver "
                 "that allocated it must return STATUS_MORE_PROCESSING_REQUIRED");
    record->done.notify_all();
    FreeWhenIdle(Irp, *record);
}
