#include "ioctl/callerdata.h"

#include "trace/dump.h"

namespace {

// The system address of a locked MDL's memory, mapping it if it has none yet
// (NULL when the mapping fails). The mapping goes with the MDL when its owner
// unlocks it.
PVOID MappedAddress(PMDL Mdl)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
}

// Where the range starts within the MDL's memory, or FALSE when the MDL does
// not describe all of it.
BOOLEAN OffsetInMdl(PMDL Mdl, PVOID Address, ULONG Length, ULONG* Offset)
{
    ULONG_PTR first = (ULONG_PTR)Mdl->StartVa + Mdl->ByteOffset;
    ULONG_PTR start = (ULONG_PTR)Address;
    if (start < first || start - first > Mdl->ByteCount || Length > Mdl->ByteCount - (start - first))
        return FALSE;
    *Offset = (ULONG)(start - first);
    return TRUE;
}

struct LockContext {
    PMDL Mdl;
    BOOLEAN Locked;
};

VOID LockAsProgram(PVOID Context)
{
    LockContext* lock = (LockContext*)Context;
    MmProbeAndLockPages(lock->Mdl, UserMode, IoReadAccess);
    lock->Locked = TRUE;
}

}  // namespace

PVOID ZK_MapSenderData(PIRP Irp, PVOID Address, ULONG Length, PMDL* Mdl)
{
    *Mdl = NULL;
    if (Irp->RequestorMode == KernelMode)
        return ZK_MapBuffer(Address, Length, Mdl);
    if (Address == NULL || Length == 0 || KeGetCurrentIrql() > PASSIVE_LEVEL)
        return NULL;

    LockContext lock;
    lock.Mdl = IoAllocateMdl(Address, Length, FALSE, FALSE, NULL);
    lock.Locked = FALSE;
    if (lock.Mdl == NULL)
        return NULL;
    ZkGuardedCall(LockAsProgram, &lock);
    PVOID address = lock.Locked ? MmMapLockedPagesSpecifyCache(lock.Mdl, KernelMode, MmCached, NULL, FALSE,
                                                                NormalPagePriority)
                                : NULL;
    if (address != NULL) {
        *Mdl = lock.Mdl;
        return address;
    }
    if (lock.Locked)
        MmUnlockPages(lock.Mdl);
    IoFreeMdl(lock.Mdl);
    return NULL;
}

PVOID ZK_MapRequestData(PIRP Irp, PVOID Address, ULONG Length, PMDL* Mdl)
{
    *Mdl = NULL;
    if (Address == NULL || Length == 0)
        return NULL;

    PMDL mdl = Irp->MdlAddress;
    ULONG offset;
    if (mdl != NULL && (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) &&
        OffsetInMdl(mdl, Address, Length, &offset)) {
        PUCHAR system = (PUCHAR)MappedAddress(mdl);
        return system != NULL ? system + offset : NULL;
    }
    if (Irp->RequestorMode != KernelMode)
        return NULL;
    return ZK_MapBuffer(Address, Length, Mdl);
}
