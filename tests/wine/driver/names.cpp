#include "tests/wine/driver/names.h"

#include "tests/wine/driver/story.h"

namespace zkt {

extern const NamedCode kMajors[] = {
    {"create", IRP_MJ_CREATE},
    {"close", IRP_MJ_CLOSE},
    {"read", IRP_MJ_READ},
    {"write", IRP_MJ_WRITE},
    {"query-information", 0x05},
    {"set-information", 0x06},
    {"flush", IRP_MJ_FLUSH_BUFFERS},
    {"device-control", IRP_MJ_DEVICE_CONTROL},
    {"internal-device-control", IRP_MJ_INTERNAL_DEVICE_CONTROL},
    {"scsi", IRP_MJ_SCSI},
    {"shutdown", IRP_MJ_SHUTDOWN},
    {"cleanup", IRP_MJ_CLEANUP},
    {"power", IRP_MJ_POWER},
    {"system-control", IRP_MJ_SYSTEM_CONTROL},
    {"pnp", IRP_MJ_PNP},
};

extern const NamedCode kPnpMinors[] = {
    {"start", IRP_MN_START_DEVICE},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
    {"remove", IRP_MN_REMOVE_DEVICE},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"stop", IRP_MN_STOP_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"query-relations", IRP_MN_QUERY_DEVICE_RELATIONS},
    {"query-interface", IRP_MN_QUERY_INTERFACE},
    {"query-capabilities", IRP_MN_QUERY_CAPABILITIES},
    {"query-resources", IRP_MN_QUERY_RESOURCES},
    {"query-resource-requirements", IRP_MN_QUERY_RESOURCE_REQUIREMENTS},
    {"query-device-text", IRP_MN_QUERY_DEVICE_TEXT},
    {"filter-resource-requirements", IRP_MN_FILTER_RESOURCE_REQUIREMENTS},
    {"read-config", IRP_MN_READ_CONFIG},
    {"write-config", IRP_MN_WRITE_CONFIG},
    {"eject", IRP_MN_EJECT},
    {"set-lock", IRP_MN_SET_LOCK},
    {"query-id", IRP_MN_QUERY_ID},
    {"query-pnp-state", IRP_MN_QUERY_PNP_DEVICE_STATE},
    {"query-bus-information", IRP_MN_QUERY_BUS_INFORMATION},
    {"device-usage-notification", IRP_MN_DEVICE_USAGE_NOTIFICATION},
    {"surprise-removal", IRP_MN_SURPRISE_REMOVAL},
    {"query-legacy-bus-information", IRP_MN_QUERY_LEGACY_BUS_INFORMATION},
    {"bus-reset", IRP_MN_BUS_RESET},
};

extern const NamedCode kPowerMinors[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE},
    {"power-sequence", IRP_MN_POWER_SEQUENCE},
    {"set-power", IRP_MN_SET_POWER},
    {"query-power", IRP_MN_QUERY_POWER},
};

extern const NamedCode kWmiMinors[] = {
    {"query-all-data", IRP_MN_QUERY_ALL_DATA},
    {"query-single-instance", IRP_MN_QUERY_SINGLE_INSTANCE},
    {"change-single-instance", IRP_MN_CHANGE_SINGLE_INSTANCE},
    {"change-single-item", IRP_MN_CHANGE_SINGLE_ITEM},
    {"enable-events", IRP_MN_ENABLE_EVENTS},
    {"disable-events", IRP_MN_DISABLE_EVENTS},
    {"enable-collection", IRP_MN_ENABLE_COLLECTION},
    {"disable-collection", IRP_MN_DISABLE_COLLECTION},
    {"reginfo", IRP_MN_REGINFO},
    {"execute-method", IRP_MN_EXECUTE_METHOD},
    {"reginfo-ex", IRP_MN_REGINFO_EX},
};

extern const NamedCode kTypes[] = {
    {"disk", FILE_DEVICE_DISK},         {"cdrom", FILE_DEVICE_CD_ROM},
    {"unknown", FILE_DEVICE_UNKNOWN},   {"mass-storage", FILE_DEVICE_MASS_STORAGE},
    {"keyboard", FILE_DEVICE_KEYBOARD}, {"mouse", FILE_DEVICE_MOUSE},
    {"bus", FILE_DEVICE_BUS_EXTENDER},  {"controller", FILE_DEVICE_CONTROLLER},
};

extern const NamedCode kFlags[] = {
    {"direct", DO_DIRECT_IO},
    {"buffered", DO_BUFFERED_IO},
    {"pagable", DO_POWER_PAGABLE},
    {"inrush", DO_POWER_INRUSH},
};

extern const NamedCode kSrbFlags[] = {
    {"no-queue-freeze", SRB_FLAGS_NO_QUEUE_FREEZE},
    {"bypass-frozen-queue", SRB_FLAGS_BYPASS_FROZEN_QUEUE},
    {"disable-autosense", SRB_FLAGS_DISABLE_AUTOSENSE},
};

// Control codes by name, as the simulator's scenarios give them.
extern const NamedCode kControlCodes[] = {
    {"IOCTL_STORAGE_QUERY_PROPERTY", 0x2D1400},
    {"IOCTL_STORAGE_CHECK_VERIFY", 0x2D4800},
    {"IOCTL_STORAGE_MEDIA_REMOVAL", 0x2D4804},
    {"IOCTL_STORAGE_EJECT_MEDIA", 0x2D4808},
    {"IOCTL_STORAGE_GET_DEVICE_NUMBER", 0x2D1080},
    {"IOCTL_STORAGE_GET_HOTPLUG_INFO", 0x2D0C14},
    {"IOCTL_DISK_GET_DRIVE_GEOMETRY", 0x70000},
    {"IOCTL_DISK_IS_WRITABLE", 0x70024},
    {"IOCTL_DISK_GET_PARTITION_INFO_EX", 0x70048},
    {"IOCTL_DISK_GET_DRIVE_LAYOUT_EX", 0x70050},
    {"IOCTL_DISK_GET_DRIVE_GEOMETRY_EX", 0x700A0},
    {"IOCTL_DISK_GET_LENGTH_INFO", 0x7405C},
    {"SMART_GET_VERSION", 0x74080},
    {"IOCTL_SCSI_PASS_THROUGH", 0x4D004},
    {"IOCTL_SCSI_PASS_THROUGH_DIRECT", 0x4D014},
    {"IOCTL_SCSI_GET_ADDRESS", 0x41018},
    {"IOCTL_CDROM_READ_TOC", 0x24000},
    {"IOCTL_CDROM_GET_DRIVE_GEOMETRY", 0x2404C},
    {"IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", 0x560000},
};

extern const NamedCode kInternalCodes[] = {
    {"IOCTL_INTERNAL_USB_SUBMIT_URB", IOCTL_INTERNAL_USB_SUBMIT_URB},
    {"IOCTL_INTERNAL_USB_RESET_PORT", IOCTL_INTERNAL_USB_RESET_PORT},
    {"IOCTL_INTERNAL_USB_GET_PORT_STATUS", IOCTL_INTERNAL_USB_GET_PORT_STATUS},
    {"IOCTL_INTERNAL_USB_CYCLE_PORT", IOCTL_INTERNAL_USB_CYCLE_PORT},
    {"IOCTL_INTERNAL_USB_GET_HUB_NAME", IOCTL_INTERNAL_USB_GET_HUB_NAME},
    {"IOCTL_1394_CLASS", IOCTL_1394_CLASS},
    {"IOCTL_DISK_INTERNAL_ACQUIRE_FDC", IOCTL_DISK_INTERNAL_ACQUIRE_FDC},
    {"IOCTL_SCSI_EXECUTE_IN", IOCTL_SCSI_EXECUTE_IN},
    {"IOCTL_SCSI_EXECUTE_OUT", IOCTL_SCSI_EXECUTE_OUT},
    {"IOCTL_SCSI_EXECUTE_NONE", IOCTL_SCSI_EXECUTE_NONE},
};

extern const ULONG kMajorsCount = sizeof(kMajors) / sizeof(kMajors[0]);
extern const ULONG kPnpMinorsCount = sizeof(kPnpMinors) / sizeof(kPnpMinors[0]);
extern const ULONG kPowerMinorsCount = sizeof(kPowerMinors) / sizeof(kPowerMinors[0]);
extern const ULONG kWmiMinorsCount = sizeof(kWmiMinors) / sizeof(kWmiMinors[0]);
extern const ULONG kTypesCount = sizeof(kTypes) / sizeof(kTypes[0]);
extern const ULONG kFlagsCount = sizeof(kFlags) / sizeof(kFlags[0]);
extern const ULONG kSrbFlagsCount = sizeof(kSrbFlags) / sizeof(kSrbFlags[0]);
extern const ULONG kControlCodesCount = sizeof(kControlCodes) / sizeof(kControlCodes[0]);
extern const ULONG kInternalCodesCount = sizeof(kInternalCodes) / sizeof(kInternalCodes[0]);

BOOLEAN LookupIn(const NamedCode* table, ULONG count, const CHAR* word, ULONG limit, ULONG* value) {
    for (ULONG i = 0; i < count; ++i)
        if (Same(word, table[i].name)) {
            *value = table[i].value;
            return TRUE;
        }
    ULONG64 number;
    if (Number(word, &number) && number <= limit) {
        *value = (ULONG)number;
        return TRUE;
    }
    return FALSE;
}

}  // namespace zkt
