// Spin locks of the simulated kernel: two threads never hold one at once,
// the IRQL goes to DISPATCH_LEVEL and back, and a thread that takes a lock
// it holds, or releases one it does not, stops the kernel.
#include <gtest/gtest.h>

#include <thread>

#include "platform/nt1394.h"
#include "simkernel/core.h"

namespace {

TEST(SimSpinLock, ExcludesOtherThreadsAndRestoresTheIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            long seen = counter;
            std::this_thread::yield();
            counter = seen + 1;
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(counter, 4000);
}

TEST(SimSpinLock, TakingItTwiceOrReleasingAnothersIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock = 0;
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old);
        },
        "SPIN_LOCK_ALREADY_OWNED in KeAcquireSpinLockRaiseToDpc");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock = 0;
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "SPIN_LOCK_NOT_OWNED in KeReleaseSpinLock");
}

}  // namespace
