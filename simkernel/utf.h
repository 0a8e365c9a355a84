// UTF-8 and UTF-16: the one conversion between the simulation's names and
// texts (UTF-8) and the kernel's (UTF-16), used by the registry, the object
// names and the loader alike.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Decodes one code point at s[*i], advancing *i. Rejects overlong forms,
// surrogates and values above U+10FFFF.
bool DecodeUtf8(std::string_view s, size_t* i, char32_t* cp);
void AppendUtf8(std::string* out, char32_t cp);
bool ValidUtf8(std::string_view s);
// Empty on invalid UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view s);
// Decodes UTF-16 code units at *i, advancing *i; fails on a lone surrogate.
bool DecodeUtf16(std::u16string_view s, size_t* i, char32_t* cp);
// Empty on a lone surrogate.
std::optional<std::string> Utf16ToUtf8(std::u16string_view s);

}  // namespace sim
