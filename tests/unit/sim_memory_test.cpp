// The simulated memory manager: page states that really fault, guarded
// regions, MmIsAddressValid, and the MDL rules.
#include "simkernel/memory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/guarded.h"
#include "platform/ntio.h"
#include "simkernel/core.h"

namespace sim {
namespace {

constexpr NTSTATUS kAccessViolation = STATUS_ACCESS_VIOLATION;

// A fault nobody guards is handed on: to AddressSanitizer's report when it
// runs, else to the default action.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_MEMORY_UNGUARDED_FAULT "AddressSanitizer: SEGV"
#endif
#endif
#ifndef SIM_MEMORY_UNGUARDED_FAULT
#define SIM_MEMORY_UNGUARDED_FAULT ""
#endif

// What a guarded routine did before it was stopped.
struct Touch {
    volatile uint8_t* address;
    bool write;
    volatile int steps;
    uint8_t value;
};

void TouchRoutine(PVOID context) {
    auto* t = static_cast<Touch*>(context);
    t->steps = 1;
    if (t->write)
        *t->address = 0x5A;
    else
        t->value = *t->address;
    t->steps = 2;
}

NTSTATUS GuardedTouch(const void* address, bool write, int* steps = nullptr, uint8_t* value = nullptr) {
    Touch t{const_cast<volatile uint8_t*>(static_cast<const volatile uint8_t*>(address)), write, 0, 0};
    const NTSTATUS status = ZkGuardedCall(TouchRoutine, &t);
    if (steps != nullptr) *steps = t.steps;
    if (value != nullptr) *value = t.value;
    return status;
}

uint8_t ReadOutside(const void* address) { return *static_cast<const volatile uint8_t*>(address); }

class SimMemory : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(OutstandingMdls(), std::vector<std::string>{});
        ResetKernel();
    }
};

// ---------------------------------------------------------------------------
// Guarded execution

TEST_F(SimMemory, GuardedTouchOfABadPageEndsWithAccessViolationAfterTheLinesBeforeIt) {
    SimBuffer buffer = AllocateBuffer(2 * kPageSize);
    buffer.address[kPageSize] = 0x77;
    InvalidatePage(buffer.address + kPageSize);
    SimBuffer readOnly = AllocateBuffer(16);
    readOnly.address[0] = 0x42;
    MakeReadOnly(readOnly.address);

    struct Case {
        const char* name;
        const void* address;
        bool write;
        NTSTATUS status;
    } cases[] = {
        {"valid page", buffer.address, false, STATUS_SUCCESS},
        {"invalidated page", buffer.address + kPageSize, false, kAccessViolation},
        {"guard page after the buffer", buffer.address + 2 * kPageSize, false, kAccessViolation},
        {"null", nullptr, false, kAccessViolation},
        {"read of a read-only page", readOnly.address, false, STATUS_SUCCESS},
        {"write to a read-only page", readOnly.address, true, kAccessViolation},
    };
    for (const Case& c : cases) {
        int steps = 0;
        EXPECT_EQ(GuardedTouch(c.address, c.write, &steps), c.status) << c.name;
        EXPECT_EQ(steps, c.status == STATUS_SUCCESS ? 2 : 1) << c.name;
        EXPECT_EQ(GuardedDepth(), 0) << c.name;
    }
    EXPECT_EQ(readOnly.address[0], 0x42);
    MakeValid(buffer.address + kPageSize);
    EXPECT_EQ(buffer.address[kPageSize], 0x77);
}

// Only a user address raises: a kernel address that is not mapped stops the
// system at any IRQL, guarded region or not.
TEST_F(SimMemory, GuardedTouchOfAnUnmappedKernelAddressIsABugCheckAtAnyIrql) {
    EXPECT_DEATH(GuardedTouch(InvalidKernelAddress(), false), "PAGE_FAULT_IN_NONPAGED_AREA.*kernel address");
    EXPECT_DEATH(
        {
            IrqlScope dispatch(DISPATCH_LEVEL);
            GuardedTouch(InvalidKernelAddress(), true);
        },
        "PAGE_FAULT_IN_NONPAGED_AREA.*kernel address");
}

TEST_F(SimMemory, WriteToAReadOnlyPageAtDispatchIsAnAccessViolationNotABugCheck) {
    SimBuffer buffer = AllocateBuffer(16);
    MakeReadOnly(buffer.address);
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(GuardedTouch(buffer.address, true), kAccessViolation);
}

struct Nested {
    const void* bad;
    NTSTATUS innerFault = -1;
    NTSTATUS innerRaise = -1;
    int depthInside = 0;
    volatile bool outerWentOn = false;
};

void RaiseRoutine(PVOID) { RaiseStatus(STATUS_INSUFFICIENT_RESOURCES); }

void OuterRoutine(PVOID context) {
    auto* n = static_cast<Nested*>(context);
    n->depthInside = GuardedDepth();
    n->innerFault = GuardedTouch(n->bad, false);
    n->innerRaise = ZkGuardedCall(RaiseRoutine, nullptr);
    n->outerWentOn = true;
    ReadOutside(n->bad);  // this one belongs to the outer region
}

TEST_F(SimMemory, NestedRegionsEachCatchTheirOwnException) {
    SimBuffer buffer = AllocateBuffer(16);
    InvalidatePage(buffer.address);
    Nested n;
    n.bad = buffer.address;
    EXPECT_EQ(ZkGuardedCall(OuterRoutine, &n), kAccessViolation);
    EXPECT_EQ(n.depthInside, 1);
    EXPECT_EQ(n.innerFault, kAccessViolation);
    EXPECT_EQ(n.innerRaise, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(n.outerWentOn);
    EXPECT_EQ(GuardedDepth(), 0);
}

// ---------------------------------------------------------------------------
// MmIsAddressValid and page-out

TEST_F(SimMemory, MmIsAddressValidAnswersFromThePageItself) {
    auto heap = std::make_unique<int>(1);
    int stack = 0;
    SimBuffer buffer = AllocateBuffer(4 * kPageSize);
    InvalidatePage(buffer.address + kPageSize);
    PageOut(buffer.address + 2 * kPageSize);
    MakeReadOnly(buffer.address + 3 * kPageSize);
    void* noAccess = mmap(nullptr, kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* unmapped = mmap(nullptr, kPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(noAccess, MAP_FAILED);
    ASSERT_NE(unmapped, MAP_FAILED);
    munmap(unmapped, kPageSize);

    struct Case {
        const char* name;
        const void* address;
        BOOLEAN valid;
    } cases[] = {
        {"heap", heap.get(), TRUE},
        {"stack", &stack, TRUE},
        {"buffer", buffer.address + 5, TRUE},
        {"read-only page", buffer.address + 3 * kPageSize, TRUE},
        {"null", nullptr, FALSE},
        {"kernel address", InvalidKernelAddress(), FALSE},
        {"upper half", reinterpret_cast<const void*>(0xFFFFF80000001000ULL), FALSE},
        {"invalidated page", buffer.address + kPageSize + 7, FALSE},
        {"paged-out page", buffer.address + 2 * kPageSize, FALSE},
        {"guard page", buffer.address + 4 * kPageSize, FALSE},
        {"no-access mapping", noAccess, FALSE},
        {"unmapped memory", unmapped, FALSE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MmIsAddressValid(const_cast<void*>(c.address)), c.valid) << c.name;
    munmap(noAccess, kPageSize);
}

TEST_F(SimMemory, PagedOutPageTouchedAtOrBelowApcLevelComesBackWithItsData) {
    SimBuffer buffer = AllocateBuffer(64, kPageSize - 32);  // ends 32 bytes into page two
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL)}) {
        for (bool guarded : {false, true}) {
            buffer.address[40] = static_cast<uint8_t>(irql + 10);
            PageOut(buffer.address + 40);
            ASSERT_FALSE(MmIsAddressValid(buffer.address + 40));
            EXPECT_TRUE(MmIsAddressValid(buffer.address));  // the first page stays
            IrqlScope scope(irql);
            uint8_t value = 0;
            if (guarded)
                EXPECT_EQ(GuardedTouch(buffer.address + 40, false, nullptr, &value), STATUS_SUCCESS);
            else
                value = ReadOutside(buffer.address + 40);
            EXPECT_EQ(value, irql + 10);
            EXPECT_TRUE(MmIsAddressValid(buffer.address + 40));
        }
    }
}

// ---------------------------------------------------------------------------
// MDLs

TEST_F(SimMemory, IoAllocateMdlDescribesTheRangeAsWindowsSizesIt) {
    SimBuffer buffer = AllocateBuffer(4 * kPageSize);
    struct Case {
        size_t offset;
        ULONG length;
        size_t pages;
    } cases[] = {
        {0, 0, 0}, {0, 1, 1}, {0, 4096, 1}, {1, 4096, 2}, {4095, 2, 2}, {100, 3 * 4096, 4},
    };
    for (const Case& c : cases) {
        uint8_t* va = buffer.address + c.offset;
        PMDL mdl = IoAllocateMdl(va, c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        EXPECT_EQ(mdl->StartVa, buffer.address + (c.offset / kPageSize) * kPageSize);
        EXPECT_EQ(mdl->ByteOffset, c.offset % kPageSize);
        EXPECT_EQ(mdl->ByteCount, c.length);
        EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + c.pages * 8) << c.offset << "+" << c.length;
        EXPECT_EQ(mdl->MdlFlags, MDL_ALLOCATED_FIXED_SIZE);
        EXPECT_EQ(mdl->Next, nullptr);
        EXPECT_EQ(mdl->MappedSystemVa, nullptr);
        IoFreeMdl(mdl);
    }

    // Size is 16 bits: 8185 pages fit, 8186 do not; a length with the top bit
    // set never does.
    PMDL largest = IoAllocateMdl(buffer.address, 8185 * 4096, FALSE, FALSE, nullptr);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(static_cast<USHORT>(largest->Size), 48 + 8185 * 8);
    EXPECT_EQ(largest->MdlFlags, 0);
    IoFreeMdl(largest);
    EXPECT_EQ(IoAllocateMdl(buffer.address, 8186 * 4096, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(IoAllocateMdl(buffer.address, 0x80000000U, FALSE, FALSE, nullptr), nullptr);

    FailNthCall("IoAllocateMdl", 1);
    EXPECT_EQ(IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(SimMemory, IoAllocateMdlAttachesToTheIrpAndChainsSecondaryBuffers) {
    int a = 0, b = 0, c = 0;
    IRP irp{};
    PMDL first = IoAllocateMdl(&a, sizeof a, FALSE, FALSE, &irp);
    PMDL second = IoAllocateMdl(&b, sizeof b, TRUE, FALSE, &irp);
    PMDL third = IoAllocateMdl(&c, sizeof c, TRUE, FALSE, &irp);
    EXPECT_EQ(irp.MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(second->Next, third);
    EXPECT_EQ(third->Next, nullptr);
    IoFreeMdl(third);
    IoFreeMdl(second);
    IoFreeMdl(first);
}

struct LockArgs {
    PMDL mdl;
    KPROCESSOR_MODE mode;
    LOCK_OPERATION operation;
};

void LockRoutine(PVOID context) {
    auto* args = static_cast<LockArgs*>(context);
    MmProbeAndLockPages(args->mdl, args->mode, args->operation);
}

NTSTATUS GuardedLock(PMDL mdl, KPROCESSOR_MODE mode = KernelMode, LOCK_OPERATION operation = IoModifyAccess) {
    LockArgs args{mdl, mode, operation};
    return ZkGuardedCall(LockRoutine, &args);
}

TEST_F(SimMemory, MdlLifeCycleLockMapUnlockFree) {
    SimBuffer buffer = AllocateBuffer(2 * kPageSize, 100);
    PageOut(buffer.address + kPageSize);
    PMDL mdl = IoAllocateMdl(buffer.address, 2 * kPageSize, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);

    ASSERT_EQ(GuardedLock(mdl), STATUS_SUCCESS);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(QueryPage(buffer.address + kPageSize), PageState::Valid);  // paged back in
    const auto* pfn = reinterpret_cast<const ULONG_PTR*>(mdl + 1);
    EXPECT_EQ(pfn[0], reinterpret_cast<uintptr_t>(buffer.address) / kPageSize);
    EXPECT_EQ(pfn[2], pfn[0] + 2);

    // A locked page is never paged out.
    PageOut(buffer.address);
    EXPECT_TRUE(MmIsAddressValid(buffer.address));

    void* system = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                NormalPagePriority | MdlMappingNoExecute);
    EXPECT_EQ(system, buffer.address);
    EXPECT_EQ(mdl->MappedSystemVa, system);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);

    const std::vector<std::string> outstanding = OutstandingMdls();
    ASSERT_EQ(outstanding.size(), 1u);
    EXPECT_NE(outstanding[0].find("locked mapped"), std::string::npos) << outstanding[0];
    char address[32];
    std::snprintf(address, sizeof address, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(mdl)));
    EXPECT_NE(outstanding[0].find(address), std::string::npos) << outstanding[0];

    MmUnlockPages(mdl);
    EXPECT_FALSE(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
    IoFreeMdl(mdl);
    EXPECT_TRUE(OutstandingMdls().empty());
    EXPECT_EQ(LeakReport(), "");

    PageOut(buffer.address);  // unlocked now, so the pager may take it
    EXPECT_FALSE(MmIsAddressValid(buffer.address));
    FreeBuffer(buffer);
}

TEST_F(SimMemory, ProbeRaisesWithoutLockingWhenAnyPageOfTheRangeIsBad) {
    SimBuffer buffer = AllocateBuffer(64, kPageSize - 32);
    SimBuffer readOnly = AllocateBuffer(64);
    MakeReadOnly(readOnly.address);
    SimBuffer pagedOutReadOnly = AllocateBuffer(64);
    MakeReadOnly(pagedOutReadOnly.address);
    PageOut(pagedOutReadOnly.address);
    int heap = 0;

    struct Case {
        const char* name;
        const void* address;
        ULONG length;
        KPROCESSOR_MODE mode;
        LOCK_OPERATION operation;
        bool secondPageInvalid;
        bool injectFailure;
        NTSTATUS status;
    } cases[] = {
        {"second page invalid", buffer.address, 64, KernelMode, IoReadAccess, true, false, kAccessViolation},
        {"first page only", buffer.address, 32, KernelMode, IoReadAccess, true, false, STATUS_SUCCESS},
        {"read-only, read", readOnly.address, 64, KernelMode, IoReadAccess, false, false, STATUS_SUCCESS},
        {"read-only, write", readOnly.address, 64, KernelMode, IoWriteAccess, false, false, kAccessViolation},
        {"read-only, modify", readOnly.address, 64, UserMode, IoModifyAccess, false, false, kAccessViolation},
        // Regression: paging the page in used to skip the check of its protection.
        {"paged-out read-only, modify", pagedOutReadOnly.address, 64, KernelMode, IoModifyAccess, false, false,
         kAccessViolation},
        {"kernel address", InvalidKernelAddress(), 16, KernelMode, IoReadAccess, false, false, kAccessViolation},
        {"upper half from user mode", reinterpret_cast<const void*>(0xFFFFF80000000000ULL), 16, UserMode, IoReadAccess,
         false, false, kAccessViolation},
        {"heap", &heap, sizeof heap, KernelMode, IoModifyAccess, false, false, STATUS_SUCCESS},
        {"injected failure", &heap, sizeof heap, KernelMode, IoReadAccess, false, true, kAccessViolation},
    };
    for (const Case& c : cases) {
        if (c.secondPageInvalid)
            InvalidatePage(buffer.address + 32);
        else
            MakeValid(buffer.address + 32);
        if (c.injectFailure) FailNthCall("MmProbeAndLockPages", 1);
        PMDL mdl = IoAllocateMdl(const_cast<void*>(c.address), c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr) << c.name;
        EXPECT_EQ(GuardedLock(mdl, c.mode, c.operation), c.status) << c.name;
        EXPECT_EQ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0, c.status == STATUS_SUCCESS) << c.name;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

TEST_F(SimMemory, ProbeAtDispatchLevelSucceedsWhenEveryPageIsResident) {
    SimBuffer buffer = AllocateBuffer(3 * kPageSize);
    PMDL mdl = IoAllocateMdl(buffer.address, 3 * kPageSize, FALSE, FALSE, nullptr);
    IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(GuardedLock(mdl), STATUS_SUCCESS);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(SimMemory, FailedMappingReturnsNullWhenTheCallerAllowsIt) {
    SimBuffer buffer = AllocateBuffer(32);
    struct Case {
        ULONG bugCheckOnFailure;
        CSHORT extraFlags;
    } cases[] = {{FALSE, 0}, {TRUE, MDL_MAPPING_CAN_FAIL}, {FALSE, MDL_MAPPING_CAN_FAIL}};
    for (const Case& c : cases) {
        PMDL mdl = IoAllocateMdl(buffer.address, 32, FALSE, FALSE, nullptr);
        ASSERT_EQ(GuardedLock(mdl), STATUS_SUCCESS);
        mdl->MdlFlags |= c.extraFlags;
        FailNthCall("MmMapLockedPagesSpecifyCache", 1);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, c.bugCheckOnFailure,
                                               NormalPagePriority | MdlMappingNoExecute),
                  nullptr);
        EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

TEST_F(SimMemory, NonPagedPoolMdlIsMappedWithoutLockAndFreedWithoutUnlock) {
    auto pool = std::make_unique<uint8_t[]>(100);
    PMDL mdl = IoAllocateMdl(pool.get() + 3, 90, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(mdl->MappedSystemVa, pool.get() + 3);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, TRUE,
                                           NormalPagePriority | MdlMappingNoExecute),
              pool.get() + 3);
    IoFreeMdl(mdl);
}

TEST_F(SimMemory, ResetForgetsMdlsAndReleasesBuffers) {
    SimBuffer buffer = AllocateBuffer(16);
    PMDL mdl = IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr);
    ASSERT_EQ(GuardedLock(mdl), STATUS_SUCCESS);
    EXPECT_EQ(OutstandingMdls().size(), 1u);
    EXPECT_EQ(PoolLeaks().size(), 1u);
    ResetKernel();
    EXPECT_TRUE(OutstandingMdls().empty());
    EXPECT_TRUE(PoolLeaks().empty());
    EXPECT_FALSE(MmIsAddressValid(buffer.address));
}

// ---------------------------------------------------------------------------
// What stops the system

class SimMemoryDeathTest : public SimMemory {};

struct DeathCase {
    const char* name;
    std::function<void()> body;
    const char* message;
};

TEST_F(SimMemoryDeathTest, FaultsOutsideRegionsAndAtDispatchStopTheSystem) {
    SimBuffer buffer = AllocateBuffer(2 * kPageSize);
    const DeathCase cases[] = {
        {"fault outside any region",
         [&] {
             InvalidatePage(buffer.address);
             ReadOutside(buffer.address);
         },
         SIM_MEMORY_UNGUARDED_FAULT},
        {"raise outside any region", [] { RaiseStatus(STATUS_INSUFFICIENT_RESOURCES, "IoSomething"); },
         "KMODE_EXCEPTION_NOT_HANDLED in IoSomething.*0xC000009A"},
        {"probe outside any region",
         [&] {
             InvalidatePage(buffer.address);
             MmProbeAndLockPages(IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr), KernelMode, IoReadAccess);
         },
         "KMODE_EXCEPTION_NOT_HANDLED in MmProbeAndLockPages.*0xC0000005"},
        {"paged-out page touched at dispatch",
         [&] {
             PageOut(buffer.address);
             IrqlScope s(DISPATCH_LEVEL);
             ReadOutside(buffer.address);
         },
         "IRQL_NOT_LESS_OR_EQUAL.*paged-out page"},
        {"paged-out page touched at dispatch in a region",
         [&] {
             PageOut(buffer.address);
             IrqlScope s(DISPATCH_LEVEL);
             GuardedTouch(buffer.address, false);
         },
         "IRQL_NOT_LESS_OR_EQUAL.*paged-out page"},
        {"invalid page touched at dispatch in a region",
         [&] {
             InvalidatePage(buffer.address);
             IrqlScope s(DISPATCH_LEVEL);
             GuardedTouch(buffer.address, false);
         },
         "IRQL_NOT_LESS_OR_EQUAL.*invalid address"},
        {"probe of a paged-out page at dispatch",
         [&] {
             PageOut(buffer.address + kPageSize);
             PMDL mdl = IoAllocateMdl(buffer.address, 2 * kPageSize, FALSE, FALSE, nullptr);
             IrqlScope s(DISPATCH_LEVEL);
             GuardedLock(mdl);
         },
         "IRQL_NOT_LESS_OR_EQUAL in MmProbeAndLockPages"},
    };
    for (const DeathCase& c : cases)
        EXPECT_DEATH(c.body(), c.message) << c.name;
}

TEST_F(SimMemoryDeathTest, BrokenRulesStopTheSystem) {
    SimBuffer buffer = AllocateBuffer(2 * kPageSize);
    auto lockedMdl = [&] {
        PMDL mdl = IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr);
        if (GuardedLock(mdl) != STATUS_SUCCESS) std::abort();
        return mdl;
    };
    const DeathCase cases[] = {
        {"free of a locked MDL", [&] { IoFreeMdl(lockedMdl()); }, "an MDL is unlocked before it is freed"},
        {"double free",
         [&] {
             PMDL mdl = IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr);
             IoFreeMdl(mdl);
             IoFreeMdl(mdl);
         },
         "IoFreeMdl.*unknown or already freed"},
        {"unlock of an unlocked MDL", [&] { MmUnlockPages(IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr)); },
         "MmUnlockPages takes an MDL whose pages are locked"},
        {"probe of a locked MDL", [&] { GuardedLock(lockedMdl()); }, "MmProbeAndLockPages takes an MDL"},
        {"map of an unlocked MDL",
         [&] {
             MmMapLockedPagesSpecifyCache(IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr), KernelMode,
                                          MmCached, nullptr, FALSE, NormalPagePriority | MdlMappingNoExecute);
         },
         "maps only a locked MDL"},
        {"map twice",
         [&] {
             PMDL mdl = lockedMdl();
             for (int i = 0; i < 2; ++i)
                 MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                              NormalPagePriority | MdlMappingNoExecute);
         },
         "mapped to system space once"},
        {"failed mapping that must not fail",
         [&] {
             PMDL mdl = lockedMdl();
             FailNthCall("MmMapLockedPagesSpecifyCache", 1);
             MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, TRUE,
                                          NormalPagePriority | MdlMappingNoExecute);
         },
         "NO_MORE_SYSTEM_PTES"},
        {"buffer freed under a locked MDL",
         [&] {
             lockedMdl();
             FreeBuffer(buffer);
         },
         "PROCESS_HAS_LOCKED_PAGES"},
        {"non-paged MDL over a paged-out page",
         [&] {
             PageOut(buffer.address);
             MmBuildMdlForNonPagedPool(IoAllocateMdl(buffer.address, 16, FALSE, FALSE, nullptr));
         },
         "resident non-paged memory only"},
        {"secondary buffer with no primary",
         [&] {
             IRP irp{};
             IoAllocateMdl(buffer.address, 16, TRUE, FALSE, &irp);
         },
         "secondary buffer"},
    };
    for (const DeathCase& c : cases)
        EXPECT_DEATH(c.body(), c.message) << c.name;
}

// Another library may take SIGSEGV over after us; the next guarded region
// puts our handler back. Run in a child so the real chain stays untouched.
TEST_F(SimMemoryDeathTest, GuardedRegionReinstallsAFaultHandlerSomeoneReplaced) {
    SimBuffer buffer = AllocateBuffer(16);
    InvalidatePage(buffer.address);
    EXPECT_EXIT(
        {
            struct sigaction other {};
            other.sa_handler = SIG_DFL;
            sigaction(SIGSEGV, &other, nullptr);
            std::fprintf(stderr, "status %08X\n", static_cast<unsigned>(GuardedTouch(buffer.address, false)));
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "status C0000005");
}

}  // namespace
}  // namespace sim
