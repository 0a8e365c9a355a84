// What a request's command bytes, data and sense say, in words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zklog {

// The fields of the common commands: "LBA 4, blocks 1", "allocation length 36".
// Empty for a command it does not know.
std::string CdbFields(const std::vector<uint8_t>& cdb);

// What the data of a command says (INQUIRY, READ CAPACITY (10) and (16), MODE
// SENSE (6) and (10)): one line a field; none for other commands or too few bytes.
std::vector<std::string> DecodeData(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& data);

// Sense bytes in full, fixed or descriptor format, by the SCSI library.
std::string DecodeSense(const std::vector<uint8_t>& sense);

// Hex bytes as a user pastes them: "70 00 05 00", "70000500", "0x70,0x00".
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);

}  // namespace zklog
