// The device-control codes the filter names. Each row names its code once,
// by its platform name, and its line is built from that name, so a row cannot
// print one code under another's name. Checked at compile time: strictly
// ascending (no duplicates), every row found, the private code of the
// control device absent.
//
// Only the base declarations are needed, which lets host code (tests)
// include this header beside the C library.
//
// ioctl/ stands beside internal/, above the driver core and the trace output,
// and includes internal/ in one place only:
//   ioctl/devicecontrol.cpp -> internal/urb.h: a program may name
//     IOCTL_INTERNAL_USB_SUBMIT_URB in a device control; its request is traced
//     by the URB lines of the internal path.
#pragma once
#include "platform/ntbase.h"
#include "platform/ntioctl.h"
#include "platform/ntscsi.h"

// What the dispatch routine does with a request of the row's code.
enum ZK_CONTROL_HANDLING : UCHAR {
    ZK_CONTROL_NAME = 0,          // the name line, then passed on unchanged
    ZK_CONTROL_GENERIC = 1,       // the name line, then passed on with the generic completion
    ZK_CONTROL_PASS_THROUGH = 2,  // the command and its parameters, the data going out; the pass-through completion
    ZK_CONTROL_BUFFER = 3,        // the system buffer's line and a dump of the input
    ZK_CONTROL_PROPERTY = 4,      // a line per query; the descriptor completion for the standard query
    ZK_CONTROL_URB = 5,           // the USB request block's own decoding
};

struct ZK_CONTROL_CODE {
    ULONG Code;
    PCSTR Line;  // takes the IRP's address; for the special handlings only the catalogue key
    ZK_CONTROL_HANDLING Handling;
};

#define ZK_CONTROL_ROW(Code, Handling)             \
    {                                              \
        Code, "Irp: 0x%X - " #Code ".\n", Handling \
    }
// Two platform names of one value: the line names both.
#define ZK_CONTROL_ROW2(Code, Alias)                                    \
    {                                                                   \
        Code, "Irp: 0x%X - " #Code " or " #Alias ".\n", ZK_CONTROL_NAME \
    }

inline constexpr ZK_CONTROL_CODE ZK_ControlCodes[] = {
    ZK_CONTROL_ROW(IOCTL_CDROM_DISK_TYPE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_GET_INQUIRY_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_GET_CAPABILITIES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_GET_ADDRESS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_RESCAN_BUS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_GET_DUMP_POINTERS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_SCSI_PASS_THROUGH, ZK_CONTROL_PASS_THROUGH),
    ZK_CONTROL_ROW(IOCTL_SCSI_MINIPORT, ZK_CONTROL_BUFFER),
    ZK_CONTROL_ROW(IOCTL_SCSI_PASS_THROUGH_DIRECT, ZK_CONTROL_PASS_THROUGH),
    ZK_CONTROL_ROW(IOCTL_IDE_PASS_THROUGH, ZK_CONTROL_BUFFER),
    ZK_CONTROL_ROW(IOCTL_ATA_PASS_THROUGH, ZK_CONTROL_BUFFER),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_DRIVE_GEOMETRY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_VERIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_PERFORMANCE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_IS_WRITABLE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_LOGGING, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_HISTOGRAM_STRUCTURE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_HISTOGRAM_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_HISTOGRAM_RESET, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_REQUEST_STRUCTURE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_REQUEST_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_CONTROLLER_NUMBER, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_PARTITION_INFO_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_DRIVE_LAYOUT_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_PERFORMANCE_OFF, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_UPDATE_PROPERTIES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SENSE_DEVICE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_INTERNAL_SET_VERIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_INTERNAL_CLEAR_VERIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_INTERNAL_SET_NOTIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_MEDIA_TYPES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_PARTITION_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_DRIVE_LAYOUT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_LENGTH_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(SMART_GET_VERSION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_CACHE_INFORMATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GET_WRITE_CACHE_STATE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_CHECK_VERIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_MEDIA_REMOVAL, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_EJECT_MEDIA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_LOAD_MEDIA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_RESERVE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_RELEASE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_FIND_NEW_DEVICES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SET_PARTITION_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SET_DRIVE_LAYOUT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_FORMAT_TRACKS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_REASSIGN_BLOCKS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_FORMAT_TRACKS_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SET_PARTITION_INFO_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SET_DRIVE_LAYOUT_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_CREATE_DISK, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(SMART_SEND_DRIVE_COMMAND, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(SMART_RCV_DRIVE_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_UPDATE_DRIVE_SIZE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_GROW_PARTITION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_SET_CACHE_INFORMATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_DELETE_DRIVE_LAYOUT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_DISK_FORMAT_DRIVE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_QUERY_ATTRIBUTES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_SET_TYPEMATIC, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_SET_INDICATORS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_QUERY_TYPEMATIC, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_QUERY_INDICATORS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_QUERY_INDICATOR_TRANSLATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_INSERT_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_QUERY_IME_STATUS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_KEYBOARD_SET_IME_STATUS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUSE_QUERY_ATTRIBUTES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUSE_INSERT_DATA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_I8042_HOOK_MOUSE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_I8042_MOUSE_WRITE_BUFFER, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_I8042_MOUSE_START_INFORMATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_SUBMIT_URB, ZK_CONTROL_URB),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_RESET_PORT, ZK_CONTROL_GENERIC),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_GET_PORT_STATUS, ZK_CONTROL_GENERIC),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_ENABLE_PORT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_GET_HUB_COUNT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_CYCLE_PORT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_GET_HUB_NAME, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_HCD_GET_STATS_1, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_DIAGNOSTIC_MODE_ON, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_DIAGNOSTIC_MODE_OFF, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW2(IOCTL_USB_GET_ROOT_HUB_NAME, IOCTL_USB_GET_NODE_INFORMATION),
    ZK_CONTROL_ROW(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_GET_NODE_CONNECTION_NAME, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_DIAG_IGNORE_HUBS_ON, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_DIAG_IGNORE_HUBS_OFF, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW2(IOCTL_INTERNAL_USB_GET_BUS_INFO, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME),
    ZK_CONTROL_ROW2(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, IOCTL_GET_HCD_DRIVERKEY_NAME),
    ZK_CONTROL_ROW2(IOCTL_INTERNAL_USB_GET_BUSGUID_INFO, IOCTL_USB_HCD_GET_STATS_2),
    ZK_CONTROL_ROW(IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_USB_HCD_DISABLE_PORT, ZK_CONTROL_NAME),
    {ZK_IOCTL_USB_HCD_DISABLE_PORT_NEITHER, "Irp: 0x%X - IOCTL_USB_HCD_DISABLE_PORT [0x220433].\n", ZK_CONTROL_NAME},
    ZK_CONTROL_ROW(IOCTL_USB_HCD_ENABLE_PORT, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_CHECK_VERIFY2, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_LOAD_MEDIA2, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_EJECTION_CONTROL, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_MCN_CONTROL, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_GET_MEDIA_TYPES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_GET_MEDIA_TYPES_EX, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_GET_MEDIA_SERIAL_NUMBER, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_GET_HOTPLUG_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_GET_DEVICE_NUMBER, ZK_CONTROL_GENERIC),
    ZK_CONTROL_ROW(IOCTL_STORAGE_PREDICT_FAILURE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_QUERY_PROPERTY, ZK_CONTROL_PROPERTY),
    ZK_CONTROL_ROW(IOCTL_STORAGE_CHECK_VERIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_MEDIA_REMOVAL, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_EJECT_MEDIA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_LOAD_MEDIA, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_RESERVE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_RELEASE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_FIND_NEW_DEVICES, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_RESET_BUS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_RESET_DEVICE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_BREAK_RESERVATION, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_STORAGE_SET_HOTPLUG_INFO, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(OBSOLETE_IOCTL_STORAGE_RESET_BUS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(OBSOLETE_IOCTL_STORAGE_RESET_DEVICE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_ACPI_ASYNC_EVAL_METHOD, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_QUERY_STABLE_GUID, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_UNIQUE_ID_CHANGE_NOTIFY, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_MOUNTDEV_LINK_CREATED, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_VOLUME_ONLINE_RW, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(IOCTL_VOLUME_ONLINE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(FT_BALANCED_READ_MODE, ZK_CONTROL_NAME),
    ZK_CONTROL_ROW(FT_PRIMARY_READ, ZK_CONTROL_NAME),
};

#undef ZK_CONTROL_ROW
#undef ZK_CONTROL_ROW2

constexpr ULONG ZK_CONTROL_CODE_COUNT = sizeof(ZK_ControlCodes) / sizeof(ZK_ControlCodes[0]);
static_assert(ZK_CONTROL_CODE_COUNT == 134);

// The lookup: an open-addressing index over the rows, built from the table
// when the driver is compiled. A slot holds a row's code and handling beside
// the row's number plus one (0 and ZK_CONTROL_NONE when empty), so that the
// untraced path decides on the slot alone; a search starts at the code's
// hash and ends at its row or at an empty slot. The index is filled to about
// a quarter, so an unknown code ends after a probe or two. The traced path
// searches it; untraced, a code that is not plain (below) is decided by its
// hash's slot alone. Its hash is the one of the plain codes' table, so that
// the dispatch routine computes it once.
constexpr ULONG ZK_CONTROL_INDEX_BITS = 9;
constexpr ULONG ZK_CONTROL_INDEX_SIZE = 1u << ZK_CONTROL_INDEX_BITS;
static_assert(ZK_CONTROL_CODE_COUNT < ZK_CONTROL_INDEX_SIZE / 3 * 2, "the index must keep empty slots");
// The handling of an empty slot: no code takes it.
constexpr UCHAR ZK_CONTROL_NONE = 0xFF;

constexpr ULONG ZK_ControlHash(ULONG Code)
{
    return (Code * 0x5318921Du) >> (32 - ZK_CONTROL_INDEX_BITS);
}

struct ZK_CONTROL_SLOT {
    ULONG Code;
    UCHAR Handling;
    UCHAR Row;  // the row's number plus one; 0: empty
};

struct ZK_CONTROL_INDEX {
    ZK_CONTROL_SLOT Slot[ZK_CONTROL_INDEX_SIZE];
};

constexpr ZK_CONTROL_INDEX ZK_BuildControlIndex()
{
    ZK_CONTROL_INDEX index{};
    for (ZK_CONTROL_SLOT& slot : index.Slot)
        slot = {0, ZK_CONTROL_NONE, 0};
    // The rows with a handling of their own first: a plain code is found
    // without the index when tracing is off, so theirs are the searches
    // that must stay short.
    for (int plain = 0; plain < 2; ++plain) {
        for (ULONG row = 0; row < ZK_CONTROL_CODE_COUNT; ++row) {
            if ((ZK_ControlCodes[row].Handling == ZK_CONTROL_NAME) != (plain == 1))
                continue;
            ULONG slot = ZK_ControlHash(ZK_ControlCodes[row].Code);
            while (index.Slot[slot].Row != 0)
                slot = (slot + 1) & (ZK_CONTROL_INDEX_SIZE - 1);
            index.Slot[slot] = {ZK_ControlCodes[row].Code, ZK_ControlCodes[row].Handling, (UCHAR)(row + 1)};
        }
    }
    return index;
}

inline constexpr ZK_CONTROL_INDEX ZK_ControlIndex = ZK_BuildControlIndex();

// The slot of Code's row, or the empty slot where its search ended; Hash is
// ZK_ControlHash(Code).
constexpr const ZK_CONTROL_SLOT* ZK_FindControlSlotFrom(ULONG Code, ULONG Hash)
{
    ULONG slot = Hash;
    for (;;) {
        const ZK_CONTROL_SLOT* entry = &ZK_ControlIndex.Slot[slot];
        if (entry->Row == 0 || entry->Code == Code)
            return entry;
        slot = (slot + 1) & (ZK_CONTROL_INDEX_SIZE - 1);
    }
}

constexpr const ZK_CONTROL_SLOT* ZK_FindControlSlot(ULONG Code)
{
    return ZK_FindControlSlotFrom(Code, ZK_ControlHash(Code));
}

// The row of Code, or NULL; Hash is ZK_ControlHash(Code).
constexpr const ZK_CONTROL_CODE* ZK_FindControlCodeFrom(ULONG Code, ULONG Hash)
{
    const ZK_CONTROL_SLOT* slot = ZK_FindControlSlotFrom(Code, Hash);
    return slot->Row != 0 ? &ZK_ControlCodes[slot->Row - 1] : nullptr;
}

// The row of Code, or NULL.
constexpr const ZK_CONTROL_CODE* ZK_FindControlCode(ULONG Code)
{
    return ZK_FindControlCodeFrom(Code, ZK_ControlHash(Code));
}

// ---------------------------------------------------------------------------
// Compile-time checks

constexpr bool ZK_ControlCodesAscending()
{
    for (ULONG i = 1; i < ZK_CONTROL_CODE_COUNT; ++i)
        if (ZK_ControlCodes[i - 1].Code >= ZK_ControlCodes[i].Code)
            return false;
    return true;
}
static_assert(ZK_ControlCodesAscending(), "the rows must be strictly ascending: no code twice");

// The longest search for a row: the index stays short for every code.
constexpr ULONG ZK_LongestControlSearch()
{
    ULONG longest = 0;
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes) {
        ULONG probes = 1;
        for (ULONG slot = ZK_ControlHash(row.Code); ZK_ControlIndex.Slot[slot].Code != row.Code;
             slot = (slot + 1) & (ZK_CONTROL_INDEX_SIZE - 1))
            ++probes;
        longest = probes > longest ? probes : longest;
    }
    return longest;
}
static_assert(ZK_LongestControlSearch() <= 4);

// Every row with a handling of its own sits at its hash's slot: found by the
// first probe.
constexpr bool ZK_SpecialRowsAtHome()
{
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes)
        if (row.Handling != ZK_CONTROL_NAME && ZK_ControlIndex.Slot[ZK_ControlHash(row.Code)].Code != row.Code)
            return false;
    return true;
}
static_assert(ZK_SpecialRowsAtHome(), "two rows with a handling of their own share a slot: choose another multiplier");

// Code 0 is no row, and its search must not take an empty slot's zero for it.
static_assert(ZK_FindControlCode(0) == nullptr && ZK_FindControlSlot(0)->Handling == ZK_CONTROL_NONE);

constexpr bool ZK_EveryControlCodeFound()
{
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes)
        if (ZK_FindControlCode(row.Code) != &row)
            return false;
    return true;
}
static_assert(ZK_EveryControlCodeFound());

// The control device's private code (0x5A4B0004) is unrecognised on the
// filter device.
static_assert(ZK_FindControlCode(0x5A4B0004) == nullptr);
// Codes that differ only in access or method are rows of their own, and the
// values between the two port-disable rows are no rows at all.
static_assert(ZK_FindControlCode(0x2D0800) != ZK_FindControlCode(0x2D4800));
static_assert(ZK_FindControlCode(0x220431) == nullptr && ZK_FindControlCode(0x220432) == nullptr);
// The handlings the dispatch routine gives its special branches.
static_assert(ZK_FindControlCode(IOCTL_SCSI_PASS_THROUGH)->Handling == ZK_CONTROL_PASS_THROUGH);
static_assert(ZK_FindControlCode(IOCTL_SCSI_PASS_THROUGH_DIRECT)->Handling == ZK_CONTROL_PASS_THROUGH);
static_assert(ZK_FindControlCode(IOCTL_INTERNAL_USB_SUBMIT_URB)->Handling == ZK_CONTROL_URB);
static_assert(ZK_FindControlCode(IOCTL_STORAGE_QUERY_PROPERTY)->Handling == ZK_CONTROL_PROPERTY);

// ---------------------------------------------------------------------------
// The plain codes at home

// A second table, indexed by a hash of its own, in which every plain code
// (a row handled ZK_CONTROL_NAME: its line, then passed on unchanged) sits
// alone at its hash's slot, checked when the driver is compiled. So the
// untraced dispatch routine knows a plain code by one hash, one load and one
// compare. A slot no plain code takes holds a stand-in value whose own hash
// is another slot, which no code reaching that slot can equal. The
// multiplier was chosen for the rows: one that gives two plain codes one
// slot fails the build, and a new row may need another.
// Its hash is ZK_ControlHash.
constexpr ULONG ZK_PLAIN_HOME_SIZE = ZK_CONTROL_INDEX_SIZE;

constexpr ULONG ZK_PlainHomeHash(ULONG Code)
{
    return ZK_ControlHash(Code);
}

struct ZK_PLAIN_HOME {
    ULONG Code[ZK_PLAIN_HOME_SIZE];
    bool Shared;  // two plain codes hash to one slot: the table is unusable
};

constexpr ZK_PLAIN_HOME ZK_BuildPlainHome()
{
    ZK_PLAIN_HOME home{};
    bool taken[ZK_PLAIN_HOME_SIZE] = {};
    for (ULONG slot = 0; slot < ZK_PLAIN_HOME_SIZE; ++slot) {
        ULONG standIn = 0;
        while (ZK_PlainHomeHash(standIn) == slot)
            ++standIn;
        home.Code[slot] = standIn;
    }
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes) {
        if (row.Handling != ZK_CONTROL_NAME)
            continue;
        const ULONG slot = ZK_PlainHomeHash(row.Code);
        home.Shared = home.Shared || taken[slot];
        taken[slot] = true;
        home.Code[slot] = row.Code;
    }
    return home;
}

inline constexpr ZK_PLAIN_HOME ZK_PlainHome = ZK_BuildPlainHome();
static_assert(!ZK_PlainHome.Shared, "two plain codes share a home slot: choose another multiplier");

// Whether Code is a row handled ZK_CONTROL_NAME; Hash is ZK_ControlHash(Code).
constexpr bool ZK_IsPlainControlCodeAt(ULONG Code, ULONG Hash)
{
    return ZK_PlainHome.Code[Hash] == Code;
}

constexpr bool ZK_IsPlainControlCode(ULONG Code)
{
    return ZK_IsPlainControlCodeAt(Code, ZK_PlainHomeHash(Code));
}

// Exact for every row, and for every value the table holds (the stand-ins
// among them), for 0, all ones and the private code.
constexpr bool ZK_PlainHomeExact()
{
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes)
        if (ZK_IsPlainControlCode(row.Code) != (row.Handling == ZK_CONTROL_NAME))
            return false;
    for (ULONG value : ZK_PlainHome.Code) {
        const ZK_CONTROL_CODE* row = ZK_FindControlCode(value);
        if (ZK_IsPlainControlCode(value) != (row != nullptr && row->Handling == ZK_CONTROL_NAME))
            return false;
    }
    return true;
}
static_assert(ZK_PlainHomeExact());
static_assert(!ZK_IsPlainControlCode(0) && !ZK_IsPlainControlCode(0xFFFFFFFF) && !ZK_IsPlainControlCode(0x5A4B0004));

// Every other code at its home slot

// A row with a handling of its own sits at its hash's slot of the index
// (ZK_SpecialRowsAtHome), so for a code that is not plain that slot alone
// decides: the row's handling when the slot holds the code, else
// ZK_CONTROL_NONE, no row (an empty slot's code 0 is code 0's, which no row
// has). One load and one compare, where a search walks on to an empty slot.
// Hash is ZK_ControlHash(Code).
constexpr const ZK_CONTROL_SLOT* ZK_ControlHome(ULONG_PTR Hash)
{
    return &ZK_ControlIndex.Slot[Hash];
}

constexpr UCHAR ZK_OtherControlHandlingAt(ULONG Code, ULONG_PTR Hash)
{
    const ZK_CONTROL_SLOT* home = ZK_ControlHome(Hash);
    return home->Code == Code ? home->Handling : ZK_CONTROL_NONE;
}

// Agrees with the search for every code that is not plain: each row, each
// code the index and the plain codes' table hold (the stand-ins among
// them), 0, all ones and the private code.
constexpr bool ZK_OtherControlHandlingAgrees(ULONG Code)
{
    return ZK_IsPlainControlCode(Code) ||
           ZK_OtherControlHandlingAt(Code, ZK_ControlHash(Code)) == ZK_FindControlSlot(Code)->Handling;
}

constexpr bool ZK_OtherControlHandlingExact()
{
    for (const ZK_CONTROL_CODE& row : ZK_ControlCodes)
        if (!ZK_OtherControlHandlingAgrees(row.Code))
            return false;
    for (const ZK_CONTROL_SLOT& slot : ZK_ControlIndex.Slot)
        if (!ZK_OtherControlHandlingAgrees(slot.Code))
            return false;
    for (ULONG value : ZK_PlainHome.Code)
        if (!ZK_OtherControlHandlingAgrees(value))
            return false;
    return ZK_OtherControlHandlingAgrees(0) && ZK_OtherControlHandlingAgrees(0xFFFFFFFF) &&
           ZK_OtherControlHandlingAgrees(0x5A4B0004);
}
static_assert(ZK_OtherControlHandlingExact());
