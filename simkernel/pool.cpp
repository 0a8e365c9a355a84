// Pool of the simulated kernel, with the checks of the verifier's pool
// tracking: every block is recorded with its tag until it is freed, a block
// freed twice or never allocated is a bug check, and what is left at the end
// is a leak reported by tag.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/ntio.h"
#include "simkernel/arena.h"
#include "simkernel/core.h"

namespace sim {

void ResetPoolForReboot();

namespace {

// Fresh blocks are not zeroed by the kernel; a recognisable filler makes
// fields that were never initialised stand out in traces and dumps.
constexpr unsigned char kFreshFill = 0xCD;
// Freed blocks are overwritten before they go back, so a stale read shows.
constexpr unsigned char kFreedFill = 0xDD;

struct Block {
    uint32_t tag;
    size_t bytes;
    POOL_TYPE type;
    uint64_t serial;  // allocation order, so reports are stable
    bool fromArena;
};

struct PoolState {
    std::mutex mutex;
    std::map<void*, Block> live;
    // Addresses freed and not handed out again, to tell a double free from a
    // pointer that was never pool.
    std::unordered_set<void*> freed;
    uint64_t nextSerial = 1;
};

PoolState& Pool() {
    static PoolState state;
    return state;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016" PRIX64, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// Tags read in memory order, as the pool tools show them: 0x206B6444 is
// "Ddk ".
std::string TagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// Scenarios print the addresses of pool blocks (MDLs, the driver's records),
// so with deterministic addresses on, blocks come from the arena, which also
// never hands an address out twice. Otherwise the heap: malloc's 16-byte
// alignment is what x64 pool gives too.
void* Allocate(size_t bytes, uint32_t tag, POOL_TYPE type) {
    const bool fromArena = DeterministicAddresses();
    void* p = fromArena ? ObjectAllocate(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) return nullptr;
    std::memset(p, kFreshFill, bytes);
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.freed.erase(p);
    pool.live[p] = Block{tag, bytes, type, pool.nextSerial++, fromArena};
    return p;
}

enum class FreeCheck { kAnyTag, kTagMustMatch };

// Frees a block after the checks, bug checking with the routine's name when
// one fails. The lock is dropped before a bug check so that a handler may
// still look at the pool.
void Release(const char* routine, void* p, FreeCheck check, uint32_t tag, bool checkIrql) {
    if (p == nullptr) BugCheck("BAD_POOL_CALLER", routine, nullptr, "freeing a null pointer");
    PoolState& pool = Pool();
    std::string rule = "BAD_POOL_CALLER";
    std::string problem;
    Block block{};
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        const auto it = pool.live.find(p);
        if (it == pool.live.end()) {
            problem = pool.freed.count(p) != 0 ? "block " + Hex(p) + " was already freed"
                                               : "address " + Hex(p) + " is not the start of a pool block";
        } else if (check == FreeCheck::kTagMustMatch && it->second.tag != tag) {
            problem =
                "block " + Hex(p) + " has tag '" + TagText(it->second.tag) + "', freed with tag '" + TagText(tag) + "'";
        } else if (checkIrql && it->second.type == PagedPool && CurrentIrql() > APC_LEVEL) {
            rule = "IRQL_NOT_LESS_OR_EQUAL";
            problem = "freeing paged pool at IRQL " + std::to_string(CurrentIrql()) + ", allowed at most at APC_LEVEL";
        } else {
            block = it->second;
            pool.live.erase(it);
            pool.freed.insert(p);
        }
    }
    if (!problem.empty()) BugCheck(rule, routine, nullptr, problem);
    std::memset(p, kFreedFill, block.bytes);
    if (block.fromArena) {
        ObjectFree(p);
    } else {
        std::free(p);
    }
}

}  // namespace

void* PoolAllocate(size_t bytes, uint32_t tag) {
    void* p = Allocate(bytes, tag, NonPagedPoolNx);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void PoolFree(void* p) {
    if (p == nullptr) return;
    Release("PoolFree", p, FreeCheck::kAnyTag, 0, false);
}

std::vector<PoolLeak> PoolLeaks() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    std::map<uint64_t, PoolLeak> ordered;
    for (const auto& [address, block] : pool.live)
        ordered[block.serial] = PoolLeak{block.tag, block.bytes, address};
    std::vector<PoolLeak> leaks;
    leaks.reserve(ordered.size());
    for (const auto& entry : ordered)
        leaks.push_back(entry.second);
    return leaks;
}

std::string LeakReport() {
    std::string report;
    for (const PoolLeak& leak : PoolLeaks()) {
        report += "pool leak: tag '" + TagText(leak.tag) + "' " + std::to_string(leak.bytes) + " bytes at " +
                  Hex(leak.address) + "\n";
    }
    return report;
}

void ResetPoolForReboot() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    // Arena blocks went with the arena's own reset, which runs before this.
    for (const auto& entry : pool.live)
        if (!entry.second.fromArena) std::free(entry.first);
    pool.live.clear();
    pool.freed.clear();
    pool.nextSerial = 1;
}

}  // namespace sim

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    static constexpr const char* kRoutine = "ExAllocatePoolWithTag";
    sim::RequireAtMostDispatch(kRoutine);
    if (PoolType == PagedPool && sim::CurrentIrql() > APC_LEVEL) {
        sim::BugCheck(
            "IRQL_NOT_LESS_OR_EQUAL", kRoutine, nullptr,
            "paged pool requested at IRQL " + std::to_string(sim::CurrentIrql()) + ", allowed at most at APC_LEVEL");
    }
    // Driver Verifier's code integrity checks, as memory integrity enforces:
    // no driver gets memory it could execute.
    if (PoolType == NonPagedPool) {
        sim::BugCheck("NoExecutablePool", kRoutine, nullptr,
                      "NonPagedPool (NonPagedPoolExecute) is executable memory, which memory integrity refuses "
                      "to drivers: allocate NonPagedPoolNx");
    }
    if (PoolType != NonPagedPoolNx && PoolType != PagedPool) {
        sim::BugCheck("BAD_POOL_CALLER", kRoutine, nullptr,
                      "unknown pool type " + std::to_string(static_cast<int>(PoolType)));
    }
    if (NumberOfBytes == 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", kRoutine, nullptr, "allocation of zero bytes");
    }
    if (sim::ShouldFail(kRoutine)) return nullptr;
    return sim::Allocate(NumberOfBytes, Tag, PoolType);
}

extern "C" VOID ExFreePool(PVOID P) {
    sim::RequireAtMostDispatch("ExFreePool");
    sim::Release("ExFreePool", P, sim::FreeCheck::kAnyTag, 0, true);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    sim::RequireAtMostDispatch("ExFreePoolWithTag");
    sim::Release("ExFreePoolWithTag", P, sim::FreeCheck::kTagMustMatch, Tag, true);
}
