// The simulated I/O manager: the object namespace, device objects and their
// stacks, request packets with the verifier's checks on the way down and on
// the way back, and the originators of requests that tests and the scenario
// runner use in place of applications and upper drivers.
//
// Names compare case-insensitively (ASCII). "\DosDevices\X", "\??\X" and the
// user-mode form "\\.\X" are the same name, as on Windows.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntio.h"

namespace sim {

namespace io {
struct IrpRecord;
}  // namespace io

// ---------------------------------------------------------------------------
// Object namespace

// The device object that a name refers to right now (symbolic links are not
// followed); nullptr when the name is free or names something else.
PDEVICE_OBJECT FindDevice(const std::string& name);
PDEVICE_OBJECT FindDevice(const std::u16string& name);
// The target of a symbolic link, as given to IoCreateSymbolicLink.
std::optional<std::string> SymbolicLinkTarget(const std::string& name);
// The device's name while it has one; nullopt for an unnamed or deleted device.
std::optional<std::string> DeviceName(PDEVICE_OBJECT device);
// Every name, sorted, as "name -> what" lines; for diagnostics.
std::vector<std::string> NamespaceListing();

// ---------------------------------------------------------------------------
// Devices and stacks

// What IoIsWdmVersionAvailable answers (true after a reset).
void SetWdmVersionAvailable(bool available);
// Marks a device as a physical device object reported by a bus: only those
// have Plug and Play properties.
void MarkAsPdo(PDEVICE_OBJECT device);
bool IsPdo(PDEVICE_OBJECT device);
// The top of the device's stack, without a reference (IoGetAttachedDevice).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The device that this one is attached to, or nullptr.
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
// True once IoDeleteDevice was called (the memory may live on while referenced).
bool IsDeleted(PDEVICE_OBJECT device);
// True while the device object's memory exists.
bool IsLiveDevice(PDEVICE_OBJECT device);
// The driver's devices that are not deleted, newest first (its DeviceObject list).
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);
// Device objects still in memory, deleted ones included.
size_t LiveDeviceObjects();
// Object-manager references an object holds (device, driver or file object).
LONG ObjectReferences(const void* object);
// Threads blocked in IoReleaseRemoveLockAndWait until the lock's last holder
// lets go: a removal that waits for a request still below the driver.
int RemoveLockWaiters();

// ---------------------------------------------------------------------------
// Requests

// How a request came back to the one that sent it.
struct IoResult {
    NTSTATUS returned = STATUS_SUCCESS;  // what the dispatch routine it was sent to returned
    NTSTATUS final = STATUS_SUCCESS;     // IoStatus.Status when completion reached the sender
    ULONG_PTR information = 0;           // IoStatus.Information at that moment
};

// A request as the I/O manager (or an upper driver) builds it. The buffers
// are the caller's and must outlive the send; the transfer method follows
// the device that receives the request: DO_BUFFERED_IO copies through a
// system buffer, DO_DIRECT_IO describes the buffer with a locked MDL, and
// neither hands the caller's address over. Control codes carry their own
// method in their low two bits.
class Request {
public:
    explicit Request(UCHAR major, UCHAR minor = 0);

    static Request Read(void* buffer, ULONG length, LONGLONG offset = 0);
    static Request Write(const void* buffer, ULONG length, LONGLONG offset = 0);
    static Request DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
    // Internal device control carries no buffers of its own: its arguments
    // (an SRB, a URB, an IRB) go into Parameters.Others.
    static Request InternalDeviceControl(ULONG code, PVOID argument1 = nullptr);
    // Plug and Play and power requests start with STATUS_NOT_SUPPORTED, as
    // the Plug and Play and power managers send them.
    static Request Pnp(UCHAR minor);
    static Request Power(UCHAR minor, POWER_STATE_TYPE type = SystemPowerState, ULONG state = 0);

    Request& Mode(KPROCESSOR_MODE mode);
    Request& LocationFlags(UCHAR flags);
    Request& InitialStatus(NTSTATUS status);
    Request& InitialInformation(ULONG_PTR information);
    Request& File(PFILE_OBJECT file);
    // Parameters.Others.Argument1..4 (index 1 to 4).
    Request& Argument(int index, PVOID value);
    // The last word on the packet before it is sent: the IRP and the stack
    // location the receiver will see.
    Request& Setup(std::function<void(PIRP irp, PIO_STACK_LOCATION location)> setup);
    // Sends to the device given instead of the top of its stack.
    Request& ExactDevice(bool exact = true);

    // Builds the IRP for the device that will receive it (the top of the
    // target's stack unless ExactDevice). nullptr with *status when the I/O
    // manager would fail the call before sending (a buffer that cannot be
    // probed, locked or copied). Sending the IRP with SendIrp frees it.
    PIRP Build(PDEVICE_OBJECT target, NTSTATUS* status) const;
    // The device Build would build for.
    PDEVICE_OBJECT Receiver(PDEVICE_OBJECT target) const;

private:
    enum class Buffers { None, Read, Write, Control };
    // The caller's buffers as the I/O manager hands them on, by the device's
    // transfer method (reads, writes) or the code's (device control).
    NTSTATUS AttachReadWriteBuffer(PIRP irp, PIO_STACK_LOCATION location, io::IrpRecord& record,
                                   ULONG deviceFlags) const;
    NTSTATUS AttachControlBuffers(PIRP irp, PIO_STACK_LOCATION location, io::IrpRecord& record) const;
    UCHAR major_;
    UCHAR minor_;
    UCHAR locationFlags_ = 0;
    KPROCESSOR_MODE mode_ = KernelMode;
    NTSTATUS initialStatus_ = STATUS_SUCCESS;
    ULONG_PTR initialInformation_ = 0;
    PFILE_OBJECT file_ = nullptr;
    PVOID arguments_[4] = {};
    bool argumentsSet_ = false;
    std::function<void(PIRP, PIO_STACK_LOCATION)> setup_;
    bool exact_ = false;
    Buffers buffers_ = Buffers::None;
    void* buffer_ = nullptr;  // read/write buffer, or control output
    ULONG length_ = 0;        // read/write length, or control output length
    LONGLONG offset_ = 0;
    const void* input_ = nullptr;
    ULONG inputLength_ = 0;
    ULONG code_ = 0;
    bool codeOnly_ = false;  // internal device control: the code without buffers
};

// Sends an IRP the way the I/O manager does and waits (really blocking)
// until it has completed, then copies buffered output back and frees the
// IRP, its MDLs and its system buffer. The IRP goes to the top of the
// target's stack unless exactDevice. An IRP from IoAllocateIrp may be sent
// too; its caller fills the next stack location first.
IoResult SendIrp(PDEVICE_OBJECT target, PIRP irp, bool exactDevice = false);
// The same on a thread of its own, for requests a test completes later.
std::future<IoResult> SendIrpAsync(PDEVICE_OBJECT target, PIRP irp, bool exactDevice = false);
IoResult Send(PDEVICE_OBJECT target, const Request& request);
std::future<IoResult> SendAsync(PDEVICE_OBJECT target, const Request& request);
// How long a sender waits for a pended request before declaring it lost
// (a bug check). 20 seconds after a reset.
void SetCompletionTimeout(std::chrono::milliseconds timeout);
// IRPs allocated and not yet freed.
size_t OutstandingIrps();
// A breakpoint on IoCallDriver for tools: the observer sees every request
// as it reaches a device, just before that device's dispatch routine runs
// (on the caller's thread, at its IRQL). An empty function removes it; a
// reset keeps it.
void SetCallObserver(std::function<void(PDEVICE_OBJECT device, PIRP irp)> observer);

// ---------------------------------------------------------------------------
// Handles, as an application holds them

struct OpenResult {
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE handle = nullptr;  // nullptr when the open failed
};
// Opens a device by name, following symbolic links: sends IRP_MJ_CREATE to
// the top of the device's stack with a new file object. The file object
// holds a reference on the device, so a device deleted while open stays in
// memory and still receives the handle's requests.
OpenResult OpenFile(const std::string& name, KPROCESSOR_MODE mode = UserMode);
IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength);
// The output vector's size is the output buffer's length; it keeps that size.
IoResult DeviceIoControl(HANDLE handle, ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output);
IoResult ReadFile(HANDLE handle, void* buffer, ULONG length, LONGLONG offset = 0);
IoResult WriteFile(HANDLE handle, const void* buffer, ULONG length, LONGLONG offset = 0);
// Any request on the handle: the file object goes into the stack location.
IoResult SendOnHandle(HANDLE handle, Request request);
// IRP_MJ_CLEANUP, IRP_MJ_CLOSE, then the handle's reference goes.
// kStatusInvalidHandle for a handle that is not open.
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
NTSTATUS CloseFile(HANDLE handle);
PFILE_OBJECT FileObjectOf(HANDLE handle);
size_t OpenHandles();

// ---------------------------------------------------------------------------
// Kernel-internal: shared by the I/O manager's own files (objects, power,
// Plug and Play, the bus). Tests do not use these.
namespace detail {

constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr CSHORT kTypeFile = 5;
constexpr CSHORT kTypeIrp = 6;

// The one lock of the I/O manager's bookkeeping. It is never held while a
// driver routine runs.
std::recursive_mutex& IoLock();

// Object namespace (objects.cpp).
enum class NameKind { Device, Driver, Link };
std::u16string Widen(std::string_view text);
std::string Narrow(std::u16string_view text);
// "\DosDevices\X" and "\\.\X" become "\??\X".
std::u16string CanonicalName(std::u16string_view name);
// STATUS_SUCCESS, or why the name cannot be inserted.
NTSTATUS CheckNewName(const std::u16string& name);
NTSTATUS InsertName(const std::u16string& name, NameKind kind, void* object);
void RemoveName(const std::u16string& name);
// Follows symbolic links; the device, or nullptr with *status.
PDEVICE_OBJECT ResolveDevice(const std::u16string& name, NTSTATUS* status);
// Reads a counted string the driver passed, bug checking a malformed one.
std::u16string FromUnicodeString(PCUNICODE_STRING string, const char* routine);
void ResetNamespace();

// Object lifetime (objects.cpp). An object starts with one reference; the
// destroy routine runs when the last one goes.
enum class ObjectType { Device, Driver, File };
void ObInsert(void* object, ObjectType type, void (*destroy)(void* object));
void ObReference(void* object, const char* routine);
LONG ObDereference(void* object, const char* routine);
bool ObIsLive(const void* object, ObjectType type);
LONG ObReferences(const void* object);
void ResetObjects();

// Devices (iomgr.cpp).
PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string* name,
                                  DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive, NTSTATUS* status);
std::u16string DeviceNameOf(PDEVICE_OBJECT device);

// Driver objects (iomgr.cpp). The dispatch table starts filled with a routine
// that fails every request with STATUS_INVALID_DEVICE_REQUEST, as on Windows.
PDRIVER_OBJECT CreateDriverObject(const std::string& serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status);
PUNICODE_STRING DriverRegistryPath(PDRIVER_OBJECT driver);
void MarkDriverUnloaded(PDRIVER_OBJECT driver);
bool IsDriverLoaded(PDRIVER_OBJECT driver);
// A driver whose unload was asked for while a deleted device object of its
// own was still referenced: it is unloaded when that object goes.
// MarkUnloadPending returns false when no such object is left, so that the
// caller unloads now; TakePendingUnload, called as a device object goes,
// returns the driver whose unload is due (nullptr if none).
bool MarkUnloadPending(PDRIVER_OBJECT driver);
PDRIVER_OBJECT TakePendingUnload(PDRIVER_OBJECT owner);
// Calls the unload routine and checks what it left (pnp.cpp).
void CompleteUnload(PDRIVER_OBJECT driver);
std::string DriverNameOf(PDRIVER_OBJECT driver);

// IRPs (iomgr.cpp, power.cpp).
PIRP AllocateIrp(CCHAR stackSize);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver);
// Power bookkeeping per stack location (1-based, as CurrentLocation counts).
void NotePowerIrpStarted(PIRP irp, const char* routine);
// Whether the request at the IRP's current location arrived through PoCallDriver.
bool ArrivedViaPoCallDriver(PIRP irp);
const char* MajorName(UCHAR major);
std::string Hex(const void* p);
std::string HexStatus(NTSTATUS status);

// Bug checks when a device that is not deleted is still attached to one that
// is: its driver never detached.
void CheckNothingLeftOnDeletedDevices(const std::string& routine);

// Sends on behalf of the Plug and Play or power manager, at the given IRQL.
IoResult SendAtIrql(PDEVICE_OBJECT target, const Request& request, KIRQL irql);

}  // namespace detail
}  // namespace sim
