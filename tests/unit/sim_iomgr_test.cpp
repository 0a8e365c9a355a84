// The simulated I/O manager with well-behaved drivers: names, stacks, the
// layout and walk of request packets, the buffers the I/O manager builds,
// and handles that outlive their device's deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/ntrtl.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"

namespace {

// ---------------------------------------------------------------------------
// A small filter driver whose dispatch routine each test chooses.

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

PDRIVER_DISPATCH g_dispatch = nullptr;

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = g_dispatch;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) { return static_cast<FilterExtension*>(device->DeviceExtension)->lower; }

NTSTATUS SkipAndCall(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Lower(device), irp);
}

NTSTATUS CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// What the completion routine of CopyWithCompletion saw.
struct CompletionSeen {
    std::atomic<int> calls{0};
    std::atomic<PDEVICE_OBJECT> device{nullptr};
    std::atomic<KIRQL> irql{0};
    std::atomic<std::thread::id> thread{};
    std::atomic<bool> pendingReturned{false};
};
CompletionSeen* g_seen = nullptr;

NTSTATUS PropagatingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    g_seen->calls++;
    g_seen->device = device;
    g_seen->irql = KeGetCurrentIrql();
    g_seen->thread = std::this_thread::get_id();
    g_seen->pendingReturned = irp->PendingReturned != FALSE;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CopyWithCompletion(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PropagatingCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(device), irp);
}

// Waits for the lower devices, then completes the IRP itself.
NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS WaitThenComplete(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower(device), irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    irp->IoStatus.Information = 0x42;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The pattern of a filter that traces results: marks pending, copies,
// installs its routine and always returns STATUS_PENDING.
NTSTATUS MarkCopyReturnPending(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PropagatingCompletion, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(Lower(device), irp);
    return STATUS_PENDING;
}

// Copies without a completion routine: the I/O manager carries the pending
// bit up by itself.
NTSTATUS CopyNoRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Lower(device), irp);
}

class IoManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        g_seen = &seen_;
    }
    void TearDown() override {
        sim::ResetKernel();
        g_seen = nullptr;
    }

    PDRIVER_OBJECT LoadFilter(PDRIVER_DISPATCH dispatch) {
        g_dispatch = dispatch;
        NTSTATUS status;
        PDRIVER_OBJECT driver = sim::LoadDriver(FilterEntry, "testfilter" + std::to_string(++loaded_), &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return driver;
    }

    // A filter device of the driver, attached on top of the target's stack.
    PDEVICE_OBJECT AttachFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT target) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        static_cast<FilterExtension*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, target);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    CompletionSeen seen_;
    int loaded_ = 0;
};

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// ---------------------------------------------------------------------------
// Names

TEST_F(IoManagerTest, DeviceNamesCollideCaseInsensitivelyAndAreFreedByDeletion) {
    PDRIVER_OBJECT driver = LoadFilter(CompleteSuccess);
    UNICODE_STRING name = Counted(u"\\Device\\Zelkor1");
    UNICODE_STRING shouted = Counted(u"\\DEVICE\\ZELKOR1");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
    EXPECT_EQ(sim::FindDevice("\\device\\zelkor1"), first);
    EXPECT_EQ(IoCreateDevice(driver, 0, &shouted, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    IoDeleteDevice(first);
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    ASSERT_EQ(IoCreateDevice(driver, 0, &shouted, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), second);
    EXPECT_EQ(sim::DeviceName(second), "\\DEVICE\\ZELKOR1");
    IoDeleteDevice(second);
}

TEST_F(IoManagerTest, NamesOutsideAKnownDirectoryOrMalformedAreRefused) {
    PDRIVER_OBJECT driver = LoadFilter(CompleteSuccess);
    const struct {
        const char16_t* name;
        NTSTATUS expected;
    } cases[] = {
        {u"\\Nowhere\\Zelkor1", STATUS_OBJECT_PATH_NOT_FOUND}, {u"Device\\Zelkor1", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\", STATUS_OBJECT_NAME_INVALID},           {u"\\Device\\\\Zelkor1", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device", STATUS_OBJECT_NAME_COLLISION},
    };
    for (const auto& c : cases) {
        UNICODE_STRING name = Counted(c.name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), c.expected)
            << sim::detail::Narrow(c.name);
        EXPECT_EQ(device, nullptr);
    }
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
}

TEST_F(IoManagerTest, SymbolicLinksCollideResolveAndDelete) {
    UNICODE_STRING link = Counted(u"\\DosDevices\\Zelkor1");
    UNICODE_STRING sameLink = Counted(u"\\??\\ZELKOR1");
    UNICODE_STRING target = Counted(u"\\Device\\Zelkor1");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(sim::SymbolicLinkTarget("\\??\\Zelkor1"), "\\Device\\Zelkor1");
    EXPECT_EQ(sim::SymbolicLinkTarget("\\\\.\\zelkor1"), "\\Device\\Zelkor1");
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(IoDeleteSymbolicLink(&sameLink), STATUS_SUCCESS);
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), std::nullopt);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);

    // A link to a device that is not there (yet) is allowed; opening it is not.
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(sim::OpenFile("\\DosDevices\\Zelkor1").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::OpenFile("\\Elsewhere\\Zelkor1").status, STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(IoManagerTest, SymbolicLinkCreationCanBeFailedByFaultInjection) {
    UNICODE_STRING link = Counted(u"\\DosDevices\\Zelkor1");
    UNICODE_STRING target = Counted(u"\\Device\\Zelkor1");
    sim::FailNthCall("IoCreateSymbolicLink", 1);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), std::nullopt);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Devices and stacks

TEST_F(IoManagerTest, CreatedDeviceCarriesAZeroedExtensionAndStartsInitializing) {
    PDRIVER_OBJECT driver = LoadFilter(CompleteSuccess);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_DISK, 0x100, TRUE, &device), STATUS_SUCCESS);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
    EXPECT_EQ(device->Characteristics, 0x100u);
    EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    // One allocation: the extension follows the device object.
    auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
    EXPECT_GE(extension, reinterpret_cast<unsigned char*>(device) + sizeof(DEVICE_OBJECT));
    EXPECT_LT(extension, reinterpret_cast<unsigned char*>(device) + sizeof(DEVICE_OBJECT) + 16);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(extension[i], 0) << i;

    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_EQ(sim::DevicesOf(driver), (std::vector<PDEVICE_OBJECT>{second, device}));
    IoDeleteDevice(device);
    EXPECT_EQ(sim::DevicesOf(driver), (std::vector<PDEVICE_OBJECT>{second}));
    IoDeleteDevice(second);
}

TEST_F(IoManagerTest, DeviceCreationCanBeFailedByFaultInjection) {
    PDRIVER_OBJECT driver = LoadFilter(CompleteSuccess);
    UNICODE_STRING name = Counted(u"\\Device\\Zelkor1");
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    sim::FailNthCall("IoCreateDevice", 1);
    EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, AttachingGoesOnTopOfTheStackAndGrowsStackSize) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PDRIVER_OBJECT driver = LoadFilter(SkipAndCall);
    PDEVICE_OBJECT first = AttachFilter(driver, pdo.Device());
    // Attaching to the PDO again lands on top of the first filter.
    PDEVICE_OBJECT second = AttachFilter(driver, pdo.Device());
    EXPECT_EQ(Lower(first), pdo.Device());
    EXPECT_EQ(Lower(second), first);
    EXPECT_EQ(pdo.Device()->StackSize, 1);
    EXPECT_EQ(first->StackSize, 2);
    EXPECT_EQ(second->StackSize, 3);
    EXPECT_EQ(sim::TopOfStack(pdo.Device()), second);
    EXPECT_EQ(sim::AttachedTo(second), first);

    IoDetachDevice(first);
    IoDeleteDevice(second);
    EXPECT_EQ(sim::TopOfStack(pdo.Device()), first);
    IoDetachDevice(pdo.Device());
    IoDeleteDevice(first);
    EXPECT_EQ(pdo.Device()->AttachedDevice, nullptr);
}

// In a removal each driver passes the request down before it detaches and
// deletes its device, so the lower devices are deleted first.
TEST_F(IoManagerTest, LowerDeviceDeletedFirstLivesUntilTheDeviceAboveDetaches) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PDRIVER_OBJECT driver = LoadFilter(SkipAndCall);
    PDEVICE_OBJECT lower = AttachFilter(driver, pdo.Device());
    PDEVICE_OBJECT upper = AttachFilter(driver, pdo.Device());

    IoDetachDevice(pdo.Device());
    IoDeleteDevice(lower);
    EXPECT_TRUE(sim::IsDeleted(lower));
    EXPECT_TRUE(sim::IsLiveDevice(lower));
    EXPECT_EQ(lower->AttachedDevice, upper);

    IoDetachDevice(lower);
    EXPECT_FALSE(sim::IsLiveDevice(lower));
    IoDeleteDevice(upper);
    EXPECT_FALSE(sim::IsLiveDevice(upper));
}

TEST_F(IoManagerTest, AttachCanBeFailedByFaultInjection) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PDRIVER_OBJECT driver = LoadFilter(SkipAndCall);
    sim::FailNthCall("IoAttachDeviceToDeviceStack", 1);
    PDEVICE_OBJECT filter = AttachFilter(driver, pdo.Device());
    EXPECT_EQ(Lower(filter), nullptr);
    EXPECT_EQ(pdo.Device()->AttachedDevice, nullptr);
    IoDeleteDevice(filter);
}

TEST_F(IoManagerTest, AttachedDeviceReferenceKeepsADeletedDeviceInMemory) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PDRIVER_OBJECT driver = LoadFilter(SkipAndCall);
    PDEVICE_OBJECT filter = AttachFilter(driver, pdo.Device());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo.Device());
    ASSERT_EQ(top, filter);
    EXPECT_EQ(sim::ObjectReferences(filter), 2);

    IoDetachDevice(pdo.Device());
    IoDeleteDevice(filter);
    EXPECT_TRUE(sim::IsDeleted(filter));
    EXPECT_TRUE(sim::IsLiveDevice(filter));
    EXPECT_EQ(sim::DevicesOf(driver), std::vector<PDEVICE_OBJECT>{});
    EXPECT_EQ(ObDereferenceObject(top), 0);
    EXPECT_FALSE(sim::IsLiveDevice(filter));
}

TEST_F(IoManagerTest, PhysicalDeviceObjectNameComesWithItsNulAndItsNeededLength) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    const std::u16string expected(u"\\Device\\00000062");
    const ULONG needed = static_cast<ULONG>((expected.size() + 1) * 2);
    WCHAR buffer[64];
    ULONG length = 0;

    EXPECT_EQ(IoGetDeviceProperty(pdo.Device(), DevicePropertyPhysicalDeviceObjectName, needed - 2, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(IoGetDeviceProperty(pdo.Device(), DevicePropertyPhysicalDeviceObjectName, 0, nullptr, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, needed);

    length = 0;
    std::memset(buffer, 0xFF, sizeof buffer);
    ASSERT_EQ(IoGetDeviceProperty(pdo.Device(), DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(std::u16string(buffer), expected);
    EXPECT_EQ(buffer[expected.size()], 0);

    sim::FailNthCall("IoGetDeviceProperty", 1);
    EXPECT_EQ(IoGetDeviceProperty(pdo.Device(), DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &length),
              STATUS_INSUFFICIENT_RESOURCES);

    // An unnamed object's name is empty: just the terminating NUL.
    sim::Pdo& unnamed = sim::CreatePdo("");
    ASSERT_EQ(
        IoGetDeviceProperty(unnamed.Device(), DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &length),
        STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(IoManagerTest, WdmVersionAnswerIsSetByTheTest) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    sim::SetWdmVersionAvailable(false);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    sim::ResetKernel();
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
}

// ---------------------------------------------------------------------------
// Request packets

TEST_F(IoManagerTest, IrpStackLocationsFollowThePacket) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Type, 6);
    EXPECT_EQ(irp->Size, sizeof(IRP) + 3 * sizeof(IO_STACK_LOCATION));
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);

    sim::FailNthCall("IoAllocateIrp", 1);
    EXPECT_EQ(IoAllocateIrp(3, FALSE), nullptr);
}

TEST_F(IoManagerTest, SkippingFilterHandsTheLowerDeviceTheSameStackLocation) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(STATUS_BUFFER_OVERFLOW, 3));
    PDRIVER_OBJECT driver = LoadFilter(SkipAndCall);
    PDEVICE_OBJECT filter = AttachFilter(driver, pdo.Device());

    unsigned char input[4] = {1, 2, 3, 4};
    unsigned char output[8] = {};
    const sim::IoResult result =
        sim::Send(pdo.Device(), sim::Request::DeviceControl(0x2D1400 | 3, input, sizeof input, output, sizeof output));
    EXPECT_EQ(result.returned, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.final, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.information, 3u);

    const auto received = pdo.Received();
    ASSERT_EQ(received.size(), 1u);
    const IO_STACK_LOCATION& location = received[0].location;
    EXPECT_EQ(location.MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(location.Parameters.DeviceIoControl.IoControlCode, 0x2D1403u);
    EXPECT_EQ(location.Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(location.Parameters.DeviceIoControl.OutputBufferLength, 8u);
    EXPECT_EQ(location.Parameters.DeviceIoControl.Type3InputBuffer, input);
    EXPECT_EQ(location.DeviceObject, pdo.Device());
    EXPECT_EQ(location.CompletionRoutine, nullptr);
    (void)filter;
}

TEST_F(IoManagerTest, CompletionRoutineRunsOnTheCompletingThreadAtItsIrqlWithTheFiltersDevice) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_READ, sim::Reply::Pend(STATUS_SUCCESS, 512, std::chrono::milliseconds(5), DISPATCH_LEVEL));
    PDRIVER_OBJECT driver = LoadFilter(CopyWithCompletion);
    PDEVICE_OBJECT filter = AttachFilter(driver, pdo.Device());

    std::vector<unsigned char> data(512);
    const sim::IoResult result = sim::Send(pdo.Device(), sim::Request::Read(data.data(), 512, 0x1000));
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 512u);
    EXPECT_EQ(seen_.calls, 1);
    EXPECT_EQ(seen_.device, filter);
    EXPECT_EQ(seen_.irql, DISPATCH_LEVEL);
    EXPECT_NE(seen_.thread.load(), std::this_thread::get_id());
    EXPECT_TRUE(seen_.pendingReturned);
    EXPECT_EQ(pdo.Received().at(0).location.Parameters.Read.ByteOffset.QuadPart, 0x1000);
}

TEST_F(IoManagerTest, MarkPendingFilterSurvivesLowerDevicesThatCompleteAtOnceOrLater) {
    for (const sim::Reply& reply : {sim::Reply::Complete(STATUS_SUCCESS), sim::Reply::Complete(STATUS_IO_DEVICE_ERROR),
                                    sim::Reply::Pend(STATUS_SUCCESS, 7, std::chrono::milliseconds(1))}) {
        sim::ResetKernel();
        seen_.calls = 0;
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
        pdo.SetRule(IRP_MJ_FLUSH_BUFFERS, reply);
        AttachFilter(LoadFilter(MarkCopyReturnPending), pdo.Device());
        const sim::IoResult result = sim::Send(pdo.Device(), sim::Request(IRP_MJ_FLUSH_BUFFERS));
        EXPECT_EQ(result.returned, STATUS_PENDING);
        EXPECT_EQ(result.final, reply.status);
        EXPECT_EQ(seen_.calls, 1);
    }
}

TEST_F(IoManagerTest, PendingBitTravelsUpThroughALocationWithoutARoutine) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_WRITE, sim::Reply::Pend(STATUS_SUCCESS, 0, std::chrono::milliseconds(2)));
    PDEVICE_OBJECT filter = AttachFilter(LoadFilter(CopyNoRoutine), pdo.Device());
    AttachFilter(LoadFilter(CopyWithCompletion), filter);
    char data[16] = {};
    const sim::IoResult result = sim::Send(pdo.Device(), sim::Request::Write(data, sizeof data));
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    // The upper filter's routine saw the bit the I/O manager carried up.
    EXPECT_TRUE(seen_.pendingReturned);
}

TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    for (const bool pend : {false, true}) {
        sim::ResetKernel();
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
        pdo.SetRule(IRP_MJ_PNP, IRP_MN_START_DEVICE,
                    pend ? sim::Reply::Pend(STATUS_SUCCESS, 1, std::chrono::milliseconds(2))
                         : sim::Reply::Complete(STATUS_SUCCESS, 1));
        AttachFilter(LoadFilter(WaitThenComplete), pdo.Device());
        const sim::IoResult result = sim::PnpStartDevice(pdo.Device());
        EXPECT_EQ(result.returned, STATUS_SUCCESS) << pend;
        EXPECT_EQ(result.final, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 0x42u);
    }
}

// Regression: the sender freed its IRP only when a completion that had
// stopped with STATUS_MORE_PROCESSING_REQUIRED finished returning on the
// bus's worker, which could then free it after the kernel was reset.
NTSTATUS SignalThenLinger(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS WaitThenCompleteWhileTheRoutineLingers(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalThenLinger, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower(device), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(IoManagerTest, SenderFreesItsIrpItselfWhileAStoppedCompletionIsStillReturning) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Pend(STATUS_SUCCESS, 0, std::chrono::milliseconds(1)));
    AttachFilter(LoadFilter(WaitThenCompleteWhileTheRoutineLingers), pdo.Device());
    EXPECT_EQ(sim::Send(pdo.Device(), sim::Request(IRP_MJ_FLUSH_BUFFERS)).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(IoManagerTest, CompletionRoutineIsCalledAsItsControlBitsSay) {
    struct Case {
        BOOLEAN onSuccess, onError, onCancel;
        NTSTATUS status;
        bool cancel;
        bool called;
    };
    const Case cases[] = {
        {TRUE, FALSE, FALSE, STATUS_SUCCESS, false, true},
        // A warning is no success: NT_SUCCESS is false for it.
        {TRUE, FALSE, FALSE, STATUS_BUFFER_OVERFLOW, false, false},
        {FALSE, TRUE, FALSE, STATUS_BUFFER_OVERFLOW, false, true},
        {TRUE, FALSE, FALSE, STATUS_IO_DEVICE_ERROR, false, false},
        {FALSE, TRUE, FALSE, STATUS_IO_DEVICE_ERROR, false, true},
        {FALSE, TRUE, FALSE, STATUS_SUCCESS, false, false},
        {FALSE, FALSE, TRUE, STATUS_CANCELLED, true, true},
        {FALSE, FALSE, TRUE, STATUS_CANCELLED, false, false},
        {FALSE, FALSE, FALSE, STATUS_SUCCESS, false, false},
    };
    for (const Case& c : cases) {
        sim::ResetKernel();
        seen_.calls = 0;
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
        pdo.SetHandler([&](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
            irp->Cancel = c.cancel;
            return sim::Reply::Complete(c.status);
        });
        // The sender's own routine, in the location the PDO receives.
        PIRP irp = IoAllocateIrp(1, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(irp, PropagatingCompletion, nullptr, c.onSuccess, c.onError, c.onCancel);
        const sim::IoResult result = sim::SendIrp(pdo.Device(), irp);
        EXPECT_EQ(result.final, c.status);
        EXPECT_EQ(seen_.calls, c.called ? 1 : 0) << std::hex << c.status << " cancel " << c.cancel;
        // A routine of the sender itself is called without a device object.
        if (c.called) EXPECT_EQ(seen_.device, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Buffers the I/O manager builds

struct Captured {
    PVOID systemBuffer = nullptr;
    PVOID userBuffer = nullptr;
    PMDL mdl = nullptr;
    bool mdlLocked = false;
    std::vector<unsigned char> systemBytes;
};

TEST_F(IoManagerTest, ControlCodeMethodDecidesHowBuffersTravel) {
    unsigned char input[6] = {'i', 'n', 'p', 'u', 't', 0};
    struct Case {
        ULONG method;
        bool systemBuffer;
        bool mdl;
        bool userBuffer;
    };
    for (const Case& c : {Case{0, true, false, true}, Case{1, true, true, false}, Case{2, true, true, false},
                          Case{3, false, false, true}}) {
        sim::ResetKernel();
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
        Captured captured;
        pdo.SetHandler([&](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
            captured.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            captured.userBuffer = irp->UserBuffer;
            captured.mdl = irp->MdlAddress;
            captured.mdlLocked = irp->MdlAddress && (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
            if (captured.systemBuffer) {
                auto* bytes = static_cast<unsigned char*>(captured.systemBuffer);
                captured.systemBytes.assign(bytes, bytes + sizeof input);
                if (c.method == 0) std::memcpy(bytes, "answer", 6);
            }
            return sim::Reply::Complete(STATUS_SUCCESS, c.method == 0 ? 6 : 0);
        });
        unsigned char output[16] = {};
        const ULONG code = 0x00220000 | c.method;
        const sim::IoResult result =
            sim::Send(pdo.Device(), sim::Request::DeviceControl(code, input, sizeof input, output, sizeof output));
        EXPECT_EQ(result.final, STATUS_SUCCESS);
        EXPECT_EQ(captured.systemBuffer != nullptr, c.systemBuffer) << c.method;
        EXPECT_EQ(captured.mdl != nullptr, c.mdl) << c.method;
        EXPECT_EQ(captured.mdlLocked, c.mdl) << c.method;
        EXPECT_EQ(captured.userBuffer == output, c.userBuffer) << c.method;
        if (c.systemBuffer) {
            EXPECT_NE(captured.systemBuffer, static_cast<void*>(input));
            EXPECT_EQ(0, std::memcmp(captured.systemBytes.data(), input, sizeof input)) << c.method;
        }
        if (c.method == 0) EXPECT_EQ(0, std::memcmp(output, "answer", 6));
        EXPECT_TRUE(sim::OutstandingMdls().empty()) << c.method;
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
    }
}

TEST_F(IoManagerTest, ReadFollowsTheReceivingDevicesTransferFlags) {
    for (const ULONG flags : {ULONG{DO_BUFFERED_IO}, ULONG{DO_DIRECT_IO}, ULONG{0}}) {
        sim::ResetKernel();
        sim::PdoOptions options;
        options.flags = flags;
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", options);
        Captured captured;
        pdo.SetHandler([&](PDEVICE_OBJECT, PIRP irp) -> std::optional<sim::Reply> {
            captured.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            captured.userBuffer = irp->UserBuffer;
            captured.mdl = irp->MdlAddress;
            void* target = captured.systemBuffer ? captured.systemBuffer : captured.userBuffer;
            if (captured.mdl)
                target = MmMapLockedPagesSpecifyCache(captured.mdl, KernelMode, MmCached, nullptr, FALSE,
                                                      NormalPagePriority | MdlMappingNoExecute);
            std::memcpy(target, "sector", 6);
            return sim::Reply::Complete(STATUS_SUCCESS, 6);
        });
        char data[32] = {};
        const sim::IoResult result = sim::Send(pdo.Device(), sim::Request::Read(data, sizeof data));
        EXPECT_EQ(result.final, STATUS_SUCCESS);
        EXPECT_EQ(std::string(data, 6), "sector") << flags;
        EXPECT_EQ(captured.systemBuffer != nullptr, flags == DO_BUFFERED_IO);
        EXPECT_EQ(captured.mdl != nullptr, flags == DO_DIRECT_IO);
        EXPECT_EQ(captured.userBuffer == data, flags != DO_DIRECT_IO);
        EXPECT_TRUE(sim::OutstandingMdls().empty());
    }
}

TEST_F(IoManagerTest, UserModeBuffersThatCannotBeProbedFailBeforeAnyDriverSeesThem) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    auto* kernel = const_cast<void*>(sim::InvalidKernelAddress());
    sim::SimBuffer noAccess = sim::AllocateBuffer(64);
    sim::InvalidatePage(noAccess.address);
    struct Case {
        ULONG code;
        const void* input;
        void* output;
        NTSTATUS expected;
        size_t received;
    };
    const Case cases[] = {
        {0x00220000, kernel, nullptr, STATUS_ACCESS_VIOLATION, 0},            // buffered input in kernel space
        {0x00220000, nullptr, kernel, STATUS_ACCESS_VIOLATION, 0},            // buffered output in kernel space
        {0x00220000, noAccess.address, nullptr, STATUS_ACCESS_VIOLATION, 0},  // input page not there
        {0x00220002, nullptr, noAccess.address, STATUS_ACCESS_VIOLATION, 0},  // direct output cannot be locked
        {0x00220003, kernel, kernel, STATUS_INVALID_DEVICE_REQUEST, 1},       // neither: passed on unchecked
    };
    for (const Case& c : cases) {
        pdo.ClearReceived();
        const sim::IoResult result = sim::Send(
            pdo.Device(),
            sim::Request::DeviceControl(c.code, c.input, c.input ? 16 : 0, c.output, c.output ? 16 : 0).Mode(UserMode));
        EXPECT_EQ(result.final, c.expected) << std::hex << c.code;
        EXPECT_EQ(pdo.Received().size(), c.received) << std::hex << c.code;
    }
    EXPECT_TRUE(sim::OutstandingMdls().empty());
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::FreeBuffer(noAccess);
}

// ---------------------------------------------------------------------------
// Handles

TEST_F(IoManagerTest, HandleThroughALinkSendsCreateControlCleanupAndClose) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\Zelkor7");
    UNICODE_STRING link = Counted(u"\\DosDevices\\Zelkor7");
    UNICODE_STRING target = Counted(u"\\Device\\Zelkor7");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    pdo.SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 4).Fill([](PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
    }));

    const sim::OpenResult open = sim::OpenFile("\\\\.\\Zelkor7");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    PFILE_OBJECT file = sim::FileObjectOf(open.handle);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, pdo.Device());
    EXPECT_EQ(pdo.Device()->ReferenceCount, 1);

    std::vector<uint8_t> output(8);
    const sim::IoResult result = sim::DeviceIoControl(open.handle, 0x00220000, {'p', 'i', 'n', 'g'}, output);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_EQ(std::string(output.begin(), output.begin() + 4), "pong");
    EXPECT_EQ(sim::CloseFile(open.handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::CloseFile(open.handle), sim::kStatusInvalidHandle);
    EXPECT_EQ(pdo.Device()->ReferenceCount, 0);

    std::vector<UCHAR> majors;
    for (const auto& r : pdo.Received()) {
        majors.push_back(r.major);
        EXPECT_EQ(r.location.FileObject, file);
    }
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(pdo.Received()[1].location.Parameters.DeviceIoControl.InputBufferLength, 4u);
}

TEST_F(IoManagerTest, DeviceDeletedWhileOpenStaysReachableThroughItsHandleUntilClose) {
    g_dispatch = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    PDRIVER_OBJECT driver = sim::LoadDriver(FilterEntry, "control");
    UNICODE_STRING name = Counted(u"\\Device\\Zelkor1");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    // Not cleared yet: the device cannot be opened.
    EXPECT_EQ(sim::OpenFile("\\Device\\Zelkor1").status, STATUS_NO_SUCH_DEVICE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    const sim::OpenResult open = sim::OpenFile("\\Device\\Zelkor1");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    IoDeleteDevice(device);
    EXPECT_EQ(sim::FindDevice("\\Device\\Zelkor1"), nullptr);
    EXPECT_EQ(sim::OpenFile("\\Device\\Zelkor1").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::IsLiveDevice(device));

    EXPECT_EQ(sim::DeviceIoControl(open.handle, 0x00220000, nullptr, 0, nullptr, 0).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::CloseFile(open.handle), STATUS_SUCCESS);
    EXPECT_FALSE(sim::IsLiveDevice(device));
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(IoManagerTest, FailedCreateLeavesNoHandleAndNoReference) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\Zelkor7");
    pdo.SetRule(IRP_MJ_CREATE, sim::Reply::Complete(STATUS_ACCESS_DENIED));
    const sim::OpenResult open = sim::OpenFile("\\Device\\Zelkor7");
    EXPECT_EQ(open.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(open.handle, nullptr);
    EXPECT_EQ(pdo.Device()->ReferenceCount, 0);
    EXPECT_EQ(sim::ObjectReferences(pdo.Device()), 1);
    EXPECT_EQ(pdo.Received().size(), 1u);
}

}  // namespace
