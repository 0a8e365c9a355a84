// The names a scenario may give instead of numbers: Plug and Play, power and
// WMI minor functions, major functions, and control codes.
#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace scn {

struct NamedCode {
    const char* name;
    unsigned value;
};

struct NamedTable {
    const NamedCode* rows;
    size_t count;
};

extern const NamedTable kPnpMinors;
extern const NamedTable kPowerMinors;
extern const NamedTable kMajors;
extern const NamedTable kWmiMinors;
extern const NamedTable kControlCodes;
extern const NamedTable kInternalCodes;

// The value of a name in the table, or of a number no larger than limit.
std::optional<unsigned> Lookup(const NamedTable& table, const std::string& word, unsigned limit);
// A 32-bit value as messages show it: "0xC0000005".
std::string Hex32(unsigned value);
// The table's names, for messages: "start, query-remove, ...".
std::string Names(const NamedTable& table);

}  // namespace scn
