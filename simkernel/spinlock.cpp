// Spin locks, as the x64 kernel exports them: acquiring raises the IRQL to
// DISPATCH_LEVEL and spins; releasing restores the IRQL the caller gives.
// The lock word holds its owner, so that the verifier catches a thread that
// takes a lock it holds (a deadlock on a real machine) or releases one it
// does not.
#include <string>
#include <thread>

#include "platform/nt1394.h"
#include "simkernel/core.h"

namespace {

thread_local char tOwnerTag;

ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(&tOwnerTag); }

}  // namespace

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    static constexpr const char* kRoutine = "KeAcquireSpinLockRaiseToDpc";
    sim::RequireAtMostDispatch(kRoutine);
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == Me())
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED", kRoutine, nullptr, "the thread holds this spin lock already");
    KIRQL old = sim::CurrentIrql();
    sim::SetIrql(DISPATCH_LEVEL);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, Me(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return old;
        std::this_thread::yield();
    }
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    static constexpr const char* kRoutine = "KeReleaseSpinLock";
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) != Me())
        sim::BugCheck("SPIN_LOCK_NOT_OWNED", kRoutine, nullptr, "the thread does not hold this spin lock");
    if (sim::CurrentIrql() != DISPATCH_LEVEL)
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", kRoutine, nullptr,
                      "released at IRQL " + std::to_string(sim::CurrentIrql()) + ", not DISPATCH_LEVEL");
    if (NewIrql > DISPATCH_LEVEL)
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", kRoutine, nullptr,
                      "restores IRQL " + std::to_string(NewIrql) + ", above DISPATCH_LEVEL");
    __atomic_store_n(SpinLock, ULONG_PTR{0}, __ATOMIC_RELEASE);
    sim::SetIrql(NewIrql);
}
