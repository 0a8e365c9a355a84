// Kernel events. The KEVENT is the caller's memory; the simulated kernel
// keeps the event's real state in a table keyed by its address and mirrors
// the signal state into the header so a debugger-style dump still reads
// right. Waits really block: a thread waiting for an event sleeps until
// another thread sets it.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/ntio.h"
#include "simkernel/core.h"

namespace {

struct EventState {
    EVENT_TYPE type;
    bool signalled;
    int waiters;
};

struct EventTable {
    std::mutex mutex;
    // One condition for all events: a set wakes every waiter, each of which
    // looks at its own event again. Simple, and plenty for a test kernel.
    std::condition_variable changed;
    std::map<const void*, EventState> events;
};

EventTable& Events() {
    static EventTable table;
    return table;
}

// A fresh boot knows no events. Events with waiters are kept so that their
// threads do not wake up to a vanished object.
void ResetEvents() {
    EventTable& table = Events();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.events.begin(); it != table.events.end();)
        it = it->second.waiters == 0 ? table.events.erase(it) : std::next(it);
}

[[maybe_unused]] const bool g_resetRegistered = (sim::RegisterResetHook(&ResetEvents), true);

// The dispatcher header types of the two kinds of event.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;

void MirrorState(PRKEVENT event, bool signalled) { event->Header.SignalState = signalled ? 1 : 0; }

[[noreturn]] void NotAnEvent(const char* routine, const void* object) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", object);
    sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", routine, nullptr,
                  std::string("object ") + address + " is not an initialised event");
}

// Absolute time-outs are system time: 100 ns units since 1601-01-01 UTC.
constexpr long long kUnixEpochIn100ns = 116444736000000000LL;

// Longer waits than this (about three years) are waits without end.
constexpr long long kLongestWait100ns = 1000000000000000LL;

std::chrono::steady_clock::time_point Deadline(LONGLONG timeout) {
    using namespace std::chrono;
    long long remaining;  // 100 ns units
    if (timeout < 0) {
        remaining = timeout < -kLongestWait100ns ? kLongestWait100ns : -timeout;
    } else {
        const long long now100ns =
            duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + kUnixEpochIn100ns;
        remaining = timeout <= now100ns ? 0 : timeout - now100ns;
        if (remaining > kLongestWait100ns) remaining = kLongestWait100ns;
    }
    return steady_clock::now() + duration_cast<steady_clock::duration>(nanoseconds(remaining * 100));
}

}  // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    sim::RequireAtMostDispatch("KeInitializeEvent");
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "KeInitializeEvent", nullptr,
                      "unknown event type " + std::to_string(static_cast<int>(Type)));
    }
    EventTable& table = Events();
    std::lock_guard<std::mutex> lock(table.mutex);
    Event->Header.Type = Type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    MirrorState(Event, State != FALSE);
    EventState& state = table.events[Event];
    state.type = Type;
    state.signalled = State != FALSE;
    // Waiters of the old incarnation keep waiting on the new one.
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    sim::RequireAtMostDispatch("KeSetEvent");
    EventTable& table = Events();
    LONG previous;
    {
        std::unique_lock<std::mutex> lock(table.mutex);
        const auto it = table.events.find(Event);
        if (it == table.events.end()) {
            lock.unlock();
            NotAnEvent("KeSetEvent", Event);
        }
        previous = it->second.signalled ? 1 : 0;
        it->second.signalled = true;
        MirrorState(Event, true);
    }
    table.changed.notify_all();
    return previous;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    static constexpr const char* kRoutine = "KeWaitForSingleObject";
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (poll) {
        sim::RequireAtMostDispatch(kRoutine);
    } else if (sim::CurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", kRoutine, nullptr,
                      "waiting " + std::string(Timeout == nullptr ? "without a time-out" : "with a non-zero time-out") +
                          " at IRQL " + std::to_string(sim::CurrentIrql()) + ", allowed at most at APC_LEVEL");
    }

    EventTable& table = Events();
    auto* event = static_cast<PRKEVENT>(Object);
    std::unique_lock<std::mutex> lock(table.mutex);
    auto it = table.events.find(event);
    if (it == table.events.end()) {
        lock.unlock();
        NotAnEvent(kRoutine, Object);
    }

    const auto signalled = [&] {
        // The entry may have been re-created by KeInitializeEvent meanwhile.
        it = table.events.find(event);
        return it != table.events.end() && it->second.signalled;
    };
    bool satisfied;
    if (poll) {
        satisfied = signalled();
    } else {
        ++it->second.waiters;
        if (Timeout == nullptr) {
            table.changed.wait(lock, signalled);
            satisfied = true;
        } else {
            satisfied = table.changed.wait_until(lock, Deadline(Timeout->QuadPart), signalled);
        }
        it = table.events.find(event);
        --it->second.waiters;
    }
    if (!satisfied) return STATUS_TIMEOUT;
    // A synchronization event lets exactly one waiter through.
    if (it->second.type == SynchronizationEvent) {
        it->second.signalled = false;
        MirrorState(event, false);
    }
    return STATUS_SUCCESS;
}
