// The I/O manager: device and driver objects, device stacks, request
// packets on their way down (IofCallDriver) and back up (IofCompleteRequest)
// with the checks Driver Verifier makes there, and the requests that the
// I/O manager itself originates for applications and upper drivers.
//
// This file keeps the bookkeeping and its reset; iomgr_objects.cpp creates
// device and driver objects, iomgr_irp.cpp builds, sends and tracks IRPs,
// iomgr_files.cpp opens handles, and iomgr_exports.cpp has the routines a
// driver imports.
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
#include "simkernel/iomgr_internal.h"
#include "simkernel/memory.h"

namespace sim {
namespace io {

using namespace detail;

IoState& State() {
    static IoState* state = new IoState;
    return *state;
}

thread_local ThreadStack<CallFrame, 256> t_frames;

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

IrpRecord& IrpOrBugCheck(PIRP irp, const char* routine, const char* rule) {
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
    PDRIVER_OBJECT owner = device->DriverObject;
    FreeObject(device, arena);
    // The last device object of a driver asked to unload: the unload is due.
    if (PDRIVER_OBJECT driver = TakePendingUnload(owner)) CompleteUnload(driver);
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
    // The sending thread may still be reading it, or its dispatch routine
    // marking it pending (IoMarkIrpPending is one atomic or).
    __atomic_store_n(&location->Control, (UCHAR)0, __ATOMIC_RELAXED);
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
NTSTATUS AttachLockedMdl(PIRP irp, void* buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
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

}  // namespace io

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
        "IRP_MJ_CREATE",
        "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",
        "IRP_MJ_READ",
        "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION",
        "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL",
        "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",
        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",
        "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",
        "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? kNames[major] : "IRP_MJ_(invalid)";
}

}  // namespace detail
}  // namespace sim
