// The kernel C runtime's printf dialect. See crt_format.h.
//
// The argument sizes are those of Windows x64, read from the va_list of the
// Linux caller: a 32-bit conversion reads an int, a 64-bit one a long long,
// a pointer a void*. Wide text is 16-bit units (char16_t), narrowed one unit
// to one byte the way the kernel's default code page does for Latin-1 text:
// units below 0x100 keep their value, anything else becomes '?'.
#include "simkernel/crt_format.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sim {

void (*g_wideConversionHook)(const char* conversion) = nullptr;

namespace {

// The counted strings %Z and %wZ take a pointer to: ANSI_STRING and
// UNICODE_STRING as laid out on x64. Length is in bytes for both.
struct CountedAnsiString {
    uint16_t Length;
    uint16_t MaximumLength;
    char* Buffer;
};
struct CountedWideString {
    uint16_t Length;
    uint16_t MaximumLength;
    char16_t* Buffer;
};
static_assert(sizeof(CountedAnsiString) == 16 && offsetof(CountedAnsiString, Buffer) == 8);
static_assert(sizeof(CountedWideString) == 16 && offsetof(CountedWideString, Buffer) == 8);

constexpr std::string_view kNullText = "(null)";
constexpr std::u16string_view kWideNullText = u"(null)";

// Where formatted text goes: either a caller's buffer, of which only the
// first `capacity` bytes may be written, or a growing string. Either way the
// full length of the text is counted, so a bounded caller learns how much
// did not fit without the text ever being held in memory.
class Sink {
public:
    Sink(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    explicit Sink(std::string* text) : text_(text) {}

    void Fill(char c, size_t n) {
        if (text_ != nullptr) {
            text_->append(n, c);
        } else if (total_ < capacity_) {
            std::memset(buffer_ + total_, c, std::min(n, capacity_ - total_));
        }
        total_ += n;
    }

    void Write(const char* data, size_t n) {
        if (n == 0) return;  // an empty prefix has no data pointer
        if (text_ != nullptr) {
            text_->append(data, n);
        } else if (total_ < capacity_) {
            std::memcpy(buffer_ + total_, data, std::min(n, capacity_ - total_));
        }
        total_ += n;
    }

    void Write(std::string_view text) { Write(text.data(), text.size()); }
    void Put(char c) { Fill(c, 1); }
    size_t total() const { return total_; }

private:
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    std::string* text_ = nullptr;
    size_t total_ = 0;
};

// A va_list held in a struct so that helpers can take it by reference and
// keep reading where the previous conversion stopped, whatever va_list is on
// the host.
struct ArgList {
    va_list ap;
};

enum Flag : unsigned {
    kLeft = 1u << 0,       // '-'
    kSign = 1u << 1,       // '+'
    kSpace = 1u << 2,      // ' '
    kAlternate = 1u << 3,  // '#'
    kLeadZero = 1u << 4,   // '0'
};

enum class Size {
    kDefault,
    kChar,        // hh
    kShort,       // h
    kLong,        // l: 32 bits for integers, wide for text
    kInt32,       // I32
    kInt64,       // ll, I64, I, z, t, j
    kWide,        // w
    kLongDouble,  // L
};

struct Directive {
    unsigned flags = 0;
    size_t width = 0;
    int precision = -1;  // -1: none given
    Size size = Size::kDefault;
};

int IntegerBits(Size size) {
    switch (size) {
    case Size::kChar:
        return 8;
    case Size::kShort:
        return 16;
    case Size::kInt64:
        return 64;
    default:
        return 32;
    }
}

// h narrows, l and w widen; otherwise the conversion letter decides: %S and
// %C are wide in the narrow formatter, %s, %c and %Z are narrow.
bool IsWideText(Size size, char conversion) {
    switch (size) {
    case Size::kChar:
    case Size::kShort:
        return false;
    case Size::kLong:
    case Size::kWide:
        return true;
    default:
        return conversion == 'S' || conversion == 'C';
    }
}

char Narrow(char16_t unit) { return unit < 0x100 ? static_cast<char>(unit) : '?'; }

void WriteNarrowed(Sink& out, const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        out.Put(Narrow(text[i]));
}

// Writes a field: padding to the width, the prefix (sign or 0x) and the
// text, which `body` writes and which is `length` characters long. The '0'
// flag pads with zeros between prefix and text, for text conversions too;
// '-' overrides it.
template <typename Body>
void EmitField(Sink& out, const Directive& directive, std::string_view prefix, size_t length, Body&& body) {
    const size_t used = prefix.size() + length;
    const size_t padding = directive.width > used ? directive.width - used : 0;
    const bool left = (directive.flags & kLeft) != 0;
    const bool zeros = (directive.flags & kLeadZero) != 0;
    if (!left && !zeros) out.Fill(' ', padding);
    out.Write(prefix);
    if (zeros && !left) out.Fill('0', padding);
    body();
    if (left) out.Fill(' ', padding);
}

void EmitText(Sink& out, const Directive& directive, std::string_view text) {
    EmitField(out, directive, {}, text.size(), [&] { out.Write(text); });
}

// The integer argument of d i u o x X and p, widened to 64 bits: its
// magnitude, and whether a signed one is negative. %p becomes %.16X.
uint64_t ReadInteger(Directive& directive, char& conversion, ArgList& args, bool* negative) {
    if (conversion == 'p') {
        directive.precision = 16;
        conversion = 'X';
        return reinterpret_cast<uintptr_t>(va_arg(args.ap, void*));
    }
    if (conversion == 'd' || conversion == 'i') {
        int64_t value = 0;
        switch (IntegerBits(directive.size)) {
        case 64:
            value = va_arg(args.ap, long long);
            break;
        case 16:
            value = static_cast<int16_t>(va_arg(args.ap, int));
            break;
        case 8:
            value = static_cast<int8_t>(va_arg(args.ap, int));
            break;
        default:
            value = va_arg(args.ap, int);
            break;
        }
        *negative = value < 0;
        return *negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    }
    switch (IntegerBits(directive.size)) {
    case 64:
        return va_arg(args.ap, unsigned long long);
    case 16:
        return static_cast<uint16_t>(va_arg(args.ap, unsigned int));
    case 8:
        return static_cast<uint8_t>(va_arg(args.ap, unsigned int));
    default:
        return va_arg(args.ap, unsigned int);
    }
}

// d i u o x X, and p as sixteen upper-case hex digits.
void FormatInteger(Sink& out, Directive directive, char conversion, ArgList& args) {
    const bool isSigned = conversion == 'd' || conversion == 'i';
    bool negative = false;
    const uint64_t magnitude = ReadInteger(directive, conversion, args, &negative);

    // A precision is a minimum digit count and turns the '0' flag off.
    int precision = directive.precision;
    if (precision < 0) {
        precision = 1;
    } else {
        directive.flags &= ~kLeadZero;
    }

    const unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X') ? 16 : 10;
    const char* digitSet = conversion == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    char digits[24];
    size_t count = 0;
    if (magnitude != 0 || precision != 0) {
        uint64_t rest = magnitude;
        do {
            digits[sizeof(digits) - 1 - count++] = digitSet[rest % base];
            rest /= base;
        } while (rest != 0);
    }
    const char* first = digits + sizeof(digits) - count;

    size_t leadingZeros = static_cast<size_t>(precision) > count ? static_cast<size_t>(precision) - count : 0;
    if (conversion == 'o' && (directive.flags & kAlternate) && leadingZeros == 0 && (count == 0 || first[0] != '0')) {
        leadingZeros = 1;
    }

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLength++] = '-';
        } else if (directive.flags & kSign) {
            prefix[prefixLength++] = '+';
        } else if (directive.flags & kSpace) {
            prefix[prefixLength++] = ' ';
        }
    } else if (base == 16 && (directive.flags & kAlternate) && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = conversion;  // x or X, as written
    }

    EmitField(out, directive, std::string_view(prefix, prefixLength), leadingZeros + count, [&] {
        out.Fill('0', leadingZeros);
        out.Write(first, count);
    });
}

// Length of a string, stopping at the precision without reading past it.
template <typename Char>
size_t BoundedLength(const Char* text, int precision) {
    size_t length = 0;
    while ((precision < 0 || length < static_cast<size_t>(precision)) && text[length] != 0)
        ++length;
    return length;
}

void FormatString(Sink& out, const Directive& directive, bool wide, ArgList& args) {
    if (wide) {
        const char16_t* text = va_arg(args.ap, const char16_t*);
        if (text == nullptr) text = kWideNullText.data();
        const size_t length = BoundedLength(text, directive.precision);
        EmitField(out, directive, {}, length, [&] { WriteNarrowed(out, text, length); });
    } else {
        const char* text = va_arg(args.ap, const char*);
        if (text == nullptr) text = kNullText.data();
        EmitText(out, directive, std::string_view(text, BoundedLength(text, directive.precision)));
    }
}

void FormatCharacter(Sink& out, const Directive& directive, bool wide, ArgList& args) {
    const int value = va_arg(args.ap, int);
    const char c = wide ? Narrow(static_cast<char16_t>(value)) : static_cast<char>(value);
    EmitText(out, directive, std::string_view(&c, 1));
}

// %Z and %wZ print all Length bytes of the counted string; the precision
// does not shorten them.
void FormatCountedString(Sink& out, const Directive& directive, bool wide, ArgList& args) {
    const void* counted = va_arg(args.ap, const void*);
    if (wide) {
        const auto* string = static_cast<const CountedWideString*>(counted);
        if (string == nullptr || string->Buffer == nullptr) return EmitText(out, directive, kNullText);
        const size_t length = string->Length / sizeof(char16_t);
        EmitField(out, directive, {}, length, [&] { WriteNarrowed(out, string->Buffer, length); });
    } else {
        const auto* string = static_cast<const CountedAnsiString*>(counted);
        if (string == nullptr || string->Buffer == nullptr) return EmitText(out, directive, kNullText);
        EmitText(out, directive, std::string_view(string->Buffer, string->Length));
    }
}

void ReportWideConversion(const char* start, const char* end) {
    if (g_wideConversionHook == nullptr) return;
    const std::string conversion(start, end);
    g_wideConversionHook(conversion.c_str());
}

// Reads a run of decimal digits, saturating rather than overflowing.
int ReadNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        const int digit = *p++ - '0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    }
    return value;
}

bool IsIntegerConversion(char c) { return c != '\0' && std::strchr("diouxX", c) != nullptr; }

void ReadFlags(const char*& p, Directive& directive) {
    for (;; ++p) {
        switch (*p) {
        case '-':
            directive.flags |= kLeft;
            break;
        case '+':
            directive.flags |= kSign;
            break;
        case ' ':
            directive.flags |= kSpace;
            break;
        case '#':
            directive.flags |= kAlternate;
            break;
        case '0':
            directive.flags |= kLeadZero;
            break;
        default:
            return;
        }
    }
}

// The width and the precision, written out or taken from the arguments (*).
void ReadWidthAndPrecision(const char*& p, Directive& directive, ArgList& args) {
    if (*p == '*') {
        ++p;
        const long long width = va_arg(args.ap, int);
        if (width < 0) directive.flags |= kLeft;
        directive.width = static_cast<size_t>(std::min<long long>(width < 0 ? -width : width, INT_MAX));
    } else {
        directive.width = static_cast<size_t>(ReadNumber(p));
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const int precision = va_arg(args.ap, int);
            directive.precision = precision < 0 ? -1 : precision;
        } else {
            directive.precision = ReadNumber(p);
        }
    }
}

// The size prefix. False for a bare I before anything but an integer
// conversion: that is no size, the directive ends and the I is ordinary text.
bool ReadSize(const char*& p, Directive& directive) {
    switch (*p) {
    case 'h':
        directive.size = p[1] == 'h' ? Size::kChar : Size::kShort;
        p += p[1] == 'h' ? 2 : 1;
        break;
    case 'l':
        directive.size = p[1] == 'l' ? Size::kInt64 : Size::kLong;
        p += p[1] == 'l' ? 2 : 1;
        break;
    case 'w':
        directive.size = Size::kWide;
        ++p;
        break;
    case 'L':
        directive.size = Size::kLongDouble;
        ++p;
        break;
    case 'z':
    case 't':
    case 'j':
        directive.size = Size::kInt64;
        ++p;
        break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            directive.size = Size::kInt64;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            directive.size = Size::kInt32;
            p += 3;
        } else if (IsIntegerConversion(p[1])) {
            directive.size = Size::kInt64;  // pointer-sized
            ++p;
        } else {
            return false;
        }
        break;
    default:
        break;
    }
    return true;
}

// One conversion; [start, end) is the whole directive, for the wide check.
void Convert(Sink& out, const Directive& directive, char conversion, const char* start, const char* end,
             ArgList& args) {
    const bool wide = IsWideText(directive.size, conversion);
    switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
    case 'p':
        FormatInteger(out, directive, conversion, args);
        break;
    case 's':
    case 'S':
        if (wide) ReportWideConversion(start, end);
        FormatString(out, directive, wide, args);
        break;
    case 'c':
    case 'C':
        if (wide) ReportWideConversion(start, end);
        FormatCharacter(out, directive, wide, args);
        break;
    case 'Z':
        if (wide) ReportWideConversion(start, end);
        FormatCountedString(out, directive, wide, args);
        break;
    case 'n':
        // The kernel refuses to write through %n; the pointer is skipped.
        (void)va_arg(args.ap, void*);
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        // No floating point in kernel code: the value is skipped.
        if (directive.size == Size::kLongDouble) {
            (void)va_arg(args.ap, long double);
        } else {
            (void)va_arg(args.ap, double);
        }
        break;
    default:
        // %% and any unknown letter print the letter itself, unpadded.
        out.Put(conversion);
        break;
    }
}

void FormatTo(Sink& out, const char* format, va_list source) {
    ArgList args;
    va_copy(args.ap, source);

    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            const size_t run = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
            out.Write(p, run);
            p += run;
            continue;
        }
        const char* start = p++;
        Directive directive;
        ReadFlags(p, directive);
        ReadWidthAndPrecision(p, directive, args);
        if (!ReadSize(p, directive)) continue;
        const char conversion = *p;
        if (conversion == '\0') break;  // a directive cut off by the end prints nothing
        ++p;
        Convert(out, directive, conversion, start, p, args);
    }

    va_end(args.ap);
}

int LengthResult(size_t length) { return length > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(length); }

}  // namespace

int KernelVsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
    Sink out(buffer, count);
    FormatTo(out, format, args);
    const size_t length = out.total();
    if (buffer == nullptr) return LengthResult(length);
    if (length < count) {
        buffer[length] = '\0';
        return LengthResult(length);
    }
    return length == count ? LengthResult(length) : -1;
}

int KernelVsprintf(char* buffer, const char* format, va_list args) {
    if (buffer == nullptr || format == nullptr) return -1;
    Sink out(buffer, SIZE_MAX);
    FormatTo(out, format, args);
    buffer[out.total()] = '\0';
    return LengthResult(out.total());
}

std::string KernelVformat(const char* format, va_list args) {
    std::string text;
    if (format == nullptr) return text;
    Sink out(&text);
    FormatTo(out, format, args);
    return text;
}

std::string KernelFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = KernelVformat(format, args);
    va_end(args);
    return text;
}

}  // namespace sim
