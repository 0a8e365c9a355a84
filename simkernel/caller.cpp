// Accounts, low user memory and the probes of a program's buffers.
#include "simkernel/caller.h"

#include <sys/mman.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/ntcaller.h"
#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace sim {
namespace {

thread_local Account t_account = Account::System;

// Stand-ins for the tokens: one per account, told apart by address.
const char kTokens[3] = {};

std::mutex g_mutex;
std::map<HANDLE, Account> g_handleAccounts;
std::map<uint8_t*, size_t> g_areas;               // low user areas by start, their mapped size
std::map<const uint8_t*, size_t> g_programPages;  // other pages of a program's, by start
uint8_t* g_freeAfterProbe = nullptr;
std::function<void()> g_afterProbe;
int g_openContexts = 0;

// Low areas are laid out from here, each on pages of its own with a gap.
constexpr uintptr_t kLowBase = 0x10000000ull;
constexpr uintptr_t kLowLimit = 0x7FFF0000ull;
uintptr_t g_nextLow = kLowBase;

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [start, size] : g_areas)
        munmap(start, size);
    g_areas.clear();
    g_handleAccounts.clear();
    g_freeAfterProbe = nullptr;
    g_afterProbe = nullptr;
    g_openContexts = 0;
    g_nextLow = kLowBase;
}

void EnsureResetHook() {
    static std::once_flag once;
    std::call_once(once, [] { RegisterResetHook(Reset); });
}

Account TokenAccount(PACCESS_TOKEN token) {
    for (int i = 0; i < 3; ++i)
        if (token == &kTokens[i]) return static_cast<Account>(i);
    BugCheck("InvalidToken", "SeTokenIsAdmin", nullptr, "the token was not captured by SeCaptureSubjectContext");
}

void FreeArmedArea(const volatile void* address);

// What a test arranged to happen once the probe has succeeded.
void AfterProbe(const volatile void* address) {
    FreeArmedArea(address);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        action.swap(g_afterProbe);
    }
    if (action) action();
}

// Frees the armed area when the probed range starts inside it.
void FreeArmedArea(const volatile void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_freeAfterProbe == nullptr) return;
    const auto a = reinterpret_cast<uintptr_t>(address);
    const auto start = reinterpret_cast<uintptr_t>(g_freeAfterProbe);
    auto it = g_areas.find(g_freeAfterProbe);
    if (it == g_areas.end() || a < start || a >= start + it->second) return;
    munmap(it->first, it->second);
    g_areas.erase(it);
    g_freeAfterProbe = nullptr;
}

void CheckRange(const volatile void* address, SIZE_T length, ULONG alignment, const char* routine) {
    RequirePassive(routine);
    if (length == 0) return;
    if (alignment != 1 && alignment != 2 && alignment != 4 && alignment != 8 && alignment != 16)
        BugCheck("InvalidProbeAlignment", routine, nullptr, "alignment " + std::to_string(alignment));
    const auto start = reinterpret_cast<uintptr_t>(address);
    if (start % alignment != 0) RaiseStatus(STATUS_DATATYPE_MISALIGNMENT, routine);
    const uintptr_t end = start + length;
    if (end < start || end > kUserProbeAddress || IsKernelAddress(const_cast<const void*>(address)))
        RaiseStatus(STATUS_ACCESS_VIOLATION, routine);
}

}  // namespace

Account CurrentAccount() { return t_account; }

ActingAs::ActingAs(Account account) : saved_(t_account) { t_account = account; }
ActingAs::~ActingAs() { t_account = saved_; }

void SetHandleAccount(HANDLE handle, Account account) {
    EnsureResetHook();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handleAccounts[handle] = account;
}

Account HandleAccount(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handleAccounts.find(handle);
    return it == g_handleAccounts.end() ? Account::Administrator : it->second;
}

int OpenSubjectContexts() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_openContexts;
}

void AddProgramPages(const void* start, size_t bytes) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_programPages[static_cast<const uint8_t*>(start)] = bytes;
}

void RemoveProgramPages(const void* start) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_programPages.erase(static_cast<const uint8_t*>(start));
}

bool IsProgramPage(const void* address) {
    const auto* a = static_cast<const uint8_t*>(address);
    std::lock_guard<std::mutex> lock(g_mutex);
    auto inside = [a](const auto& ranges) {
        using Key = typename std::decay_t<decltype(ranges)>::key_type;
        auto it = ranges.upper_bound(const_cast<Key>(a));
        if (it == ranges.begin()) return false;
        --it;
        return a < it->first + it->second;
    };
    return inside(g_areas) || inside(g_programPages);
}

uint8_t* LowUserArea(size_t bytes) {
    EnsureResetHook();
    InstallFaultHandler();
    const size_t size = (bytes + kPageSize - 1) / kPageSize * kPageSize + (bytes == 0 ? kPageSize : 0);
    std::lock_guard<std::mutex> lock(g_mutex);
    while (g_nextLow + size < kLowLimit) {
        void* hint = reinterpret_cast<void*>(g_nextLow);
        g_nextLow += size + kPageSize;  // a gap that is never mapped
        void* p = mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == MAP_FAILED) continue;
        if (p != hint) {
            munmap(p, size);
            continue;
        }
        g_areas[static_cast<uint8_t*>(p)] = size;
        return static_cast<uint8_t*>(p);
    }
    BugCheck("LowUserArea", "LowUserArea", nullptr, "no free pages below 2 GB");
}

void FreeLowUserArea(uint8_t* area) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_areas.find(area);
    if (it == g_areas.end()) return;
    munmap(it->first, it->second);
    g_areas.erase(it);
}

void FreeLowUserAreaAfterProbe(uint8_t* area) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_freeAfterProbe = area;
}

void RunAfterNextProbe(std::function<void()> action) {
    EnsureResetHook();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_afterProbe = std::move(action);
}

}  // namespace sim

extern "C" VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    sim::CheckRange(Address, Length, Alignment, "ProbeForRead");
    if (Length != 0) sim::AfterProbe(Address);
}

extern "C" VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    sim::CheckRange(Address, Length, Alignment, "ProbeForWrite");
    if (Length == 0) return;
    // As the kernel's probe: every page is written with what it holds, so a
    // page that cannot be written faults here.
    auto* bytes = static_cast<volatile UCHAR*>(Address);
    const auto start = reinterpret_cast<uintptr_t>(Address);
    for (uintptr_t page = start & ~(uintptr_t{sim::kPageSize} - 1); page < start + Length; page += sim::kPageSize) {
        volatile UCHAR* p = page < start ? bytes : bytes + (page - start);
        *p = *p;
    }
    sim::AfterProbe(Address);
}

extern "C" VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    sim::RequirePassive("SeCaptureSubjectContext");
    SubjectContext->ClientToken = nullptr;
    SubjectContext->ImpersonationLevel = SecurityAnonymous;
    SubjectContext->PrimaryToken = const_cast<char*>(&sim::kTokens[static_cast<int>(sim::t_account)]);
    SubjectContext->ProcessAuditId = nullptr;
    std::lock_guard<std::mutex> lock(sim::g_mutex);
    ++sim::g_openContexts;
}

extern "C" VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    (void)SubjectContext;
    std::lock_guard<std::mutex> lock(sim::g_mutex);
    if (sim::g_openContexts == 0)
        sim::BugCheck("SubjectContextNotCaptured", "SeReleaseSubjectContext", nullptr,
                      "released more subject contexts than were captured");
    --sim::g_openContexts;
}

extern "C" BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token) {
    const sim::Account account = sim::TokenAccount(Token);
    return account == sim::Account::StandardUser ? FALSE : TRUE;
}
