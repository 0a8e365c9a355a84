#include "internal/callback.h"

#include "driver/pool.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/dump.h"
#include "trace/print.h"

// How a record lives, and why no substitute ever runs on freed memory:
//
// - Every record of the driver is on one list, under one lock, from its
//   making until it is taken off. Whatever names a record from outside (the
//   context a bus or a client calls a substitute with, the context a lower
//   driver leaves in a completed block) is looked up on that list before
//   anything is read through it. An address that is not there (freed, never
//   made, another driver's) is nothing of the filter's: nothing is read
//   through it and nothing called.
// - A call through a record counts itself in the record's Calls and in its
//   filter's CallbackCalls while it runs. A record taken off the list is
//   freed by whoever lets go of it last, so a call that found it can finish.
// - A client's block holds a substitute and a record only while the
//   allocation is in the lower driver's hands: once the bus has taken the
//   pair (the allocation request completed, or the host's mapping routine
//   completes the allocation or refuses it) the block gets the client's own
//   routine and context back. A block the client sends again therefore
//   carries its own pair and is interposed afresh; it never carries a record
//   that its range's release freed.
// - The records of an allocation request live until the bus lets go of the
//   range (its release completed, or the device was removed). The host's
//   mapping routine's record lives until the driver unloads: a client may
//   call the routine as long as it likes. At the device's removal such
//   records are retired (Extension NULL, no more lines), after the
//   substitutes still running for the device have returned.
namespace {

KSPIN_LOCK ZkRecordLock;  // zero is a free spin lock; made ready again at load
LIST_ENTRY ZkRecords;     // the live records; made ready at load

// The one place the records' pool is asked for and given back.
PZK_CALLBACK_CONTEXT AllocateRecord()
{
    return (PZK_CALLBACK_CONTEXT)ZK_PoolAllocate(sizeof(ZK_CALLBACK_CONTEXT));
}

VOID FreeRecord(PZK_CALLBACK_CONTEXT Record)
{
    ZK_PoolFree(Record);
}

KIRQL Lock()
{
    KIRQL irql;
    KeAcquireSpinLock(&ZkRecordLock, &irql);
    return irql;
}

VOID Unlock(KIRQL Irql)
{
    KeReleaseSpinLock(&ZkRecordLock, Irql);
}

PZK_CALLBACK_CONTEXT RecordOf(PLIST_ENTRY Entry)
{
    return (PZK_CALLBACK_CONTEXT)((PUCHAR)Entry - __builtin_offsetof(ZK_CALLBACK_CONTEXT, Link));
}

// The live record at Address, or NULL; the lock is held.
PZK_CALLBACK_CONTEXT FindLocked(PVOID Address)
{
    for (PLIST_ENTRY entry = ZkRecords.Flink; entry != &ZkRecords; entry = entry->Flink)
        if (RecordOf(entry) == Address)
            return RecordOf(entry);
    return NULL;
}

// Takes the record off the list; the lock is held. TRUE when no call runs
// through it: the caller frees it once the lock is let go. Otherwise the last
// call frees it.
BOOLEAN DropLocked(PZK_CALLBACK_CONTEXT Record)
{
    // NOLINTNEXTLINE(clang-analyzer-core.NullDereference): a record on the list has both links.
    Record->Link.Blink->Flink = Record->Link.Flink;
    Record->Link.Flink->Blink = Record->Link.Blink;
    Record->Link.Flink = NULL;
    Record->Link.Blink = NULL;
    return Record->Calls == 0;
}

// A chain of dropped records to free after the lock, through Link.Blink.
VOID FreeChain(PZK_CALLBACK_CONTEXT Chain)
{
    while (Chain != NULL) {
        PZK_CALLBACK_CONTEXT next = (PZK_CALLBACK_CONTEXT)Chain->Link.Blink;
        FreeRecord(Chain);
        Chain = next;
    }
}

VOID ChainLocked(PZK_CALLBACK_CONTEXT Record, PZK_CALLBACK_CONTEXT* Chain)
{
    if (DropLocked(Record)) {
        Record->Link.Blink = (PLIST_ENTRY)*Chain;
        *Chain = Record;
    }
}

// A call through the record at Address begins. NULL when no live record is
// there. *Extension is its filter's record, NULL once the record is retired.
PZK_CALLBACK_CONTEXT Enter(PVOID Address, PZK_EXTENSION* Extension)
{
    KIRQL irql = Lock();
    PZK_CALLBACK_CONTEXT record = FindLocked(Address);
    PZK_EXTENSION extension = NULL;
    if (record != NULL) {
        record->Calls++;
        extension = record->Extension;
        if (extension != NULL)
            extension->CallbackCalls++;
    }
    Unlock(irql);
    *Extension = extension;
    return record;
}

// The call ends. A removal waiting for the filter's calls goes on; a record
// dropped meanwhile goes with its last call. Neither is touched afterwards.
VOID Leave(PZK_CALLBACK_CONTEXT Record, PZK_EXTENSION Extension)
{
    KIRQL irql = Lock();
    BOOLEAN free = --Record->Calls == 0 && Record->Link.Flink == NULL;
    if (Extension != NULL && --Extension->CallbackCalls == 0 && Extension->CallbackRetiring)
        KeSetEvent(&Extension->CallbackIdle, IO_NO_INCREMENT, FALSE);
    Unlock(irql);
    if (free)
        FreeRecord(Record);
}

constexpr ULONG ZK_CALLBACK_AT = __builtin_offsetof(IRB, u.AllocateAddressRange.Callback);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Context) == ZK_CALLBACK_AT + sizeof(PVOID));

// The client's own pair back into its block, when the block still holds one
// of the filter's substitutes and Record. Record is compared, not read.
VOID GiveBlockBack(PVOID Block, PVOID Record, PVOID Callback, PVOID Context)
{
    PVOID now[2];
    if (!ZK_ReadBlock((PUCHAR)Block + ZK_CALLBACK_AT, now, sizeof(now)) || now[1] != Record)
        return;
    if (now[0] == (PVOID)ZK_AllocationCompletionRoutine || now[0] == (PVOID)ZK_DriverNotificationRoutine)
        ZK_PutAllocationCallback(Block, Callback, Context);
}

}  // namespace

VOID ZK_InitCallbackContexts()
{
    KeInitializeSpinLock(&ZkRecordLock);
    ZkRecords.Flink = &ZkRecords;
    ZkRecords.Blink = &ZkRecords;
}

VOID ZK_FreeRetiredCallbackContexts()
{
    KIRQL irql = Lock();
    PZK_CALLBACK_CONTEXT chain = NULL;
    while (ZkRecords.Flink != &ZkRecords)
        ChainLocked(RecordOf(ZkRecords.Flink), &chain);
    Unlock(irql);
    FreeChain(chain);
}

BOOLEAN ZK_PutAllocationCallback(PVOID Irb, PVOID Callback, PVOID Context)
{
    PVOID fields[2] = {Callback, Context};
    return ZK_WriteBlock((PUCHAR)Irb + ZK_CALLBACK_AT, fields, sizeof(fields));
}

PZK_CALLBACK_CONTEXT ZK_NewCallbackContext(PZK_EXTENSION Extension, ULONG FreeAfterCall)
{
    PZK_CALLBACK_CONTEXT record = AllocateRecord();
    if (record == NULL)
        return NULL;
    record->FreeAfterCall = FreeAfterCall;
    record->SavedContext = NULL;
    record->SavedCallback = NULL;
    record->SavedMappingRoutine = NULL;
    record->Mdl = NULL;
    record->AddressRange = NULL;
    record->Block = NULL;
    record->Calls = 0;

    // Numbered under the lock: two records made at the same moment never
    // share a number. One made by a substitute that still runs while its
    // device is being removed is retired from the start.
    KIRQL irql = Lock();
    record->Number = (ULONG)ZK_NextCallbackSerial(Extension);
    record->Extension = Extension->CallbackRetiring ? NULL : Extension;
    record->Link.Flink = &ZkRecords;
    record->Link.Blink = ZkRecords.Blink;
    ZkRecords.Blink->Flink = &record->Link;
    ZkRecords.Blink = &record->Link;
    Unlock(irql);
    return record;
}

VOID ZK_FreeCallbackContext(PZK_CALLBACK_CONTEXT Record)
{
    KIRQL irql = Lock();
    BOOLEAN free = Record->Link.Flink != NULL && DropLocked(Record);
    Unlock(irql);
    if (free)
        FreeRecord(Record);
}

BOOLEAN ZK_IsCallbackContext(PZK_EXTENSION Extension, PVOID Record)
{
    KIRQL irql = Lock();
    PZK_CALLBACK_CONTEXT record = FindLocked(Record);
    BOOLEAN found = record != NULL && record->Extension == Extension;
    Unlock(irql);
    return found;
}

BOOLEAN ZK_HasCallbackContexts(PZK_EXTENSION Extension)
{
    KIRQL irql = Lock();
    BOOLEAN found = FALSE;
    for (PLIST_ENTRY entry = ZkRecords.Flink; entry != &ZkRecords && !found; entry = entry->Flink)
        found = RecordOf(entry)->Extension == Extension;
    Unlock(irql);
    return found;
}

VOID ZK_EndAllocation(PZK_EXTENSION Extension, PVOID Block, PVOID Context, BOOLEAN Succeeded, HANDLE AddressRange)
{
    PVOID callback = NULL;
    PVOID context = NULL;
    PZK_CALLBACK_CONTEXT chain = NULL;
    KIRQL irql = Lock();
    // Only the record this filter put into this very block: the lower
    // driver may have left anything in the block's context.
    PZK_CALLBACK_CONTEXT record = FindLocked(Context);
    if (record != NULL && (record->Extension != Extension || record->Block != Block || (record->FreeAfterCall & 1)))
        record = NULL;
    if (record != NULL) {
        callback = record->SavedCallback;
        context = record->SavedContext;
        // A range the bus refused is never called back: its record goes.
        if (Succeeded)
            record->AddressRange = AddressRange;
        else
            ChainLocked(record, &chain);
    }
    Unlock(irql);
    if (record != NULL)
        GiveBlockBack(Block, record, callback, context);
    FreeChain(chain);
}

VOID ZK_FreeRangeCallbackContexts(PZK_EXTENSION Extension, HANDLE AddressRange)
{
    if (AddressRange == NULL)
        return;
    PZK_CALLBACK_CONTEXT chain = NULL;
    KIRQL irql = Lock();
    for (PLIST_ENTRY entry = ZkRecords.Flink; entry != &ZkRecords;) {
        PZK_CALLBACK_CONTEXT record = RecordOf(entry);
        entry = entry->Flink;
        if (record->Extension == Extension && record->AddressRange == AddressRange)
            ChainLocked(record, &chain);
    }
    Unlock(irql);
    FreeChain(chain);
}

VOID ZK_FreeCallbackContexts(PZK_EXTENSION Extension)
{
    // The bus has let go of the device's ranges: their records go. The
    // others are retired: nothing reaches this filter's record through them
    // any more.
    PZK_CALLBACK_CONTEXT chain = NULL;
    KIRQL irql = Lock();
    Extension->CallbackRetiring = TRUE;
    for (PLIST_ENTRY entry = ZkRecords.Flink; entry != &ZkRecords;) {
        PZK_CALLBACK_CONTEXT record = RecordOf(entry);
        entry = entry->Flink;
        if (record->Extension != Extension)
            continue;
        record->Extension = NULL;
        if (record->AddressRange != NULL)
            ChainLocked(record, &chain);
    }
    BOOLEAN running = Extension->CallbackCalls != 0;
    Unlock(irql);
    FreeChain(chain);

    // The substitutes that found this filter's record before: the last one
    // to return sets the event under the lock, and is done with the record
    // once the lock is free again.
    if (running) {
        KeWaitForSingleObject(&Extension->CallbackIdle, Executive, KernelMode, FALSE, NULL);
        irql = Lock();
        Unlock(irql);
    }
}

// ---------------------------------------------------------------------------
// The substitutes. Each finds its record on the list first; a context that
// is no live record of the filter's calls nothing. A retired record's
// substitute prints nothing and calls the client's routine all the same.

// The bus reports a read or write by a remote node on an interposed range.
// The information block is the bus's: it is read from a copy, and only its
// Context is written, for the call in progress.
VOID ZK_DriverNotificationRoutine(PNOTIFICATION_INFO NotificationInfo)
{
    NOTIFICATION_INFO info;
    if (!ZK_ReadBlock(NotificationInfo, &info, sizeof(info)))
        return;
    PZK_EXTENSION extension;
    PZK_CALLBACK_CONTEXT record = Enter(info.Context, &extension);
    if (record == NULL)
        return;
    if (extension != NULL) {
        ZK_Print(TRACE_IO, extension,
                 "ZK_DriverNotificationRoutine: #%u Mdl: 0x%X, Offset: 0x%X, Length: 0x%X, fulNotificationOptions: "
                 "0x%X, NotificationInfo: 0x%X.\n",
                 record->Number, ZK_Low32(info.Mdl), info.ulOffset, info.nLength, info.fulNotificationOptions,
                 ZK_Low32(info.Context));
        if (info.Mdl != NULL)
            ZK_DumpMdl(TRACE_INTERNAL, extension, info.Mdl, 0);
    }
    PVOID context = record->SavedContext;
    PDRIVER_NOTIFICATION_ROUTINE callback = (PDRIVER_NOTIFICATION_ROUTINE)record->SavedCallback;
    Leave(record, extension);
    if (callback == NULL)
        return;
    NotificationInfo->Context = context;
    callback(NotificationInfo);
}

VOID ZK_AllocationCompletionRoutine(PVOID Context)
{
    PZK_EXTENSION extension;
    PZK_CALLBACK_CONTEXT record = Enter(Context, &extension);
    if (record == NULL)
        return;
    if (extension != NULL) {
        ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: #%u MDL: 0x%X, Context: 0x%X.\n", record->Number,
                 ZK_Low32(record->Mdl), ZK_Low32(record));
        ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: Buffer before.\n");
        if (record->Mdl != NULL)
            ZK_DumpMdl(TRACE_INTERNAL, extension, record->Mdl, 0);
    }
    // The host's mapping routine has completed the allocation: the client's
    // block is its own again before its routine runs, the last moment at
    // which the block is surely still the allocation's.
    if ((record->FreeAfterCall & 1) && record->Block != NULL)
        GiveBlockBack(record->Block, record, record->SavedCallback, record->SavedContext);

    if (record->SavedCallback != NULL)
        ((PALLOCATION_COMPLETION_ROUTINE)record->SavedCallback)(record->SavedContext);

    if (extension != NULL) {
        ZK_Print(TRACE_IO, extension, "ZK_AllocationCompletionRoutine: Buffer after.\n");
        if (record->Mdl != NULL)
            ZK_DumpMdl(TRACE_INTERNAL, extension, record->Mdl, 0);
    }
    if (record->FreeAfterCall & 1)
        ZK_FreeCallbackContext(record);
    Leave(record, extension);
}

namespace {

// Puts a record of its own (FreeAfterCall 1) and the allocation completion
// substitute into the client's block at Irb; the record comes back held by
// the caller (one call), or NULL when nothing was put.
PZK_CALLBACK_CONTEXT InterposeAllocation(PZK_EXTENSION Extension, ULONG Number, PIRB Irb)
{
    // The request block is the requester's: read from a copy.
    IRB irb;
    if (!ZK_ReadBlock(Irb, &irb, sizeof(irb)))
        return NULL;
    const IRB_REQ_ALLOCATE_ADDRESS_RANGE* allocate = &irb.u.AllocateAddressRange;
    ZK_Print(TRACE_UNRECOGNISED, Extension,
             "ZK_PhysAddrMappingRoutine: #%u Irb: 0x%X, Mdl: 0x%X, fulNotificationOptions: 0x%X, Callback: 0x%X.\n",
             Number, ZK_Low32(Irb), ZK_Low32(allocate->Mdl), allocate->fulNotificationOptions,
             ZK_Low32(allocate->Callback));
    if (allocate->fulNotificationOptions != 0) {
        ZK_Print(TRACE_INTERNAL, Extension, "ZK_PhysAddrMappingRoutine: fulNotificationOptions sucks: 0x%X.\n",
                 allocate->fulNotificationOptions);
        return NULL;
    }
    // A block the filter may not write (its own fields written back fail)
    // is left as it is, before a record uses up a number.
    if (allocate->Callback == NULL || !ZK_PutAllocationCallback(Irb, allocate->Callback, allocate->Context))
        return NULL;
    PZK_CALLBACK_CONTEXT record = ZK_NewCallbackContext(Extension, 1);
    if (record == NULL)
        return NULL;
    record->SavedContext = allocate->Context;
    record->SavedCallback = allocate->Callback;
    record->Mdl = allocate->Mdl;
    record->Block = Irb;
    record->Calls = 1;  // not handed out yet: no other call can count
    if (!ZK_PutAllocationCallback(Irb, (PVOID)ZK_AllocationCompletionRoutine, record)) {
        ZK_FreeCallbackContext(record);
        Leave(record, NULL);
        return NULL;
    }
    ZK_Print(TRACE_INTERNAL, Extension, "ZK_PhysAddrMappingRoutine: #%u Original Context: 0x%X, New Context: 0x%X.\n",
             record->Number, ZK_Low32(record->SavedContext), ZK_Low32(record));
    return record;
}

}  // namespace

NTSTATUS ZK_PhysAddrMappingRoutine(PVOID Context, PIRB Irb)
{
    // A context that is no mapping record of the filter's names no routine
    // of the host's: there is nothing to pass the request to.
    PZK_EXTENSION extension;
    PZK_CALLBACK_CONTEXT mapping = Enter(Context, &extension);
    if (mapping == NULL)
        return STATUS_INVALID_PARAMETER;
    PPORT_PHYS_ADDR_ROUTINE host = mapping->SavedMappingRoutine;
    PVOID hostContext = mapping->SavedContext;
    PZK_CALLBACK_CONTEXT record = NULL;
    if (extension != NULL && host != NULL)
        record = InterposeAllocation(extension, mapping->Number, Irb);
    Leave(mapping, extension);
    if (host == NULL)
        return STATUS_INVALID_PARAMETER;

    NTSTATUS status = host(hostContext, Irb);
    if (record == NULL)
        return status;
    // A mapping refused at once completes nothing: the record would wait
    // for a call that never comes, and the requester gets its block back as
    // it was. A completion that came already has done both.
    if (!NT_SUCCESS(status)) {
        KIRQL irql = Lock();
        BOOLEAN listed = record->Link.Flink != NULL;
        if (listed)
            DropLocked(record);
        Unlock(irql);
        if (listed)
            GiveBlockBack(Irb, record, record->SavedCallback, record->SavedContext);
    }
    Leave(record, NULL);
    return status;
}
