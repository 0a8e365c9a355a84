#include "names.h"

#include <array>
#include <charconv>

#include <scsi/sg_lib.h>

namespace zklog {
namespace {

struct Named {
    std::string_view name;
    uint32_t value;
};

constexpr std::array kStatuses = {
    Named{"STATUS_SUCCESS", 0x0},
    Named{"STATUS_PENDING", 0x103},
    Named{"STATUS_BUFFER_OVERFLOW", 0x80000005},
    Named{"STATUS_UNSUCCESSFUL", 0xC0000001},
    Named{"STATUS_ILLEGAL_FUNCTION", 0xC00000AF},
    Named{"STATUS_IO_TIMEOUT", 0xC00000B5},
    Named{"STATUS_DEVICE_DOES_NOT_EXIST", 0xC00000C0},
    Named{"STATUS_CANCELLED", 0xC0000120},
    Named{"STATUS_IO_DEVICE_ERROR", 0xC0000185},
};

constexpr std::array kScsiStatuses = {
    Named{"SCSISTAT_GOOD", 0x00},
    Named{"SCSISTAT_CHECK_CONDITION", 0x02},
    Named{"SCSISTAT_CONDITION_MET", 0x04},
    Named{"SCSISTAT_BUSY", 0x08},
    Named{"SCSISTAT_INTERMEDIATE", 0x10},
    Named{"SCSISTAT_INTERMEDIATE_COND_MET", 0x14},
    Named{"SCSISTAT_RESERVATION_CONFLICT", 0x18},
    Named{"SCSISTAT_COMMAND_TERMINATED", 0x22},
    Named{"SCSISTAT_QUEUE_FULL", 0x28},
};

// The driver's own sense texts. "READY" stands for 0x000000 and 0x060000.
constexpr std::array kSenseTexts = {
    Named{"READY", 0x000000},
    Named{"LOGICAL UNIT NOT READY - IN PROGESS OF BECOMING READY", 0x020401},
    Named{"MEDIUM NOT PRESENT", 0x023A00},
    Named{"MEDIUM NOT PRESENT - TRAY CLOSED", 0x023A01},
    Named{"INVALID COMMAND OPERATION CODE", 0x052000},
    Named{"LOGICAL BLOCK ADDRESS OUT OF RANGE", 0x052100},
    Named{"INVALID FIELD IN CDB", 0x052400},
    Named{"INVALID FIELD IN PARAMETER LIST", 0x052600},
    Named{"PARAMETER NOT SUPPORTED", 0x052601},
    Named{"PARAMETER VALUE INVALID", 0x052602},
    Named{"NOT READY TO READY TRANSITION, MEDIUM MAY HAVE CHANGED", 0x062800},
    Named{"POWER ON, RESET OR BUS DEVICE RESET OCCURED", 0x062900},
    Named{"POWER ON OCCURRED", 0x062901},
    Named{"INSUFFICIENT TIME FOR OPERATION", 0x062E00},
    Named{"BLANK CHECK.", 0x080000},
    Named{"NO DATA DETECTED", 0x080005},
    Named{"FILEMARK DETECTED", 0x800001},
};

std::optional<uint32_t> ParseHex(std::string_view text) {
    if (!text.starts_with("0x") || text.size() < 3) {
        return std::nullopt;
    }
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

template <size_t N>
std::optional<uint32_t> Lookup(const std::array<Named, N>& table, std::string_view name) {
    for (const Named& entry : table) {
        if (entry.name == name) {
            return entry.value;
        }
    }
    return std::nullopt;
}

SenseCode FromCombined(uint32_t combined) {
    return SenseCode{static_cast<uint8_t>(combined >> 16), static_cast<uint8_t>(combined >> 8),
                     static_cast<uint8_t>(combined)};
}

}  // namespace

std::optional<uint32_t> StatusValue(std::string_view name) {
    if (auto value = Lookup(kStatuses, name)) {
        return value;
    }
    return ParseHex(name);
}

std::optional<uint8_t> ScsiStatusValue(std::string_view name) {
    std::optional<uint32_t> value = Lookup(kScsiStatuses, name);
    if (!value && name.starts_with("unknown ")) {
        value = ParseHex(name.substr(8));
    }
    if (!value || *value > 0xFF) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

std::optional<SenseCode> SenseFromDriverText(std::string_view text) {
    if (auto combined = Lookup(kSenseTexts, text)) {
        return FromCombined(*combined);
    }
    // unknown SenseCode 0x%02X 0x%02X 0x%02X -> 0x%06X
    constexpr std::string_view kUnknown = "unknown SenseCode ";
    if (!text.starts_with(kUnknown)) {
        return std::nullopt;
    }
    size_t arrow = text.find(" -> ");
    if (arrow == std::string_view::npos) {
        return std::nullopt;
    }
    std::optional<uint32_t> combined = ParseHex(text.substr(arrow + 4));
    if (!combined || *combined > 0xFFFFFF) {
        return std::nullopt;
    }
    return FromCombined(*combined);
}

std::optional<SenseCode> SenseFromBytes(const uint8_t* bytes, size_t count) {
    if (count < 4) {
        return std::nullopt;
    }
    uint8_t response = bytes[0] & 0x7F;
    if ((response == 0x70 || response == 0x71) && count >= 14) {
        return SenseCode{bytes[2], bytes[12], bytes[13]};
    }
    if (response == 0x72 || response == 0x73) {
        return SenseCode{static_cast<uint8_t>(bytes[1] & 0x0F), bytes[2], bytes[3]};
    }
    return std::nullopt;
}

std::string SenseKeyName(int key) {
    char buffer[128] = {};
    sg_get_sense_key_str(key, sizeof buffer, buffer);
    return buffer;
}

std::string AscAscqName(uint8_t asc, uint8_t ascq) {
    char buffer[256] = {};
    sg_get_asc_ascq_str(asc, ascq, sizeof buffer, buffer);
    std::string name = buffer;
    constexpr std::string_view kPrefix = "Additional sense: ";
    if (name.starts_with(kPrefix)) {
        name.erase(0, kPrefix.size());
    }
    return name;
}

}  // namespace zklog
