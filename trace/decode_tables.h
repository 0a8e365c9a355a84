// The decoders' vocabulary: one table per kind of value, each checked at
// compile time for order, reach and length. Included by trace/decode.cpp only.
#pragma once
#include "platform/nt.h"
#include "trace/decode.h"

#ifndef SRB_STATUS_QUEUE_FROZEN
#define SRB_STATUS_QUEUE_FROZEN 0x40
#endif
#ifndef SRB_STATUS_AUTOSENSE_VALID
#define SRB_STATUS_AUTOSENSE_VALID 0x80
#endif

// The one operation code whose name depends on more than byte 0.
constexpr UCHAR ZK_CDB_ATA_PASSTHROUGH = 0xCC;
constexpr ULONG ZK_CDB_ATA_COMMAND_BYTE = 8;

struct ZK_CODE_NAME {
    ULONG Code;
    PCSTR Text;
};

constexpr ZK_CODE_NAME ZK_StatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC00000AF, "STATUS_ILLEGAL_FUNCTION"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
};

constexpr ZK_CODE_NAME ZK_SrbFunctionNames[] = {
    {0x00, "SRB_FUNCTION_EXECUTE_SCSI"}, {0x01, "SRB_FUNCTION_CLAIM_DEVICE"}, {0x12, "SRB_FUNCTION_RESET_BUS"},
    {0x15, "SRB_FUNCTION_FLUSH_QUEUE"},  {0x18, "SRB_FUNCTION_LOCK_QUEUE"},   {0x19, "SRB_FUNCTION_UNLOCK_QUEUE"},
};

// Base statuses only: the two flag bits are decoded as suffixes.
constexpr ZK_CODE_NAME ZK_SrbStatusNames[] = {
    {0x00, "SRB_STATUS_PENDING"},
    {0x01, "SRB_STATUS_SUCCESS"},
    {0x02, "SRB_STATUS_ABORTED"},
    {0x04, "SRB_STATUS_ERROR"},
    {0x09, "SRB_STATUS_TIMEOUT"},
    {0x0E, "SRB_STATUS_BUS_RESET"},
    {0x10, "SRB_STATUS_REQUEST_SENSE_FAILED"},
    {0x12, "SRB_STATUS_DATA_OVERRUN"},
    {0x16, "SRB_STATUS_REQUEST_FLUSHED"},
};

constexpr CHAR ZK_SrbQueueFrozenSuffix[] = " | SRB_STATUS_QUEUE_FROZEN";
constexpr CHAR ZK_SrbAutosenseValidSuffix[] = " | SRB_STATUS_AUTOSENSE_VALID";

constexpr ZK_CODE_NAME ZK_ScsiStatusNames[] = {
    {0x00, "SCSISTAT_GOOD"},
    {0x02, "SCSISTAT_CHECK_CONDITION"},
    {0x04, "SCSISTAT_CONDITION_MET"},
    {0x08, "SCSISTAT_BUSY"},
    {0x10, "SCSISTAT_INTERMEDIATE"},
    {0x14, "SCSISTAT_INTERMEDIATE_COND_MET"},
    {0x18, "SCSISTAT_RESERVATION_CONFLICT"},
    {0x22, "SCSISTAT_COMMAND_TERMINATED"},
    {0x28, "SCSISTAT_QUEUE_FULL"},
};

// Keyed by sense key byte << 16 | ASC << 8 | ASCQ. The key byte is taken
// whole, so a set FILEMARK, EOM or ILI bit leads to a different row (or to
// none). The spelling of the texts is what users grep their logs for: keep it.
constexpr ZK_CODE_NAME ZK_SenseCodeNames[] = {
    {0x000000, "READY"},
    {0x020401, "LOGICAL UNIT NOT READY - IN PROGESS OF BECOMING READY"},
    {0x023A00, "MEDIUM NOT PRESENT"},
    {0x023A01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x052000, "INVALID COMMAND OPERATION CODE"},
    {0x052100, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x052400, "INVALID FIELD IN CDB"},
    {0x052600, "INVALID FIELD IN PARAMETER LIST"},
    {0x052601, "PARAMETER NOT SUPPORTED"},
    {0x052602, "PARAMETER VALUE INVALID"},
    {0x060000, "READY"},
    {0x062800, "NOT READY TO READY TRANSITION, MEDIUM MAY HAVE CHANGED"},
    {0x062900, "POWER ON, RESET OR BUS DEVICE RESET OCCURED"},
    {0x062901, "POWER ON OCCURRED"},
    {0x062E00, "INSUFFICIENT TIME FOR OPERATION"},
    {0x080000, "BLANK CHECK."},
    {0x080005, "NO DATA DETECTED"},
    {0x800001, "FILEMARK DETECTED"},
};

// Operation codes with a fixed name; ATA pass-through is formatted apart.
constexpr ZK_CODE_NAME ZK_CdbNames[] = {
    {0x00, "TEST UNIT READY"},
    {0x01, "REZERO UNIT"},
    {0x03, "REQUEST SENSE"},
    {0x08, "READ [Tape]"},
    {0x11, "SPACE"},
    {0x12, "INQUIRY"},
    {0x1A, "MODE SENSE [6]"},
    {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT/ALLOW MEDIUM REMOVAL"},
    {0x25, "READ CD-ROM CAPACITY"},
    {0x28, "READ [10]"},
    {0x2A, "WRITE [10]"},
    {0x2B, "SEEK"},
    {0x42, "READ SUB-CHANNEL"},
    {0x43, "READ TOC"},
    {0x44, "READ HEADER"},
    {0x45, "PLAY AUDIO"},
    {0x46, "GET CONFIGURATION"},
    {0x47, "PLAY AUDIO MSF"},
    {0x4A, "GET EVENT NOTIFICATION"},
    {0x4B, "PAUSE/RESUME"},
    {0x4E, "STOP PLAY / SCAN"},
    {0x55, "MODE SELECT [10]"},
    {0x5A, "MODE SENSE [10]"},
    {0xA6, "LOAD/UNLOAD CD"},
    {0xA8, "READ [12]"},
    {0xAD, "READ DVD STRUCTURE"},
    {0xB9, "READ CD MSF"},
    {0xBA, "SCAN"},
    {0xBB, "SET CD SPEED"},
    {0xBC, "PLAY CD"},
    {0xBD, "MECHANISM STATUS"},
    {0xBE, "READ CD"},
};

// ---------------------------------------------------------------------------
// Compile-time checks. Strictly ascending codes rule out duplicates (a second
// row for a code would never be reached); every code must lie within the bits
// its decoder compares; every text plus NUL must fit the decoder's contract.

constexpr SIZE_T ZK_TextSize(PCSTR Text)
{
    SIZE_T size = 1;
    while (*Text++ != '\0')
        ++size;
    return size;
}

template <SIZE_T N>
constexpr bool ZK_StrictlyAscending(const ZK_CODE_NAME (&Table)[N])
{
    for (SIZE_T i = 1; i < N; ++i)
        if (Table[i - 1].Code >= Table[i].Code)
            return false;
    return true;
}

template <SIZE_T N>
constexpr bool ZK_CodesWithin(const ZK_CODE_NAME (&Table)[N], ULONG Mask)
{
    for (const ZK_CODE_NAME& row : Table)
        if ((row.Code & ~Mask) != 0)
            return false;
    return true;
}

template <SIZE_T N>
constexpr SIZE_T ZK_LongestText(const ZK_CODE_NAME (&Table)[N])
{
    SIZE_T longest = 0;
    for (const ZK_CODE_NAME& row : Table)
        if (ZK_TextSize(row.Text) > longest)
            longest = ZK_TextSize(row.Text);
    return longest;
}

template <SIZE_T N>
constexpr bool ZK_Contains(const ZK_CODE_NAME (&Table)[N], ULONG Code)
{
    for (const ZK_CODE_NAME& row : Table)
        if (row.Code == Code)
            return true;
    return false;
}

static_assert(ZK_StrictlyAscending(ZK_StatusNames));
static_assert(ZK_StrictlyAscending(ZK_SrbFunctionNames));
static_assert(ZK_StrictlyAscending(ZK_SrbStatusNames));
static_assert(ZK_StrictlyAscending(ZK_ScsiStatusNames));
static_assert(ZK_StrictlyAscending(ZK_SenseCodeNames));
static_assert(ZK_StrictlyAscending(ZK_CdbNames));

static_assert(ZK_CodesWithin(ZK_SrbFunctionNames, 0xFF));
static_assert(ZK_CodesWithin(ZK_SrbStatusNames, 0xFF & ~(SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID)),
              "a base status row with a flag bit set could never match");
static_assert(ZK_CodesWithin(ZK_ScsiStatusNames, 0xFF));
static_assert(ZK_CodesWithin(ZK_SenseCodeNames, 0xFFFFFF));
static_assert(ZK_CodesWithin(ZK_CdbNames, 0xFF));
static_assert(!ZK_Contains(ZK_CdbNames, ZK_CDB_ATA_PASSTHROUGH),
              "ATA pass-through is named with its command byte, not from the table");

// Fixed texts and the widest fallback of each decoder.
static_assert(ZK_LongestText(ZK_StatusNames) <= ZK_STATUS_NAME_SIZE);
static_assert(sizeof("0xFFFFFFFF") <= ZK_STATUS_NAME_SIZE);
static_assert(ZK_LongestText(ZK_SrbFunctionNames) <= ZK_SRB_FUNCTION_NAME_SIZE);
static_assert(sizeof("0xFF") <= ZK_SRB_FUNCTION_NAME_SIZE);
static_assert(ZK_LongestText(ZK_SrbStatusNames) + sizeof(ZK_SrbQueueFrozenSuffix) - 1 +
                      sizeof(ZK_SrbAutosenseValidSuffix) - 1 <=
                  ZK_SRB_STATUS_NAME_SIZE,
              "the longest base status with both flag suffixes");
static_assert(sizeof("0xFF") + sizeof(ZK_SrbQueueFrozenSuffix) - 1 + sizeof(ZK_SrbAutosenseValidSuffix) - 1 <=
              ZK_SRB_STATUS_NAME_SIZE);
static_assert(ZK_LongestText(ZK_ScsiStatusNames) <= ZK_SCSI_STATUS_NAME_SIZE);
static_assert(sizeof("unknown 0xFF") <= ZK_SCSI_STATUS_NAME_SIZE);
static_assert(ZK_LongestText(ZK_SenseCodeNames) <= ZK_SENSE_CODE_NAME_SIZE);
static_assert(sizeof("unknown SenseCode 0xFF 0xFF 0xFF -> 0xFFFFFF") <= ZK_SENSE_CODE_NAME_SIZE);
static_assert(sizeof("Bad sense buffer 0xFFFFFFFFFFFFFFFF") <= ZK_SENSE_CODE_NAME_SIZE);
static_assert(ZK_LongestText(ZK_CdbNames) <= ZK_CDB_NAME_SIZE);
static_assert(sizeof("ATA PASSTHROUGH 0xFF") <= ZK_CDB_NAME_SIZE);
static_assert(sizeof("unknown command") <= ZK_CDB_NAME_SIZE);
