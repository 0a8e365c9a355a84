// The debugger text the tests expect, built the slow way from the rules the
// driver's texts follow, so that a test never restates the driver's code.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace expected {

inline unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

inline std::string Format(const char* trailer, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    return std::string(trailer) + text;
}

// One trace line as the default trailer shows it.
inline std::string Line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string line = Format("** ", format, arguments);
    va_end(arguments);
    return line;
}

// One trace line behind another trailer.
inline std::string LineWith(const char* trailer, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string line = Format(trailer, format, arguments);
    va_end(arguments);
    return line;
}

// One dump line's 66 columns: hex pair k at 3k (3k+1 from the ninth byte
// on), the character of byte k at 50+k, blanks elsewhere.
inline std::string DumpColumns(const uint8_t* bytes, size_t count) {
    std::string line(66, ' ');
    for (size_t k = 0; k < count; ++k) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[k]);
        line.replace(3 * k + (k >= 8 ? 1 : 0), 2, pair);
        line[50 + k] = bytes[k] < 0x20 ? '.' : static_cast<char>(bytes[k]);
    }
    return line;
}

// A whole dump, each line behind the default trailer.
inline std::string DumpLines(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t done = 0; done < count; done += 16)
        text += "** " + DumpColumns(bytes + done, count - done < 16 ? count - done : 16) + "\n";
    return text;
}

}  // namespace expected
