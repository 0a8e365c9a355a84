// Result and command names. The tables live in trace/decode_tables.h; here
// is only the lookup and the fallbacks, which always carry the value.
#include "trace/decode.h"

#include "platform/nt.h"
#include "trace/decode_tables.h"

// Copies Text and its NUL; returns the address of that NUL, where a suffix
// goes.
static PCHAR ZK_CopyText(PCHAR Buffer, PCSTR Text)
{
    while ((*Buffer = *Text) != '\0') {
        ++Buffer;
        ++Text;
    }
    return Buffer;
}

template <SIZE_T N>
static PCSTR ZK_FindName(const ZK_CODE_NAME (&Table)[N], ULONG Code)
{
    for (const ZK_CODE_NAME& row : Table)
        if (row.Code == Code)
            return row.Text;
    return nullptr;
}

// The fixed text for Code, or Fallback formatted with Code.
template <SIZE_T N>
static PCHAR ZK_NameOrFormat(const ZK_CODE_NAME (&Table)[N], ULONG Code, PCSTR Fallback, PCHAR Buffer)
{
    PCSTR name = ZK_FindName(Table, Code);
    if (name != nullptr)
        return ZK_CopyText(Buffer, name);
    return Buffer + sprintf(Buffer, Fallback, Code);
}

VOID ZK_StatusName(NTSTATUS Status, PCHAR Buffer)
{
    ZK_NameOrFormat(ZK_StatusNames, (ULONG)Status, "0x%X", Buffer);
}

VOID ZK_SrbFunctionName(ULONG Function, PCHAR Buffer)
{
    ZK_NameOrFormat(ZK_SrbFunctionNames, Function & 0xFF, "0x%X", Buffer);
}

VOID ZK_SrbStatusName(ULONG SrbStatus, PCHAR Buffer)
{
    const ULONG value = SrbStatus & 0xFF;
    const ULONG base = value & ~(ULONG)(SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID);

    // An unknown base prints the whole byte: the flags then show twice, as
    // digits and as suffixes, but the reader sees the value the port driver
    // actually stored.
    PCSTR name = ZK_FindName(ZK_SrbStatusNames, base);
    PCHAR end = name != nullptr ? ZK_CopyText(Buffer, name) : Buffer + sprintf(Buffer, "0x%X", value);

    if (value & SRB_STATUS_QUEUE_FROZEN)
        end = ZK_CopyText(end, ZK_SrbQueueFrozenSuffix);
    if (value & SRB_STATUS_AUTOSENSE_VALID)
        ZK_CopyText(end, ZK_SrbAutosenseValidSuffix);
}

VOID ZK_ScsiStatusName(ULONG ScsiStatus, PCHAR Buffer)
{
    ZK_NameOrFormat(ZK_ScsiStatusNames, ScsiStatus & 0xFF, "unknown 0x%X", Buffer);
}

VOID ZK_SenseCodeName(PVOID SenseBuffer, PCHAR Buffer)
{
    if (!MmIsAddressValid(SenseBuffer)) {
        sprintf(Buffer, "Bad sense buffer 0x%p", SenseBuffer);
        return;
    }

    // Fixed format: sense key byte at 2, ASC at 12, ASCQ at 13. The response
    // code and the additional length are not consulted, so a short or
    // descriptor-format buffer still decodes as whatever those bytes hold.
    const UCHAR* sense = (const UCHAR*)SenseBuffer;
    const ULONG key = sense[2];
    const ULONG asc = sense[12];
    const ULONG ascq = sense[13];
    const ULONG code = (key << 16) | (asc << 8) | ascq;

    PCSTR name = ZK_FindName(ZK_SenseCodeNames, code);
    if (name != nullptr)
        ZK_CopyText(Buffer, name);
    else
        sprintf(Buffer, "unknown SenseCode 0x%02X 0x%02X 0x%02X -> 0x%06X", key, asc, ascq, code);
}

VOID ZK_CdbName(const UCHAR* Cdb, PCHAR Buffer)
{
    // Byte 8 is touched only here: callers guarantee nine readable bytes for
    // an ATA pass-through and a single byte for anything else.
    if (Cdb[0] == ZK_CDB_ATA_PASSTHROUGH) {
        sprintf(Buffer, "ATA PASSTHROUGH 0x%02X", (ULONG)Cdb[ZK_CDB_ATA_COMMAND_BYTE]);
        return;
    }
    PCSTR name = ZK_FindName(ZK_CdbNames, Cdb[0]);
    ZK_CopyText(Buffer, name != nullptr ? name : "unknown command");
}
