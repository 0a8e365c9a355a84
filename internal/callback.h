// IEEE 1394 callback interposition: the records that stand in for a client's
// callback context, and the substitute routines the bus calls in place of the
// client's. Each substitute traces the call and then calls the client's own
// routine with the client's own context.
#pragma once
#include "driver/extension.h"
#include "driver/lifetime.h"

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

// Load, removal and unload reach the records through the driver core's
// ZK_InitCallbackContexts, ZK_FreeCallbackContexts and
// ZK_FreeRetiredCallbackContexts (driver/lifetime.h).

// A new record on the driver's list, numbered, with FreeAfterCall, Extension
// and Number set, every saved field NULL and no range yet; NULL when the
// pool has none, and then nothing changed (the numbering included). Any
// IRQL up to DISPATCH_LEVEL.
PZK_CALLBACK_CONTEXT ZK_NewCallbackContext(PZK_EXTENSION Extension, ULONG FreeAfterCall);

// Takes a live record off the list; it is freed now, or when the last call
// running through it returns. The caller knows that no new call through the
// record can come.
VOID ZK_FreeCallbackContext(PZK_CALLBACK_CONTEXT Record);

// Whether Record is one of Extension's live records. A context handed back
// by a lower driver or the bus is never trusted: the allocation's end
// (ZK_EndAllocation) and every substitute look it up on the driver's list of
// live records, as this does, before anything is read through it.
BOOLEAN ZK_IsCallbackContext(PZK_EXTENSION Extension, PVOID Record);

// Whether Extension has any live record (a release may then free some).
BOOLEAN ZK_HasCallbackContexts(PZK_EXTENSION Extension);

// The allocation that went down in Block has completed, and the block now
// holds Context: when that is the record the filter put into this very
// block, the block gets the client's own routine and context back (the bus
// has taken the pair by now), and the record remembers the bus's handle of
// the range, or goes when the bus refused the range.
VOID ZK_EndAllocation(PZK_EXTENSION Extension, PVOID Block, PVOID Context, BOOLEAN Succeeded, HANDLE AddressRange);

// The range was released: frees the records that served it.
VOID ZK_FreeRangeCallbackContexts(PZK_EXTENSION Extension, HANDLE AddressRange);

// Puts Callback and Context into the client's allocation block at Irb (the
// two fields side by side, in one guarded copy, at any alignment). FALSE
// when the block cannot be written: then it was left as it was.
BOOLEAN ZK_PutAllocationCallback(PVOID Irb, PVOID Callback, PVOID Context);

// The substitutes, of the bus's routine types.
DRIVER_NOTIFICATION_ROUTINE ZK_DriverNotificationRoutine;
ALLOCATION_COMPLETION_ROUTINE ZK_AllocationCompletionRoutine;
PORT_PHYS_ADDR_ROUTINE ZK_PhysAddrMappingRoutine;
