#include "trace/block.h"

#include "platform/nt.h"

namespace {

// The guarded copy: its frame may be abandoned by a fault, so it owns
// nothing. Byte by byte through volatile, so that every read happens inside
// the guarded region.
struct BlockCopy {
    const volatile UCHAR* Source;
    volatile UCHAR* Copy;
    ULONG Length;
};

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

    BlockCopy block;
    block.Source = (const volatile UCHAR*)Source;
    block.Copy = (PUCHAR)Copy;
    block.Length = Length;
    if (NT_SUCCESS(ZkGuardedCall(CopyBytes, &block)))
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
