// The I/O manager's routines as a driver imports them.
#include <cstring>

#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr_internal.h"
#include "simkernel/memory.h"

// ---------------------------------------------------------------------------
// Exported routines

using namespace sim;
using namespace sim::detail;
using namespace sim::io;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
    RequirePassive("IoCreateDevice");
    if (DeviceObject == nullptr) BugCheck("InvalidParameter", "IoCreateDevice", nullptr, "DeviceObject is NULL");
    *DeviceObject = nullptr;
    std::u16string name;
    if (DeviceName != nullptr) name = FromUnicodeString(DeviceName, "IoCreateDevice");
    if (ShouldFail("IoCreateDevice")) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    *DeviceObject = CreateDeviceObject(DriverObject, DeviceExtensionSize, DeviceName ? &name : nullptr, DeviceType,
                                       DeviceCharacteristics, Exclusive, &status);
    return status;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequirePassive("IoDeleteDevice");
    {
        Lock lock(IoLock());
        const auto it = State().devices.find(DeviceObject);
        if (it == State().devices.end())
            BugCheck("DeleteDeviceTwice", "IoDeleteDevice", nullptr,
                     Hex(DeviceObject) + " is not a device object in memory (deleted and freed already?)");
        DeviceState& device = it->second;
        if (device.deleted)
            BugCheck("DeleteDeviceTwice", "IoDeleteDevice", nullptr, Describe(DeviceObject) + " was deleted already");
        if (device.attachedTo != nullptr)
            BugCheck("DeleteAttachedDevice", "IoDeleteDevice", nullptr,
                     Describe(DeviceObject) + " is still attached to " + Describe(device.attachedTo) +
                         "; IoDetachDevice comes first");
        device.deleted = true;
        if (!device.name.empty()) {
            RemoveName(device.name);
            device.name.clear();
        }
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    // The creation reference; open handles and IoGetAttachedDeviceReference
    // keep the memory until theirs go, and so does a device attached on top.
    ObDereference(DeviceObject, "IoDeleteDevice");
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoAttachDeviceToDeviceStack");
    Lock lock(IoLock());
    DeviceState& source = DeviceOrBugCheck(SourceDevice, "IoAttachDeviceToDeviceStack");
    DeviceOrBugCheck(TargetDevice, "IoAttachDeviceToDeviceStack");
    if (source.attachedTo != nullptr || source.deleted)
        BugCheck("AttachAttachedDevice", "IoAttachDeviceToDeviceStack", nullptr,
                 Describe(SourceDevice) + (source.deleted ? " was deleted" : " is attached already"));
    if (ShouldFail("IoAttachDeviceToDeviceStack")) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    // A stack whose top is going away takes no new devices.
    if (State().devices.at(top).deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    SourceDevice->SectorSize = top->SectorSize;
    source.attachedTo = top;
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoDetachDevice");
    Lock lock(IoLock());
    DeviceOrBugCheck(TargetDevice, "IoDetachDevice");
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr)
        BugCheck("DetachUnattachedDevice", "IoDetachDevice", nullptr,
                 Describe(TargetDevice) + " has no device attached to it");
    State().devices.at(attached).attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    DeviceState& target = State().devices.at(TargetDevice);
    if (target.awaitingDetach) {
        const bool arena = target.arena;
        State().devices.erase(TargetDevice);
        FreeObject(TargetDevice, arena);
    }
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireAtMostDispatch("IoGetAttachedDeviceReference");
    Lock lock(IoLock());
    DeviceOrBugCheck(DeviceObject, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObReference(top, "IoGetAttachedDeviceReference");
    return top;
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    RequirePassive("IoGetDeviceProperty");
    std::u16string name;
    {
        Lock lock(IoLock());
        const auto it = State().devices.find(DeviceObject);
        if (it == State().devices.end() || !it->second.pdo)
            BugCheck("PNP_DETECTED_FATAL_ERROR", "IoGetDeviceProperty", nullptr,
                     "invalid PDO: " + (it == State().devices.end() ? Hex(DeviceObject) : Describe(DeviceObject)) +
                         " is not a physical device object reported by a bus");
        name = it->second.name;
    }
    if (ResultLength == nullptr) BugCheck("InvalidParameter", "IoGetDeviceProperty", nullptr, "ResultLength is NULL");
    if (ShouldFail("IoGetDeviceProperty")) return STATUS_INSUFFICIENT_RESOURCES;
    if (Property != DevicePropertyPhysicalDeviceObjectName) return STATUS_INVALID_PARAMETER;
    // The object's name with its terminating NUL; an unnamed object's name
    // is empty, as the object manager reports it.
    const ULONG needed = static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
    *ResultLength = needed;
    if (BufferLength < needed || PropertyBuffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, name.c_str(), needed);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    (void)MajorVersion;
    (void)MinorVersion;
    Lock lock(IoLock());
    return State().wdmAvailable ? TRUE : FALSE;
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireAtMostDispatch("IoAllocateIrp");
    if (ShouldFail("IoAllocateIrp")) return nullptr;
    return AllocateIrp(StackSize);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    RequireAtMostDispatch("IoFreeIrp");
    Lock lock(IoLock());
    IrpRecord& record = IrpOrBugCheck(Irp, "IoFreeIrp", "FreeIrpTwice");
    if (record.freeRequested) BugCheck("FreeIrpTwice", "IoFreeIrp", Irp, "the IRP was freed already");
    if (record.hasOriginator)
        BugCheck("FreeForeignIrp", "IoFreeIrp", Irp, "the IRP belongs to the I/O manager, which frees it itself");
    record.freeRequested = true;
    FreeWhenIdle(Irp, record);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, false);
}

namespace {

// A completion routine belongs to a driver whose device object is still
// there: once the device is deleted, its extension is no longer the driver's
// to use, and its memory may be gone. A driver keeps its device until every
// routine it set has run (the remove lock). Call with the lock held.
void CheckDeviceAlive(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine, PIRP irp) {
    const auto it = State().devices.find(device);
    if (it != State().devices.end() && !it->second.deleted) return;
    const std::string name = RoutineName(reinterpret_cast<const void*>(routine));
    BugCheck("CompletionRoutineOnDeletedDevice", name, irp,
             "the completion routine would run for device object " + Hex(device) + ", which " +
                 (it == State().devices.end() ? "was deleted and freed" : "was deleted (IoDeleteDevice)") +
                 "; its driver removed the device while the request was still below it (hold the remove "
                 "lock for every request passed down, and IoReleaseRemoveLockAndWait before deleting)");
}

}  // namespace

namespace {

constexpr const char* kCompleteRoutine = "IofCompleteRequest";

// The completer's side: the checks of the IRP it completes.
IrpRecord* BeginCompletion(PIRP Irp) {
    static constexpr const char* kRoutine = kCompleteRoutine;
    Lock lock(IoLock());
    IrpRecord* record = &IrpOrBugCheck(Irp, kRoutine, "MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (Irp->Type != kTypeIrp || Irp->CurrentLocation > Irp->StackCount + 1 || record->finished ||
        record->freeRequested)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", kRoutine, Irp, "the IRP was completed already");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        BugCheck("CompleteWithStatusPending", kRoutine, Irp, "an IRP is never completed with STATUS_PENDING");
    if (Irp->CancelRoutine != nullptr)
        BugCheck("CompleteWithCancelRoutine", kRoutine, Irp,
                 "the IRP still has a cancel routine (" +
                     RoutineName(reinterpret_cast<const void*>(Irp->CancelRoutine)) + ")");
    const int current = Irp->CurrentLocation;
    if (current >= 1 && current <= Irp->StackCount &&
        Irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER && !record->powerStarted[current])
        BugCheck("PoStartNextPowerIrp", kRoutine, Irp,
                 "the driver at stack location " + std::to_string(current) +
                     " completed a power IRP without calling PoStartNextPowerIrp first");
    ++record->completions;
    ++record->activeWalks;
    record->informationBy = AnswerableDriver();
    return record;
}

// What a completion routine returned, and what it did to the IRP meanwhile;
// held against the routine's driver. Call with the lock held.
void CheckCompletionReturn(PIRP Irp, const IrpRecord& record, PIO_COMPLETION_ROUTINE routine, NTSTATUS result,
                           uint64_t generation, bool atTop) {
    const std::string name = RoutineName(reinterpret_cast<const void*>(routine));
    if (record.freeRequested)
        BugCheck("CompletionContinuesAfterFree", name, Irp,
                 "the completion routine freed the IRP and returned " + HexStatus(result) +
                     " instead of STATUS_MORE_PROCESSING_REQUIRED");
    if (record.completions != generation)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", name, Irp,
                 "the IRP was completed again while its completion routine ran, and the routine returned " +
                     HexStatus(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
    if (!atTop && Irp->PendingReturned &&
        !(__atomic_load_n(&Irp->Tail.Overlay.CurrentStackLocation->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED))
        BugCheck("PendingReturnedNotPropagated", name, Irp,
                 "Irp->PendingReturned is set and the completion routine returned " + HexStatus(result) +
                     " without marking its own stack location pending "
                     "(if (Irp->PendingReturned) IoMarkIrpPending(Irp))");
}

// Calls the completion routine set at `location`, whose driver's location is
// now current. False when the routine took the IRP back (the walk ends).
bool RunCompletionRoutine(PIRP Irp, IrpRecord* record, PIO_STACK_LOCATION location, uint64_t generation) {
    const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    const PVOID context = location->Context;
    ZeroIrpStackLocation(location);
    // The routine gets the device of the driver that set it: the one
    // whose location is now current; the sender has none.
    const bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
    PDEVICE_OBJECT device = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const int owner = Irp->CurrentLocation;
    {
        Lock lock(IoLock());
        record->ownerLocation = owner;
        if (device != nullptr) CheckDeviceAlive(device, routine, Irp);
    }
    PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : nullptr;
    const KIRQL irql = CurrentIrql();
    const ULONG_PTR information = Irp->IoStatus.Information;
    NTSTATUS result;
    {
        DriverFrame running(driver, FrameKind::Completion, reinterpret_cast<const void*>(routine));
        result = routine(device, Irp, context);
    }
    const Answerable answer(driver);
    if (CurrentIrql() != irql)
        BugCheck("IrqlChangedByCompletionRoutine", RoutineName(reinterpret_cast<const void*>(routine)), Irp,
                 "called at IRQL " + std::to_string(irql) + ", returned at IRQL " + std::to_string(CurrentIrql()));
    Lock lock(IoLock());
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP is its owner's again, perhaps freed already: hands off.
        --record->activeWalks;
        FreeWhenIdle(Irp, *record);
        return false;
    }
    CheckCompletionReturn(Irp, *record, routine, result, generation, atTop);
    if (Irp->IoStatus.Information != information) record->informationBy = driver;
    return true;
}

}  // namespace

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    static constexpr const char* kRoutine = kCompleteRoutine;
    RequireAtMostDispatch(kRoutine);
    IrpRecord* record = BeginCompletion(Irp);

    // The walk up the stack, location by location, as the I/O manager makes it.
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    while (Irp->CurrentLocation <= Irp->StackCount + 1) {
        Irp->PendingReturned = (__atomic_load_n(&location->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
        uint64_t generation;
        {
            Lock lock(IoLock());
            if (Irp->PendingReturned) record->pendingSeen[Irp->CurrentLocation - 1] = 1;
            generation = record->completions;
        }
        const NTSTATUS status = Irp->IoStatus.Status;
        const UCHAR control = __atomic_load_n(&location->Control, __ATOMIC_RELAXED);
        if ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
            (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL))) {
            if (!RunCompletionRoutine(Irp, record, location, generation)) return;
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ZeroIrpStackLocation(location);
        }
        location++;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
    }

    Lock lock(IoLock());
    record->finished = true;
    record->ownerLocation = Irp->StackCount + 1;
    --record->activeWalks;
    if (!record->hasOriginator)
        BugCheck("IrpWithoutOwner", kRoutine, Irp,
                 "completion reached the top of an IRP from IoAllocateIrp; the completion routine of the driver "
                 "that allocated it must return STATUS_MORE_PROCESSING_REQUIRED");
    record->done.notify_all();
    FreeWhenIdle(Irp, *record);
}
