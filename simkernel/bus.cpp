// The simulated bus driver: PDOs whose answers a test programs, a worker
// thread that completes pended requests later (at DISPATCH_LEVEL unless told
// otherwise, as a port driver's DPC would), and a record of every request
// that reached the bottom of a stack.
#include "simkernel/bus.h"

#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"

namespace sim {

struct HeldRequest {
    PIRP irp;
    Reply reply;
};

struct Pdo::Impl {
    std::string name;
    PDEVICE_OBJECT device = nullptr;
    bool deleted = false;
    bool gone = false;  // unplugged, or surprise-removed
    Handler handler;
    std::map<std::pair<UCHAR, int>, Reply> rules;  // minor -1: any minor
    std::shared_ptr<DeviceModel> model;
    std::deque<HeldRequest> held;
    std::vector<ReceivedRequest> received;
    int queued = 0;        // requests waiting for the worker or being completed by it
    bool pagable = false;  // DO_POWER_PAGABLE as created
    int usage[4] = {};     // special files on the device, by DEVICE_USAGE_NOTIFICATION_TYPE
};

namespace {

using Clock = std::chrono::steady_clock;

struct WorkItem {
    Pdo::Impl* pdo;
    PIRP irp;
    Reply reply;
    bool cancel;
    uint64_t due;  // the simulated time the answer is due, in 100 ns units
};

struct BusState {
    std::mutex mutex;
    std::condition_variable wake;  // the worker
    std::condition_variable idle;  // WaitIdle
    std::vector<std::unique_ptr<Pdo>> pdos;
    std::unordered_map<PDEVICE_OBJECT, Pdo*> byDevice;
    PDRIVER_OBJECT driver = nullptr;
    std::multimap<Clock::time_point, WorkItem> queue;
    std::thread worker;
    bool stop = false;
};

BusState& Bus() {
    static BusState* state = new BusState;
    return *state;
}

Pdo::Impl* ImplOf(PDEVICE_OBJECT device) { return *static_cast<Pdo::Impl**>(device->DeviceExtension); }

// Finds the request's entry in the record: the latest one for this IRP that
// has not been completed. Call with the bus lock held.
ReceivedRequest* EntryFor(Pdo::Impl* pdo, PIRP irp) {
    for (auto it = pdo->received.rbegin(); it != pdo->received.rend(); ++it)
        if (it->irp == irp && !it->completed) return &*it;
    return nullptr;
}

// Completes a request as the reply says. The IRP is not touched afterwards.
NTSTATUS CompleteNow(Pdo::Impl* pdo, PIRP irp, const Reply& reply) {
    if (!reply.keepStatus) {
        irp->IoStatus.Status = reply.status;
        irp->IoStatus.Information = reply.information;
    }
    if (reply.fill) reply.fill(irp);
    const NTSTATUS status = irp->IoStatus.Status;
    PDRIVER_OBJECT busDriver;
    {
        std::lock_guard<std::mutex> lock(Bus().mutex);
        busDriver = Bus().driver;
        if (ReceivedRequest* entry = EntryFor(pdo, irp)) {
            entry->completed = true;
            entry->completedWith = status;
            entry->information = irp->IoStatus.Information;
        }
    }
    // The bus answers as its reply says, from its dispatch routine, its
    // worker or a release: what the completion breaks is the bus's doing.
    const Answerable answer(busDriver);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void WorkerLoop() {
    BusState& bus = Bus();
    std::unique_lock<std::mutex> lock(bus.mutex);
    for (;;) {
        if (bus.stop) return;
        if (bus.queue.empty()) {
            bus.wake.wait(lock);
            continue;
        }
        const auto due = bus.queue.begin()->first;
        if (Clock::now() < due) {
            bus.wake.wait_until(lock, due);
            continue;
        }
        WorkItem item = bus.queue.begin()->second;
        bus.queue.erase(bus.queue.begin());
        lock.unlock();
        {
            IrqlScope irql(item.reply.irql);
            if (item.cancel) item.irp->Cancel = TRUE;
            AdvanceClockTo(item.due);
            CompleteNow(item.pdo, item.irp, item.reply);
        }
        lock.lock();
        --item.pdo->queued;
        bus.idle.notify_all();
    }
}

// Call with the bus lock held.
void Enqueue(Pdo::Impl* pdo, PIRP irp, const Reply& reply, bool cancel) {
    BusState& bus = Bus();
    if (!bus.worker.joinable()) {
        bus.stop = false;
        bus.worker = std::thread(WorkerLoop);
    }
    ++pdo->queued;
    const uint64_t now = Now();
    const uint64_t delay = static_cast<uint64_t>(reply.delay.count()) * 10000;
    const uint64_t due = now > std::numeric_limits<uint64_t>::max() - delay ? now : now + delay;
    bus.queue.emplace(Clock::now() + reply.delay, WorkItem{pdo, irp, reply, cancel, due});
    bus.wake.notify_all();
}

NTSTATUS Carry(Pdo::Impl* pdo, PIRP irp, const Reply& reply) {
    switch (reply.kind) {
    case Reply::Kind::Complete:
        return CompleteNow(pdo, irp, reply);
    case Reply::Kind::Pend: {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> lock(Bus().mutex);
        Enqueue(pdo, irp, reply, false);
        return STATUS_PENDING;
    }
    case Reply::Kind::Hold: {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> lock(Bus().mutex);
        pdo->held.push_back(HeldRequest{irp, reply});
        return STATUS_PENDING;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

Reply DefaultReply(UCHAR major, UCHAR minor) {
    switch (major) {
    case IRP_MJ_PNP:
        switch (minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            return Reply::Complete(STATUS_SUCCESS);
        default:
            // A bus driver leaves what it does not handle as it came.
            return Reply::Unchanged();
        }
    case IRP_MJ_POWER:
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
        return Reply::Complete(STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL:
        return Reply::Unchanged();
    default:
        return Reply::Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
}

// A paging, hibernation or dump file moves onto the device or off it. Like a
// disk's driver, the device is not pageable while a paging file is on it:
// its power requests must not wait for a page of its own.
Reply TrackUsage(Pdo::Impl* pdo, PDEVICE_OBJECT device, PIO_STACK_LOCATION location) {
    const ULONG type = location->Parameters.UsageNotification.Type;
    if (type < DeviceUsageTypePaging || type > DeviceUsageTypeDumpFile)
        return Reply::Unchanged();  // as a bus driver leaves what it does not know
    std::lock_guard<std::mutex> lock(Bus().mutex);
    int& count = pdo->usage[type];
    if (location->Parameters.UsageNotification.InPath) {
        ++count;
    } else if (count == 0) {
        return Reply::Complete(STATUS_INVALID_DEVICE_REQUEST);
    } else {
        --count;
    }
    if (pdo->usage[DeviceUsageTypePaging] > 0)
        device->Flags &= ~DO_POWER_PAGABLE;
    else if (pdo->pagable)
        device->Flags |= DO_POWER_PAGABLE;
    return Reply::Complete(STATUS_SUCCESS);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Pdo::Impl* pdo = ImplOf(device);
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    ReceivedRequest entry;
    entry.irp = irp;
    entry.major = major;
    entry.minor = minor;
    entry.location = *location;
    entry.irql = CurrentIrql();
    entry.viaPoCallDriver = detail::ArrivedViaPoCallDriver(irp);
    entry.initialStatus = irp->IoStatus.Status;

    Pdo::Handler handler;
    std::optional<Reply> reply;
    std::shared_ptr<DeviceModel> model;
    size_t index;
    {
        std::lock_guard<std::mutex> lock(Bus().mutex);
        index = pdo->received.size();
        pdo->received.push_back(entry);
        if (major == IRP_MJ_PNP && minor == IRP_MN_SURPRISE_REMOVAL) pdo->gone = true;
        handler = pdo->handler;
        model = pdo->model;
    }
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (handler) reply = handler(device, irp);
    if (!reply) {
        std::lock_guard<std::mutex> lock(Bus().mutex);
        auto it = pdo->rules.find({major, minor});
        if (it == pdo->rules.end()) it = pdo->rules.find({major, -1});
        if (it != pdo->rules.end()) reply = it->second;
    }
    NTSTATUS status;
    if (reply) {
        status = Carry(pdo, irp, *reply);
    } else if (major == IRP_MJ_PNP && minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
        status = Carry(pdo, irp, TrackUsage(pdo, device, location));
    } else if (model && major != IRP_MJ_PNP && major != IRP_MJ_POWER) {
        status = model->Dispatch(device, irp);
    } else {
        status = Carry(pdo, irp, DefaultReply(major, minor));
    }
    // A bus driver deletes the PDO of a device that is gone when the removal
    // reaches it; the devices above still attached keep its memory until
    // they detach.
    bool deleteNow = false;
    {
        std::lock_guard<std::mutex> lock(Bus().mutex);
        pdo->received[index].returned = status;
        if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE && pdo->gone && !pdo->deleted) {
            pdo->deleted = true;
            Bus().byDevice.erase(device);
            deleteNow = true;
        }
    }
    if (deleteNow) IoDeleteDevice(device);
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Replies

Reply Reply::Complete(NTSTATUS status, ULONG_PTR information) {
    Reply r;
    r.status = status;
    r.information = information;
    return r;
}

Reply Reply::Unchanged() {
    Reply r;
    r.keepStatus = true;
    return r;
}

Reply Reply::Pend(NTSTATUS status, ULONG_PTR information, std::chrono::milliseconds delay, KIRQL irql) {
    Reply r = Complete(status, information);
    r.kind = Kind::Pend;
    r.delay = delay;
    r.irql = irql;
    return r;
}

Reply Reply::Hold(NTSTATUS status, ULONG_PTR information, KIRQL irql) {
    Reply r = Complete(status, information);
    r.kind = Kind::Hold;
    r.irql = irql;
    return r;
}

Reply& Reply::Fill(std::function<void(PIRP)> routine) {
    this->fill = std::move(routine);
    return *this;
}

// ---------------------------------------------------------------------------
// PDOs

Pdo::Pdo(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Pdo::~Pdo() = default;

PDEVICE_OBJECT Pdo::Device() const {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    return impl_->deleted ? nullptr : impl_->device;
}

const std::string& Pdo::Name() const { return impl_->name; }

void Pdo::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->handler = std::move(handler);
}

void Pdo::SetRule(UCHAR major, Reply reply) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->rules[{major, -1}] = std::move(reply);
}

void Pdo::SetRule(UCHAR major, UCHAR minor, Reply reply) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->rules[{major, minor}] = std::move(reply);
}

void Pdo::ClearRules() {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->rules.clear();
}

void Pdo::SetModel(std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->model = std::move(model);
}

NTSTATUS Pdo::Answer(PIRP irp, const Reply& reply) { return Carry(impl_.get(), irp, reply); }

size_t Pdo::Release(size_t count) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    size_t released = 0;
    while (released < count && !impl_->held.empty()) {
        HeldRequest request = impl_->held.front();
        impl_->held.pop_front();
        request.reply.delay = std::chrono::milliseconds(0);
        Enqueue(impl_.get(), request.irp, request.reply, false);
        ++released;
    }
    return released;
}

size_t Pdo::CancelHeld() {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    size_t cancelled = 0;
    while (!impl_->held.empty()) {
        HeldRequest request = impl_->held.front();
        impl_->held.pop_front();
        Reply reply = Reply::Complete(STATUS_CANCELLED);
        reply.irql = request.reply.irql;
        Enqueue(impl_.get(), request.irp, reply, true);
        ++cancelled;
    }
    return cancelled;
}

size_t Pdo::HeldCount() const {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    return impl_->held.size();
}

void Pdo::WaitIdle() const {
    std::unique_lock<std::mutex> lock(Bus().mutex);
    Bus().idle.wait(lock, [this] { return impl_->queued == 0; });
}

void Pdo::Unplug() {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->gone = true;
}

bool Pdo::Deleted() const {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    return impl_->deleted;
}

std::vector<ReceivedRequest> Pdo::Received() const {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    return impl_->received;
}

void Pdo::ClearReceived() {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    impl_->received.clear();
}

PDRIVER_OBJECT BusDriver() {
    {
        std::lock_guard<std::mutex> lock(Bus().mutex);
        if (Bus().driver != nullptr) return Bus().driver;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = detail::CreateDriverObject("simbus", nullptr, &status);
    if (driver == nullptr)
        BugCheck("SIMULATION_SETUP", "BusDriver", nullptr,
                 "\\Driver\\simbus cannot be created: " + detail::HexStatus(status));
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = BusDispatch;
    std::lock_guard<std::mutex> lock(Bus().mutex);
    Bus().driver = driver;
    return driver;
}

Pdo& CreatePdo(const std::string& name, const PdoOptions& options) {
    PDRIVER_OBJECT bus = BusDriver();
    const std::u16string wide = detail::Widen(name);
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = detail::CreateDeviceObject(bus, sizeof(Pdo::Impl*), name.empty() ? nullptr : &wide,
                                                       options.deviceType, options.characteristics, FALSE, &status);
    if (device == nullptr)
        throw std::invalid_argument("CreatePdo: \"" + name + "\" cannot be created: " + detail::HexStatus(status));
    device->Flags |= options.flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    MarkAsPdo(device);

    auto impl = std::make_unique<Pdo::Impl>();
    impl->name = name;
    impl->device = device;
    impl->model = options.model;
    impl->pagable = (options.flags & DO_POWER_PAGABLE) != 0;
    *static_cast<Pdo::Impl**>(device->DeviceExtension) = impl.get();
    std::unique_ptr<Pdo> pdo(new Pdo(std::move(impl)));
    Pdo& result = *pdo;
    std::lock_guard<std::mutex> lock(Bus().mutex);
    Bus().byDevice[device] = pdo.get();
    Bus().pdos.push_back(std::move(pdo));
    return result;
}

Pdo* FindPdo(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    const auto it = Bus().byDevice.find(device);
    return it == Bus().byDevice.end() ? nullptr : it->second;
}

namespace detail {

void ResetBus() {
    BusState& bus = Bus();
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.stop = true;
        worker = std::move(bus.worker);
        bus.wake.notify_all();
    }
    if (worker.joinable()) worker.join();
    std::lock_guard<std::mutex> lock(bus.mutex);
    // Requests still pended or held are dropped with their IRPs; the device
    // and driver objects go with the I/O manager's reset.
    bus.queue.clear();
    bus.pdos.clear();
    bus.byDevice.clear();
    bus.driver = nullptr;
    bus.stop = false;
    bus.idle.notify_all();
}

}  // namespace detail
}  // namespace sim
