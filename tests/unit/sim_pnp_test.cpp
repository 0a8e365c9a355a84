// The loader, the Plug and Play and power managers' requests, and the
// simulated bus driver that answers at the bottom of each stack.
#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"

namespace {

// ---------------------------------------------------------------------------
// A well-behaved filter: passes everything down, leaves on removal.

struct Extension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension)->lower; }

NTSTATUS Pass(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Lower(device), irp);
}

NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(device), irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return Pass(device, irp);
    PDEVICE_OBJECT lower = Lower(device);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

// Set before a load to break the filter's add-device routine on purpose.
bool g_leaveInitializing = false;
NTSTATUS g_addDeviceStatus = STATUS_SUCCESS;
PDEVICE_OBJECT g_addedFor = nullptr;

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    g_addedFor = pdo;
    if (!NT_SUCCESS(g_addDeviceStatus)) return g_addDeviceStatus;
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    static_cast<Extension*>(device->DeviceExtension)->lower = lower;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (!g_leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

std::u16string g_registryPath;

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_registryPath.assign(registryPath->Buffer, registryPath->Length / 2);
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = Pass;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

class PnpTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
        g_leaveInitializing = false;
        g_addDeviceStatus = STATUS_SUCCESS;
        g_addedFor = nullptr;
    }
    void TearDown() override { sim::ResetKernel(); }

    // A PDO with the filter added on top.
    sim::Pdo& FilteredPdo(ULONG flags = DO_POWER_PAGABLE) {
        sim::PdoOptions options;
        options.flags = flags;
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\USBPDO-3", options);
        driver_ = sim::LoadDriver(FilterEntry, "zelkor");
        EXPECT_EQ(sim::PnpAddDevice(driver_, pdo.Device()), STATUS_SUCCESS);
        return pdo;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

std::string Utf8(const UNICODE_STRING& s) { return sim::detail::Narrow(std::u16string_view(s.Buffer, s.Length / 2)); }

// ---------------------------------------------------------------------------
// Loader

TEST_F(PnpTest, LoadedDriverHasItsNamesItsServiceKeyAndADefaultDispatchTable) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver(
        [](PDRIVER_OBJECT, PUNICODE_STRING path) -> NTSTATUS {
            g_registryPath.assign(path->Buffer, path->Length / 2);
            return STATUS_SUCCESS;
        },
        "zelkor", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Utf8(driver->DriverName), "\\Driver\\zelkor");
    EXPECT_EQ(Utf8(driver->DriverExtension->ServiceKeyName), "zelkor");
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(sim::detail::Narrow(g_registryPath), "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zelkor");
    EXPECT_TRUE(sim::Registry().KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zelkor"));

    // A major function the driver did not fill fails, as on Windows.
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    const sim::IoResult result = sim::Send(device, sim::Request(IRP_MJ_READ));
    EXPECT_EQ(result.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.final, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    // Without an unload routine the driver stays.
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpTest, LoadFailsForATakenServiceNameAndForAFailingEntry) {
    NTSTATUS status;
    ASSERT_NE(sim::LoadDriver(FilterEntry, "zelkor", &status), nullptr);
    EXPECT_EQ(sim::LoadDriver(FilterEntry, "ZELKOR", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(sim::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_NO_SUCH_DEVICE; },
                              "failing", &status),
              nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    // The failed driver's name is free again.
    EXPECT_NE(sim::LoadDriver(FilterEntry, "failing", &status), nullptr);
}

TEST_F(PnpTest, DevicesMadeInDriverEntryAreReadyAfterwards) {
    PDRIVER_OBJECT driver = sim::LoadDriver(
        [](PDRIVER_OBJECT self, PUNICODE_STRING) -> NTSTATUS {
            PDEVICE_OBJECT device;
            return IoCreateDevice(self, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        },
        "legacy");
    ASSERT_EQ(sim::DevicesOf(driver).size(), 1u);
    EXPECT_EQ(sim::DevicesOf(driver)[0]->Flags & DO_DEVICE_INITIALIZING, 0u);
}

TEST_F(PnpTest, CleanUnloadFreesTheServiceName) {
    PDRIVER_OBJECT driver = sim::LoadDriver(FilterEntry, "zelkor");
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_INVALID_PARAMETER);
    EXPECT_NE(sim::LoadDriver(FilterEntry, "zelkor"), nullptr);
}

TEST_F(PnpTest, UnloadWithDevicesLeftBugChecks) {
    EXPECT_DEATH(
        {
            sim::Pdo& pdo = FilteredPdo();
            (void)pdo;
            sim::UnloadDriver(driver_);
        },
        "STOP: UnloadWithDevices in DriverUnload of \\\\Driver\\\\zelkor");
}

TEST_F(PnpTest, DriverEntryThatChangesIrqlBugChecks) {
    EXPECT_DEATH(sim::LoadDriver(
                     [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
                         sim::SetIrql(APC_LEVEL);
                         return STATUS_SUCCESS;
                     },
                     "raiser"),
                 "STOP: IrqlChangedByDriverEntry in DriverEntry of \\\\Driver\\\\raiser");
}

// ---------------------------------------------------------------------------
// Add-device

TEST_F(PnpTest, AddDeviceGetsThePdoAndItsStatusComesBack) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PDRIVER_OBJECT driver = sim::LoadDriver(FilterEntry, "zelkor");
    g_addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_addedFor, pdo.Device());
    g_addDeviceStatus = STATUS_SUCCESS;
    EXPECT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
    EXPECT_EQ(sim::TopOfStack(pdo.Device())->DriverObject, driver);

    PDRIVER_OBJECT legacy = sim::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return 0; }, "legacy");
    EXPECT_EQ(sim::PnpAddDevice(legacy, pdo.Device()), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpTest, AddDeviceThatLeavesDeviceInitializingBugChecks) {
    g_leaveInitializing = true;
    EXPECT_DEATH(FilteredPdo(), "STOP: DeviceInitializingNotCleared in AddDevice of \\\\Driver\\\\zelkor");
}

// A stop is held against the driver whose routine broke the rule, also when
// the kernel finds it only after the routine returned (what the simulator
// tells its user); against nobody when no driver's routine is involved.
TEST_F(PnpTest, AStopIsHeldAgainstTheDriverWhoseRoutineLeftTheFault) {
    const auto saying = [](auto stop) {
        sim::SetBugCheckHandler([](const std::string&) {
            PDRIVER_OBJECT driver = sim::AnswerableDriver();
            std::fprintf(stderr, "held against %s\n",
                         driver == nullptr                   ? "nobody"
                         : driver->DriverInit == FilterEntry ? "the filter"
                                                             : "another driver");
        });
        stop();
    };
    g_leaveInitializing = true;
    EXPECT_DEATH(saying([this] { FilteredPdo(); }), "held against the filter");
    g_leaveInitializing = false;
    EXPECT_DEATH(saying([this] {
                     FilteredPdo();
                     sim::UnloadDriver(driver_);
                 }),
                 "held against the filter");
    EXPECT_DEATH(saying([] {
                     sim::IrqlScope high(DISPATCH_LEVEL);
                     sim::PnpStartDevice(sim::CreatePdo("\\Device\\00000062").Device());
                 }),
                 "held against nobody");
}

// ---------------------------------------------------------------------------
// Plug and Play and power requests

TEST_F(PnpTest, PnpRequestsReachTheBottomAsThePnpManagerSendsThem) {
    sim::Pdo& pdo = FilteredPdo();
    const struct {
        sim::IoResult (*send)(PDEVICE_OBJECT);
        UCHAR minor;
    } cases[] = {
        {sim::PnpStartDevice, IRP_MN_START_DEVICE},
        {sim::PnpQueryStopDevice, IRP_MN_QUERY_STOP_DEVICE},
        {sim::PnpStopDevice, IRP_MN_STOP_DEVICE},
        {sim::PnpCancelStopDevice, IRP_MN_CANCEL_STOP_DEVICE},
        {sim::PnpQueryRemoveDevice, IRP_MN_QUERY_REMOVE_DEVICE},
        {sim::PnpCancelRemoveDevice, IRP_MN_CANCEL_REMOVE_DEVICE},
    };
    for (const auto& c : cases) {
        pdo.ClearReceived();
        const sim::IoResult result = c.send(pdo.Device());
        EXPECT_EQ(result.final, STATUS_SUCCESS) << int(c.minor);
        const auto received = pdo.Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].major, IRP_MJ_PNP);
        EXPECT_EQ(received[0].minor, c.minor);
        EXPECT_EQ(received[0].initialStatus, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(received[0].irql, PASSIVE_LEVEL);
        EXPECT_EQ(received[0].completedWith, STATUS_SUCCESS);
    }
    // What the bus does not handle comes back as it was sent.
    EXPECT_EQ(sim::PnpRequest(pdo.Device(), IRP_MN_QUERY_CAPABILITIES).final, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::PnpRequest(pdo.Device(), 0x0E).final, STATUS_NOT_SUPPORTED);
}

TEST_F(PnpTest, PowerRequestsGoThroughPoCallDriverAtTheIrqlTheStackAllows) {
    for (const ULONG flags : {ULONG{DO_POWER_PAGABLE}, ULONG{0}}) {
        sim::ResetKernel();
        sim::Pdo& pdo = FilteredPdo(flags);
        const KIRQL expectedIrql = flags ? PASSIVE_LEVEL : DISPATCH_LEVEL;
        EXPECT_EQ(sim::PowerIrql(pdo.Device()), expectedIrql);
        int sequence = 0;
        const sim::IoResult results[] = {
            sim::PowerSetState(pdo.Device(), DevicePowerState, PowerDeviceD3),
            sim::PowerQueryState(pdo.Device(), SystemPowerState, PowerSystemSleeping2),
            sim::PowerWaitWake(pdo.Device(), 3),
            sim::PowerSequence(pdo.Device(), &sequence),
            sim::PowerRequest(pdo.Device(), 0x04),
        };
        for (const sim::IoResult& result : results)
            EXPECT_EQ(result.final, STATUS_SUCCESS);
        const auto received = pdo.Received();
        ASSERT_EQ(received.size(), 5u);
        const UCHAR minors[] = {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, 0x04};
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(received[i].major, IRP_MJ_POWER);
            EXPECT_EQ(received[i].minor, minors[i]);
            EXPECT_EQ(received[i].irql, expectedIrql) << i;
            EXPECT_TRUE(received[i].viaPoCallDriver) << i;
            EXPECT_EQ(received[i].initialStatus, STATUS_NOT_SUPPORTED);
        }
        EXPECT_EQ(received[0].location.Parameters.Power.Type, DevicePowerState);
        EXPECT_EQ(received[0].location.Parameters.Power.State.DeviceState, PowerDeviceD3);
        EXPECT_EQ(received[1].location.Parameters.Power.Type, SystemPowerState);
        EXPECT_EQ(received[3].location.Parameters.Others.Argument1, &sequence);
    }
}

// ---------------------------------------------------------------------------
// Removal

TEST_F(PnpTest, RemovalKeepsAPresentPdoAndDeletesOneThatIsGone) {
    enum class Before { Nothing, SurpriseRemoval, Unplug };
    for (const Before before : {Before::Nothing, Before::SurpriseRemoval, Before::Unplug}) {
        sim::ResetKernel();
        sim::Pdo& pdo = FilteredPdo();
        PDEVICE_OBJECT device = pdo.Device();
        if (before == Before::SurpriseRemoval) EXPECT_EQ(sim::PnpSurpriseRemoval(device).final, STATUS_SUCCESS);
        if (before == Before::Unplug) pdo.Unplug();
        EXPECT_EQ(sim::PnpRemoveDevice(device).final, STATUS_SUCCESS);
        // The filter left the stack either way.
        EXPECT_TRUE(sim::DevicesOf(driver_).empty());
        const bool gone = before != Before::Nothing;
        EXPECT_EQ(pdo.Deleted(), gone);
        EXPECT_EQ(sim::IsLiveDevice(device), !gone);
        EXPECT_EQ(sim::FindDevice("\\Device\\USBPDO-3") != nullptr, !gone);
        EXPECT_EQ(pdo.Received().back().minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    }
}

TEST_F(PnpTest, FilterThatStaysAttachedAfterRemovalOfAGoneDeviceBugChecks) {
    EXPECT_DEATH(
        {
            sim::Pdo& pdo = FilteredPdo();
            driver_->MajorFunction[IRP_MJ_PNP] = Pass;  // forgets to detach and delete
            sim::PnpSurpriseRemoval(pdo.Device());
            sim::PnpRemoveDevice(pdo.Device());
        },
        "STOP: AttachedToDeletedDevice in IRP_MN_REMOVE_DEVICE.*of \\\\Driver\\\\zelkor is still attached to the "
        "deleted device .* of \\\\Driver\\\\simbus");
}

// ---------------------------------------------------------------------------
// The bus's answers

TEST_F(PnpTest, BusDefaultsAnswerAsABusDriverWould) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    const struct {
        UCHAR major;
        NTSTATUS initial;
        NTSTATUS expected;
    } cases[] = {
        {IRP_MJ_CREATE, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MJ_CLOSE, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MJ_CLEANUP, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MJ_FLUSH_BUFFERS, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MJ_SHUTDOWN, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MJ_SYSTEM_CONTROL, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {IRP_MJ_READ, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
        {IRP_MJ_DEVICE_CONTROL, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
        {IRP_MJ_QUERY_INFORMATION, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& c : cases) {
        const sim::IoResult result = sim::Send(pdo.Device(), sim::Request(c.major).InitialStatus(c.initial));
        EXPECT_EQ(result.final, c.expected) << sim::detail::MajorName(c.major);
        EXPECT_EQ(result.returned, c.expected);
    }
}

// A model that answers every request it sees with its own status.
class CountingModel : public sim::DeviceModel {
public:
    NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) override {
        ++calls;
        irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_READY;
    }
    int calls = 0;
};

TEST_F(PnpTest, HandlerThenMinorRuleThenMajorRuleThenModelDecide) {
    auto model = std::make_shared<CountingModel>();
    sim::PdoOptions options;
    options.model = model;
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", options);
    pdo.SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_IO_TIMEOUT));
    pdo.SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x01, sim::Reply::Complete(STATUS_NO_SUCH_DEVICE));
    pdo.SetHandler([](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
        const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && location->MinorFunction == 0x02)
            return sim::Reply::Complete(STATUS_CANCELLED);
        return std::nullopt;
    });
    auto send = [&](UCHAR major, UCHAR minor) { return sim::Send(pdo.Device(), sim::Request(major, minor)).final; };
    EXPECT_EQ(send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x02), STATUS_CANCELLED);
    EXPECT_EQ(send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x01), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x00), STATUS_IO_TIMEOUT);
    EXPECT_EQ(model->calls, 0);
    EXPECT_EQ(send(IRP_MJ_READ, 0), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(model->calls, 1);
    // Plug and Play and power stay with the bus.
    EXPECT_EQ(sim::PnpStartDevice(pdo.Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::PowerSetState(pdo.Device(), DevicePowerState, 1).final, STATUS_SUCCESS);
    EXPECT_EQ(model->calls, 1);
    pdo.ClearRules();
    EXPECT_EQ(send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x00), STATUS_DEVICE_NOT_READY);
}

TEST_F(PnpTest, HeldRequestsCompleteOnReleaseFromAnotherThreadAtTheChosenIrql) {
    sim::Pdo& pdo = FilteredPdo();
    std::atomic<KIRQL> irql{0xFF};
    pdo.SetRule(IRP_MJ_READ,
                sim::Reply::Hold(STATUS_SUCCESS, 9, PASSIVE_LEVEL).Fill([&](PIRP) { irql = KeGetCurrentIrql(); }));
    char data[16];
    // One at a time, so that the oldest held request is the first one sent.
    auto first = sim::SendAsync(pdo.Device(), sim::Request::Read(data, sizeof data));
    while (pdo.HeldCount() < 1)
        std::this_thread::yield();
    auto second = sim::SendAsync(pdo.Device(), sim::Request::Read(data, sizeof data));
    while (pdo.HeldCount() < 2)
        std::this_thread::yield();
    EXPECT_EQ(pdo.Release(1), 1u);
    const sim::IoResult result = first.get();
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 9u);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(pdo.HeldCount(), 1u);
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    EXPECT_EQ(pdo.Release(), 1u);
    EXPECT_EQ(second.get().final, STATUS_SUCCESS);
    const auto received = pdo.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].returned, STATUS_PENDING);
    EXPECT_TRUE(received[0].completed);
    EXPECT_EQ(received[0].information, 9u);
}

TEST_F(PnpTest, CancelledHeldRequestReachesACancelRoutineWithTheCancelFlag) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_READ, sim::Reply::Hold(STATUS_SUCCESS));
    static std::atomic<int> cancelledCalls;
    cancelledCalls = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP own, PVOID) -> NTSTATUS {
            if (own->Cancel && own->IoStatus.Status == STATUS_CANCELLED) ++cancelledCalls;
            return STATUS_SUCCESS;
        },
        nullptr, FALSE, FALSE, TRUE);
    auto sent = sim::SendIrpAsync(pdo.Device(), irp);
    while (pdo.HeldCount() < 1)
        std::this_thread::yield();
    EXPECT_EQ(pdo.CancelHeld(), 1u);
    EXPECT_EQ(sent.get().final, STATUS_CANCELLED);
    EXPECT_EQ(cancelledCalls, 1);
}

TEST_F(PnpTest, PendedRequestCompletesAfterItsDelay) {
    sim::Pdo& pdo = FilteredPdo();
    pdo.SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Pend(STATUS_IO_DEVICE_ERROR, 0, std::chrono::milliseconds(30)));
    const auto start = std::chrono::steady_clock::now();
    const sim::IoResult result = sim::Send(pdo.Device(), sim::Request(IRP_MJ_FLUSH_BUFFERS));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(pdo.Received()[0].irql, PASSIVE_LEVEL);
    pdo.WaitIdle();
}

TEST_F(PnpTest, PdoCarriesItsTypeFlagsAndName) {
    sim::PdoOptions options;
    options.deviceType = FILE_DEVICE_MASS_STORAGE;
    options.flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    options.characteristics = 0x1;
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\USBPDO-3", options);
    PDEVICE_OBJECT device = pdo.Device();
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_MASS_STORAGE));
    EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(device->Characteristics, 0x1u);
    EXPECT_EQ(device->DriverObject, sim::BusDriver());
    EXPECT_EQ(Utf8(sim::BusDriver()->DriverName), "\\Driver\\simbus");
    EXPECT_TRUE(sim::IsPdo(device));
    EXPECT_EQ(sim::FindPdo(device), &pdo);
    EXPECT_EQ(pdo.Name(), "\\Device\\USBPDO-3");
    EXPECT_THROW(sim::CreatePdo("\\Device\\usbpdo-3"), std::invalid_argument);
}

}  // namespace
