#include "trace/callerdata.h"

#include "trace/dump.h"

namespace {

// Where the range starts within the MDL's memory, or FALSE when the MDL does
// not describe all of it. Mdl is a copy of the header.
BOOLEAN OffsetInMdl(const MDL* Mdl, PVOID Address, ULONG Length, ULONG* Offset)
{
    ULONG_PTR first = (ULONG_PTR)Mdl->StartVa + Mdl->ByteOffset;
    ULONG_PTR start = (ULONG_PTR)Address;
    if (start < first || start - first > Mdl->ByteCount || Length > Mdl->ByteCount - (start - first))
        return FALSE;
    *Offset = (ULONG)(start - first);
    return TRUE;
}

}  // namespace

PVOID ZK_MapSenderData(PIRP Irp, PVOID Address, ULONG Length, PMDL* Mdl)
{
    *Mdl = NULL;
    if (Irp->RequestorMode == KernelMode)
        return ZK_MapBuffer(Address, Length, Mdl);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return NULL;
    return ZK_LockAndMap(Address, Length, UserMode, IoReadAccess, Mdl);
}

VOID ZK_DumpRequestData(ULONG Level, PZK_EXTENSION Extension, PIRP Irp, PVOID Address, ULONG Length)
{
    if (Address == NULL || Length == 0)
        return;
    if (Length > ZK_DUMP_LIMIT)
        Length = ZK_DUMP_LIMIT;

    // The request's MDL belongs to whoever built it. It lives, in non-paged
    // memory, until the request is completed past this routine, and its pages
    // stay locked meanwhile: its header may be read at any IRQL. It is read
    // once, and never written.
    PMDL mdl = Irp->MdlAddress;
    MDL header;
    ULONG offset = 0;
    if (mdl != NULL) {
        header = *mdl;
        if (!(header.MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) ||
            !OffsetInMdl(&header, Address, Length, &offset))
            mdl = NULL;
    }
    if (mdl != NULL) {
        if (header.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
            if (header.MappedSystemVa != NULL)
                ZK_DumpMemory(Level, Extension, (PUCHAR)header.MappedSystemVa + offset, Length);
            return;
        }
        ZK_MDL_VIEW view;
        PVOID system = ZK_MapMdlView(&view, mdl, Address, Length);
        if (system != NULL) {
            ZK_DumpMemory(Level, Extension, system, Length);
            ZK_UnmapMdlView(&view, system);
        }
        return;
    }
    if (Irp->RequestorMode != KernelMode)
        return;
    PMDL own;
    PVOID system = ZK_MapBuffer(Address, Length, &own);
    if (system != NULL)
        ZK_DumpMemory(Level, Extension, system, Length);
    if (own != NULL) {
        MmUnlockPages(own);
        IoFreeMdl(own);
    }
}
