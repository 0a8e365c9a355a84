// IEEE 1394 callback interposition: the records that stand in for a client's
// callback context, and the substitute routines the bus calls in place of the
// client's. Each substitute traces the call and then calls the client's own
// routine with the client's own context.
#pragma once
#include "driver/extension.h"


// Pool tag of the records: "Ddk " in memory.
constexpr ULONG ZK_CALLBACK_TAG = 0x206B6444;

typedef struct _ZK_CALLBACK_CONTEXT {
    ULONG FreeAfterCall;  // bit 0: ZK_AllocationCompletionRoutine frees the record after its call
    PVOID SavedContext;
    PVOID SavedCallback;
    PPORT_PHYS_ADDR_ROUTINE SavedMappingRoutine;
    PZK_EXTENSION Extension;
    ULONG Number;
    PMDL Mdl;
    // The filter keeps every record on its list until no call can come any
    // more: its address range was freed, or the device went away.
    LIST_ENTRY Link;
    HANDLE AddressRange;  // the bus's handle of the range, once its allocation completed
} ZK_CALLBACK_CONTEXT, *PZK_CALLBACK_CONTEXT;

// A new record on the filter's list, numbered, with FreeAfterCall, Extension
// and Number set and no range yet; NULL when the pool has none, and then
// nothing changed (the numbering included). Any IRQL up to DISPATCH_LEVEL.
PZK_CALLBACK_CONTEXT ZK_NewCallbackContext(PZK_EXTENSION Extension, ULONG FreeAfterCall);

// Takes the record off its filter's list and frees it. The caller knows that
// no call through the record can come any more.
VOID ZK_FreeCallbackContext(PZK_CALLBACK_CONTEXT Record);

// Whether Record is one of Extension's records, still allocated. Records
// are found this way from what a lower driver hands back, never trusted.
BOOLEAN ZK_IsCallbackContext(PZK_EXTENSION Extension, PVOID Record);

// The allocation of the record's range completed: remembers the bus's handle
// of the range, so that its release frees the record.
VOID ZK_SetCallbackRange(PZK_EXTENSION Extension, PVOID Record, HANDLE AddressRange);

// The range was released: frees the records that served it.
VOID ZK_FreeRangeCallbackContexts(PZK_EXTENSION Extension, HANDLE AddressRange);

// The device is gone and the lower drivers have finished its removal: frees
// every record of the filter that is left. PASSIVE_LEVEL.
VOID ZK_FreeCallbackContexts(PZK_EXTENSION Extension);

// Puts Callback and Context into the client's allocation block at Irb (the
// two fields side by side, in one guarded copy, at any alignment). FALSE
// when the block cannot be written: then it was left as it was.
BOOLEAN ZK_PutAllocationCallback(PVOID Irb, PVOID Callback, PVOID Context);

// The substitutes, of the bus's routine types.
DRIVER_NOTIFICATION_ROUTINE ZK_DriverNotificationRoutine;
ALLOCATION_COMPLETION_ROUTINE ZK_AllocationCompletionRoutine;
PORT_PHYS_ADDR_ROUTINE ZK_PhysAddrMappingRoutine;
