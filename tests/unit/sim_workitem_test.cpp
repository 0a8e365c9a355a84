// The kernel's work items: a queued item runs at PASSIVE_LEVEL on the
// worker thread while its device object stays referenced, even past the
// device's deletion; a misused item is a bug check.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/ntioctl.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/pnp.h"
#include "simkernel/workitem.h"

namespace {

NTSTATUS Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

struct Ran {
    std::atomic<int> count{0};
    KIRQL irql = 0xFF;
    std::thread::id thread;
    PIO_WORKITEM item = nullptr;
};

VOID Routine(PDEVICE_OBJECT, PVOID Context) {
    auto* ran = static_cast<Ran*>(Context);
    ran->irql = KeGetCurrentIrql();
    ran->thread = std::this_thread::get_id();
    IoFreeWorkItem(ran->item);
    ++ran->count;
}

// What the item's routine had done when the driver's unload routine ran.
int routinesRunAtUnload = -1;
Ran* unloadWatches = nullptr;

VOID Unload(PDRIVER_OBJECT) { routinesRunAtUnload = unloadWatches->count; }

PDEVICE_OBJECT MakeDevice() {
    PDRIVER_OBJECT driver = sim::LoadDriver(Entry, "worker");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    return device;
}

TEST(WorkItems, QueuedAtDispatchRunsAtPassiveAndKeepsTheDeviceAndItsDriverUntilThen) {
    sim::ResetKernel();
    PDEVICE_OBJECT device = MakeDevice();
    PDRIVER_OBJECT driver = device->DriverObject;
    driver->DriverUnload = Unload;
    Ran ran;
    unloadWatches = &ran;
    sim::HoldWorkItems(true);
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        ran.item = IoAllocateWorkItem(device);
        ASSERT_NE(ran.item, nullptr);
        IoQueueWorkItem(ran.item, Routine, DelayedWorkQueue, &ran);
    }
    const LONG held = sim::ObjectReferences(device);
    IoDeleteDevice(device);  // gone from the namespace, alive for the item
    EXPECT_TRUE(sim::IsLiveDevice(device));
    EXPECT_EQ(sim::QueuedWorkItems(), 1u);
    EXPECT_EQ(ran.count, 0);
    // The driver's code stays until the item has run: its unload waits.
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_PENDING);
    EXPECT_EQ(routinesRunAtUnload, -1);

    sim::HoldWorkItems(false);
    sim::WaitForWorkItems();
    EXPECT_EQ(ran.count, 1);
    EXPECT_EQ(routinesRunAtUnload, 1);
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ran.irql, PASSIVE_LEVEL);
    EXPECT_NE(ran.thread, std::this_thread::get_id());
    EXPECT_GT(held, 1);
    EXPECT_FALSE(sim::IsLiveDevice(device));
    EXPECT_EQ(sim::LeakReport(), "");
    sim::ResetKernel();
}

TEST(WorkItemsDeathTest, FreedWhileQueuedIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::ResetKernel();
            PDEVICE_OBJECT device = MakeDevice();
            Ran ran;
            sim::HoldWorkItems(true);
            ran.item = IoAllocateWorkItem(device);
            IoQueueWorkItem(ran.item, Routine, DelayedWorkQueue, &ran);
            IoFreeWorkItem(ran.item);
        },
        "still waits in the queue");
}

}  // namespace
