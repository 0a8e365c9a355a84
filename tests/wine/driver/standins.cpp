#include "tests/wine/driver/standins.h"

#include "tests/wine/driver/kernel.h"

namespace zkt {
namespace {

// What a program's subject context holds under the stand-ins: the prefix's
// one user, an administrator.
UCHAR gAdministrator;

VOID CaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT subject) {
    memset(subject, 0, sizeof(*subject));
    subject->PrimaryToken = &gAdministrator;
}

VOID ReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT) {}

BOOLEAN TokenIsAdmin(PACCESS_TOKEN token) { return token == &gAdministrator; }

typedef BOOLEAN (*ValidRoutine)(PVOID address);
BOOLEAN IsAddressValid(PVOID address);
ULONG_PTR gVouched;

// The filter's work items, counted: Wine runs each in a thread of its pool,
// whenever it gets there, while the simulator runs them before the next step.
// Each queued item goes through Wine's IoQueueWorkItem with a slot of its
// own, and the story waits at each step's end until none is left.
typedef VOID (*QueueRoutine)(PIO_WORKITEM, PIO_WORKITEM_ROUTINE, WORK_QUEUE_TYPE, PVOID);
VOID QueueCounted(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE type, PVOID context);
struct CountedItem {
    PIO_WORKITEM_ROUTINE routine;  // NULL: the slot is free
    PVOID context;
};
CountedItem gItems[16];
LONG gOutstanding;

struct StandInEntry {
    const CHAR* name;
    PVOID routine;
    PVOID* slot;  // the filter's import address table entry, once found
    PVOID wine;   // what it held
};

StandInEntry gEntries[] = {
    {"SeCaptureSubjectContext", (PVOID)&CaptureSubjectContext, NULL, NULL},
    {"SeReleaseSubjectContext", (PVOID)&ReleaseSubjectContext, NULL, NULL},
    {"SeTokenIsAdmin", (PVOID)&TokenIsAdmin, NULL, NULL},
    {"MmIsAddressValid", (PVOID)&IsAddressValid, NULL, NULL},
    {"IoQueueWorkItem", (PVOID)&QueueCounted, NULL, NULL},
};
constexpr ULONG kIsAddressValid = 3;
constexpr ULONG kQueueWorkItem = 4;
BOOLEAN gStoodIn;  // the swap was made (whether every slot took it or not)
BOOLEAN gAllIn;

BOOLEAN IsAddressValid(PVOID address) {
    if (gVouched != 0 && ((ULONG_PTR)address & ~(ULONG_PTR)0xFFF) == gVouched) return TRUE;
    return ((ValidRoutine)gEntries[kIsAddressValid].wine)(address);
}

VOID RunCounted(PDEVICE_OBJECT device, PVOID context) {
    CountedItem* slot = (CountedItem*)context;
    PIO_WORKITEM_ROUTINE routine = slot->routine;
    PVOID itemContext = slot->context;
    __atomic_store_n(&slot->routine, (PIO_WORKITEM_ROUTINE)NULL, __ATOMIC_RELEASE);
    routine(device, itemContext);
    __atomic_sub_fetch(&gOutstanding, 1, __ATOMIC_ACQ_REL);
}

VOID QueueCounted(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE type, PVOID context) {
    QueueRoutine wine = (QueueRoutine)gEntries[kQueueWorkItem].wine;
    for (CountedItem& slot : gItems) {
        PIO_WORKITEM_ROUTINE empty = NULL;
        if (__atomic_compare_exchange_n(&slot.routine, &empty, routine, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            slot.context = context;
            __atomic_add_fetch(&gOutstanding, 1, __ATOMIC_ACQ_REL);
            return wine(item, RunCounted, type, &slot);
        }
    }
    wine(item, routine, type, context);  // uncounted: no slot left
}

typedef NTSTATUS (*ProtectRoutine)(HANDLE Process, PVOID* Base, SIZE_T* Size, ULONG NewProtect, PULONG OldProtect);

ULONG Read32(const UCHAR* p) { return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24; }

// The image's own layout (PE32+), read where the loader put it.
constexpr ULONG kNewHeaderAt = 0x3C;
constexpr ULONG kImportDirectoryAt = 4 + 20 + 112 + 8;  // signature, file header, optional header's directories
constexpr ULONG kDescriptorSize = 20;
constexpr ULONG64 kByOrdinal = 1ull << 63;

// Finds each entry's slot in the filter's imports from ntoskrnl.exe.
BOOLEAN FindSlots(PUCHAR image, ULONG size) {
    if (size < 0x400 || image[0] != 'M' || image[1] != 'Z') return FALSE;
    ULONG nt = Read32(image + kNewHeaderAt);
    if (nt > size - 0x200 || Read32(image + nt) != 0x00004550)  // "PE\0\0"
        return FALSE;
    ULONG imports = Read32(image + nt + kImportDirectoryAt);
    for (ULONG at = imports; at != 0 && at + kDescriptorSize <= size; at += kDescriptorSize) {
        ULONG names = Read32(image + at), dll = Read32(image + at + 12), addresses = Read32(image + at + 16);
        if (dll == 0 || dll >= size) break;
        if (_stricmp((const CHAR*)image + dll, "ntoskrnl.exe") != 0) continue;
        for (ULONG i = 0; names + 8 * i + 8 <= size; ++i) {
            ULONG64 name;
            memcpy(&name, image + names + 8 * i, sizeof(name));
            if (name == 0) break;
            if ((name & kByOrdinal) || name + 2 >= size) continue;
            for (StandInEntry& entry : gEntries)
                if (strcmp((const CHAR*)image + name + 2, entry.name) == 0)
                    entry.slot = (PVOID*)(image + addresses + 8 * i);
        }
    }
    for (const StandInEntry& entry : gEntries)
        if (entry.slot == NULL) return FALSE;
    return TRUE;
}

BOOLEAN Writable(PVOID* slot, ULONG protect, ULONG* old) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"ZwProtectVirtualMemory");
    ProtectRoutine protectMemory = (ProtectRoutine)MmGetSystemRoutineAddress(&name);
    if (protectMemory == NULL) return FALSE;
    PVOID base = slot;
    SIZE_T length = sizeof(PVOID);
    return NT_SUCCESS(protectMemory((HANDLE)-1, &base, &length, protect, old));
}

// FALSE when a slot could not be made writable (and stays as it was).
BOOLEAN Swap(BOOLEAN standIn) {
    BOOLEAN all = TRUE;
    for (StandInEntry& entry : gEntries) {
        ULONG old = 0, unused;
        if (!Writable(entry.slot, 0x04 /* PAGE_READWRITE */, &old)) {
            all = FALSE;
            continue;
        }
        if (standIn) {
            entry.wine = *entry.slot;
            *entry.slot = entry.routine;
        } else if (entry.wine != NULL) {
            *entry.slot = entry.wine;
        }
        Writable(entry.slot, old, &unused);
    }
    return all;
}

}  // namespace

BOOLEAN StandIn(PDRIVER_OBJECT filter) {
    if (gStoodIn) return gAllIn;
    if (!FindSlots((PUCHAR)filter->DriverStart, filter->DriverSize)) return FALSE;
    gAllIn = Swap(TRUE);
    gStoodIn = TRUE;
    return gAllIn;
}

VOID VouchFor(ULONG_PTR page) { gVouched = page; }

VOID WaitForWorkItems() {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER millisecond;
    millisecond.QuadPart = -10000;
    while (__atomic_load_n(&gOutstanding, __ATOMIC_ACQUIRE) != 0)
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &millisecond);
}

VOID StandDown() {
    WaitForWorkItems();
    gVouched = 0;
    gStoodIn = FALSE;
    gAllIn = FALSE;
    for (StandInEntry& entry : gEntries)
        if (entry.slot != NULL && entry.wine != NULL) {
            Swap(FALSE);
            break;
        }
}

}  // namespace zkt
