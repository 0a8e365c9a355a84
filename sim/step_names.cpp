#include "sim/step_names.h"

#include <cstdio>

#include "platform/ntscsi.h"
#include "sim/scenario.h"

namespace scn {
namespace {

const NamedCode kPnpMinorsRows[] = {
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

const NamedCode kPowerMinorsRows[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE},
    {"power-sequence", IRP_MN_POWER_SEQUENCE},
    {"set-power", IRP_MN_SET_POWER},
    {"query-power", IRP_MN_QUERY_POWER},
};

const NamedCode kMajorsRows[] = {
    {"create", IRP_MJ_CREATE},
    {"close", IRP_MJ_CLOSE},
    {"read", IRP_MJ_READ},
    {"write", IRP_MJ_WRITE},
    {"query-information", IRP_MJ_QUERY_INFORMATION},
    {"set-information", IRP_MJ_SET_INFORMATION},
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

const NamedCode kWmiMinorsRows[] = {
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

// Control codes a scenario may give by name. The device-control values are
// the platform's; the internal ones come from the kernel interface itself.
const NamedCode kControlCodesRows[] = {
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

const NamedCode kInternalCodesRows[] = {
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

}  // namespace

const NamedTable kPnpMinors{kPnpMinorsRows, sizeof(kPnpMinorsRows) / sizeof(kPnpMinorsRows[0])};
const NamedTable kPowerMinors{kPowerMinorsRows, sizeof(kPowerMinorsRows) / sizeof(kPowerMinorsRows[0])};
const NamedTable kMajors{kMajorsRows, sizeof(kMajorsRows) / sizeof(kMajorsRows[0])};
const NamedTable kWmiMinors{kWmiMinorsRows, sizeof(kWmiMinorsRows) / sizeof(kWmiMinorsRows[0])};
const NamedTable kControlCodes{kControlCodesRows, sizeof(kControlCodesRows) / sizeof(kControlCodesRows[0])};
const NamedTable kInternalCodes{kInternalCodesRows, sizeof(kInternalCodesRows) / sizeof(kInternalCodesRows[0])};

std::optional<unsigned> Lookup(const NamedTable& table, const std::string& word, unsigned limit)
{
    for (size_t i = 0; i < table.count; ++i)
        if (word == table.rows[i].name)
            return table.rows[i].value;
    auto number = ParseNumber(word);
    if (number && *number <= limit)
        return static_cast<unsigned>(*number);
    return std::nullopt;
}

std::string Names(const NamedTable& table)
{
    std::string names;
    for (size_t i = 0; i < table.count; ++i)
        names += std::string(names.empty() ? "" : ", ") + table.rows[i].name;
    return names;
}

std::string Hex32(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace scn
