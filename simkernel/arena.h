// Deterministic addresses for the objects the kernel hands to drivers.
//
// The driver prints the low 32 bits of IRP and device object addresses. So
// that a scenario prints the same text on every run, the scenario runner
// switches the kernel to an arena: objects are laid out one after another at
// fixed addresses, each on pages of its own followed by an inaccessible
// guard page, and a freed object's pages become inaccessible for the rest of
// the run, so a late touch faults at once. Off by default: tests and
// benchmarks use the ordinary heap.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim {

// The high bits of the fixed ranges (the arena, the test buffers, the fixed
// entry points): far from the heap, the stacks and AddressSanitizer's shadow.
// ThreadSanitizer keeps that part of the address space for itself, so there
// the ranges sit in its low application range; the low 32 bits, the ones the
// driver prints, are the same.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZK_SIM_THREAD_SANITIZER 1
#endif
#endif
#if defined(ZK_SIM_THREAD_SANITIZER)
constexpr uintptr_t kFixedRangeHigh = 0x0010ull << 32;
#else
constexpr uintptr_t kFixedRangeHigh = 0x2000ull << 32;
#endif

void UseDeterministicAddresses(bool enabled);
bool DeterministicAddresses();
// An object's memory: from the arena when it is on, else from the heap.
// Zero-filled.
void* ObjectAllocate(size_t bytes);
void ObjectFree(void* p);
// Forgets every arena object and starts again at the first address; the
// kernel's reset calls it after every subsystem has released what it held.
void RewindObjectArena();
// Where the memory manager maps the next test buffer of `bytes` (a whole
// number of pages) while addresses are deterministic; nullptr otherwise.
void* DeterministicBufferAddress(size_t bytes);

}  // namespace sim
