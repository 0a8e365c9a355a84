#include "simkernel/bus1394.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/ntscsi.h"
#include "simkernel/core.h"
#include "simkernel/fixed_entry.h"
#include "simkernel/frames.h"
#include "simkernel/memory.h"

namespace sim {

namespace {

// Where the local node's ranges are placed when the client asks for no
// address of its own: one 64 KiB slot after another.
constexpr USHORT kRangeHigh = 0x0001;
constexpr ULONG kRangeSlot = 0x10000;
constexpr uintptr_t kFirstHandle = 0x13940010;
constexpr size_t kConfigRomOffset = 0;
constexpr size_t kHostPage = 4096;

struct Range {
    HANDLE handle = nullptr;
    uint64_t address = 0;  // 48 bits
    ULONG length = 0;
    PMDL mdl = nullptr;
    PVOID callback = nullptr;
    PVOID context = nullptr;
    ULONG options = 0;
    ULONG access = 0;
    PDRIVER_OBJECT owner = nullptr;  // the driver that asked for the range
};

uint64_t Address(USHORT high, ULONG low) { return (uint64_t{high} << 32) | low; }

// The system address of a locked MDL's memory.
uint8_t* SystemAddress(PMDL mdl) {
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<uint8_t*>(mdl->MappedSystemVa);
    return static_cast<uint8_t*>(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                              NormalPagePriority | MdlMappingNoExecute));
}

// The driver that passed the request to the bus: the owner of the stack
// location above the bus's; nullptr when the request began at the bus. A
// routine the request hands over is that driver's (a filter hands down its
// own substitutes): a stop inside it is held against that driver, as one in
// the bus's own code is against the bus.
PDRIVER_OBJECT Sender(PIRP irp) {
    if (irp->CurrentLocation >= irp->StackCount) return nullptr;
    PDEVICE_OBJECT device = (IoGetCurrentIrpStackLocation(irp) + 1)->DeviceObject;
    return device == nullptr ? nullptr : device->DriverObject;
}

}  // namespace

struct Bus1394::Impl {
    Pdo* pdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    mutable std::recursive_mutex lock;
    bool pend = false;
    KIRQL irql = DISPATCH_LEVEL;
    std::chrono::milliseconds delay{0};
    ULONG generation = 1;
    std::map<std::pair<USHORT, uint64_t>, uint8_t> remote;
    std::vector<Range> ranges;
    uintptr_t nextHandle = kFirstHandle;
    ULONG nextSlot = 1;
    SimBuffer host{};
    ULONG configRomLength = 0;
    std::function<void()> removed;

    NTSTATUS Allocate(IRB* irb, PDRIVER_OBJECT owner, PVOID* completion, PVOID* completionContext);
    NTSTATUS Free(IRB* irb);
    NTSTATUS AsyncTransfer(IRB* irb, bool write);
    NTSTATUS HostInformation(IRB* irb);
    void Process(PIRP irp);
};

namespace {

std::mutex& RegistryLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// The buses by device, for the mapping routine, whose context is the device.
std::map<PDEVICE_OBJECT, Bus1394::Impl*>& Buses() {
    static auto* buses = new std::map<PDEVICE_OBJECT, Bus1394::Impl*>;
    return *buses;
}

// The contexts of the buses whose device was removed: the host is still
// there, and its routine refuses to map for a device that is gone.
std::set<PDEVICE_OBJECT>& RemovedBuses() {
    static auto* removed = new std::set<PDEVICE_OBJECT>;
    return *removed;
}

// The host's physical-address mapping routine: allocates the range of an
// allocation request at once and calls its allocation completion routine.
NTSTATUS PhysAddrMapping(PVOID Context, PIRB Irb) {
    Bus1394::Impl* bus = nullptr;
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        auto found = Buses().find(static_cast<PDEVICE_OBJECT>(Context));
        if (found != Buses().end())
            bus = found->second;
        else if (RemovedBuses().count(static_cast<PDEVICE_OBJECT>(Context)) != 0)
            return STATUS_NO_SUCH_DEVICE;
    }
    if (bus == nullptr)
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "PhysAddrMappingRoutine", nullptr,
                 "called with a context the host never handed out, or after the device was removed");
    if (Irb == nullptr || Irb->FunctionNumber != REQUEST_ALLOCATE_ADDRESS_RANGE) return STATUS_INVALID_PARAMETER;
    if (Irb->u.AllocateAddressRange.fulNotificationOptions != 0) return STATUS_INVALID_PARAMETER;
    PVOID completion = nullptr;
    PVOID completionContext = nullptr;
    // The routine runs in its caller's thread, on its caller's behalf.
    NTSTATUS status = bus->Allocate(Irb, CurrentDriver(), &completion, &completionContext);
    if (NT_SUCCESS(status) && completion != nullptr) {
        IrqlScope irql(DISPATCH_LEVEL);
        const Answerable owner(CurrentDriver());
        reinterpret_cast<PALLOCATION_COMPLETION_ROUTINE>(completion)(completionContext);
    }
    return status;
}

}  // namespace

NTSTATUS Bus1394::Impl::Allocate(IRB* irb, PDRIVER_OBJECT owner, PVOID* completion, PVOID* completionContext) {
    IRB_REQ_ALLOCATE_ADDRESS_RANGE& request = irb->u.AllocateAddressRange;
    if (request.nLength == 0 || request.Mdl == nullptr || request.nLength > request.Mdl->ByteCount)
        return STATUS_INVALID_PARAMETER;
    if (request.fulNotificationOptions != 0 && request.Callback == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(lock);
    Range range;
    range.address = Address(request.Required1394Offset.Off_High, request.Required1394Offset.Off_Low);
    if (range.address == 0) range.address = Address(kRangeHigh, kRangeSlot * nextSlot++);
    for (const Range& other : ranges)
        if (range.address < other.address + other.length && other.address < range.address + request.nLength)
            return STATUS_INSUFFICIENT_RESOURCES;
    range.handle = reinterpret_cast<HANDLE>(nextHandle++);
    range.length = request.nLength;
    range.mdl = request.Mdl;
    range.options = request.fulNotificationOptions;
    range.access = request.fulAccessType;
    range.owner = owner;
    if (range.options != 0) {
        range.callback = request.Callback;
        range.context = request.Context;
    } else if (request.Callback != nullptr) {
        // Without notifications a routine is an allocation completion
        // routine, called once the range is in place.
        *completion = request.Callback;
        *completionContext = request.Context;
    }
    ranges.push_back(range);

    request.hAddressRange = range.handle;
    request.AddressesReturned = 1;
    if (request.p1394AddressRange != nullptr) {
        request.p1394AddressRange[0].AR_Off_High = static_cast<USHORT>(range.address >> 32);
        request.p1394AddressRange[0].AR_Off_Low = static_cast<ULONG>(range.address);
        request.p1394AddressRange[0].AR_Length = static_cast<USHORT>(range.length);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Bus1394::Impl::Free(IRB* irb) {
    if (irb->u.FreeAddressRange.pAddressRange == nullptr) return STATUS_INVALID_PARAMETER;
    HANDLE handle = *irb->u.FreeAddressRange.pAddressRange;
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto found = std::find_if(ranges.begin(), ranges.end(), [&](const Range& r) { return r.handle == handle; });
    if (found == ranges.end()) return STATUS_INVALID_PARAMETER;
    ranges.erase(found);
    return STATUS_SUCCESS;
}

// An asynchronous read or write: the two requests share their layout up to
// the MDL and the generation, and differ only in which way the bytes go.
NTSTATUS Bus1394::Impl::AsyncTransfer(IRB* irb, bool write) {
    static_assert(offsetof(IRB_REQ_ASYNC_READ, Mdl) == offsetof(IRB_REQ_ASYNC_WRITE, Mdl) &&
                  offsetof(IRB_REQ_ASYNC_READ, ulGeneration) == offsetof(IRB_REQ_ASYNC_WRITE, ulGeneration) &&
                  offsetof(IRB_REQ_ASYNC_READ, nNumberOfBytesToRead) ==
                      offsetof(IRB_REQ_ASYNC_WRITE, nNumberOfBytesToWrite));
    IRB_REQ_ASYNC_READ& request = irb->u.AsyncRead;
    const ULONG length = request.nNumberOfBytesToRead;
    if (request.Mdl == nullptr || length > request.Mdl->ByteCount) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (request.ulGeneration != generation) return STATUS_INVALID_GENERATION;
    USHORT node;
    std::memcpy(&node, &request.DestinationAddress.IA_Destination_ID, sizeof(node));
    uint64_t offset = Address(request.DestinationAddress.IA_Destination_Offset.Off_High,
                              request.DestinationAddress.IA_Destination_Offset.Off_Low);
    uint8_t* data = SystemAddress(request.Mdl);
    if (data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < length; ++i) {
        if (write) {
            remote[{node, offset + i}] = data[i];
        } else {
            auto found = remote.find({node, offset + i});
            data[i] = found == remote.end() ? 0 : found->second;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Bus1394::Impl::HostInformation(IRB* irb) {
    PVOID information = irb->u.GetLocalHostInformation.Information;
    if (information == nullptr) return STATUS_INVALID_PARAMETER;
    switch (irb->u.GetLocalHostInformation.nLevel) {
    case GET_HOST_UNIQUE_ID:
        static_cast<PGET_LOCAL_HOST_INFO1>(information)->UniqueId.QuadPart = 0x0800280000A1B2C3ll;
        return STATUS_SUCCESS;
    case GET_HOST_CAPABILITIES: {
        auto* info = static_cast<PGET_LOCAL_HOST_INFO2>(information);
        info->HostCapabilities = 0x0000004B;
        info->MaxAsyncReadRequest = 0x800;
        info->MaxAsyncWriteRequest = 0x800;
        return STATUS_SUCCESS;
    }
    case GET_POWER_SUPPLIED: {
        auto* info = static_cast<PGET_LOCAL_HOST_INFO3>(information);
        info->deciWattsSupplied = 150;
        info->Voltage = 12000;
        return STATUS_SUCCESS;
    }
    case GET_PHYS_ADDR_ROUTINE: {
        auto* info = static_cast<PGET_LOCAL_HOST_INFO4>(information);
        info->PhysAddrMappingRoutine =
            reinterpret_cast<PPORT_PHYS_ADDR_ROUTINE>(FixedEntry(reinterpret_cast<void*>(&PhysAddrMapping)));
        info->Context = device;
        return STATUS_SUCCESS;
    }
    case GET_HOST_CONFIG_ROM: {
        auto* info = static_cast<PGET_LOCAL_HOST_INFO5>(information);
        info->ConfigRom = host.address + kConfigRomOffset;
        info->ConfigRomLength = configRomLength;
        return STATUS_SUCCESS;
    }
    case GET_HOST_CSR_CONTENTS: {
        // The caller names the register and the buffer; the host fills it.
        auto* info = static_cast<PGET_LOCAL_HOST_INFO6>(information);
        if (info->CsrDataBuffer != nullptr && info->CsrDataLength != 0)
            std::memset(info->CsrDataBuffer, 0, info->CsrDataLength);
        return STATUS_SUCCESS;
    }
    case GET_HOST_DMA_CAPABILITIES: {
        auto* info = static_cast<PGET_LOCAL_HOST_INFO7>(information);
        info->HostDmaCapabilities = 0x1;
        info->MaxDmaBufferSize.QuadPart = 0x100000;
        return STATUS_SUCCESS;
    }
    case 8: {
        // The version of the bus's interface, which newer hosts report too.
        USHORT version[2] = {3, 0};
        std::memcpy(information, version, sizeof(version));
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Carries the request out; runs just before completion, in the sender's
// thread or on the bus's worker.
void Bus1394::Impl::Process(PIRP irp) {
    IRB* irb = static_cast<IRB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    NTSTATUS status = STATUS_SUCCESS;
    PVOID completion = nullptr;
    PVOID completionContext = nullptr;
    switch (irb->FunctionNumber) {
    case REQUEST_ASYNC_READ:
        status = AsyncTransfer(irb, false);
        break;
    case REQUEST_ASYNC_WRITE:
        status = AsyncTransfer(irb, true);
        break;
    case REQUEST_ALLOCATE_ADDRESS_RANGE:
        status = Allocate(irb, Sender(irp), &completion, &completionContext);
        break;
    case REQUEST_FREE_ADDRESS_RANGE:
        status = Free(irb);
        break;
    case REQUEST_GET_LOCAL_HOST_INFO:
        status = HostInformation(irb);
        break;
    case REQUEST_BUS_RESET: {
        std::lock_guard<std::recursive_mutex> guard(lock);
        ++generation;
        break;
    }
    case REQUEST_GET_GENERATION_COUNT: {
        std::lock_guard<std::recursive_mutex> guard(lock);
        std::memcpy(&irb->u, &generation, sizeof(generation));
        break;
    }
    default:
        status = irb->FunctionNumber <= 0x23 ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
        break;
    }
    if (completion != nullptr) {
        IrqlScope raised(DISPATCH_LEVEL);
        const Answerable owner(Sender(irp));
        reinterpret_cast<PALLOCATION_COMPLETION_ROUTINE>(completion)(completionContext);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
}

Bus1394::Bus1394(Pdo& pdo) : impl_(std::make_unique<Impl>()) {
    impl_->pdo = &pdo;
    impl_->device = pdo.Device();
    impl_->host = AllocateBuffer(kHostPage);
    std::memset(impl_->host.address, 0, kHostPage);
    SetConfigRom({0x04, 0x04, 0x12, 0x34, 0x31, 0x33, 0x39, 0x34, 0xE0, 0x64,
                  0xA2, 0x22, 0x08, 0x00, 0x28, 0x00, 0x00, 0xA1, 0xB2, 0xC3});
    std::lock_guard<std::mutex> guard(RegistryLock());
    Buses()[impl_->device] = impl_.get();
    RemovedBuses().erase(impl_->device);
}

Bus1394::~Bus1394() {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto found = Buses().find(impl_->device);
    if (found != Buses().end() && found->second == impl_.get()) Buses().erase(found);
}

NTSTATUS Bus1394::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    (void)pdo;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_1394_CLASS ||
        stack->Parameters.Others.Argument1 == nullptr || !IsReadable(stack->Parameters.Others.Argument1))
        return impl_->pdo->Answer(irp, Reply::Complete(STATUS_INVALID_DEVICE_REQUEST));
    Impl* impl = impl_.get();
    bool pend;
    KIRQL irql;
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::recursive_mutex> guard(impl->lock);
        pend = impl->pend;
        irql = impl->irql;
        delay = impl->delay;
    }
    Reply reply = pend ? Reply::Pend(STATUS_SUCCESS, 0, delay, irql) : Reply::Complete(STATUS_SUCCESS);
    reply.Fill([impl](PIRP request) { impl->Process(request); });
    return impl_->pdo->Answer(irp, reply);
}

void Bus1394::AnswerSynchronously() {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    impl_->pend = false;
}

void Bus1394::AnswerLater(KIRQL irql, std::chrono::milliseconds delay) {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    impl_->pend = true;
    impl_->irql = irql;
    impl_->delay = delay;
}

void Bus1394::SetRemote(USHORT node, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    for (size_t i = 0; i < bytes.size(); ++i)
        impl_->remote[{node, offset + i}] = bytes[i];
}

std::vector<uint8_t> Bus1394::Remote(USHORT node, uint64_t offset, size_t length) const {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        auto found = impl_->remote.find({node, offset + i});
        bytes[i] = found == impl_->remote.end() ? 0 : found->second;
    }
    return bytes;
}

bool Bus1394::RemoteAccess(uint64_t address, bool write, const std::vector<uint8_t>& data, ULONG length,
                           std::string* reason) {
    Range range;
    {
        std::lock_guard<std::recursive_mutex> guard(impl_->lock);
        auto found = std::find_if(impl_->ranges.begin(), impl_->ranges.end(), [&](const Range& r) {
            return address >= r.address && address + length <= r.address + r.length;
        });
        if (found == impl_->ranges.end()) {
            *reason = "no address range of the local node holds those bytes";
            return false;
        }
        range = *found;
    }
    ULONG needed = write ? ACCESS_FLAGS_TYPE_WRITE : ACCESS_FLAGS_TYPE_READ;
    if (range.access != 0 && !(range.access & needed)) {
        *reason = "the range does not allow that access";
        return false;
    }
    ULONG offset = static_cast<ULONG>(address - range.address);
    uint8_t* memory = SystemAddress(range.mdl);
    if (memory != nullptr && write)
        for (ULONG i = 0; i < length; ++i)
            memory[offset + i] = i < data.size() ? data[i] : 0;

    ULONG notify = write ? NOTIFY_FLAGS_AFTER_WRITE : NOTIFY_FLAGS_AFTER_READ;
    if (range.callback == nullptr || !(range.options & notify)) return true;
    NOTIFICATION_INFO info{};
    info.Mdl = range.mdl;
    info.ulOffset = offset;
    info.nLength = length;
    info.fulNotificationOptions = notify;
    info.Context = range.context;
    IrqlScope irql(DISPATCH_LEVEL);
    const Answerable owner(range.owner);
    reinterpret_cast<PDRIVER_NOTIFICATION_ROUTINE>(range.callback)(&info);
    return true;
}

void Bus1394::BusReset() {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    ++impl_->generation;
}

ULONG Bus1394::Generation() const {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    return impl_->generation;
}

size_t Bus1394::Ranges() const {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    return impl_->ranges.size();
}

void Bus1394::SetConfigRom(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    size_t length = std::min(bytes.size(), kHostPage - kConfigRomOffset);
    std::memcpy(impl_->host.address + kConfigRomOffset, bytes.data(), length);
    impl_->configRomLength = static_cast<ULONG>(length);
}

void Bus1394::OnRemoved(std::function<void()> observer) {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    impl_->removed = std::move(observer);
}

std::shared_ptr<Bus1394> AttachBus1394(Pdo& pdo) {
    auto bus = std::make_shared<Bus1394>(pdo);
    pdo.SetModel(bus);
    std::weak_ptr<Bus1394> weak = bus;
    Bus1394::Impl* impl = nullptr;
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        impl = Buses()[pdo.Device()];
    }
    pdo.SetHandler([weak, impl](PDEVICE_OBJECT, PIRP irp) -> std::optional<Reply> {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_REMOVE_DEVICE) return std::nullopt;
        auto bus = weak.lock();
        if (bus == nullptr) return std::nullopt;
        // The bus lets go of the device's ranges and of its mapping: nothing
        // of the device is called from now on.
        std::function<void()> removed;
        {
            std::lock_guard<std::recursive_mutex> guard(impl->lock);
            impl->ranges.clear();
            removed = impl->removed;
        }
        {
            std::lock_guard<std::mutex> guard(RegistryLock());
            Buses().erase(impl->device);
            RemovedBuses().insert(impl->device);
        }
        if (removed) removed();
        return std::nullopt;
    });
    return bus;
}

}  // namespace sim
