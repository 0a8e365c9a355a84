// The driver's pool: non-executable non-paged memory under the driver's own
// tag, so that a pool tool attributes every block (and every leak) to it.
#pragma once
#include "platform/ntio.h"

// "ZkRc" in memory, as the pool tools show it.
constexpr ULONG ZK_POOL_TAG = 0x63526B5A;

// Any IRQL up to DISPATCH_LEVEL. NULL when the pool has none.
inline PVOID ZK_PoolAllocate(SIZE_T Bytes)
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, Bytes, ZK_POOL_TAG);
}

inline VOID ZK_PoolFree(PVOID Block)
{
    ExFreePoolWithTag(Block, ZK_POOL_TAG);
}
