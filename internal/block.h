// Reading the small blocks that other drivers hand over by pointer: request
// blocks, parameter blocks, sense data. The pointer is the sender's word and
// the memory may be gone or paged out by the time the driver looks, so a
// block is copied, never read in place; and the fields the driver puts in
// another's block are written the same way.
#pragma once
#include "platform/ntbase.h"

// Copies Length bytes (at most a page) from Source into Copy when every page
// they span is valid, inside a guarded region. FALSE, with Copy zeroed, for
// a NULL, invalid or paged-out source or a fault while copying. Any IRQL
// up to DISPATCH_LEVEL: a page that is not resident is never touched.
BOOLEAN ZK_ReadBlock(const void* Source, PVOID Copy, ULONG Length);

// Copies Length bytes (at most a page) from Data to Target when every page
// they span is valid, inside a guarded region, byte by byte (Target need not
// be aligned for its type). FALSE for a NULL, invalid or paged-out target or
// a fault while writing (a read-only page: nothing was written).
BOOLEAN ZK_WriteBlock(PVOID Target, const void* Data, ULONG Length);
