// The verifier's checks on request packets and devices: each deliberately
// broken driver below must end in the bug check that names its fault, and
// the correct version of each pattern must pass.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "platform/ntrtl.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"

namespace {

struct Extension {
    PDEVICE_OBJECT lower;
};

PDRIVER_DISPATCH g_dispatch = nullptr;
PIO_COMPLETION_ROUTINE g_completion = nullptr;

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = g_dispatch;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension)->lower; }

// A PDO with one filter of a driver whose every request goes to `dispatch`.
struct Stack {
    sim::Pdo* pdo;
    PDEVICE_OBJECT filter;
};

Stack MakeStack(PDRIVER_DISPATCH dispatch, ULONG pdoFlags = DO_POWER_PAGABLE) {
    g_dispatch = dispatch;
    sim::PdoOptions options;
    options.flags = pdoFlags;
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", options);
    PDRIVER_OBJECT driver = sim::LoadDriver(Entry, "broken");
    PDEVICE_OBJECT filter = nullptr;
    IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
    static_cast<Extension*>(filter->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(filter, pdo.Device());
    filter->Flags = (filter->Flags & ~DO_DEVICE_INITIALIZING) | (pdoFlags & DO_POWER_PAGABLE);
    return Stack{&pdo, filter};
}

sim::IoResult SendFlush(const Stack& stack) {
    return sim::Send(stack.pdo->Device(), sim::Request(IRP_MJ_FLUSH_BUFFERS));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ForwardWithRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, g_completion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(device), irp);
}

// ---------------------------------------------------------------------------
// Broken drivers, one fault each

void PendingWithoutMark() {
    MakeStack([](PDEVICE_OBJECT, PIRP) -> NTSTATUS { return STATUS_PENDING; });
}

void MarkedButReturnedSuccess() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
}

void CompletedTwice() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    });
}

void CompletedWithStatusPending() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_PENDING);
        return STATUS_PENDING;
    });
}

void CompletedWithCancelRoutine() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->CancelRoutine = [](PDEVICE_OBJECT, PIRP) {};
        return Complete(irp, STATUS_SUCCESS);
    });
}

void CompletedAboveDispatchLevel() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        sim::IrqlScope high(DISPATCH_LEVEL + 1);
        return Complete(irp, STATUS_SUCCESS);
    });
}

void CompletionRoutineForgetsPendingReturned() {
    g_completion = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    const Stack stack = MakeStack(ForwardWithRoutine);
    stack.pdo->SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Pend(STATUS_SUCCESS, 0, std::chrono::milliseconds(1)));
}

void CompletionRoutineCompletesAgainAndContinues() {
    g_completion = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    MakeStack(ForwardWithRoutine);
}

void CompletionRoutineChangesIrql() {
    g_completion = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
        sim::SetIrql(DISPATCH_LEVEL);
        return STATUS_SUCCESS;
    };
    MakeStack(ForwardWithRoutine);
}

void IrqlChangedAcrossDispatch() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        sim::SetIrql(DISPATCH_LEVEL);
        return Complete(irp, STATUS_SUCCESS);
    });
}

void ReturnedWithoutCompleting() {
    MakeStack([](PDEVICE_OBJECT, PIRP) -> NTSTATUS { return STATUS_SUCCESS; });
}

void InformationLargerThanTheOutputBuffer() {
    const Stack stack = MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Lower(device), irp);
    });
    stack.pdo->SetRule(IRP_MJ_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 100));
    char output[8];
    sim::Send(stack.pdo->Device(), sim::Request::DeviceControl(0x00220000, nullptr, 0, output, sizeof output));
}

// The filter copies its location to the next one, but the IRP has room
// for only one location: the filter's.
void RunsOutOfStackLocations() {
    const Stack stack = MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(Lower(device), irp);
    });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    sim::SendIrp(stack.filter, irp, true);
}

// A driver's own IRP must be taken back by its completion routine.
void OwnIrpCompletedToTheTop() {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoCallDriver(pdo.Device(), irp);
}

void DeleteDeviceStillAttached() {
    const Stack stack = MakeStack(nullptr);
    IoDeleteDevice(stack.filter);
}

void DeleteDeviceTwice() {
    const Stack stack = MakeStack(nullptr);
    IoDetachDevice(stack.pdo->Device());
    IoDeleteDevice(stack.filter);
    IoDeleteDevice(stack.filter);
}

void DereferenceBelowZero() {
    const Stack stack = MakeStack(nullptr);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.pdo->Device());
    IoDetachDevice(stack.pdo->Device());
    IoDeleteDevice(stack.filter);
    ObDereferenceObject(top);
    ObDereferenceObject(top);
}

void PowerPassedOnWithoutStartNext() {
    MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(device), irp);
    });
}

void PowerCompletedWithoutStartNext() {
    MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS { return Complete(irp, STATUS_SUCCESS); });
}

// Once skipped, the location is the lower driver's: too late to start the
// next power IRP for this one.
void PowerStartNextAfterSkip() {
    MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        IoSkipCurrentIrpStackLocation(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(Lower(device), irp);
    });
}

void PoCallDriverWithAnotherRequest() {
    MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(device), irp);
    });
}

void PropertyOfADeviceThatIsNoPdo() {
    const Stack stack = MakeStack(nullptr);
    WCHAR buffer[64];
    ULONG length;
    IoGetDeviceProperty(stack.filter, DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &length);
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Lower(device), irp);
}

// The driver deletes its device while a request it set a routine on is
// still below: the routine would run on a deleted device object.
void CompletionRoutineOnDeletedDevice() {
    g_completion = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    const Stack stack = MakeStack(ForwardWithRoutine);
    stack.pdo->SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Hold(STATUS_SUCCESS));
    static std::future<sim::IoResult> flush;
    flush = sim::SendAsync(stack.pdo->Device(), sim::Request(IRP_MJ_FLUSH_BUFFERS));
    while (stack.pdo->HeldCount() == 0)
        std::this_thread::yield();
    IoDetachDevice(stack.pdo->Device());
    IoDeleteDevice(stack.filter);
    stack.pdo->Release();
}

// The filter stays pageable above the disk that took a paging file.
void PagableAboveTheDiskInThePagingPath() {
    const Stack stack = MakeStack(PassDown);
    sim::PnpUsageNotification(stack.pdo->Device(), DeviceUsageTypePaging, true);
}

struct DeathCase {
    const char* name;
    void (*arrange)();
    // What sets the fault off once arranged; nullptr when arranging does.
    enum class Trigger { None, Flush, Power } trigger;
    const char* expected;
};

const DeathCase kDeathCases[] = {
    {"DispatchReturnsPendingWithoutMarking", PendingWithoutMark, DeathCase::Trigger::Flush,
     "STOP: MarkIrpPending in .*returned STATUS_PENDING without marking"},
    {"DispatchMarksPendingAndReturnsSuccess", MarkedButReturnedSuccess, DeathCase::Trigger::Flush,
     "STOP: MarkIrpPending2 in .*marked its stack location pending but returned 0x00000000"},
    {"DoubleCompletion", CompletedTwice, DeathCase::Trigger::Flush,
     "STOP: MULTIPLE_IRP_COMPLETE_REQUESTS in IofCompleteRequest"},
    {"CompletionWithStatusPending", CompletedWithStatusPending, DeathCase::Trigger::Flush,
     "STOP: CompleteWithStatusPending in IofCompleteRequest"},
    {"CompletionWithCancelRoutineSet", CompletedWithCancelRoutine, DeathCase::Trigger::Flush,
     "STOP: CompleteWithCancelRoutine in IofCompleteRequest"},
    {"CompletionAboveDispatchLevel", CompletedAboveDispatchLevel, DeathCase::Trigger::Flush,
     "STOP: IRQL_NOT_LESS_OR_EQUAL in IofCompleteRequest"},
    {"CompletionRoutineForgetsPendingReturned", CompletionRoutineForgetsPendingReturned, DeathCase::Trigger::Flush,
     "STOP: PendingReturnedNotPropagated in .*without marking its own stack location pending"},
    {"CompletionRoutineCompletesAgainAndContinues", CompletionRoutineCompletesAgainAndContinues,
     DeathCase::Trigger::Flush, "STOP: MULTIPLE_IRP_COMPLETE_REQUESTS in .*completed again while its completion"},
    {"CompletionRoutineChangesIrql", CompletionRoutineChangesIrql, DeathCase::Trigger::Flush,
     "STOP: IrqlChangedByCompletionRoutine in .*called at IRQL 0, returned at IRQL 2"},
    {"IrqlChangedAcrossDispatch", IrqlChangedAcrossDispatch, DeathCase::Trigger::Flush,
     "STOP: IrqlChangedByDispatch in .*IRP_MJ_FLUSH_BUFFERS was called at IRQL 0 and returned at IRQL 2"},
    {"DispatchReturnsSuccessWithoutCompleting", ReturnedWithoutCompleting, DeathCase::Trigger::Flush,
     "STOP: DispatchReturnedWithoutCompleting in SendIrp"},
    {"InformationLargerThanTheOutputBuffer", InformationLargerThanTheOutputBuffer, DeathCase::Trigger::None,
     "STOP: InformationExceedsBuffer in IofCompleteRequest.*100 is larger than the caller's output buffer of 8"},
    {"RunsOutOfStackLocations", RunsOutOfStackLocations, DeathCase::Trigger::None,
     "STOP: NO_MORE_IRP_STACK_LOCATIONS in IofCallDriver.*1 stack location"},
    {"DriversOwnIrpCompletedToTheTop", OwnIrpCompletedToTheTop, DeathCase::Trigger::None,
     "STOP: IrpWithoutOwner in IofCompleteRequest"},
    {"DeleteDeviceStillAttached", DeleteDeviceStillAttached, DeathCase::Trigger::None,
     "STOP: DeleteAttachedDevice in IoDeleteDevice.*IoDetachDevice comes first"},
    {"DeleteDeviceTwice", DeleteDeviceTwice, DeathCase::Trigger::None, "STOP: DeleteDeviceTwice in IoDeleteDevice"},
    {"DereferenceBelowZero", DereferenceBelowZero, DeathCase::Trigger::None,
     "STOP: REFERENCE_BY_POINTER in ObfDereferenceObject"},
    {"PowerIrpPassedOnWithoutStartNext", PowerPassedOnWithoutStartNext, DeathCase::Trigger::Power,
     "STOP: PoStartNextPowerIrp in PoCallDriver.*without calling PoStartNextPowerIrp"},
    {"PowerIrpCompletedWithoutStartNext", PowerCompletedWithoutStartNext, DeathCase::Trigger::Power,
     "STOP: PoStartNextPowerIrp in IofCompleteRequest"},
    {"PowerStartNextAfterSkip", PowerStartNextAfterSkip, DeathCase::Trigger::Power,
     "STOP: PoStartNextPowerIrp in PoStartNextPowerIrp.*no current stack location"},
    {"PoCallDriverWithAnotherRequest", PoCallDriverWithAnotherRequest, DeathCase::Trigger::Flush,
     "STOP: PoCallDriver in PoCallDriver.*IRP_MJ_FLUSH_BUFFERS"},
    {"PropertyOfADeviceThatIsNoPdo", PropertyOfADeviceThatIsNoPdo, DeathCase::Trigger::None,
     "STOP: PNP_DETECTED_FATAL_ERROR in IoGetDeviceProperty"},
    {"CompletionRoutineOnDeletedDevice", CompletionRoutineOnDeletedDevice, DeathCase::Trigger::None,
     "STOP: CompletionRoutineOnDeletedDevice in .*which was deleted"},
    {"PagableAboveTheDiskInThePagingPath", PagableAboveTheDiskInThePagingPath, DeathCase::Trigger::None,
     "STOP: PowerPagableAboveNonPagable in IRP_MN_DEVICE_USAGE_NOTIFICATION.*has DO_POWER_PAGABLE set above"},
};

void RunCase(const DeathCase& c) {
    sim::ResetKernel();
    c.arrange();
    PDEVICE_OBJECT pdo = sim::FindDevice("\\Device\\00000062");
    if (c.trigger == DeathCase::Trigger::Flush) sim::Send(pdo, sim::Request(IRP_MJ_FLUSH_BUFFERS));
    if (c.trigger == DeathCase::Trigger::Power) sim::PowerSetState(pdo, DevicePowerState, 1);
    // A fault found on the bus's worker thread ends the process from there.
    sim::FindPdo(pdo)->WaitIdle();
}

class VerifierDeathTest : public ::testing::TestWithParam<DeathCase> {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
    }
    void TearDown() override { sim::ResetKernel(); }
};

TEST_P(VerifierDeathTest, BugChecks) { EXPECT_DEATH(RunCase(GetParam()), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(BrokenDrivers, VerifierDeathTest, ::testing::ValuesIn(kDeathCases),
                         [](const ::testing::TestParamInfo<DeathCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The correct versions of the same patterns pass.

class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { sim::ResetKernel(); }
};

TEST_F(VerifierTest, CompletionRoutineThatPropagatesPendingReturnedPasses) {
    g_completion = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    const Stack stack = MakeStack(ForwardWithRoutine);
    stack.pdo->SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Pend(STATUS_SUCCESS, 0, std::chrono::milliseconds(1)));
    const sim::IoResult result = SendFlush(stack);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
}

TEST_F(VerifierTest, MarkCompleteAndReturnPendingPasses) {
    const Stack stack = MakeStack([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_IO_DEVICE_ERROR);
        return STATUS_PENDING;
    });
    const sim::IoResult result = SendFlush(stack);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_IO_DEVICE_ERROR);
}

TEST_F(VerifierTest, OwnIrpTakenBackWithMoreProcessingRequiredAndFreedPasses) {
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062");
    pdo.SetRule(IRP_MJ_FLUSH_BUFFERS, sim::Reply::Pend(STATUS_SUCCESS, 0, std::chrono::milliseconds(1)));
    PIRP irp = IoAllocateIrp(pdo.Device()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    // The routine frees the IRP while the dispatch call may still be running:
    // the kernel keeps the memory until that call has returned.
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP own, PVOID) -> NTSTATUS {
            EXPECT_EQ(device, nullptr);
            IoFreeIrp(own);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo.Device(), irp), STATUS_PENDING);
    pdo.WaitIdle();
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(VerifierTest, PowerIrpStartedBeforeItIsPassedOnPasses) {
    const Stack stack = MakeStack([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(device), irp);
    });
    EXPECT_EQ(sim::PowerSetState(stack.pdo->Device(), DevicePowerState, 1).final, STATUS_SUCCESS);
    const auto received = stack.pdo->Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].viaPoCallDriver);
    EXPECT_EQ(received[0].location.Parameters.Power.Type, DevicePowerState);
}

// ---------------------------------------------------------------------------
// Memory integrity and a filter's place in a stack: each rule fires with its
// name when broken.

TEST_F(VerifierTest, ExecutablePoolIsRefused) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, 'tseT');
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT'),
                 "NoExecutablePool in ExAllocatePoolWithTag.*NonPagedPoolNx");
}

TEST_F(VerifierTest, EveryMappingIsNoExecute) {
    sim::SimBuffer buffer = sim::AllocateBuffer(64);
    PMDL mdl = IoAllocateMdl(buffer.address, 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    EXPECT_DEATH(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
                 "NoExecutableMapping in MmMapLockedPagesSpecifyCache.*MdlMappingNoExecute");
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                           NormalPagePriority | MdlMappingNoExecute),
              buffer.address);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    sim::FreeBuffer(buffer);
}

// An MDL that one driver's routine allocated is read by the others, never
// changed: a partial MDL of their own is what they may map.
TEST_F(VerifierTest, AnotherDriversMdlIsNeverWrittenAPartialOneOfYourOwnIs) {
    PDRIVER_OBJECT owner = sim::LoadDriver(Entry, "owner");
    PDRIVER_OBJECT other = sim::LoadDriver(Entry, "other");
    sim::SimBuffer buffer = sim::AllocateBuffer(64);
    PMDL mdl;
    {
        sim::DriverFrame running(owner, sim::FrameKind::Dispatch, nullptr);
        mdl = IoAllocateMdl(buffer.address, 64, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    }
    {
        sim::DriverFrame running(other, sim::FrameKind::Completion, nullptr);
        EXPECT_DEATH(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                  NormalPagePriority | MdlMappingNoExecute),
                     "NoWriteIntoForeignMdl in MmMapLockedPagesSpecifyCache.*belongs to .*owner.*other");
        EXPECT_DEATH(MmUnlockPages(mdl), "NoWriteIntoForeignMdl in MmUnlockPages");
        struct {
            MDL header;
            PFN_NUMBER pages[1];
        } view{};
        view.header.Size = sizeof(view);
        IoBuildPartialMdl(mdl, &view.header, buffer.address + 8, 16);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(&view.header, KernelMode, MmCached, nullptr, FALSE,
                                               NormalPagePriority | MdlMappingNoExecute),
                  buffer.address + 8);
        MmUnmapLockedPages(buffer.address + 8, &view.header);
        EXPECT_EQ(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    }
    sim::DriverFrame running(owner, sim::FrameKind::Dispatch, nullptr);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    sim::FreeBuffer(buffer);
}

// A completion routine touches no registry, even at PASSIVE_LEVEL: the
// routine runs inside another driver's completion call.
TEST_F(VerifierTest, RegistryFromACompletionRoutineIsABugCheckAtAnyIrql) {
    g_completion = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        ULONG value = 0;
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"broken", u"Value", REG_DWORD, &value, sizeof(value));
        return STATUS_SUCCESS;
    };
    const Stack stack = MakeStack(ForwardWithRoutine);
    EXPECT_DEATH(SendFlush(stack), "NoRegistryInCompletionRoutine in RtlWriteRegistryValue.*completion routine");
}

}  // namespace
