#include "internal/block.h"

#include "platform/nt.h"

namespace {

constexpr ULONG ZK_PAGE_SIZE = 0x1000;

// The guarded copy: its frame may be abandoned by a fault, so it owns
// nothing. Byte by byte through volatile, so that every read happens inside
// the guarded region.
struct BlockCopy {
    const volatile UCHAR* Source;
    PUCHAR Copy;
    ULONG Length;
};

VOID CopyBytes(PVOID Context)
{
    BlockCopy* block = (BlockCopy*)Context;
    for (ULONG i = 0; i < block->Length; ++i)
        block->Copy[i] = block->Source[i];
}

}  // namespace

BOOLEAN ZK_ReadBlock(const void* Source, PVOID Copy, ULONG Length)
{
    if (Source == NULL || Length == 0 || Length > ZK_PAGE_SIZE)
        return FALSE;
    // No longer than a page, the block spans at most two: its first and its
    // last byte lie in each of them.
    ULONG_PTR first = (ULONG_PTR)Source;
    ULONG_PTR last = first + (Length - 1);
    if (last < first || !MmIsAddressValid((PVOID)first) || !MmIsAddressValid((PVOID)last))
        return FALSE;

    BlockCopy block;
    block.Source = (const volatile UCHAR*)Source;
    block.Copy = (PUCHAR)Copy;
    block.Length = Length;
    return NT_SUCCESS(ZkGuardedCall(CopyBytes, &block));
}
