#include "trace/dump.h"

#include "platform/nt.h"
#include "trace/block.h"
#include "trace/print.h"

namespace {

constexpr ULONG_PTR ZK_PAGE_SIZE = 0x1000;

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
static_assert(ZK_DUMP_BYTES_PER_LINE < ZK_PAGE_SIZE, "a line meets at most one page start");

// The two upper-case hex digits of every byte value, so that a byte costs
// one lookup and no formatting.
struct HexPairs {
    CHAR Digits[256][2];
};
constexpr HexPairs MakeHexPairs()
{
    constexpr CHAR hex[] = "0123456789ABCDEF";
    HexPairs pairs{};
    for (ULONG value = 0; value < 256; ++value) {
        pairs.Digits[value][0] = hex[value >> 4];
        pairs.Digits[value][1] = hex[value & 0xF];
    }
    return pairs;
}
constexpr HexPairs ZK_HEX_PAIRS = MakeHexPairs();
static_assert(ZK_HEX_PAIRS.Digits[0x00][0] == '0' && ZK_HEX_PAIRS.Digits[0x9F][0] == '9' &&
              ZK_HEX_PAIRS.Digits[0x9F][1] == 'F' && ZK_HEX_PAIRS.Digits[0xA0][0] == 'A');

// A line as it is printed: the 66 columns, the newline and the terminator,
// in words so that it starts out blank eight columns a store; its text is
// written and read through a character pointer.
constexpr ULONG ZK_DUMP_LINE_WORDS = (ZK_DUMP_LINE_CHARS + 2 + 7) / 8;
constexpr ULONG64 ZK_BLANKS = 0x2020202020202020ull;

FORCEINLINE VOID PutByte(CHAR* Line, ULONG Index, UCHAR Value)
{
    CHAR* pair = Line + HexColumn(Index);
    pair[0] = ZK_HEX_PAIRS.Digits[Value][0];
    pair[1] = ZK_HEX_PAIRS.Digits[Value][1];
    Line[ZK_DUMP_CHAR_COLUMN + Index] = Value < 0x20 ? '.' : (CHAR)Value;
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
        ULONG64 words[ZK_DUMP_LINE_WORDS];
        for (ULONG64& word : words)
            word = ZK_BLANKS;
        CHAR* line = (CHAR*)words;
        line[ZK_DUMP_LINE_CHARS] = '\n';
        line[ZK_DUMP_LINE_CHARS + 1] = '\0';

        const volatile UCHAR* source = dump->Start + dumped;
        ULONG count = dump->Length - dumped;
        if (count > ZK_DUMP_BYTES_PER_LINE)
            count = ZK_DUMP_BYTES_PER_LINE;

        // Each line start has been tested already; a line that runs into the
        // next page is tested again there, so that the dump never reads an
        // invalid page (on Windows an unmapped kernel page would stop the
        // machine, not raise). The bytes before that page are still shown.
        BOOLEAN stop = FALSE;
        ULONG beforePage = (ULONG)(ZK_PAGE_SIZE - ((ULONG_PTR)source & (ZK_PAGE_SIZE - 1)));
        if (beforePage < count && !MmIsAddressValid((PVOID)(source + beforePage))) {
            count = beforePage;
            stop = TRUE;
        }

        if (count == ZK_DUMP_BYTES_PER_LINE) {
#pragma clang loop unroll(full)
            for (ULONG index = 0; index < ZK_DUMP_BYTES_PER_LINE; ++index)
                PutByte(line, index, source[index]);
        } else {
            for (ULONG index = 0; index < count; ++index)
                PutByte(line, index, source[index]);
        }
        dumped += count;

        if (dump->Extension->TraceMask & dump->Level)
            ZK_PrintText(dump->Extension, line);

        if (stop || dumped >= dump->Length)
            return;
        if (!MmIsAddressValid((PVOID)(dump->Start + dumped)))
            return;
    }
}

// The system address of the filter's own locked MDL, mapped without execute
// rights; the mapping goes when the MDL is unlocked.
PVOID SystemAddress(PMDL Mdl)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE,
                                        NormalPagePriority | MdlMappingNoExecute);
}

struct MapContext {
    PMDL Mdl;
    KPROCESSOR_MODE Mode;
    LOCK_OPERATION Access;
    BOOLEAN Locked;
    PVOID Address;
};

VOID LockAndMap(PVOID Context)
{
    MapContext* map = (MapContext*)Context;
    MmProbeAndLockPages(map->Mdl, map->Mode, map->Access);
    map->Locked = TRUE;

    // A failed mapping must come back as NULL, not stop the machine.
    CSHORT canFail = (CSHORT)(map->Mdl->MdlFlags & MDL_MAPPING_CAN_FAIL);
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

PVOID ZK_MapMdlView(ZK_MDL_VIEW* View, PMDL Source, PVOID Address, ULONG Length)
{
    // What MmInitializeMdl does: an empty MDL for the range, sized for the
    // pages it spans.
    ULONG_PTR start = (ULONG_PTR)Address;
    memset(View, 0, sizeof(*View));
    View->Mdl.Size = (CSHORT)sizeof(*View);
    View->Mdl.StartVa = (PVOID)(start & ~(ULONG_PTR)0xFFF);
    View->Mdl.ByteOffset = (ULONG)(start & 0xFFF);
    View->Mdl.ByteCount = Length;
    IoBuildPartialMdl(Source, &View->Mdl, Address, Length);
    // The view's flags are the filter's own to set: a failed mapping comes
    // back as NULL instead of stopping the machine.
    View->Mdl.MdlFlags |= MDL_MAPPING_CAN_FAIL;
    return MmMapLockedPagesSpecifyCache(&View->Mdl, KernelMode, MmCached, NULL, FALSE,
                                        NormalPagePriority | MdlMappingNoExecute);
}

VOID ZK_UnmapMdlView(ZK_MDL_VIEW* View, PVOID SystemAddress)
{
    MmUnmapLockedPages(SystemAddress, &View->Mdl);
}

// An MDL comes with the request, from whoever built it, and its owner may
// change it on another processor at any moment: its header is read once,
// through a guarded copy (of resident pages only, at any IRQL), and nothing
// is dumped from one that cannot be read. Nothing is ever written into it.
// Its memory is read where the owner mapped it, or, for locked pages without
// a mapping, through a view of the filter's own; an MDL that is neither
// mapped nor locked has no address that may be read.
namespace {

// The data lines of a dump of the MDL whose header was read.
VOID DumpMdlPages(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, const MDL* Header, ULONG LengthLimit)
{
    // A limit of 0 stays 0: the caller wants the header line only.
    if (LengthLimit != 0 && LengthLimit > Header->ByteCount)
        LengthLimit = Header->ByteCount;
    if (LengthLimit > ZK_DUMP_LIMIT)
        LengthLimit = ZK_DUMP_LIMIT;

    if (Header->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        if (Header->MappedSystemVa != NULL)
            ZK_DumpMemory(Level, Extension, Header->MappedSystemVa, LengthLimit);
        return;
    }
    // An MDL at an address no pool block has (MDLs come from the pool,
    // aligned), or with an offset past its first page, is no MDL: the kernel
    // is not asked to read its pages.
    if (!(Header->MdlFlags & MDL_PAGES_LOCKED) || LengthLimit == 0 || ((ULONG_PTR)Mdl & (sizeof(PVOID) - 1)) ||
        Header->ByteOffset >= 0x1000)
        return;
    ZK_MDL_VIEW view;
    PVOID address = ZK_MapMdlView(&view, Mdl, (PVOID)((ULONG_PTR)Header->StartVa + Header->ByteOffset), LengthLimit);
    if (address == NULL)
        return;
    ZK_DumpMemory(Level, Extension, address, LengthLimit);
    ZK_UnmapMdlView(&view, address);
}

}  // namespace

VOID ZK_DumpMdl(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit)
{
    if (Mdl == NULL)
        return;
    MDL header;
    if (!ZK_ReadBlock(Mdl, &header, sizeof(header)))
        return;
    ZK_Print(TRACE_IO, Extension, "ZK_DumpMemory: MDL: 0x%X - Length: 0x%X.\n", ZK_Low32(Mdl), header.ByteCount);
    DumpMdlPages(Level, Extension, Mdl, &header, LengthLimit);
}

VOID ZK_DumpMdlData(ULONG Level, PZK_EXTENSION Extension, PMDL Mdl, ULONG LengthLimit)
{
    MDL header;
    if (Mdl == NULL || LengthLimit == 0 || !ZK_ReadBlock(Mdl, &header, sizeof(header)))
        return;
    DumpMdlPages(Level, Extension, Mdl, &header, LengthLimit);
}

PVOID ZK_MapBuffer(PVOID Buffer, ULONG Length, PMDL* Mdl)
{
    *Mdl = NULL;
    if (MmIsAddressValid(Buffer))
        return Buffer;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return NULL;
    return ZK_LockAndMap(Buffer, Length, KernelMode, IoModifyAccess, Mdl);
}

PVOID ZK_LockAndMap(PVOID Buffer, ULONG Length, KPROCESSOR_MODE Mode, LOCK_OPERATION Access, PMDL* Mdl)
{
    *Mdl = NULL;
    // Nothing to lock: an MDL would describe no page.
    if (Buffer == NULL || Length == 0)
        return NULL;

    MapContext map;
    map.Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, NULL);
    map.Mode = Mode;
    map.Access = Access;
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
