#include "trace/dump.h"

#include "platform/nt.h"
#include "trace/print.h"

namespace {

constexpr ULONG_PTR ZK_PAGE_SIZE = 0x1000;
constexpr CHAR ZK_HEX_DIGITS[] = "0123456789ABCDEF";

// Hex pair k sits at 3k, one column further right from the ninth byte on.
constexpr ULONG HexColumn(ULONG Index)
{
    return 3 * Index + (Index >= 8 ? 1 : 0);
}
static_assert(HexColumn(7) == 21 && HexColumn(8) == 25);
static_assert(HexColumn(ZK_DUMP_BYTES_PER_LINE - 1) + 2 < ZK_DUMP_CHAR_COLUMN,
              "the last hex pair ends before the character column");
static_assert(ZK_DUMP_CHAR_COLUMN + ZK_DUMP_BYTES_PER_LINE == ZK_DUMP_LINE_CHARS);
static_assert(ZK_DUMP_LIMIT / ZK_DUMP_BYTES_PER_LINE == 128);

BOOLEAN StartsPage(const volatile UCHAR* Address)
{
    return ((ULONG_PTR)Address & (ZK_PAGE_SIZE - 1)) == 0;
}

// Everything the guarded dump loop needs: its frame may be abandoned by a
// fault, so it holds nothing that needs cleaning up.
struct DumpContext {
    ULONG Level;
    PZK_EXTENSION Extension;
    const volatile UCHAR* Start;
    ULONG Length;
};

VOID DumpLines(PVOID Context)
{
    DumpContext* dump = (DumpContext*)Context;
    ULONG dumped = 0;
    while (dumped < dump->Length) {
        CHAR line[ZK_DUMP_LINE_CHARS + 1];
        memset(line, ' ', ZK_DUMP_LINE_CHARS);
        line[ZK_DUMP_LINE_CHARS] = '\0';

        // Each line start has been tested already; a line that runs into the
        // next page is tested again there, so that the dump never reads an
        // invalid page (on Windows an unmapped kernel page would stop the
        // machine, not raise). The bytes before that page are still shown.
        BOOLEAN stop = FALSE;
        ULONG count = 0;
        while (count < ZK_DUMP_BYTES_PER_LINE && dumped < dump->Length) {
            const volatile UCHAR* address = dump->Start + dumped;
            if (count > 0 && StartsPage(address) && !MmIsAddressValid((PVOID)address)) {
                stop = TRUE;
                break;
            }
            UCHAR value = *address;
            ULONG column = HexColumn(count);
            line[column] = ZK_HEX_DIGITS[value >> 4];
            line[column + 1] = ZK_HEX_DIGITS[value & 0xF];
            line[ZK_DUMP_CHAR_COLUMN + count] = value < 0x20 ? '.' : (CHAR)value;
            ++count;
            ++dumped;
        }
        ZK_Print(dump->Level, dump->Extension, "%s\n", line);

        if (stop || dumped >= dump->Length)
            return;
        if (!MmIsAddressValid((PVOID)(dump->Start + dumped)))
            return;
    }
}

// The system address of an MDL's memory, mapping it if it has none yet. The
// mapping is left to the MDL's owner to undo.
PVOID SystemAddress(PMDL Mdl)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
}

struct MapContext {
    PMDL Mdl;
    BOOLEAN Locked;
    PVOID Address;
};

VOID LockAndMap(PVOID Context)
{
    MapContext* map = (MapContext*)Context;
    MmProbeAndLockPages(map->Mdl, KernelMode, IoModifyAccess);
    map->Locked = TRUE;

    // A failed mapping must come back as NULL, not stop the machine.
    CSHORT canFail = map->Mdl->MdlFlags & MDL_MAPPING_CAN_FAIL;
    map->Mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
    map->Address = SystemAddress(map->Mdl);
    if (!canFail)
        map->Mdl->MdlFlags &= ~MDL_MAPPING_CAN_FAIL;
}

}  // namespace

VOID ZK_DumpMemory(ULONG Level, PZK_EXTENSION Extension, PVOID Address, ULONG Length)
{
    if (Length > ZK_DUMP_LIMIT)
        Length = ZK_DUMP_LIMIT;
    if (Length == 0 || Address == NULL || !MmIsAddressValid(Address))
        return;

    DumpContext dump;
    dump.Level = Level;
    dump.Extension = Extension;
    dump.Start = (const volatile UCHAR*)Address;
    dump.Length = Length;
    NTSTATUS status = ZkGuardedCall(DumpLines, &dump);
    if (!NT_SUCCESS(status))
        ZK_Print(Level, Extension, "ZK_DumpMemory: Pointer 0x%X sucks. Status 0x%X.\n", ZK_Low32(Address),
                 (ULONG)status);
}

VOID ZK_DumpMdl(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit)
{
    if (Mdl == NULL)
        return;
    ZK_Print(TRACE_IO, Extension, "ZK_DumpMemory: MDL: 0x%X - Length: 0x%X.\n", ZK_Low32(Mdl), Mdl->ByteCount);

    // A limit of 0 stays 0: the caller wants the header line only.
    if (LengthLimit != 0 && LengthLimit > Mdl->ByteCount)
        LengthLimit = Mdl->ByteCount;

    PVOID address = SystemAddress(Mdl);
    if (address != NULL)
        ZK_DumpMemory(Level, Extension, address, LengthLimit);
}

PVOID ZK_MapBuffer(PVOID Buffer, ULONG Length, PMDL* Mdl)
{
    *Mdl = NULL;
    if (MmIsAddressValid(Buffer))
        return Buffer;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return NULL;
    // Nothing to lock: an MDL would describe no page.
    if (Buffer == NULL || Length == 0)
        return NULL;

    MapContext map;
    map.Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, NULL);
    map.Locked = FALSE;
    map.Address = NULL;
    if (map.Mdl == NULL)
        return NULL;

    ZkGuardedCall(LockAndMap, &map);
    if (map.Locked && map.Address != NULL) {
        *Mdl = map.Mdl;
        return map.Address;
    }
    if (map.Locked)
        MmUnlockPages(map.Mdl);
    IoFreeMdl(map.Mdl);
    return NULL;
}
