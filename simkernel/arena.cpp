#include "simkernel/arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "simkernel/core.h"

namespace sim {
namespace {

// Far from the heap, the stacks and the sanitizers' shadow ranges, with low
// 32 bits that look like the kernel addresses a debugger shows.
constexpr uintptr_t kArenaBase = kFixedRangeHigh | 0x8A3F0000ull;
constexpr size_t kArenaSize = size_t{1} << 30;
constexpr size_t kPage = 4096;
// Objects start a little into their page, as pool blocks do behind a header.
constexpr size_t kHeader = 0x40;
// Test buffers (request data) go to a range of their own, one after another
// with a page between them.
constexpr uintptr_t kBufferBase = kFixedRangeHigh | 0xD1E00000ull;
constexpr size_t kBufferRange = size_t{1} << 30;

struct Arena {
    std::mutex lock;
    bool enabled = false;
    bool reserved = false;
    size_t next = 0;                          // offset of the next free page
    size_t nextBuffer = 0;                    // offset of the next test buffer
    std::unordered_map<void*, size_t> sizes;  // arena objects, by address
};

Arena& TheArena() {
    static Arena* arena = new Arena;
    return *arena;
}

bool Reserve(Arena& arena) {
    if (arena.reserved) return true;
    void* p = mmap(reinterpret_cast<void*>(kArenaBase), kArenaSize, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED || p != reinterpret_cast<void*>(kArenaBase)) {
        if (p != MAP_FAILED) munmap(p, kArenaSize);
        return false;
    }
    arena.reserved = true;
    return true;
}

void Rewind(Arena& arena) {
    if (arena.reserved && arena.next != 0) mprotect(reinterpret_cast<void*>(kArenaBase), arena.next, PROT_NONE);
    arena.next = 0;
    arena.nextBuffer = 0;
    arena.sizes.clear();
}

}  // namespace

void RewindObjectArena() {
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> guard(arena.lock);
    Rewind(arena);
}

void UseDeterministicAddresses(bool enabled) {
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> guard(arena.lock);
    if (enabled && !Reserve(arena))
        BugCheck("SIMULATION_SETUP", "UseDeterministicAddresses", nullptr,
                 "the address range for deterministic objects is taken");
    arena.enabled = enabled;
    Rewind(arena);
}

bool DeterministicAddresses() {
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> guard(arena.lock);
    return arena.enabled;
}

void* ObjectAllocate(size_t bytes) {
    Arena& arena = TheArena();
    {
        std::lock_guard<std::mutex> guard(arena.lock);
        if (arena.enabled) {
            size_t pages = (kHeader + bytes + kPage - 1) / kPage;
            size_t span = (pages + 1) * kPage;  // and a guard page
            if (arena.next + span > kArenaSize)
                BugCheck("SIMULATION_LIMIT", "ObjectAllocate", nullptr, "the deterministic object arena is full");
            auto* page = reinterpret_cast<uint8_t*>(kArenaBase + arena.next);
            arena.next += span;
            mprotect(page, pages * kPage, PROT_READ | PROT_WRITE);
            std::memset(page, 0, pages * kPage);
            void* object = page + kHeader;
            arena.sizes[object] = pages * kPage;
            return object;
        }
    }
    return std::calloc(1, bytes);
}

void* DeterministicBufferAddress(size_t bytes) {
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> guard(arena.lock);
    if (!arena.enabled) return nullptr;
    size_t span = (bytes + kPage - 1) / kPage * kPage + kPage;
    if (arena.nextBuffer + span > kBufferRange) return nullptr;
    void* address = reinterpret_cast<void*>(kBufferBase + arena.nextBuffer);
    arena.nextBuffer += span;
    return address;
}

void ObjectFree(void* p) {
    if (p == nullptr) return;
    Arena& arena = TheArena();
    {
        std::lock_guard<std::mutex> guard(arena.lock);
        auto it = arena.sizes.find(p);
        if (it != arena.sizes.end()) {
            // Never reused in this run: a late touch faults.
            mprotect(static_cast<uint8_t*>(p) - kHeader, it->second, PROT_NONE);
            arena.sizes.erase(it);
            return;
        }
        // An arena object that outlived a reset (a bus worker finishing a
        // request while the kernel was being reset): its pages are gone.
        auto address = reinterpret_cast<uintptr_t>(p);
        if (address >= kArenaBase && address < kArenaBase + kArenaSize) return;
    }
    std::free(p);
}

}  // namespace sim
