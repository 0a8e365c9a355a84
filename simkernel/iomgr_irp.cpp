// Request packets: allocation, the way down (IofCallDriver) with the
// verifier's checks, the requests the I/O manager builds for its callers,
// and how a sender waits for and finishes them.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>

#include "platform/guarded.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr_internal.h"
#include "simkernel/memory.h"

namespace sim {
using namespace io;

namespace {

std::mutex g_observerLock;
std::function<void(PDEVICE_OBJECT, PIRP)> g_callObserver;
std::atomic<bool> g_observing{false};

void ObserveCall(PDEVICE_OBJECT device, PIRP irp) {
    if (!g_observing.load(std::memory_order_relaxed)) return;
    std::function<void(PDEVICE_OBJECT, PIRP)> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerLock);
        observer = g_callObserver;
    }
    if (observer) observer(device, irp);
}

}  // namespace

void SetCallObserver(std::function<void(PDEVICE_OBJECT device, PIRP irp)> observer) {
    std::lock_guard<std::mutex> lock(g_observerLock);
    g_callObserver = std::move(observer);
    g_observing = static_cast<bool>(g_callObserver);
}

namespace detail {

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

namespace {

// Where a call down lands: the next stack location, made current.
struct CallTarget {
    PIO_STACK_LOCATION location;
    int index;
    PDRIVER_DISPATCH dispatch;
    std::string target;  // the device and the major function, for the messages
};

// The caller's side of IofCallDriver: the checks of what it sends and where.
CallTarget EnterNextLocation(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver, const char* routine) {
    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, routine);
    if (record.finished)
        BugCheck("IrpSentAfterCompletion", routine, irp, "the IRP was completed already; its sender owns it now");
    if (device == nullptr || State().devices.count(device) == 0)
        BugCheck("InvalidDeviceObject", routine, irp,
                 Hex(device) +
                     " is not a device object in memory: deleted and freed (a stale pointer), "
                     "or never one");
    CallTarget call{nullptr, irp->CurrentLocation - 1, nullptr, Describe(device)};
    if (call.index <= 0)
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", routine, irp,
                 "the IRP has " + std::to_string(irp->StackCount) + " stack location(s), none left for " + call.target);
    call.location = irp->Tail.Overlay.CurrentStackLocation - 1;
    if (call.location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
        BugCheck("InvalidMajorFunction", routine, irp,
                 "major function " + std::to_string(call.location->MajorFunction) + " sent to " + call.target);
    if (call.location->MajorFunction == IRP_MJ_POWER) {
        const int owner = record.ownerLocation;
        if (owner >= 1 && owner <= irp->StackCount && !record.powerStarted[owner])
            BugCheck("PoStartNextPowerIrp", routine, irp,
                     "the driver at stack location " + std::to_string(owner) + " passed a power IRP on to " +
                         call.target + " without calling PoStartNextPowerIrp first");
    } else if (viaPoCallDriver) {
        BugCheck(
            "PoCallDriver", routine, irp,
            std::string("PoCallDriver sends power IRPs only; this one is ") + MajorName(call.location->MajorFunction));
    }
    record.pendingSeen[call.index] = 0;
    record.powerStarted[call.index] = 0;
    record.viaPo[call.index] = viaPoCallDriver;
    record.ownerLocation = call.index;
    ++record.activeCalls;
    irp->CurrentLocation = static_cast<CHAR>(call.index);
    irp->Tail.Overlay.CurrentStackLocation = call.location;
    call.location->DeviceObject = device;
    call.dispatch = device->DriverObject->MajorFunction[call.location->MajorFunction];
    if (call.dispatch == nullptr)
        BugCheck("InvalidDispatchRoutine", routine, irp,
                 call.target + " has no dispatch routine for " + MajorName(call.location->MajorFunction));
    call.target += std::string(", ") + MajorName(call.location->MajorFunction);
    return call;
}

// The called driver's side: what its dispatch routine returned, and how. The
// checks are held against that driver (whose device may be gone now).
void CheckDispatchReturn(PDRIVER_OBJECT driver, PIRP irp, const CallTarget& call, const CallFrame& frame,
                         NTSTATUS status, KIRQL irql, const char* routine) {
    const Answerable answer(driver);
    const auto name = [&call] { return RoutineName(reinterpret_cast<const void*>(call.dispatch)); };
    if (CurrentIrql() != irql)
        BugCheck("IrqlChangedByDispatch", name(), irp,
                 "the dispatch routine for " + call.target + " was called at IRQL " + std::to_string(irql) +
                     " and returned at IRQL " + std::to_string(CurrentIrql()));

    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(irp, routine);
    // The memory is still there: a free waits for the calls inside the IRP.
    // A completion on the bus's worker may be marking it at this moment.
    const UCHAR control = __atomic_load_n(&call.location->Control, __ATOMIC_RELAXED);
    const bool marked = (control & SL_PENDING_RETURNED) != 0 || record.pendingSeen[call.index] != 0;
    --record.activeCalls;
    if (status == STATUS_PENDING && !marked && !frame.lowerReturnedPending)
        BugCheck("MarkIrpPending", name(), irp,
                 "the dispatch routine for " + call.target +
                     " returned STATUS_PENDING without marking its stack location pending (IoMarkIrpPending)");
    if (status != STATUS_PENDING && marked)
        BugCheck("MarkIrpPending2", name(), irp,
                 "the dispatch routine for " + call.target + " marked its stack location pending but returned " +
                     HexStatus(status) + " instead of STATUS_PENDING");
    FreeWhenIdle(irp, record);
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver) {
    const char* routine = viaPoCallDriver ? "PoCallDriver" : "IofCallDriver";
    RequireAtMostDispatch(routine);
    const CallTarget call = EnterNextLocation(device, irp, viaPoCallDriver, routine);

    ObserveCall(device, irp);
    const KIRQL irql = CurrentIrql();
    t_frames.Push(CallFrame{irp, call.index, false}, "IoCallDriver");
    PDRIVER_OBJECT driver = device->DriverObject;
    NTSTATUS status;
    {
        DriverFrame running(driver, FrameKind::Dispatch, reinterpret_cast<const void*>(call.dispatch));
        status = call.dispatch(device, irp);
    }
    const CallFrame frame = t_frames.Back();
    t_frames.Pop();
    if (!t_frames.Empty() && t_frames.Back().irp == irp)
        t_frames.Back().lowerReturnedPending = status == STATUS_PENDING;
    CheckDispatchReturn(driver, irp, call, frame, status, irql, routine);
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

using namespace detail;

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

NTSTATUS Request::AttachReadWriteBuffer(PIRP irp, PIO_STACK_LOCATION location, IrpRecord& record,
                                        ULONG deviceFlags) const {
    const bool read = buffers_ == Buffers::Read;
    void* callerBuffer = read ? buffer_ : const_cast<void*>(input_);
    if (read) {
        location->Parameters.Read.Length = length_;
        location->Parameters.Read.ByteOffset.QuadPart = offset_;
    } else {
        location->Parameters.Write.Length = length_;
        location->Parameters.Write.ByteOffset.QuadPart = offset_;
    }
    NTSTATUS result = ProbeUserBuffer(mode_, callerBuffer, length_);
    if (!NT_SUCCESS(result) || length_ == 0) return result;
    if (deviceFlags & DO_BUFFERED_IO) {
        void* system = AllocateSystemBuffer(record, length_);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
        if (read) {
            irp->Flags |= kIrpInputOperation;
            irp->UserBuffer = callerBuffer;
            record.copyBackTo = callerBuffer;
            record.copyBackMax = length_;
        } else {
            result = CopyGuarded(system, callerBuffer, length_);
        }
    } else if (deviceFlags & DO_DIRECT_IO) {
        result = AttachLockedMdl(irp, callerBuffer, length_, mode_, read ? IoWriteAccess : IoReadAccess);
    } else {
        irp->UserBuffer = callerBuffer;
    }
    return result;
}

NTSTATUS Request::AttachControlBuffers(PIRP irp, PIO_STACK_LOCATION location, IrpRecord& record) const {
    location->Parameters.DeviceIoControl.OutputBufferLength = length_;
    location->Parameters.DeviceIoControl.InputBufferLength = inputLength_;
    location->Parameters.DeviceIoControl.IoControlCode = code_;
    const ULONG method = code_ & 3;
    if (method == 3) {  // METHOD_NEITHER: the caller's addresses, unchecked
        location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input_);
        irp->UserBuffer = buffer_;
        return STATUS_SUCCESS;
    }
    NTSTATUS result = ProbeUserBuffer(mode_, input_, inputLength_);
    if (NT_SUCCESS(result)) result = ProbeUserBuffer(mode_, buffer_, length_);
    if (!NT_SUCCESS(result)) return result;
    if (method == 0) {  // METHOD_BUFFERED: one system buffer for both directions
        const ULONG size = std::max(inputLength_, length_);
        if (size == 0) return result;
        void* system = AllocateSystemBuffer(record, size);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
        result = CopyGuarded(system, input_, inputLength_);
        if (length_ != 0) {
            irp->Flags |= kIrpInputOperation;
            irp->UserBuffer = buffer_;
            record.copyBackTo = buffer_;
            record.copyBackMax = length_;
        }
    } else {  // METHOD_IN_DIRECT / METHOD_OUT_DIRECT
        if (inputLength_ != 0) {
            void* system = AllocateSystemBuffer(record, inputLength_);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
            result = CopyGuarded(system, input_, inputLength_);
        }
        if (NT_SUCCESS(result) && length_ != 0)
            result = AttachLockedMdl(irp, buffer_, length_, mode_, method == 1 ? IoReadAccess : IoWriteAccess);
    }
    return result;
}

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

    IrpRecord* record;
    {
        Lock lock(IoLock());
        record = &IrpOrBugCheck(irp, "Request::Build");
    }
    NTSTATUS result = STATUS_SUCCESS;
    if (buffers_ == Buffers::Read || buffers_ == Buffers::Write)
        result = AttachReadWriteBuffer(irp, location, *record, deviceFlags);
    else if (buffers_ == Buffers::Control)
        result = AttachControlBuffers(irp, location, *record);
    if (!NT_SUCCESS(result)) {
        DiscardUnsentIrp(irp);
        *status = result;
        return nullptr;
    }
    if (setup_) setup_(irp, location);
    *status = STATUS_SUCCESS;
    return irp;
}

namespace io {

IoResult SendIrpAt(PDEVICE_OBJECT device, PIRP irp, std::optional<KIRQL> irql) {
    {
        Lock lock(IoLock());
        IrpRecord& record = IrpOrBugCheck(irp, "SendIrp");
        if (record.hasOriginator) BugCheck("IrpSentTwice", "SendIrp", irp, "the IRP is already on its way");
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
    if (!record.done.wait_for(lock, timeout,
                              [&] { return record.finished && record.activeCalls == 0 && record.activeWalks == 0; }))
        BugCheck("RequestNeverCompleted", "SendIrp", irp,
                 "the request was pended and not completed within " + std::to_string(timeout.count()) + " ms");
    result.final = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    // As the I/O manager finishes a request: output copied back, buffers and
    // MDLs released, the packet freed.
    if (record.copyBackTo != nullptr && !NtError(result.final)) {
        if (result.information > record.copyBackMax) {
            const Answerable answer(record.informationBy);
            BugCheck("InformationExceedsBuffer", "IofCompleteRequest", irp,
                     "IoStatus.Information " + std::to_string(result.information) +
                         " is larger than the caller's output buffer of " + std::to_string(record.copyBackMax) +
                         " bytes");
        }
        CopyGuarded(record.copyBackTo, record.systemBuffer, result.information);
    }
    ReleaseRequestBuffers(irp, record);
    record.freeRequested = true;
    FreeWhenIdle(irp, record);
    return result;
}

}  // namespace io

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

}  // namespace sim
