// The simulated kernel's shared machinery: the verifier (bug checks), the
// per-thread IRQL, fault injection, time, debugger output and pool
// accounting. Everything in simkernel/ builds on this; tests and the
// simulator drive the kernel through it.
#pragma once
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/ntbase.h"

namespace sim {

// ---------------------------------------------------------------------------
// Verifier. A broken kernel rule is a bug check: the message names the rule,
// the routine and the IRP, goes to stderr, and the process aborts (tests use
// death tests to prove a check fires). A handler may be installed instead,
// for example by the simulator to print the message its own way; a handler
// that returns still ends in abort().
[[noreturn]] void BugCheck(const std::string& rule, const std::string& routine, const void* irp,
                           const std::string& detail);
using BugCheckHandler = std::function<void(const std::string& message)>;
void SetBugCheckHandler(BugCheckHandler handler);

// ---------------------------------------------------------------------------
// IRQL, per thread. Starts at PASSIVE_LEVEL on every thread.
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);
// Runs at the given IRQL for the scope's life.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL irql) : saved_(CurrentIrql()) { SetIrql(irql); }
    ~IrqlScope() { SetIrql(saved_); }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL saved_;
};
// Bug check IRQL_NOT_LESS_OR_EQUAL-style when the caller is above PASSIVE_LEVEL.
void RequirePassive(const char* routine);
// Bug check when the caller is above DISPATCH_LEVEL.
void RequireAtMostDispatch(const char* routine);

// ---------------------------------------------------------------------------
// Fault injection: a routine can be told to fail its Nth call from now (1 =
// the next call). Routines that can be failed (kFallibleRoutines) call
// ShouldFail with their own name.
void FailNthCall(const std::string& routine, int n);
// The kernel routines FailNthCall can make fail, in a fixed order (the fuzz
// targets' inputs choose one by its place).
inline constexpr const char* kFallibleRoutines[] = {
    "ExAllocatePoolWithTag",
    "IoCreateDevice",
    "IoCreateSymbolicLink",
    "IoAttachDeviceToDeviceStack",
    "RtlAnsiStringToUnicodeString",
    "RtlUnicodeStringToAnsiString",
    "IoGetDeviceProperty",
    "ZwCreateKey",
    "RtlQueryRegistryValues",
    "RtlWriteRegistryValue",
    "IoAllocateMdl",
    "MmProbeAndLockPages",
    "MmMapLockedPagesSpecifyCache",
    "IoAllocateIrp",
    "IoAllocateWorkItem",
};
bool ShouldFail(const char* routine);
// Calls made to a routine since the last reset (counted by ShouldFail).
int CallCount(const std::string& routine);
// Every routine that can fail and was called since the last reset, with its count.
std::vector<std::pair<std::string, int>> CallCounts();
void ClearFaults();

// ---------------------------------------------------------------------------
// Time: the tick count since boot and the length of a tick in 100 ns units
// (156250 by default: 15.625 ms, as on most machines).
void SetTickCount(uint64_t ticks);
void SetTimeIncrement(uint32_t increment);
uint64_t TickCount();
// The time since boot in 100 ns units; a delayed answer moves it forward to
// when the answer is due (never back), the tick count with it.
uint64_t Now();
void AdvanceClockTo(uint64_t time);
// The performance counter runs at kPerformanceFrequency (10 MHz) and reads
// the tick count times the increment, unless a value was set: then it reads
// that value until the tick count is set again.
constexpr uint64_t kPerformanceFrequency = 10000000;
void SetPerformanceCounter(uint64_t counter);
}  // namespace sim

// The kernel routine that reads it: no import of the driver's, which looks
// it up with MmGetSystemRoutineAddress.
extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

namespace sim {

// ---------------------------------------------------------------------------
// Debugger output. Every DbgPrint call is recorded separately, at most 512
// bytes of text each as on Windows, and can also be written to a stream as
// it happens.
struct DebugCall {
    std::string text;
};
const std::vector<DebugCall>& DebugCalls();
// All recorded text, concatenated.
std::string DebugText();
void ClearDebugOutput();
void SetDebugStream(std::ostream* stream);  // nullptr: memory only
// Called after each DbgPrint with its text (used by the simulator to annotate).
void SetDebugObserver(std::function<void(const std::string& text)> observer);
// Off: DbgPrint still formats its text as the kernel does, then drops it:
// nothing is recorded, streamed or observed. Benchmarks send millions of
// lines, whose cost is the formatting, not the keeping. On after a reset.
void SetDebugRecording(bool on);

// ---------------------------------------------------------------------------
// Pool. Allocations are tracked per tag; whatever is still allocated when a
// test ends (or the simulator finishes) is a leak.
struct PoolLeak {
    uint32_t tag;
    size_t bytes;
    const void* address;
};
std::vector<PoolLeak> PoolLeaks();
// A readable report: empty when nothing leaked, else one line per leak with
// the tag as four characters.
std::string LeakReport();
// Internal allocations of the simulated kernel on the driver's behalf (names,
// MDLs) are pool allocations too, so that leaks show their owner's tag.
void* PoolAllocate(size_t bytes, uint32_t tag);
void PoolFree(void* p);

// ---------------------------------------------------------------------------
// Whole-kernel reset: the object namespace, devices, drivers, registry, pool
// accounting, faults, debugger output, time and memory regions go back to a
// fresh boot. Each subsystem registers its own reset hook.
void ResetKernel();
void RegisterResetHook(std::function<void()> hook);

}  // namespace sim
