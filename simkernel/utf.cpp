#include "simkernel/utf.h"

namespace sim {

bool DecodeUtf8(std::string_view s, size_t* i, char32_t* cp) {
    const auto c = static_cast<unsigned char>(s[*i]);
    if (c < 0x80) {
        *cp = c;
        ++*i;
        return true;
    }
    size_t len;
    char32_t min;
    char32_t v;
    if ((c & 0xE0) == 0xC0) {
        len = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, v = c & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (*i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[*i + k]);
        if ((cc & 0xC0) != 0x80) return false;
        v = (v << 6) | (cc & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    *cp = v;
    *i += len;
    return true;
}

void AppendUtf8(std::string* out, char32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool ValidUtf8(std::string_view s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        if (!DecodeUtf8(s, &i, &cp)) return false;
    }
    return true;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        if (!DecodeUtf8(s, &i, &cp)) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

bool DecodeUtf16(std::u16string_view s, size_t* i, char32_t* cp) {
    const char16_t u = s[*i];
    if (u >= 0xD800 && u <= 0xDBFF) {
        if (*i + 1 >= s.size()) return false;
        const char16_t lo = s[*i + 1];
        if (lo < 0xDC00 || lo > 0xDFFF) return false;
        *cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (lo - 0xDC00);
        *i += 2;
        return true;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    *cp = u;
    ++*i;
    return true;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        if (!DecodeUtf16(s, &i, &cp)) return std::nullopt;
        AppendUtf8(&out, cp);
    }
    return out;
}

}  // namespace sim
