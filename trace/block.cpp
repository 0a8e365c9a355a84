#include "trace/block.h"

#include "platform/nt.h"

namespace {

// The guarded copies: their frames may be abandoned by a fault, so they own
// nothing. The routine runs only through ZkGuardedCall, so every read of the
// block happens inside the guarded region.
struct BlockRead {
    const void* Source;
    PVOID Copy;
    ULONG Length;
};

// Eight bytes of the source at any alignment, read by one load that the
// compiler may neither split, merge nor turn into a library call: the
// faulting instruction of a bad block stays the filter's own.
typedef volatile ULONG64 __attribute__((aligned(1))) ZK_UNALIGNED_QWORD;

// A read: eight bytes a load, then the last few one by one, never past the
// block's end (a block of hundreds of bytes, the IRB's 664, in a tenth of
// the instructions of a byte loop). The caller has tested its pages.
VOID CopyBlock(PVOID Context)
{
    BlockRead* block = (BlockRead*)Context;
    const UCHAR* source = (const UCHAR*)block->Source;
    PUCHAR copy = (PUCHAR)block->Copy;
    const ULONG length = block->Length;
    ULONG i = 0;
    for (; length - i >= sizeof(ULONG64); i += sizeof(ULONG64)) {
        const ULONG64 word = *(const ZK_UNALIGNED_QWORD*)(source + i);
        __builtin_memcpy(copy + i, &word, sizeof(word));
    }
    for (; i < length; ++i)
        copy[i] = ((const volatile UCHAR*)source)[i];
}

struct BlockCopy {
    const volatile UCHAR* Source;
    volatile UCHAR* Copy;
    ULONG Length;
};

// A write into another driver's block: byte by byte through volatile, in
// order, so that a fault on a read-only page stops it at that page's first
// byte.
VOID CopyBytes(PVOID Context)
{
    BlockCopy* block = (BlockCopy*)Context;
    for (ULONG i = 0; i < block->Length; ++i)
        block->Copy[i] = block->Source[i];
}

// No longer than a page, a block spans at most two pages: its first and its
// last byte lie in each of them, so two validity tests cover it.
BOOLEAN PagesValid(const void* Source, ULONG Length, ULONG_PTR* Last)
{
    if (Source == NULL || Length == 0 || Length > ZK_BLOCK_PAGE_SIZE)
        return FALSE;
    ULONG_PTR first = (ULONG_PTR)Source;
    *Last = first + (Length - 1);
    return *Last >= first && MmIsAddressValid((PVOID)first) && MmIsAddressValid((PVOID)*Last);
}

}  // namespace

// One load, wherever the word lies.
VOID ZK_ReadWordGuarded(PVOID Context)
{
    ZK_WORD_READ* read = (ZK_WORD_READ*)Context;
    __builtin_memcpy(&read->Value, read->Source, sizeof(read->Value));
}

// A copy cut short by a fault holds part of the block and whatever the
// caller's variable held before: it is cleared, so that nothing of it can be
// taken for the block.
BOOLEAN ZK_ReadBlock(const void* Source, PVOID Copy, ULONG Length)
{
    ULONG_PTR last;
    if (!PagesValid(Source, Length, &last)) {
        memset(Copy, 0, Length);
        return FALSE;
    }

    BlockRead block = {Source, Copy, Length};
    if (NT_SUCCESS(ZkGuardedCall(CopyBlock, &block)))
        return TRUE;
    memset(Copy, 0, Length);
    return FALSE;
}

BOOLEAN ZK_WriteBlock(PVOID Target, const void* Data, ULONG Length)
{
    ULONG_PTR last;
    if (!PagesValid(Target, Length, &last))
        return FALSE;

    BlockCopy block;
    block.Source = (const volatile UCHAR*)Data;
    block.Copy = (volatile UCHAR*)Target;
    block.Length = Length;
    return NT_SUCCESS(ZkGuardedCall(CopyBytes, &block));
}
