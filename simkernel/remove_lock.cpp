// The remove lock: a count of the holders and a flag that, once set, makes
// every later acquire fail with STATUS_DELETE_PENDING. The remover waits on
// the lock's event until the last holder has released it. Built, as the
// kernel builds it, on an interlocked count and a notification event.
#include <string>

#include "platform/ntcaller.h"
#include "platform/ntio.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"

namespace {

constexpr ULONG kFreeBuildSize = sizeof(IO_REMOVE_LOCK);

int g_waiters = 0;  // atomic

LONG Add(PIO_REMOVE_LOCK Lock, LONG Delta) {
    return __atomic_add_fetch(&Lock->Common.IoCount, Delta, __ATOMIC_SEQ_CST);
}

void CheckSize(ULONG RemlockSize, const char* routine) {
    if (RemlockSize != kFreeBuildSize)
        sim::BugCheck(
            "RemoveLockSize", routine, nullptr,
            "the lock's size is " + std::to_string(RemlockSize) + ", expected " + std::to_string(kFreeBuildSize));
}

}  // namespace

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                         ULONG HighWatermark, ULONG RemlockSize) {
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                          ULONG RemlockSize) {
    (void)Tag;
    (void)File;
    (void)Line;
    sim::RequireAtMostDispatch("IoAcquireRemoveLockEx");
    CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
    Add(RemoveLock, 1);
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) return STATUS_SUCCESS;
    if (Add(RemoveLock, -1) == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)Tag;
    sim::RequireAtMostDispatch("IoReleaseRemoveLockEx");
    CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
    const LONG count = Add(RemoveLock, -1);
    if (count < 0)
        sim::BugCheck("RemoveLockReleasedTooOften", "IoReleaseRemoveLockEx", nullptr,
                      "the lock was released more often than it was acquired");
    if (count == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)Tag;
    sim::RequirePassive("IoReleaseRemoveLockAndWaitEx");
    CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    // The caller's own acquire, then the one the lock started with.
    if (Add(RemoveLock, -1) <= 0)
        sim::BugCheck("RemoveLockNotHeld", "IoReleaseRemoveLockAndWaitEx", nullptr,
                      "the caller must hold the lock it releases and waits on");
    if (Add(RemoveLock, -1) > 0) {
        __atomic_add_fetch(&g_waiters, 1, __ATOMIC_SEQ_CST);
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
        __atomic_sub_fetch(&g_waiters, 1, __ATOMIC_SEQ_CST);
    }
}

int sim::RemoveLockWaiters() { return __atomic_load_n(&g_waiters, __ATOMIC_SEQ_CST); }
