#include "internal/callback.h"

#include "internal/block.h"
#include "platform/nt.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

VOID Unlink(PLIST_ENTRY Entry)
{
    Entry->Blink->Flink = Entry->Flink;
    Entry->Flink->Blink = Entry->Blink;
}

PZK_CALLBACK_CONTEXT RecordOf(PLIST_ENTRY Entry)
{
    return (PZK_CALLBACK_CONTEXT)((PUCHAR)Entry - __builtin_offsetof(ZK_CALLBACK_CONTEXT, Link));
}

// The record on Extension's list at Address, or NULL; the lock is held.
PZK_CALLBACK_CONTEXT FindLocked(PZK_EXTENSION Extension, PVOID Address)
{
    PLIST_ENTRY head = &Extension->CallbackRecords;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink)
        if (RecordOf(entry) == Address)
            return RecordOf(entry);
    return NULL;
}

}  // namespace

BOOLEAN ZK_PutAllocationCallback(PVOID Irb, PVOID Callback, PVOID Context)
{
    constexpr ULONG callbackAt = __builtin_offsetof(IRB, u.AllocateAddressRange.Callback);
    static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Context) == callbackAt + sizeof(PVOID));
    PVOID fields[2] = {Callback, Context};
    return ZK_WriteBlock((PUCHAR)Irb + callbackAt, fields, sizeof(fields));
}

PZK_CALLBACK_CONTEXT ZK_NewCallbackContext(PZK_EXTENSION Extension, ULONG FreeAfterCall)
{
    PZK_CALLBACK_CONTEXT record =
        (PZK_CALLBACK_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(ZK_CALLBACK_CONTEXT), ZK_CALLBACK_TAG);
    if (record == NULL)
        return NULL;
    record->FreeAfterCall = FreeAfterCall;
    record->Extension = Extension;
    record->AddressRange = NULL;

    // Numbered under the lock that guards the list: two records made at the
    // same moment never share a number.
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CallbackLock, &irql);
    record->Number = (ULONG)ZK_NextCallbackSerial(Extension);
    PLIST_ENTRY head = &Extension->CallbackRecords;
    record->Link.Flink = head;
    record->Link.Blink = head->Blink;
    head->Blink->Flink = &record->Link;
    head->Blink = &record->Link;
    KeReleaseSpinLock(&Extension->CallbackLock, irql);
    return record;
}

VOID ZK_FreeCallbackContext(PZK_CALLBACK_CONTEXT Record)
{
    PZK_EXTENSION extension = Record->Extension;
    KIRQL irql;
    KeAcquireSpinLock(&extension->CallbackLock, &irql);
    Unlink(&Record->Link);
    KeReleaseSpinLock(&extension->CallbackLock, irql);
    ExFreePool(Record);
}

BOOLEAN ZK_IsCallbackContext(PZK_EXTENSION Extension, PVOID Record)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CallbackLock, &irql);
    BOOLEAN found = FindLocked(Extension, Record) != NULL;
    KeReleaseSpinLock(&Extension->CallbackLock, irql);
    return found;
}

VOID ZK_SetCallbackRange(PZK_EXTENSION Extension, PVOID Record, HANDLE AddressRange)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CallbackLock, &irql);
    PZK_CALLBACK_CONTEXT record = FindLocked(Extension, Record);
    if (record != NULL)
        record->AddressRange = AddressRange;
    KeReleaseSpinLock(&Extension->CallbackLock, irql);
}

VOID ZK_FreeRangeCallbackContexts(PZK_EXTENSION Extension, HANDLE AddressRange)
{
    if (AddressRange == NULL)
        return;
    // Taken off the list under the lock, freed after it.
    LIST_ENTRY released;
    released.Flink = &released;
    released.Blink = &released;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CallbackLock, &irql);
    PLIST_ENTRY head = &Extension->CallbackRecords;
    for (PLIST_ENTRY entry = head->Flink; entry != head;) {
        PLIST_ENTRY next = entry->Flink;
        if (RecordOf(entry)->AddressRange == AddressRange) {
            Unlink(entry);
            entry->Flink = released.Flink;
            released.Flink = entry;
        }
        entry = next;
    }
    KeReleaseSpinLock(&Extension->CallbackLock, irql);
    for (PLIST_ENTRY entry = released.Flink; entry != &released;) {
        PLIST_ENTRY next = entry->Flink;
        ExFreePool(RecordOf(entry));
        entry = next;
    }
}

VOID ZK_FreeCallbackContexts(PZK_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CallbackLock, &irql);
    PLIST_ENTRY head = &Extension->CallbackRecords;
    PLIST_ENTRY entry = head->Flink;
    head->Flink = head;
    head->Blink = head;
    KeReleaseSpinLock(&Extension->CallbackLock, irql);
    while (entry != head) {
        PLIST_ENTRY next = entry->Flink;
        ExFreePool(RecordOf(entry));
        entry = next;
    }
}

// ---------------------------------------------------------------------------
// The substitutes

// The bus reports a read or write by a remote node on an interposed range.
// The information block is the bus's: it is read from a copy, and only its
// Context is written, for the call in progress.
VOID ZK_DriverNotificationRoutine(PNOTIFICATION_INFO NotificationInfo)
{
    NOTIFICATION_INFO info;
    if (!ZK_ReadBlock(NotificationInfo, &info, sizeof(info)))
        return;
    PZK_CALLBACK_CONTEXT record = (PZK_CALLBACK_CONTEXT)info.Context;
    PZK_EXTENSION extension = record->Extension;
    ZK_Print(TRACE_IO, extension,
             "ZK_DriverNotificationRoutine: #%u Mdl: 0x%X, Offset: 0x%X, Length: 0x%X, fulNotificationOptions: 0x%X, "
             "NotificationInfo: 0x%X.\n",
             record->Number, ZK_Low32(info.Mdl), info.ulOffset, info.nLength, info.fulNotificationOptions,
             ZK_Low32(info.Context));
    if (info.Mdl != NULL)
        ZK_DumpMdl(TRACE_INTERNAL, extension, info.Mdl, 0);

    NotificationInfo->Context = record->SavedContext;
    ((PDRIVER_NOTIFICATION_ROUTINE)record->SavedCallback)(NotificationInfo);
}

VOID ZK_AllocationCompletionRoutine(PVOID Context)
{
    PZK_CALLBACK_CONTEXT record = (PZK_CALLBACK_CONTEXT)Context;
    PZK_EXTENSION extension = record->Extension;
    ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: #%u MDL: 0x%X, Context: 0x%X.\n", record->Number,
             ZK_Low32(record->Mdl), ZK_Low32(record));
    ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: Buffer before.\n");
    if (record->Mdl != NULL)
        ZK_DumpMdl(TRACE_INTERNAL, extension, record->Mdl, 0);

    ((PALLOCATION_COMPLETION_ROUTINE)record->SavedCallback)(record->SavedContext);

    ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: Buffer after.\n");
    if (record->Mdl != NULL)
        ZK_DumpMdl(TRACE_INTERNAL, extension, record->Mdl, 0);
    if (record->FreeAfterCall & 1)
        ZK_FreeCallbackContext(record);
}

NTSTATUS ZK_PhysAddrMappingRoutine(PVOID Context, PIRB Irb)
{
    PZK_CALLBACK_CONTEXT mapping = (PZK_CALLBACK_CONTEXT)Context;
    PZK_EXTENSION extension = mapping->Extension;

    // The request block is the requester's: read from a copy. One that
    // cannot be read goes to the host's routine untouched.
    IRB irb;
    PZK_CALLBACK_CONTEXT record = NULL;
    if (ZK_ReadBlock(Irb, &irb, sizeof(irb))) {
        const IRB_REQ_ALLOCATE_ADDRESS_RANGE* allocate = &irb.u.AllocateAddressRange;
        ZK_Print(TRACE_UNRECOGNISED, extension,
                 "ZK_PhysAddrMappingRoutine: #%u Irb: 0x%X, Mdl: 0x%X, fulNotificationOptions: 0x%X, Callback: 0x%X.\n",
                 mapping->Number, ZK_Low32(Irb), ZK_Low32(allocate->Mdl), allocate->fulNotificationOptions,
                 ZK_Low32(allocate->Callback));
        if (allocate->fulNotificationOptions != 0) {
            ZK_Print(TRACE_INTERNAL, extension, "ZK_PhysAddrMappingRoutine: fulNotificationOptions sucks: 0x%X.\n",
                     allocate->fulNotificationOptions);
        } else if (allocate->Callback != NULL &&
                   ZK_PutAllocationCallback(Irb, allocate->Callback, allocate->Context)) {
            // (The block can be written: its own fields went back in place.)
            record = ZK_NewCallbackContext(extension, 1);
            if (record != NULL) {
                record->SavedContext = allocate->Context;
                record->SavedCallback = allocate->Callback;
                record->Mdl = allocate->Mdl;
                if (!ZK_PutAllocationCallback(Irb, (PVOID)ZK_AllocationCompletionRoutine, record)) {
                    ZK_FreeCallbackContext(record);
                    record = NULL;
                }
            }
            if (record != NULL) {
                ZK_Print(TRACE_INTERNAL, extension,
                         "ZK_PhysAddrMappingRoutine: #%u Original Context: 0x%X, New Context: 0x%X.\n", record->Number,
                         ZK_Low32(record->SavedContext), ZK_Low32(record));
            }
        }
    }

    NTSTATUS status = mapping->SavedMappingRoutine(mapping->SavedContext, Irb);
    // A mapping refused at once completes nothing: the record would wait for
    // a call that never comes. The requester gets its block back as it was.
    if (record != NULL && !NT_SUCCESS(status)) {
        ZK_PutAllocationCallback(Irb, record->SavedCallback, record->SavedContext);
        ZK_FreeCallbackContext(record);
    }
    return status;
}
