// The registry's .reg text: the names and paths both the store and the
// parser check, and the parser that turns regedit text (UTF-8 or UTF-16)
// into the operations it names. registry_store.cpp applies and writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/registry_store.h"

namespace sim::regtext {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kMachinePath = "\\Registry\\Machine";
constexpr std::string_view kUserPath = "\\Registry\\User";
// Keys nest at most this deep, counting every name of the path from
// \Registry on, as in Windows.
constexpr size_t kMaxKeyDepth = 512;

char FoldAscii(char c);
// Names compare case-insensitively in ASCII.
bool NamesEqual(std::string_view a, std::string_view b);
std::vector<uint8_t> Utf16Bytes(std::u16string_view s, bool terminate);
std::optional<std::u16string> BytesToUtf16(const std::vector<uint8_t>& data);
// Key and value names: valid UTF-8, and nothing that would break a line of
// .reg text.
bool ValidName(std::string_view name);
// "\A\B" into its names; false for an empty name or an invalid one.
bool SplitPath(std::string_view path, std::vector<std::string_view>* parts);
// \Registry, \Registry\Machine and \Registry\User.
bool IsFixedRoot(const std::vector<std::string_view>& parts);

// One thing a .reg file does, in file order.
struct LoadOp {
    enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind;
    std::string path;
    std::string name;
    RegValue value;
};

// Reads the raw bytes of a .reg file into its operations; false with the
// 1-based line (0: none) and the reason when the text is refused.
bool ParseRegText(std::string_view raw, std::vector<LoadOp>* ops, int* line, std::string* reason);

}  // namespace sim::regtext
