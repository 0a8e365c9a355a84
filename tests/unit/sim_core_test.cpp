// The simulated kernel's core: verifier, IRQL, fault injection, time, pool,
// debugger output and events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ntio.h"
#include "simkernel/arena.h"
#include "simkernel/core.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG kTag = 0x67744B5A;  // "ZKtg" in memory

class SimCore : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override {
        sim::SetDebugObserver(nullptr);
        sim::SetDebugStream(nullptr);
        sim::SetBugCheckHandler(nullptr);
        sim::ResetKernel();
    }
};

// ---------------------------------------------------------------------------
// Verifier and IRQL

TEST_F(SimCore, IrqlScopeRaisesForItsLifeAndOnlyOnItsThread) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KIRQL other = 0xFF;
        std::thread([&] { other = KeGetCurrentIrql(); }).join();
        EXPECT_EQ(other, PASSIVE_LEVEL);
        sim::RequireAtMostDispatch("KeSetEvent");  // allowed here
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimCore, RequirePassiveAboveItBugChecksNamingRoutineAndIrql) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::IrqlScope apc(APC_LEVEL);
            sim::RequirePassive("ZwClose");
        },
        "\\*\\*\\* STOP: IRQL_NOT_LESS_OR_EQUAL in ZwClose, IRP 0x0000000000000000: "
        "called at IRQL 1");
    EXPECT_DEATH(
        {
            sim::IrqlScope high(3);
            sim::RequireAtMostDispatch("KeSetEvent");
        },
        "IRQL_NOT_LESS_OR_EQUAL in KeSetEvent");
}

TEST_F(SimCore, BugCheckCallsTheHandlerThenStillAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::SetBugCheckHandler(
                [](const std::string& message) { std::fprintf(stderr, "handler got <%s>\n", message.c_str()); });
            int irp = 0;
            sim::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IofCompleteRequest", &irp, "again");
        },
        "handler got <\\*\\*\\* STOP: MULTIPLE_IRP_COMPLETE_REQUESTS in IofCompleteRequest, "
        "IRP 0x[0-9A-F]{16}: again>");
}

// ---------------------------------------------------------------------------
// Fault injection

TEST_F(SimCore, FailNthCallFailsExactlyThatCallCountingFromNow) {
    struct Case {
        const char* name;
        int callsBefore;
        std::vector<int> faults;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"next call", 0, {1}, {true, false, false}},
        {"third call", 0, {3}, {false, false, true, false}},
        {"counted from now", 5, {2}, {false, true, false}},
        {"two faults", 0, {1, 3}, {true, false, true, false}},
        {"same call twice fails once", 0, {2, 2}, {false, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearFaults();
        for (int i = 0; i < c.callsBefore; ++i)
            sim::ShouldFail("IoAllocateMdl");
        for (int n : c.faults)
            sim::FailNthCall("IoAllocateMdl", n);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(sim::ShouldFail("IoAllocateMdl"), c.expected[i]) << "call " << i + 1;
            EXPECT_FALSE(sim::ShouldFail("IoAllocateIrp")) << "other routines are untouched";
        }
        EXPECT_EQ(sim::CallCount("IoAllocateMdl"), c.callsBefore + static_cast<int>(c.expected.size()));
    }
    EXPECT_THROW(sim::FailNthCall("IoAllocateMdl", 0), std::invalid_argument);
}

TEST_F(SimCore, FaultCountingIsThreadSafe) {
    sim::FailNthCall("IoAllocateIrp", 500);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                if (sim::ShouldFail("IoAllocateIrp")) ++failures;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(sim::CallCount("IoAllocateIrp"), 1000);
}

TEST_F(SimCore, ResetRunsHooksInOrderAndRebootsTimeFaultsAndIrql) {
    // Hooks stay registered for the life of the process; these only write to
    // this test's own list.
    auto order = std::make_shared<std::vector<int>>();
    sim::RegisterResetHook([order] { order->push_back(1); });
    sim::RegisterResetHook([order] { order->push_back(2); });

    sim::SetTickCount(1234);
    sim::SetTimeIncrement(100000);
    sim::FailNthCall("IoCreateDevice", 1);
    sim::SetIrql(DISPATCH_LEVEL);
    sim::ResetKernel();

    EXPECT_EQ(*order, (std::vector<int>{1, 2}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(sim::ShouldFail("IoCreateDevice"));
    LARGE_INTEGER ticks;
    ticks.QuadPart = -1;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 0);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);

    sim::SetTickCount(0x123456789ull);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 0x123456789ll);
}

// ---------------------------------------------------------------------------
// Pool

TEST_F(SimCore, PoolTracksEachBlockUntilFreedAndReportsLeaksByTag) {
    auto* first = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
    void* second = ExAllocatePoolWithTag(PagedPool, 8, 0x206B6444);  // "Ddk "
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first[0], 0) << "fresh pool is not zeroed";
    EXPECT_EQ(first[0], first[31]);

    const std::vector<sim::PoolLeak> leaks = sim::PoolLeaks();
    ASSERT_EQ(leaks.size(), 2u);
    EXPECT_EQ(leaks[0].tag, kTag);
    EXPECT_EQ(leaks[0].bytes, 32u);
    EXPECT_EQ(leaks[0].address, first);
    EXPECT_EQ(leaks[1].tag, 0x206B6444u);
    EXPECT_TRUE(testing::internal::RE::FullMatch(sim::LeakReport(),
                                                 "pool leak: tag 'ZKtg' 32 bytes at 0x[0-9A-F]{16}\n"
                                                 "pool leak: tag 'Ddk ' 8 bytes at 0x[0-9A-F]{16}\n"))
        << sim::LeakReport();

    ExFreePoolWithTag(first, kTag);
    ExFreePool(second);
    EXPECT_EQ(sim::LeakReport(), "");
    EXPECT_TRUE(sim::PoolLeaks().empty());
}

TEST_F(SimCore, InjectedPoolFailureReturnsNullAndCountsTheCall) {
    sim::FailNthCall("ExAllocatePoolWithTag", 2);
    void* ok = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), nullptr);
    EXPECT_EQ(sim::PoolLeaks().size(), 1u);
    EXPECT_EQ(sim::CallCount("ExAllocatePoolWithTag"), 2);
    ExFreePool(ok);
}

TEST_F(SimCore, ResetFreesWhatIsLeft) {
    ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    sim::PoolAllocate(10, kTag);
    EXPECT_EQ(sim::PoolLeaks().size(), 2u);
    sim::ResetKernel();
    EXPECT_EQ(sim::LeakReport(), "");
}

TEST_F(SimCore, PoolMisuseBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            ExFreePool(p);
            ExFreePool(p);
        },
        "BAD_POOL_CALLER in ExFreePool.*already freed");
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            ExFreePoolWithTag(p, 0x206B6444);
        },
        "BAD_POOL_CALLER in ExFreePoolWithTag.*tag 'ZKtg', freed with tag 'Ddk '");
    EXPECT_DEATH(
        {
            static int notPool;
            ExFreePool(&notPool);
        },
        "BAD_POOL_CALLER in ExFreePool.*not the start of a pool block");
    EXPECT_DEATH(
        {
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 16, kTag);
        },
        "IRQL_NOT_LESS_OR_EQUAL in ExAllocatePoolWithTag");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION in ExAllocatePoolWithTag");
}

TEST_F(SimCore, PoolAddressesRepeatAfterAResetWithDeterministicAddresses) {
    sim::UseDeterministicAddresses(true);
    std::vector<void*> runs[2];
    for (auto& run : runs) {
        sim::ResetKernel();
        run.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTag));
        run.push_back(sim::PoolAllocate(16, kTag));
        ExFreePool(run[0]);
        run.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTag));
        EXPECT_NE(run[2], run[0]) << "a freed block's address is not handed out again";
        EXPECT_EQ(static_cast<unsigned char*>(run[2])[47], 0xCD);
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(sim::PoolLeaks().size(), 2u);
    sim::UseDeterministicAddresses(false);
}

TEST_F(SimCore, NonPagedPoolWorksAtDispatchLevel) {
    sim::IrqlScope dispatch(DISPATCH_LEVEL);
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
    ASSERT_NE(p, nullptr);
    ExFreePool(p);
}

// ---------------------------------------------------------------------------
// Debugger output

TEST_F(SimCore, DbgPrintRecordsEachCallSeparately) {
    std::ostringstream stream;
    std::vector<std::string> observed;
    sim::SetDebugStream(&stream);
    sim::SetDebugObserver([&](const std::string& text) { observed.push_back(text); });

    DbgPrint("%s", "ZK: ");
    DbgPrint("IRP 0x%X status %08lX\n", 0x1234u, 0xC0000001u);

    ASSERT_EQ(sim::DebugCalls().size(), 2u);
    EXPECT_EQ(sim::DebugCalls()[0].text, "ZK: ");
    EXPECT_EQ(sim::DebugCalls()[1].text, "IRP 0x1234 status C0000001\n");
    EXPECT_EQ(sim::DebugText(), "ZK: IRP 0x1234 status C0000001\n");
    EXPECT_EQ(stream.str(), sim::DebugText());
    EXPECT_EQ(observed, (std::vector<std::string>{"ZK: ", "IRP 0x1234 status C0000001\n"}));

    sim::ClearDebugOutput();
    EXPECT_TRUE(sim::DebugCalls().empty());
}

TEST_F(SimCore, DbgPrintSendsAtMost512BytesAndEndsACutLineWithABreak) {
    struct Case {
        size_t length;
        std::string expected;
    };
    const std::string a511(511, 'a');
    const Case cases[] = {
        {511, a511},
        {512, a511 + "a"},
        {513, a511 + "\n"},
        {4000, a511 + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        sim::ClearDebugOutput();
        DbgPrint("%s", std::string(c.length, 'a').c_str());
        ASSERT_EQ(sim::DebugCalls().size(), 1u);
        EXPECT_EQ(sim::DebugCalls()[0].text, c.expected);
    }
}

TEST_F(SimCore, DbgPrintWorksAtDispatchButWideConversionsDoNot) {
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        DbgPrint("%s", "completion\n");
    }
    EXPECT_EQ(sim::DebugText(), "completion\n");
    DbgPrint("%ws\n", u"passive");
    EXPECT_EQ(sim::DebugText(), "completion\npassive\n");

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            DbgPrint("%ws\n", u"name");
        },
        "IRQL_NOT_LESS_OR_EQUAL in %ws");
}

// ---------------------------------------------------------------------------
// Events

TEST_F(SimCore, WaitBlocksUntilAnotherThreadSetsTheEvent) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> set{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        set = true;
        sim::IrqlScope dispatch(DISPATCH_LEVEL);  // completion routines set events here
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(set);
    setter.join();
}

TEST_F(SimCore, EventKindsDifferInWhoGetsThrough) {
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    struct Case {
        EVENT_TYPE type;
        NTSTATUS secondWait;
    };
    for (const Case c : {Case{NotificationEvent, STATUS_SUCCESS}, Case{SynchronizationEvent, STATUS_TIMEOUT}}) {
        SCOPED_TRACE(c.type);
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "returns the previous state";
        EXPECT_EQ(event.Header.SignalState, 1);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), c.secondWait);
    }
}

TEST_F(SimCore, RelativeTimeoutExpires) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000;  // 20 ms
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

TEST_F(SimCore, ReinitialisingAnEventResetsIt) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(SimCore, EventMisuseBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL in KeWaitForSingleObject");
    EXPECT_DEATH(
        {
            KEVENT event;
            std::memset(&event, 0, sizeof event);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject.*not an initialised event");

    // A zero time-out is a poll, which DISPATCH_LEVEL allows.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    sim::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
}

}  // namespace
