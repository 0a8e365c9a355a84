// The I/O manager's own bookkeeping, shared by its files: the records it
// keeps beside each device, driver, IRP and handle, and the helpers that read
// and release them. Only the I/O manager's files include this.
#pragma once
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "simkernel/iomgr.h"
#include "simkernel/thread_stack.h"

namespace sim {
namespace detail {
void ResetBus();
}  // namespace detail

namespace io {

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

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }

inline bool NtError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

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
    bool unloadPending = false;
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
    // Who set IoStatus.Information last: the completer, or a completion
    // routine's driver that changed it (nullptr: no driver).
    PDRIVER_OBJECT informationBy = nullptr;
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
IoState& State();

// One dispatch call under way on this thread.
struct CallFrame {
    PIRP irp;
    int location;
    bool lowerReturnedPending;
};
extern thread_local ThreadStack<CallFrame, 256> t_frames;

void ResetIoManager();
void EnsureResetHook();

// Memory for an object the driver sees: deterministic addresses when the
// simulator asks for them. Objects from the arena are left to the arena's own
// reset.
void* AllocateObject(size_t bytes, bool* arena);
void FreeObject(void* p, bool arena);

std::string RoutineName(const void* routine);
std::string Describe(PDEVICE_OBJECT device);
DeviceState& DeviceOrBugCheck(PDEVICE_OBJECT device, const char* routine);
IrpRecord& IrpOrBugCheck(PIRP irp, const char* routine, const char* rule = "InvalidIrp");
void FreeIrpMemory(PIRP irp);
// Frees an IRP whose owner has let it go, once no call or completion is
// still inside it; else tells a waiting sender that the IRP has gone idle.
// Call with the lock held.
void FreeWhenIdle(PIRP irp, IrpRecord& record);

void DestroyDevice(void* object);
void DestroyDriver(void* object);
void DestroyFile(void* object);

// What every driver object's dispatch table holds until the driver fills it.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp);
// Clears what a completed location no longer needs, as the I/O manager does
// before the completion routine runs.
void ZeroIrpStackLocation(PIO_STACK_LOCATION location);

// A fake thread for IRPs the I/O manager sends: Tail.Overlay.Thread is
// never null for them, as it names the requesting thread on Windows.
extern unsigned char g_fakeThread[64];

NTSTATUS CopyGuarded(void* destination, const void* source, size_t bytes);
// The buffer an application passed, checked the way ProbeForRead and
// ProbeForWrite check it for a user-mode caller.
NTSTATUS ProbeUserBuffer(KPROCESSOR_MODE mode, const void* buffer, ULONG length);
void* AllocateSystemBuffer(IrpRecord& record, ULONG bytes);
// Describes the caller's buffer with a locked MDL on the IRP. Fails as the
// I/O manager fails the call: no MDL, or a probe that raises.
NTSTATUS AttachLockedMdl(PIRP irp, void* buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation);
// Releases what the I/O manager built for a request that never went out or
// has come back.
void ReleaseRequestBuffers(PIRP irp, IrpRecord& record);
void DiscardUnsentIrp(PIRP irp);

IoResult SendIrpAt(PDEVICE_OBJECT device, PIRP irp, std::optional<KIRQL> irql);

}  // namespace io
}  // namespace sim
