// The simulated kernel's verifier, IRQL, fault injection, time and reset.
// Pool and debugger output live in pool.cpp and debug_output.cpp.
#include "simkernel/core.h"

#include <algorithm>
#include "simkernel/arena.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "platform/ntio.h"

namespace sim {

// Reset steps of pool.cpp and debug_output.cpp. They are not ordinary reset
// hooks because their place in the sequence matters: the debugger output is
// cleared after the hooks (which may still print), and the pool goes last,
// after every other subsystem has released what it holds.
void ResetDebugOutputForReboot();
void ResetPoolForReboot();

namespace {

constexpr uint32_t kDefaultTimeIncrement = 156250;

// ---------------------------------------------------------------------------
// Bug checks

std::mutex& HandlerMutex() {
    static std::mutex mutex;
    return mutex;
}

BugCheckHandler& Handler() {
    static BugCheckHandler handler;
    return handler;
}

// A handler that itself breaks a rule must not recurse forever.
thread_local bool t_inBugCheck = false;

// ---------------------------------------------------------------------------
// IRQL

thread_local KIRQL t_irql = PASSIVE_LEVEL;

const char* IrqlName(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "DIRQL";
    }
}

[[noreturn]] void IrqlTooHigh(const char* routine, const char* required) {
    const KIRQL irql = t_irql;
    BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine, nullptr,
             "called at IRQL " + std::to_string(irql) + " (" + IrqlName(irql) + "), allowed at most at " + required);
}

// ---------------------------------------------------------------------------
// Fault injection

struct FaultState {
    std::mutex mutex;
    std::map<std::string, int, std::less<>> calls;
    // Per routine, the call numbers (counted since the last reset) that fail.
    std::map<std::string, std::multiset<int>, std::less<>> pending;
};

FaultState& Faults() {
    static FaultState state;
    return state;
}

// ---------------------------------------------------------------------------
// Time

std::atomic<uint64_t> g_tickCount{0};
std::atomic<uint32_t> g_timeIncrement{kDefaultTimeIncrement};
// The time since the last tick, in 100 ns units: what a delayed answer moved
// the clock short of the next tick.
std::atomic<uint32_t> g_sinceTick{0};

// ---------------------------------------------------------------------------
// Reset hooks

struct HookList {
    std::mutex mutex;
    std::vector<std::function<void()>> hooks;
};

HookList& Hooks() {
    static HookList list;
    return list;
}

}  // namespace

[[noreturn]] void BugCheck(const std::string& rule, const std::string& routine, const void* irp,
                           const std::string& detail) {
    char irpText[32];
    std::snprintf(irpText, sizeof irpText, "0x%016" PRIX64, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(irp)));
    const std::string message = "*** STOP: " + rule + " in " + routine + ", IRP " + irpText + ": " + detail;
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);

    if (!t_inBugCheck) {
        BugCheckHandler handler;
        {
            std::lock_guard<std::mutex> lock(HandlerMutex());
            handler = Handler();
        }
        if (handler) {
            struct Guard {
                Guard() { t_inBugCheck = true; }
                ~Guard() { t_inBugCheck = false; }
            } guard;
            handler(message);
        }
    }
    std::abort();
}

void SetBugCheckHandler(BugCheckHandler handler) {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = std::move(handler);
}

KIRQL CurrentIrql() { return t_irql; }

void SetIrql(KIRQL irql) { t_irql = irql; }

void RequirePassive(const char* routine) {
    if (t_irql > PASSIVE_LEVEL) IrqlTooHigh(routine, "PASSIVE_LEVEL");
}

void RequireAtMostDispatch(const char* routine) {
    if (t_irql > DISPATCH_LEVEL) IrqlTooHigh(routine, "DISPATCH_LEVEL");
}

void FailNthCall(const std::string& routine, int n) {
    if (n < 1) throw std::invalid_argument("FailNthCall: n must be 1 or more, got " + std::to_string(n));
    FaultState& faults = Faults();
    std::lock_guard<std::mutex> lock(faults.mutex);
    const int made = faults.calls[routine];
    // A call past the counter's range never comes: nothing to fail.
    if (n > std::numeric_limits<int>::max() - made) return;
    faults.pending[routine].insert(made + n);
}

bool ShouldFail(const char* routine) {
    FaultState& faults = Faults();
    std::lock_guard<std::mutex> lock(faults.mutex);
    const int call = ++faults.calls[routine];
    const auto it = faults.pending.find(std::string_view(routine));
    if (it == faults.pending.end()) return false;
    const auto hit = it->second.find(call);
    if (hit == it->second.end()) return false;
    it->second.erase(hit);
    return true;
}

int CallCount(const std::string& routine) {
    FaultState& faults = Faults();
    std::lock_guard<std::mutex> lock(faults.mutex);
    const auto it = faults.calls.find(routine);
    return it == faults.calls.end() ? 0 : it->second;
}

std::vector<std::pair<std::string, int>> CallCounts() {
    FaultState& faults = Faults();
    std::lock_guard<std::mutex> lock(faults.mutex);
    std::vector<std::pair<std::string, int>> counts;
    for (const auto& [routine, count] : faults.calls)
        counts.emplace_back(routine, count);
    std::sort(counts.begin(), counts.end());
    return counts;
}

void ClearFaults() {
    FaultState& faults = Faults();
    std::lock_guard<std::mutex> lock(faults.mutex);
    faults.calls.clear();
    faults.pending.clear();
}

std::atomic<bool> g_counterSet{false};
std::atomic<uint64_t> g_counter{0};

void SetTickCount(uint64_t ticks) {
    g_tickCount = ticks;
    g_sinceTick = 0;
    g_counterSet = false;
}

void SetPerformanceCounter(uint64_t counter) {
    g_counter = counter;
    g_counterSet = true;
}

uint64_t Now() {
    const uint64_t ticks = g_tickCount;
    const uint32_t increment = g_timeIncrement;
    if (ticks > (std::numeric_limits<uint64_t>::max() - increment) / increment)
        return std::numeric_limits<uint64_t>::max();  // past what a clock can reach: stands still
    return ticks * increment + g_sinceTick;
}

void AdvanceClockTo(uint64_t time) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (time <= Now()) return;
    g_tickCount = time / g_timeIncrement;
    g_sinceTick = static_cast<uint32_t>(time % g_timeIncrement);
}

void SetTimeIncrement(uint32_t increment) { g_timeIncrement = increment; }

uint64_t TickCount() { return g_tickCount; }

void RegisterResetHook(std::function<void()> hook) {
    HookList& list = Hooks();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.hooks.push_back(std::move(hook));
}

void ResetKernel() {
    // Hooks run at PASSIVE_LEVEL, as a fresh boot would, and on a copy of the
    // list: a subsystem used for the first time may register its hook from
    // inside another one's.
    SetIrql(PASSIVE_LEVEL);
    std::vector<std::function<void()>> hooks;
    {
        HookList& list = Hooks();
        std::lock_guard<std::mutex> lock(list.mutex);
        hooks = list.hooks;
    }
    for (const auto& hook : hooks)
        hook();

    ClearFaults();
    g_tickCount = 0;
    g_counterSet = false;
    g_sinceTick = 0;
    g_timeIncrement = kDefaultTimeIncrement;
    ResetDebugOutputForReboot();
    ResetPoolForReboot();
    // Last of all: every subsystem above may still free objects (the bus
    // joins its worker in its hook) before their addresses are handed out anew.
    RewindObjectArena();
}

}  // namespace sim

extern "C" KIRQL KeGetCurrentIrql(void) { return sim::CurrentIrql(); }

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = static_cast<LONGLONG>(sim::TickCount());
}

extern "C" ULONG KeQueryTimeIncrement(void) { return sim::g_timeIncrement; }

// The routines a driver may look up by name.
extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    sim::RequirePassive("MmGetSystemRoutineAddress");
    static const char16_t kCounter[] = u"KeQueryPerformanceCounter";
    if (SystemRoutineName != nullptr && SystemRoutineName->Buffer != nullptr &&
        SystemRoutineName->Length == sizeof(kCounter) - sizeof(char16_t) &&
        std::char_traits<char16_t>::compare(SystemRoutineName->Buffer, kCounter, SystemRoutineName->Length / 2) == 0)
        return reinterpret_cast<PVOID>(&KeQueryPerformanceCounter);
    return nullptr;
}

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = sim::kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(sim::g_counterSet ? sim::g_counter.load() : sim::Now());
    return counter;
}
