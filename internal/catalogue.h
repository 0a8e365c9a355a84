// The plain internal device-control codes: those whose request carries no
// request block the driver decodes. Each row names its code once, by its
// platform name, and its line is built from that name, so a row cannot print
// one code under another's name. Checked at compile time: strictly ascending
// (no duplicates), and none of the codes that take a request-block branch.
//
// Only the base declarations are needed, which lets host code (tests)
// include this header beside the C library.
//
// internal/ stands beside ioctl/, above the driver core and the trace output,
// and includes ioctl/ in one place only:
//   internal/internal.cpp, internal/urb.cpp -> ioctl/completion.h: internal
//     requests whose result needs no decoding of its own complete through the
//     generic completion routine, as reads, writes and device controls do.
#pragma once
#include "platform/ntbase.h"
#include "platform/ntscsi.h"

// What the dispatch routine does with a request of the row's code.
enum ZK_INTERNAL_HANDLING : UCHAR {
    ZK_INTERNAL_PASS = 0,         // the line, then passed on unchanged
    ZK_INTERNAL_GENERIC = 1,      // the line, then passed on with the generic completion
    ZK_INTERNAL_FDC_COMMAND = 2,  // the line with the first command byte, then passed on
};

struct ZK_INTERNAL_CODE {
    ULONG Code;
    PCSTR Line;  // takes the IRP's address (and, for an FDC command, the command byte)
    ZK_INTERNAL_HANDLING Handling;
};

#define ZK_INTERNAL_ROW(Code, Handling)            \
    {                                              \
        Code, "Irp: 0x%X - " #Code ".\n", Handling \
    }
// Two platform names of one value: the line names both.
#define ZK_INTERNAL_ROW2(Code, Alias)                                    \
    {                                                                    \
        Code, "Irp: 0x%X - " #Code " or " #Alias ".\n", ZK_INTERNAL_PASS \
    }

constexpr ZK_INTERNAL_CODE ZK_InternalCodes[] = {
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_ACQUIRE_FDC, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_RELEASE_FDC, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_GET_FDC_INFO, ZK_INTERNAL_PASS),
    {IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND, "Irp: 0x%X - IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND. Command. 0x%02X\n",
     ZK_INTERNAL_FDC_COMMAND},
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND_QUEUED, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_RESET_FDC, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_ENABLE_FDC_DEVICE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_DISABLE_FDC_DEVICE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_GET_FDC_DISK_CHANGE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_SET_FDC_DATA_RATE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_SET_FDC_TAPE_MODE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_SET_FDC_PRECOMP, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_GET_ADAPTER_BUFFER, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_FLUSH_ADAPTER_BUFFER, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_FDC_START_READ, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_FDC_START_WRITE, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_GET_ENABLER, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_DISK_INTERNAL_SET_HD_BIT, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_RESET_PORT, ZK_INTERNAL_GENERIC),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_GET_PORT_STATUS, ZK_INTERNAL_GENERIC),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_ENABLE_PORT, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_GET_HUB_COUNT, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_CYCLE_PORT, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_GET_HUB_NAME, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_1394_TOGGLE_ENUM_TEST_ON, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_1394_TOGGLE_ENUM_TEST_OFF, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_HCD_GET_STATS_1, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_DIAGNOSTIC_MODE_ON, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_DIAGNOSTIC_MODE_OFF, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW2(IOCTL_USB_GET_ROOT_HUB_NAME, IOCTL_USB_GET_NODE_INFORMATION),
    ZK_INTERNAL_ROW(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_GET_NODE_CONNECTION_NAME, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_DIAG_IGNORE_HUBS_ON, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_DIAG_IGNORE_HUBS_OFF, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW2(IOCTL_INTERNAL_USB_GET_BUS_INFO, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME),
    ZK_INTERNAL_ROW2(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, IOCTL_GET_HCD_DRIVERKEY_NAME),
    ZK_INTERNAL_ROW2(IOCTL_INTERNAL_USB_GET_BUSGUID_INFO, IOCTL_USB_HCD_GET_STATS_2),
    ZK_INTERNAL_ROW(IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO, ZK_INTERNAL_PASS),
    ZK_INTERNAL_ROW(IOCTL_USB_HCD_DISABLE_PORT, ZK_INTERNAL_PASS),
    {ZK_IOCTL_USB_HCD_DISABLE_PORT_NEITHER, "Irp: 0x%X - IOCTL_USB_HCD_DISABLE_PORT [0x220433].\n", ZK_INTERNAL_PASS},
    ZK_INTERNAL_ROW(IOCTL_USB_HCD_ENABLE_PORT, ZK_INTERNAL_PASS),
};

#undef ZK_INTERNAL_ROW
#undef ZK_INTERNAL_ROW2

constexpr ULONG ZK_INTERNAL_CODE_COUNT = sizeof(ZK_InternalCodes) / sizeof(ZK_InternalCodes[0]);

// The row of Code, or NULL. Binary search over the ascending table.
constexpr const ZK_INTERNAL_CODE* ZK_FindInternalCode(ULONG Code)
{
    ULONG low = 0;
    ULONG high = ZK_INTERNAL_CODE_COUNT;
    while (low < high) {
        ULONG middle = low + (high - low) / 2;
        if (ZK_InternalCodes[middle].Code == Code)
            return &ZK_InternalCodes[middle];
        if (ZK_InternalCodes[middle].Code < Code)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Compile-time checks

constexpr bool ZK_InternalCodesAscending()
{
    for (ULONG i = 1; i < ZK_INTERNAL_CODE_COUNT; ++i)
        if (ZK_InternalCodes[i - 1].Code >= ZK_InternalCodes[i].Code)
            return false;
    return true;
}
static_assert(ZK_InternalCodesAscending(), "the rows must be strictly ascending: no code twice");

// The rows that name two codes stand for one value.
static_assert(IOCTL_USB_GET_ROOT_HUB_NAME == IOCTL_USB_GET_NODE_INFORMATION);
static_assert(IOCTL_INTERNAL_USB_GET_BUS_INFO == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME);
static_assert(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME == IOCTL_GET_HCD_DRIVERKEY_NAME);
static_assert(IOCTL_INTERNAL_USB_GET_BUSGUID_INFO == IOCTL_USB_HCD_GET_STATS_2);
static_assert(ZK_IOCTL_USB_HCD_DISABLE_PORT_NEITHER == 0x220433, "the value its line prints");

// Requests with a request block take their own branch before the catalogue
// is consulted; a row for their code would hide that.
static_assert(ZK_FindInternalCode(IOCTL_INTERNAL_USB_SUBMIT_URB) == nullptr);
static_assert(ZK_FindInternalCode(IOCTL_1394_CLASS) == nullptr);
static_assert(ZK_FindInternalCode(0) == nullptr && ZK_FindInternalCode(1) == nullptr);
static_assert(ZK_FindInternalCode(IOCTL_SCSI_EXECUTE_IN) == nullptr);
static_assert(ZK_FindInternalCode(IOCTL_SCSI_EXECUTE_NONE) == nullptr);

// Lookup reaches every row.
constexpr bool ZK_EveryInternalCodeFound()
{
    for (const ZK_INTERNAL_CODE& row : ZK_InternalCodes)
        if (ZK_FindInternalCode(row.Code) != &row)
            return false;
    return true;
}
static_assert(ZK_EveryInternalCodeFound());
