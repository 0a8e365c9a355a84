// Buffers with page states, and MmIsAddressValid.
//
// Every buffer page is a real host page whose protection follows its
// simulated state, so the driver's reads of a bad page fault for real and
// the fault handler (guarded.cpp) decides what Windows would have done.
#include "simkernel/memory.h"

#include "simkernel/arena.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "platform/ntio.h"
#include "simkernel/core.h"

namespace sim {

void ForgetPendingInvalidation();

namespace {

struct Region {
    uint8_t* mapping = nullptr;
    size_t pages = 0;                 // with the first guard page
    size_t tail = 0;                  // no-access pages after it, all invalid
    std::vector<PageState> state;     // per page
    std::vector<PageState> resident;  // what a paged-out page returns to
    std::vector<int> locks;           // MDL locks per page
    SimBuffer buffer;
};

std::mutex g_mutex;
std::map<uintptr_t, Region> g_regions;  // keyed by mapping start

// The kernel stand-in: reserved once, never accessible, never released.
constexpr uintptr_t kKernelHint = 0x00006FFFFFFFF000ULL;  // low 32 bits 0xFFFFF000
constexpr size_t kKernelPages = 16;
std::atomic<uintptr_t> g_kernelBase{0};

uintptr_t PageOf(const void* address) { return reinterpret_cast<uintptr_t>(address) & ~(uintptr_t)(kPageSize - 1); }

[[noreturn]] void Misuse(const char* routine, const char* what, const void* address) {
    std::fprintf(stderr, "sim::%s: %s (address %p)\n", routine, what, address);
    std::abort();
}

void CheckHostPageSize() {
    static const bool ok = sysconf(_SC_PAGESIZE) == (long)kPageSize;
    if (!ok) Misuse("AllocateBuffer", "the host page size is not 4096 bytes", nullptr);
}

std::set<uintptr_t> g_vouched;  // pages MmIsAddressValid answers TRUE for
std::atomic<int> g_caughtFaults{0};

void ResetBuffers() {
    ForgetPendingInvalidation();
    g_caughtFaults = 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_vouched.clear();
    for (auto& [base, region] : g_regions)
        munmap(region.mapping, (region.pages + region.tail) * kPageSize);
    g_regions.clear();
}

void EnsureResetHook() {
    static std::once_flag once;
    std::call_once(once, [] { RegisterResetHook(ResetBuffers); });
}

// The region that starts last at or before the page, or nullptr. Caller
// holds g_mutex.
Region* RegionBefore(uintptr_t page) {
    auto it = g_regions.upper_bound(page);
    return it == g_regions.begin() ? nullptr : &std::prev(it)->second;
}

// Whether the page lies in a region's tail of no-access pages. Caller holds g_mutex.
bool InTail(uintptr_t page) {
    const Region* region = RegionBefore(page);
    if (region == nullptr) return false;
    const uintptr_t base = reinterpret_cast<uintptr_t>(region->mapping);
    return page >= base + region->pages * kPageSize && page < base + (region->pages + region->tail) * kPageSize;
}

// The region holding the page, or nullptr. Caller holds g_mutex.
Region* FindRegion(uintptr_t page, size_t* index) {
    Region* region = RegionBefore(page);
    if (region == nullptr) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(region->mapping);
    if (page >= base + region->pages * kPageSize) return nullptr;
    *index = (page - base) / kPageSize;
    return region;
}

int ProtectionFor(PageState state) {
    switch (state) {
    case PageState::Valid:
        return PROT_READ | PROT_WRITE;
    case PageState::ReadOnly:
        return PROT_READ;
    default:
        return PROT_NONE;
    }
}

void SetState(const char* routine, const void* address, PageState state) {
    InstallFaultHandler();
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    Region* region = FindRegion(PageOf(address), &index);
    if (region == nullptr) Misuse(routine, "the address is not inside a simulated buffer", address);
    if (state == PageState::PagedOut) {
        // The pager never takes a locked page, nor one that is not resident.
        if (region->locks[index] > 0) return;
        if (region->state[index] == PageState::Invalid || region->state[index] == PageState::PagedOut) return;
        region->resident[index] = region->state[index];
    }
    if (mprotect(region->mapping + index * kPageSize, kPageSize, ProtectionFor(state)) != 0)
        Misuse(routine, "mprotect failed", address);
    region->state[index] = state;
}

// Reads one byte through the kernel on the process's behalf: an unreadable
// address fails with EFAULT instead of faulting.
bool HostCanRead(const void* address) {
    char byte = 0;
    iovec local{&byte, 1};
    iovec remote{const_cast<void*>(address), 1};
    const ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n == 1) return true;
    if (errno == EFAULT || errno == EIO) return false;

    // process_vm_readv refused outright (seccomp, ptrace policy): a write to
    // a pipe reads the source the same way.
    static int fds[2] = {-1, -1};
    static std::mutex pipeMutex;
    std::lock_guard<std::mutex> lock(pipeMutex);
    if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        Misuse("MmIsAddressValid", "cannot probe memory", address);
    if (write(fds[1], address, 1) != 1) return false;
    const ssize_t drained = read(fds[0], &byte, 1);
    (void)drained;
    return true;
}

void ReserveKernelRange() {
    static std::once_flag once;
    std::call_once(once, [] {
        void* p = mmap(reinterpret_cast<void*>(kKernelHint), kKernelPages * kPageSize, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) Misuse("InvalidKernelAddress", "cannot reserve the kernel range", nullptr);
        g_kernelBase.store(reinterpret_cast<uintptr_t>(p), std::memory_order_release);
    });
}

bool InKernelRange(uintptr_t address) {
    const uintptr_t base = g_kernelBase.load(std::memory_order_acquire);
    return base != 0 && address >= base && address < base + kKernelPages * kPageSize;
}

}  // namespace

SimBuffer AllocateBuffer(size_t bytes, size_t offsetInPage, size_t guardPages) {
    CheckHostPageSize();
    if (offsetInPage >= kPageSize) Misuse("AllocateBuffer", "offset beyond the first page", nullptr);
    if (guardPages == 0 || guardPages > kMaxGuardPages) Misuse("AllocateBuffer", "too many guard pages", nullptr);
    EnsureResetHook();
    InstallFaultHandler();

    size_t dataPages = (offsetInPage + bytes + kPageSize - 1) / kPageSize;
    if (dataPages == 0) dataPages = 1;
    const size_t pages = dataPages + 1;
    const size_t mapped = dataPages + guardPages;
    // While a scenario runs, buffers sit at the same addresses on every run.
    void* hint = DeterministicBufferAddress(mapped * kPageSize);
    void* p = mmap(hint, mapped * kPageSize, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (hint != nullptr ? MAP_FIXED_NOREPLACE : 0), -1, 0);
    if (hint != nullptr && p != MAP_FAILED && p != hint) {
        munmap(p, mapped * kPageSize);
        p = MAP_FAILED;
    }
    if (p == MAP_FAILED) Misuse("AllocateBuffer", "out of address space", nullptr);
    auto* mapping = static_cast<uint8_t*>(p);
    mprotect(mapping, dataPages * kPageSize, PROT_READ | PROT_WRITE);

    Region region;
    region.mapping = mapping;
    region.pages = pages;
    region.tail = guardPages - 1;
    region.state.assign(pages, PageState::Valid);
    region.state.back() = PageState::Invalid;
    region.resident = region.state;
    region.locks.assign(pages, 0);
    region.buffer = SimBuffer{mapping + offsetInPage, bytes};

    std::lock_guard<std::mutex> lock(g_mutex);
    g_regions.emplace(reinterpret_cast<uintptr_t>(mapping), region);
    return region.buffer;
}

void FreeBuffer(const SimBuffer& buffer) {
    std::unique_lock<std::mutex> lock(g_mutex);
    size_t index = 0;
    Region* region = FindRegion(PageOf(buffer.address), &index);
    if (region == nullptr || region->buffer.address != buffer.address)
        Misuse("FreeBuffer", "not a buffer from AllocateBuffer, or freed already", buffer.address);
    for (size_t i = 0; i < region->pages; ++i) {
        if (region->locks[i] > 0) {
            char detail[128];
            std::snprintf(detail, sizeof detail, "page %p of buffer %p is still locked by an MDL",
                          static_cast<void*>(region->mapping + i * kPageSize), static_cast<void*>(buffer.address));
            lock.unlock();
            BugCheck("PROCESS_HAS_LOCKED_PAGES: memory is released after the MDLs that lock it", "FreeBuffer", nullptr,
                     detail);
        }
    }
    munmap(region->mapping, (region->pages + region->tail) * kPageSize);
    g_regions.erase(reinterpret_cast<uintptr_t>(region->mapping));
}

void InvalidatePage(const void* address) { SetState("InvalidatePage", address, PageState::Invalid); }
void PageOut(const void* address) { SetState("PageOut", address, PageState::PagedOut); }
void MakeReadOnly(const void* address) { SetState("MakeReadOnly", address, PageState::ReadOnly); }
void MakeValid(const void* address) { SetState("MakeValid", address, PageState::Valid); }

const void* InvalidKernelAddress() {
    ReserveKernelRange();
    return reinterpret_cast<const void*>(g_kernelBase.load() + 0xC00);
}

bool IsKernelAddress(const void* address) {
    const auto a = reinterpret_cast<uintptr_t>(address);
    return InKernelRange(a) || a >= 0xFFFF800000000000ULL;
}

void VouchForPage(const void* address, bool vouch) {
    EnsureResetHook();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (vouch)
        g_vouched.insert(PageOf(address));
    else
        g_vouched.erase(PageOf(address));
}

bool IsVouched(const void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_vouched.count(PageOf(address)) != 0;
}

int CaughtFaults() { return g_caughtFaults.load(); }
void NoteCaughtFault() { ++g_caughtFaults; }

PageState QueryPage(const void* address) {
    const uintptr_t page = PageOf(address);
    if (InKernelRange(page)) return PageState::Invalid;
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    Region* region = FindRegion(page, &index);
    if (region == nullptr) return InTail(page) ? PageState::Invalid : PageState::Unknown;
    return region->state[index];
}

bool PageIn(const void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    Region* region = FindRegion(PageOf(address), &index);
    if (region == nullptr || region->state[index] != PageState::PagedOut) return false;
    const PageState back = region->resident[index];
    if (mprotect(region->mapping + index * kPageSize, kPageSize, ProtectionFor(back)) != 0) return false;
    region->state[index] = back;
    return true;
}

bool IsReadable(const void* address) {
    if (address == nullptr) return false;
    switch (QueryPage(address)) {
    case PageState::Valid:
    case PageState::ReadOnly:
        return true;
    case PageState::Invalid:
    case PageState::PagedOut:
        return false;
    case PageState::Unknown:
        break;
    }
    return HostCanRead(address);
}

void LockPage(const void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    if (Region* region = FindRegion(PageOf(address), &index)) ++region->locks[index];
}

void UnlockPage(const void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = 0;
    Region* region = FindRegion(PageOf(address), &index);
    if (region != nullptr && region->locks[index] > 0) --region->locks[index];
}

}  // namespace sim

namespace sim {
namespace {
std::mutex g_pendingLock;
const void* g_pendingPage = nullptr;
int g_pendingChecks = 0;
}  // namespace

void ForgetPendingInvalidation() {
    std::lock_guard<std::mutex> lock(g_pendingLock);
    g_pendingPage = nullptr;
    g_pendingChecks = 0;
}

void InvalidatePageAfterChecks(const void* address, int checks) {
    std::lock_guard<std::mutex> lock(g_pendingLock);
    g_pendingPage = address;
    g_pendingChecks = checks;
}
}  // namespace sim

extern "C" BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
    const BOOLEAN valid = sim::IsReadable(VirtualAddress) || sim::IsVouched(VirtualAddress) ? TRUE : FALSE;
    const void* invalidate = nullptr;
    {
        std::lock_guard<std::mutex> lock(sim::g_pendingLock);
        if (sim::g_pendingPage != nullptr && --sim::g_pendingChecks <= 0) {
            invalidate = sim::g_pendingPage;
            sim::g_pendingPage = nullptr;
        }
    }
    if (invalidate != nullptr) sim::InvalidatePage(invalidate);
    return valid;
}
