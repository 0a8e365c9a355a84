// IEEE 1394 callback interposition: the records that stand in for a client's
// callback context, and the substitute routines the bus calls in place of the
// client's. Each substitute traces the call and then calls the client's own
// routine with the client's own context.
#pragma once
#include "driver/extension.h"


typedef struct ZK_CALLBACK_CONTEXT {
    ULONG FreeAfterCall;  // bit 0: ZK_AllocationCompletionRoutine frees the record after its call
    PVOID SavedContext;
    PVOID SavedCallback;
    PPORT_PHYS_ADDR_ROUTINE SavedMappingRoutine;
    PZK_EXTENSION Extension;  // NULL once the device is gone: the record is retired and prints nothing
    ULONG Number;
    PMDL Mdl;
    // On the driver's list of live records (callback.cpp says how they live);
    // Flink is NULL once the record is off it.
    LIST_ENTRY Link;
    HANDLE AddressRange;  // the bus's handle of the range, once its allocation completed
    PVOID Block;          // the client's allocation block that holds the substitute and this record
    ULONG Calls;          // calls through the record running now (and the mapping routine's hold)
} ZK_CALLBACK_CONTEXT, *PZK_CALLBACK_CONTEXT;

// The driver's list of records, empty: at load.
VOID ZK_InitCallbackContexts();

// Frees the records the removed devices left behind (the host's mapping
// routine's, which a client may call as long as the driver is there): at
// unload, when no call can come any more.
VOID ZK_FreeRetiredCallbackContexts();

// A new record on the driver's list, numbered, with FreeAfterCall, Extension
// and Number set, every saved field NULL and no range yet; NULL when the
// pool has none, and then nothing changed (the numbering included). Any
// IRQL up to DISPATCH_LEVEL.
PZK_CALLBACK_CONTEXT ZK_NewCallbackContext(PZK_EXTENSION Extension, ULONG FreeAfterCall);

// Takes a live record off the list; it is freed now, or when the last call
// running through it returns. The caller knows that no new call through the
// record can come.
VOID ZK_FreeCallbackContext(PZK_CALLBACK_CONTEXT Record);

// Whether Record is one of Extension's live records. Records are found this
// way from what a lower driver hands back, never trusted.
BOOLEAN ZK_IsCallbackContext(PZK_EXTENSION Extension, PVOID Record);

// Whether Extension has any live record (a release may then free some).
BOOLEAN ZK_HasCallbackContexts(PZK_EXTENSION Extension);

// The allocation that went down in Block has completed, and the block now
// holds Context: when that is the record the filter put into this very
// block, the block gets the client's own routine and context back (the bus
// has taken the pair by now), and the record remembers the bus's handle of
// the range, or goes when the bus refused the range.
VOID ZK_EndAllocation(PZK_EXTENSION Extension, PVOID Block, PVOID Context, BOOLEAN Succeeded,
                      HANDLE AddressRange);

// The range was released: frees the records that served it.
VOID ZK_FreeRangeCallbackContexts(PZK_EXTENSION Extension, HANDLE AddressRange);

// The device is gone and the lower drivers have finished its removal: waits
// for the substitutes still running for it, frees the records of its ranges
// and retires the rest until unload. PASSIVE_LEVEL.
VOID ZK_FreeCallbackContexts(PZK_EXTENSION Extension);

// Puts Callback and Context into the client's allocation block at Irb (the
// two fields side by side, in one guarded copy, at any alignment). FALSE
// when the block cannot be written: then it was left as it was.
BOOLEAN ZK_PutAllocationCallback(PVOID Irb, PVOID Callback, PVOID Context);

// The substitutes, of the bus's routine types.
DRIVER_NOTIFICATION_ROUTINE ZK_DriverNotificationRoutine;
ALLOCATION_COMPLETION_ROUTINE ZK_AllocationCompletionRoutine;
PORT_PHYS_ADDR_ROUTINE ZK_PhysAddrMappingRoutine;
