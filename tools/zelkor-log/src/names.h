// Values behind the names the driver prints, and the T10 names of sense data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zklog {

// An NTSTATUS as the driver names it ("STATUS_IO_DEVICE_ERROR" or "0xC0000010").
std::optional<uint32_t> StatusValue(std::string_view name);
// A SCSI status byte as the driver names it ("SCSISTAT_CHECK_CONDITION", "unknown 0x30").
std::optional<uint8_t> ScsiStatusValue(std::string_view name);
// Whether a request with this status failed: errors and warnings alike.
inline bool StatusFailed(uint32_t status) { return (status & 0x80000000u) != 0; }

// The sense key, ASC and ASCQ behind a sense text of the driver: its own names
// (where one name stands for two codes, the first) and its
// "unknown SenseCode 0x%02X 0x%02X 0x%02X -> 0x%06X" fallback.
struct SenseCode {
    uint8_t byte2 = 0;  // sense key with the FILEMARK, EOM and ILI bits
    uint8_t asc = 0;
    uint8_t ascq = 0;
    int Key() const { return byte2 & 0x0F; }
};
std::optional<SenseCode> SenseFromDriverText(std::string_view text);
// From sense bytes: fixed format (0x70, 0x71) or descriptor format (0x72, 0x73).
std::optional<SenseCode> SenseFromBytes(const uint8_t* bytes, size_t count);

// T10 names, from the SCSI library's tables.
std::string SenseKeyName(int key);
std::string AscAscqName(uint8_t asc, uint8_t ascq);

}  // namespace zklog
