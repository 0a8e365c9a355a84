// Reading the small blocks that other drivers hand over by pointer: request
// blocks, parameter blocks, sense data. The pointer is the sender's word and
// the memory may be gone or paged out by the time the driver looks, so a
// block is copied, never read in place; and the fields the driver puts in
// another's block are written the same way.
//
// What protects a read, at the IRQL the block arrives at (up to
// DISPATCH_LEVEL):
// - A block that comes with a request (an SRB, URB or IRB, its parameter
//   and sense blocks, an MDL header) is its sender's memory for as long as
//   the request is under way: the filter reads it only while it holds the
//   request, in its dispatch or completion routine. That contract is what
//   keeps the block there between the validity test and the copy.
// - The validity test is what the kernel allows for the rest: a pointer that
//   names no memory at all is not touched, since on Windows a fault on a
//   kernel address that is not mapped stops the machine at any IRQL, guarded
//   or not; a page that is not resident is not touched either (it cannot be
//   brought in at DISPATCH_LEVEL).
// - The guarded copy catches what does raise: a user address that faults,
//   and a page made read-only (a write). A sender that frees its block while
//   its request is still under way breaks the contract above; no reader
//   survives that on Windows, and the filter does not try to.
#pragma once
#include "platform/guarded.h"
#include "platform/ntbase.h"
#include "platform/ntio.h"

// The page the validity tests are made for.
constexpr ULONG ZK_BLOCK_PAGE_SIZE = 0x1000;

// Copies Length bytes (at most a page) from Source into Copy when every page
// they span is valid, in one copy inside a guarded region. FALSE, with Copy
// zeroed, for a NULL, invalid or paged-out source or a fault while copying.
// Any IRQL up to DISPATCH_LEVEL: a page that is not resident is never
// touched.
BOOLEAN ZK_ReadBlock(const void* Source, PVOID Copy, ULONG Length);

// The guarded read of ZK_ReadWord: one load of the four bytes at Source,
// into Value.
struct ZK_WORD_READ {
    const void* Source;
    ULONG Value;
};
ZK_GUARDED_ROUTINE ZK_ReadWordGuarded;

// Reads the four bytes at Source (any alignment) as one little-endian word,
// inside a guarded region: the first field of a request block, read on
// every request whatever the mask. One validity test, a second only when
// the word runs into the next page (it starts in a page's last three bytes).
// FALSE, with *Value zeroed, for a NULL, invalid or paged-out source, one
// whose last byte would wrap past the top of the address space, or a fault.
// Any IRQL up to DISPATCH_LEVEL. Inline: it runs in the frame of the
// dispatch or completion routine that needs the word.
FORCEINLINE BOOLEAN ZK_ReadWord(const void* Source, PULONG Value)
{
    const ULONG_PTR first = (ULONG_PTR)Source;
    const ULONG_PTR last = first + (sizeof(ULONG) - 1);
    // The value is written by the guarded read alone, and read only when it
    // finished.
    ZK_WORD_READ read;
    read.Source = Source;
    // The next page first, so that nothing but the read itself is kept
    // across the calls. Every failure leaves by one end, so that the caller
    // tests the answer once.
    if (Source == NULL || last <= first ||
        ((first & (ZK_BLOCK_PAGE_SIZE - 1)) > ZK_BLOCK_PAGE_SIZE - sizeof(ULONG) && !MmIsAddressValid((PVOID)last)) ||
        !MmIsAddressValid((PVOID)first) || !NT_SUCCESS(ZkGuardedCall(ZK_ReadWordGuarded, &read))) {
        *Value = 0;
        return FALSE;
    }
    *Value = read.Value;
    return TRUE;
}

// Copies Length bytes (at most a page) from Data to Target when every page
// they span is valid, inside a guarded region, byte by byte (Target need not
// be aligned for its type). FALSE for a NULL, invalid or paged-out target or
// a fault while writing (a read-only page: nothing was written).
BOOLEAN ZK_WriteBlock(PVOID Target, const void* Data, ULONG Length);
