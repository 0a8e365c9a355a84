#include "simkernel/workitem.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/ntioctl.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"

using namespace sim;
using namespace sim::detail;

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    bool queued = false;
};

namespace {

constexpr uint32_t kWorkItemTag = 0x6B576F49;  // 'IoWk'

struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<PIO_WORKITEM> items;  // allocated, not freed
    std::deque<PIO_WORKITEM> queue;
    bool running = false;  // an item's routine is running
    bool hold = false;
    bool workerStarted = false;
};

Queue& State() {
    static Queue* queue = new Queue;  // never destroyed: the worker outlives static destruction
    return *queue;
}

// The kernel's worker thread: a system thread at PASSIVE_LEVEL.
[[noreturn]] void Worker() {
    Queue& q = State();
    for (;;) {
        PIO_WORKITEM item;
        {
            std::unique_lock<std::mutex> lock(q.mutex);
            q.changed.wait(lock, [&q] { return !q.hold && !q.queue.empty(); });
            item = q.queue.front();
            q.queue.pop_front();
            item->queued = false;
            q.running = true;
        }
        PDEVICE_OBJECT device = item->device;
        PDRIVER_OBJECT driver = device->DriverObject;
        {
            DriverFrame running(driver, FrameKind::WorkItem, reinterpret_cast<const void*>(item->routine));
            item->routine(device, item->context);  // may free the item
        }
        if (CurrentIrql() != PASSIVE_LEVEL) {
            const Answerable answer(driver);
            BugCheck("a work item's routine returns at PASSIVE_LEVEL", "IoQueueWorkItem", nullptr,
                     "the routine returned at IRQL " + std::to_string(CurrentIrql()));
        }
        ObDereference(device, "IoQueueWorkItem");
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            q.running = false;
        }
        q.changed.notify_all();
    }
}

void Forget() {
    Queue& q = State();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.hold = false;
    q.changed.notify_all();
    q.changed.wait(lock, [&q] { return q.queue.empty() && !q.running; });
    // The pool's own reset releases the blocks.
    q.items.clear();
}

void EnsureStarted() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterResetHook(Forget);
        std::thread(Worker).detach();
    });
}

PIO_WORKITEM KnownItem(Queue& q, PIO_WORKITEM item, const char* routine) {
    if (q.items.count(item) == 0)
        BugCheck("a work item is one IoAllocateWorkItem returned and IoFreeWorkItem has not freed", routine, nullptr,
                 "work item " + Hex(item) + " is unknown or already freed");
    return item;
}

}  // namespace

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireAtMostDispatch("IoAllocateWorkItem");
    EnsureStarted();
    if (!IsLiveDevice(DeviceObject) || IsDeleted(DeviceObject))
        BugCheck("a work item belongs to a device object that exists", "IoAllocateWorkItem", nullptr,
                 Hex(DeviceObject) + " is no device object, or a deleted one");
    if (ShouldFail("IoAllocateWorkItem")) return nullptr;
    auto* item = static_cast<PIO_WORKITEM>(PoolAllocate(sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    new (item) _IO_WORKITEM{DeviceObject};
    Queue& q = State();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.items.insert(item);
    return item;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                PVOID Context) {
    (void)QueueType;
    RequireAtMostDispatch("IoQueueWorkItem");
    EnsureStarted();
    Queue& q = State();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        KnownItem(q, IoWorkItem, "IoQueueWorkItem");
        if (IoWorkItem->queued)
            BugCheck("a work item is queued once at a time", "IoQueueWorkItem", nullptr,
                     "work item " + Hex(IoWorkItem) + " is queued already");
        if (WorkerRoutine == nullptr)
            BugCheck("a queued work item has a routine", "IoQueueWorkItem", nullptr, "WorkerRoutine is NULL");
        // The device object lives until the routine has returned.
        ObReference(IoWorkItem->device, "IoQueueWorkItem");
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        IoWorkItem->queued = true;
        q.queue.push_back(IoWorkItem);
    }
    q.changed.notify_all();
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    RequireAtMostDispatch("IoFreeWorkItem");
    Queue& q = State();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        KnownItem(q, IoWorkItem, "IoFreeWorkItem");
        if (IoWorkItem->queued)
            BugCheck("a work item is freed only after its routine has started", "IoFreeWorkItem", nullptr,
                     "work item " + Hex(IoWorkItem) + " still waits in the queue");
        q.items.erase(IoWorkItem);
    }
    PoolFree(IoWorkItem);
}

namespace sim {

void WaitForWorkItems() {
    Queue& q = State();
    std::unique_lock<std::mutex> lock(q.mutex);
    if (q.hold) return;
    q.changed.wait(lock, [&q] { return q.queue.empty() && !q.running; });
}

void HoldWorkItems(bool hold) {
    EnsureStarted();
    Queue& q = State();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.hold = hold;
    }
    q.changed.notify_all();
}

size_t QueuedWorkItems() {
    Queue& q = State();
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.queue.size();
}

}  // namespace sim
