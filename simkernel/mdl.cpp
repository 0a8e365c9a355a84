// MDLs: allocation, probe and lock, system mappings, and the bookkeeping
// that finds an MDL freed while locked, freed twice, or never freed.
//
// An MDL is a pool block laid out as on Windows: the header, then one page
// frame number per page the range spans. In one address space the system
// mapping of a range is the range itself.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/ntio.h"
#include "simkernel/caller.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"

namespace sim {
namespace {

constexpr uint32_t kMdlTag = 'M' | ('d' << 8) | ('l' << 16) | (' ' << 24);
// IoAllocateMdl takes small MDLs from a fixed-size lookaside list and says so
// in the flags.
constexpr size_t kFixedSizePages = 23;
// MDL::Size is 16 bits wide: the longest range one MDL can describe.
constexpr size_t kMaxMdlBytes = 0xFFFF;

struct MdlRecord {
    uint64_t serial;
    PDRIVER_OBJECT owner;  // the driver whose routine allocated it; nullptr: the kernel's, a test's
};

std::mutex g_mutex;
std::map<const MDL*, MdlRecord> g_mdls;
uint64_t g_serial = 0;

uintptr_t RangeStart(const MDL* mdl) { return reinterpret_cast<uintptr_t>(mdl->StartVa) + mdl->ByteOffset; }

size_t SpanPages(uintptr_t start, size_t length) {
    return ((start & (kPageSize - 1)) + length + kPageSize - 1) / kPageSize;
}

PFN_NUMBER* PageArray(MDL* mdl) { return reinterpret_cast<PFN_NUMBER*>(mdl + 1); }

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

std::string Describe(const MDL* mdl) {
    char text[200];
    std::snprintf(text, sizeof text, "MDL %s: range 0x%llX length 0x%X flags 0x%04X%s%s%s", Hex(mdl).c_str(),
                  static_cast<unsigned long long>(RangeStart(mdl)), mdl->ByteCount,
                  static_cast<unsigned>(static_cast<USHORT>(mdl->MdlFlags)),
                  (mdl->MdlFlags & MDL_PAGES_LOCKED) ? " locked" : "",
                  (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ? " mapped" : "",
                  (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) ? " nonpaged-pool" : "");
    return text;
}

[[noreturn]] void MdlBugCheck(const char* rule, const char* routine, const MDL* mdl, const std::string& what) {
    BugCheck(rule, routine, nullptr, what + " (" + Describe(mdl) + ")");
}

bool Known(const MDL* mdl) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_mdls.count(mdl) != 0;
}

// Another driver's MDL may change on another processor at any moment (its
// owner maps, unmaps, unlocks it): a driver reads it, and changes only MDLs of
// its own. MDLs that no driver's routine allocated (the I/O manager's for a
// request, a test's) and MDLs that no IoAllocateMdl made (a caller's own
// storage) are not checked.
void RequireOwnMdl(const MDL* mdl, const char* routine) {
    PDRIVER_OBJECT current = CurrentDriver();
    if (current == nullptr) return;
    PDRIVER_OBJECT owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_mdls.find(mdl);
        if (it != g_mdls.end()) owner = it->second.owner;
    }
    if (owner != nullptr && owner != current)
        MdlBugCheck("NoWriteIntoForeignMdl", routine, mdl,
                    "the MDL belongs to " + detail::DriverNameOf(owner) + ", and " + detail::DriverNameOf(current) +
                        " had the kernel write into it: another driver's MDL is read, never written (map a "
                        "partial MDL of your own with IoBuildPartialMdl)");
}

void ForgetAll() {
    std::lock_guard<std::mutex> lock(g_mutex);
    // The pool's own reset releases the blocks; only the records go here.
    g_mdls.clear();
}

void EnsureResetHook() {
    static std::once_flag once;
    std::call_once(once, [] { RegisterResetHook(ForgetAll); });
}

// Every page of the range, in order, is checked as the probe would touch it;
// the first bad one decides. Returns the status to raise, or STATUS_SUCCESS
// with every page resident.
NTSTATUS ProbeRange(MDL* mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    const uintptr_t start = RangeStart(mdl);
    const size_t length = mdl->ByteCount;
    if (length == 0) return STATUS_SUCCESS;
    const uintptr_t last = start + length - 1;
    if (last < start) return STATUS_ACCESS_VIOLATION;
    if (mode == UserMode &&
        (IsKernelAddress(reinterpret_cast<const void*>(start)) || IsKernelAddress(reinterpret_cast<const void*>(last))))
        return STATUS_ACCESS_VIOLATION;

    for (uintptr_t page = start & ~(uintptr_t)(kPageSize - 1); page <= last; page += kPageSize) {
        const void* first = reinterpret_cast<const void*>(page < start ? start : page);
        PageState state = QueryPage(first);
        if (state == PageState::PagedOut) {
            if (CurrentIrql() > APC_LEVEL)
                MdlBugCheck(
                    "IRQL_NOT_LESS_OR_EQUAL", "MmProbeAndLockPages", mdl,
                    "a paged-out page " + Hex(first) + " must be brought in at IRQL " + std::to_string(CurrentIrql()));
            // Brought in, the page has its protection back, and the access
            // is checked against that.
            PageIn(first);
            state = QueryPage(first);
        }
        switch (state) {
        case PageState::Valid:
            break;
        case PageState::ReadOnly:
            if (operation != IoReadAccess) return STATUS_ACCESS_VIOLATION;
            break;
        case PageState::Invalid:
        case PageState::PagedOut:  // taken again by the pager at once
            return STATUS_ACCESS_VIOLATION;
        case PageState::Unknown:
            if (!IsReadable(first) || (mode == UserMode && !IsProgramPage(first))) return STATUS_ACCESS_VIOLATION;
            break;
        }
        if (page + kPageSize < page) break;
    }
    return STATUS_SUCCESS;
}

void ForEachPage(const MDL* mdl, void (*action)(const void*)) {
    const uintptr_t start = RangeStart(mdl);
    const size_t pages = SpanPages(start, mdl->ByteCount);
    const uintptr_t first = start & ~(uintptr_t)(kPageSize - 1);
    for (size_t i = 0; i < pages; ++i)
        action(reinterpret_cast<const void*>(first + i * kPageSize));
}

void FillPageArray(MDL* mdl) {
    const uintptr_t start = RangeStart(mdl);
    const size_t pages = SpanPages(start, mdl->ByteCount);
    for (size_t i = 0; i < pages; ++i)
        PageArray(mdl)[i] = (start / kPageSize) + i;
}

constexpr CSHORT kBuildFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL;

}  // namespace

std::vector<std::string> OutstandingMdls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::pair<uint64_t, const MDL*>> order;
    for (const auto& [mdl, record] : g_mdls)
        order.emplace_back(record.serial, mdl);
    std::sort(order.begin(), order.end());
    std::vector<std::string> out;
    for (const auto& entry : order)
        out.push_back(Describe(entry.second));
    return out;
}

}  // namespace sim

using namespace sim;

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                              PIRP Irp) {
    (void)ChargeQuota;
    RequireAtMostDispatch("IoAllocateMdl");
    EnsureResetHook();
    if (ShouldFail("IoAllocateMdl")) return nullptr;
    if (Length & 0x80000000U) return nullptr;

    const uintptr_t va = reinterpret_cast<uintptr_t>(VirtualAddress);
    const size_t pages = SpanPages(va, Length);
    const size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    if (size > kMaxMdlBytes) return nullptr;

    if (Irp != nullptr && SecondaryBuffer && Irp->MdlAddress == nullptr)
        BugCheck("IoAllocateMdl adds a secondary buffer only to an IRP that has an MDL", "IoAllocateMdl", Irp,
                 "the IRP has no MdlAddress to chain to");

    auto* mdl = static_cast<MDL*>(PoolAllocate(size, kMdlTag));
    if (mdl == nullptr) return nullptr;
    __builtin_memset(mdl, 0, size);
    mdl->Size = static_cast<CSHORT>(static_cast<USHORT>(size));
    mdl->MdlFlags = pages <= kFixedSizePages ? MDL_ALLOCATED_FIXED_SIZE : 0;
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~(uintptr_t)(kPageSize - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (kPageSize - 1));
    mdl->ByteCount = Length;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_mdls.emplace(mdl, MdlRecord{++g_serial, CurrentDriver()});
    }

    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            MDL* tail = Irp->MdlAddress;
            while (tail->Next != nullptr)
                tail = tail->Next;
            tail->Next = mdl;
        }
    }
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
    RequireAtMostDispatch("IoFreeMdl");
    if (!Known(Mdl))
        BugCheck("IoFreeMdl frees only an MDL that IoAllocateMdl returned, once", "IoFreeMdl", nullptr,
                 "MDL " + Hex(Mdl) + " is unknown or already freed");
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        MdlBugCheck("an MDL is unlocked before it is freed", "IoFreeMdl", Mdl, "the MDL still has its pages locked");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_mdls.erase(Mdl);
    }
    PoolFree(Mdl);
}

extern "C" VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    // Nothing with a destructor may live in this frame: a raise abandons it.
    RequireAtMostDispatch("MmProbeAndLockPages");
    RequireOwnMdl(MemoryDescriptorList, "MmProbeAndLockPages");
    if (MemoryDescriptorList->MdlFlags & kBuildFlags)
        MdlBugCheck("MmProbeAndLockPages takes an MDL that is not locked, mapped or built yet", "MmProbeAndLockPages",
                    MemoryDescriptorList, "the MDL's flags forbid a probe");
    if (ShouldFail("MmProbeAndLockPages")) RaiseStatus(STATUS_ACCESS_VIOLATION, "MmProbeAndLockPages");
    const NTSTATUS status = ProbeRange(MemoryDescriptorList, AccessMode, Operation);
    if (!NT_SUCCESS(status)) RaiseStatus(status, "MmProbeAndLockPages");

    ForEachPage(MemoryDescriptorList, LockPage);
    FillPageArray(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    RequireAtMostDispatch("MmUnlockPages");
    RequireOwnMdl(MemoryDescriptorList, "MmUnlockPages");
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        MdlBugCheck("MmUnlockPages takes an MDL whose pages are locked", "MmUnlockPages", MemoryDescriptorList,
                    "the MDL is not locked");
    // The system mapping goes with the lock.
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    ForEachPage(MemoryDescriptorList, UnlockPage);
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                              MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                              ULONG BugCheckOnFailure, ULONG Priority) {
    (void)CacheType;
    (void)RequestedAddress;
    MDL* mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode)
        MdlBugCheck("user-mode mappings are not simulated", "MmMapLockedPagesSpecifyCache", mdl,
                    "AccessMode is UserMode");
    RequireAtMostDispatch("MmMapLockedPagesSpecifyCache");
    // Driver Verifier's code integrity checks, as memory integrity enforces.
    if (!(Priority & MdlMappingNoExecute))
        MdlBugCheck("NoExecutableMapping", "MmMapLockedPagesSpecifyCache", mdl,
                    "the priority argument lacks MdlMappingNoExecute: memory integrity grants no driver an "
                    "executable mapping");
    RequireOwnMdl(mdl, "MmMapLockedPagesSpecifyCache");
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
        MdlBugCheck(
            "MmMapLockedPagesSpecifyCache maps only a locked MDL, a partial one of locked pages or one "
            "built for non-paged pool",
            "MmMapLockedPagesSpecifyCache", mdl, "the MDL is none of them");
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return mdl->MappedSystemVa;
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        MdlBugCheck("an MDL is mapped to system space once", "MmMapLockedPagesSpecifyCache", mdl,
                    "the MDL is mapped already");
    if (ShouldFail("MmMapLockedPagesSpecifyCache")) {
        if (!BugCheckOnFailure || (mdl->MdlFlags & MDL_MAPPING_CAN_FAIL)) return nullptr;
        MdlBugCheck("NO_MORE_SYSTEM_PTES", "MmMapLockedPagesSpecifyCache", mdl,
                    "a mapping failed and the caller asked for a bug check on failure");
    }
    mdl->MappedSystemVa = reinterpret_cast<PVOID>(RangeStart(mdl));
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | ((mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0);
    return mdl->MappedSystemVa;
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MDL* mdl = MemoryDescriptorList;
    RequireAtMostDispatch("MmBuildMdlForNonPagedPool");
    RequireOwnMdl(mdl, "MmBuildMdlForNonPagedPool");
    if (mdl->MdlFlags & kBuildFlags)
        MdlBugCheck("MmBuildMdlForNonPagedPool takes an MDL that is not locked, mapped or built yet",
                    "MmBuildMdlForNonPagedPool", mdl, "the MDL's flags forbid a build");
    const uintptr_t start = RangeStart(mdl);
    const size_t pages = SpanPages(start, mdl->ByteCount);
    for (size_t i = 0; i < pages; ++i) {
        const uintptr_t page = (start & ~(uintptr_t)(kPageSize - 1)) + i * kPageSize;
        const void* first = reinterpret_cast<const void*>(i == 0 ? start : page);
        const PageState state = QueryPage(first);
        const bool resident = state == PageState::Valid || state == PageState::ReadOnly ||
                              (state == PageState::Unknown && IsReadable(first));
        if (!resident)
            MdlBugCheck("MmBuildMdlForNonPagedPool describes resident non-paged memory only",
                        "MmBuildMdlForNonPagedPool", mdl, "page " + Hex(first) + " is not resident");
    }
    FillPageArray(mdl);
    mdl->MappedSystemVa = reinterpret_cast<PVOID>(start);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    MDL* mdl = MemoryDescriptorList;
    RequireAtMostDispatch("MmUnmapLockedPages");
    RequireOwnMdl(mdl, "MmUnmapLockedPages");
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL))
        MdlBugCheck("MmUnmapLockedPages undoes a mapping MmMapLockedPagesSpecifyCache made", "MmUnmapLockedPages", mdl,
                    "the MDL has no such mapping");
    if (BaseAddress != mdl->MappedSystemVa)
        MdlBugCheck("MmUnmapLockedPages takes the address the mapping returned", "MmUnmapLockedPages", mdl,
                    "address " + Hex(BaseAddress) + ", mapped at " + Hex(mdl->MappedSystemVa));
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    mdl->MappedSystemVa = nullptr;
}

// The target describes part of the source's locked pages; the source is only
// read. The target is the caller's: from IoAllocateMdl, or storage of its own
// set up as MmInitializeMdl does, large enough for the pages of the range.
extern "C" VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    RequireAtMostDispatch("IoBuildPartialMdl");
    RequireOwnMdl(TargetMdl, "IoBuildPartialMdl");
    if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
        MdlBugCheck("IoBuildPartialMdl takes a source MDL whose pages are locked", "IoBuildPartialMdl", SourceMdl,
                    "the source is neither locked nor built for non-paged pool");
    const uintptr_t start = reinterpret_cast<uintptr_t>(VirtualAddress);
    const uintptr_t first = RangeStart(SourceMdl);
    if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - (start - first));
    if (start < first || start - first > SourceMdl->ByteCount || Length > SourceMdl->ByteCount - (start - first))
        MdlBugCheck("IoBuildPartialMdl describes a range within the source MDL", "IoBuildPartialMdl", SourceMdl,
                    "range " + Hex(VirtualAddress) + " + 0x" + std::to_string(Length) + " lies outside it");
    const size_t pages = SpanPages(start, Length);
    if (static_cast<size_t>(static_cast<USHORT>(TargetMdl->Size)) < sizeof(MDL) + pages * sizeof(PFN_NUMBER))
        MdlBugCheck("IoBuildPartialMdl's target holds the range's page frame numbers", "IoBuildPartialMdl", TargetMdl,
                    "the target's Size is too small for " + std::to_string(pages) + " pages");
    TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL);
    TargetMdl->StartVa = reinterpret_cast<PVOID>(start & ~(uintptr_t)(kPageSize - 1));
    TargetMdl->ByteOffset = static_cast<ULONG>(start & (kPageSize - 1));
    TargetMdl->ByteCount = Length;
    TargetMdl->MappedSystemVa = nullptr;
    FillPageArray(TargetMdl);
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        TargetMdl->MappedSystemVa = VirtualAddress;
    }
}
