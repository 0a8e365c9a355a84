// The kernel CRT's printf dialect and string routines as the driver sees them.
#include "simkernel/crt_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
int zkcrt_sprintf(char* buffer, const char* format, ...);
int zkcrt__snprintf(char* buffer, size_t count, const char* format, ...);
char* zkcrt_strncpy(char* dest, const char* src, size_t count);
char* zkcrt_strrchr(const char* s, int c);
size_t zkcrt_strlen(const char* s);
int zkcrt_strcmp(const char* left, const char* right);
int zkcrt__stricmp(const char* left, const char* right);
int zkcrt__strnicmp(const char* left, const char* right, size_t count);
}

namespace {

using sim::KernelFormat;

// Each case formats its arguments in place; `format` names it in failures.
struct Case {
    const char* format;
    std::string actual;
    std::string expected;
};

void ExpectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << "format: " << c.format;
}

// Layouts of ANSI_STRING and UNICODE_STRING on x64.
struct AnsiString {
    uint16_t Length;
    uint16_t MaximumLength;
    char* Buffer;
};
struct UnicodeString {
    uint16_t Length;
    uint16_t MaximumLength;
    char16_t* Buffer;
};

TEST(KernelFormat, ArgumentSizesAreLlp64) {
    ExpectAll({
        {"%lX", KernelFormat("%lX", 0x89ABCDEFu), "89ABCDEF"},
        {"%ld", KernelFormat("%ld", -1), "-1"},
        {"%lu", KernelFormat("%lu", 0xFFFFFFFFu), "4294967295"},
        {"%u", KernelFormat("%u", 0xFFFFFFFFu), "4294967295"},
        {"%d", KernelFormat("%d", INT_MIN), "-2147483648"},
        {"%I64X", KernelFormat("%I64X", 0x123456789ABCDEF0ull), "123456789ABCDEF0"},
        {"%I64d", KernelFormat("%I64d", LLONG_MIN), "-9223372036854775808"},
        {"%llx", KernelFormat("%llx", 0xFEDCBA9876543210ull), "fedcba9876543210"},
        {"%Ix", KernelFormat("%Ix", 0x100000000ull), "100000000"},
        {"%zu", KernelFormat("%zu", size_t{1} << 40), "1099511627776"},
        {"%I32X", KernelFormat("%I32X", 0xCAFEu), "CAFE"},
        {"%hX", KernelFormat("%hX", 0x12345), "2345"},
        {"%hd", KernelFormat("%hd", 0x18000), "-32768"},
        {"%hu", KernelFormat("%hu", -1), "65535"},
        {"%hhX", KernelFormat("%hhX", 0x1FF), "FF"},
        {"%hhd", KernelFormat("%hhd", 0xFF), "-1"},
    });
}

TEST(KernelFormat, MixedArgumentSizesStayAligned) {
    // More arguments than registers, so later ones come from the stack.
    EXPECT_EQ(KernelFormat("%lX %I64X %X %llu %hX %Ix %d %I64d %lu %p %s", 0x11111111u, 0x2222222233333333ull,
                           0x44444444u, 5555555555555555555ull, 0x16666, 0x7777777777ull, -8, -9999999999ll, 10u,
                           reinterpret_cast<void*>(0xB0B0), "end"),
              "11111111 2222222233333333 44444444 5555555555555555555 6666 7777777777 -8 -9999999999 10 "
              "000000000000B0B0 end");
}

TEST(KernelFormat, IntegerFlagsWidthAndPrecision) {
    ExpectAll({
        {"%02X", KernelFormat("%02X", 5), "05"},
        {"%04X", KernelFormat("%04X", 0xAB), "00AB"},
        {"%08X", KernelFormat("%08X", 0xDEAD), "0000DEAD"},
        {"%i", KernelFormat("%i", -7), "-7"},
        {"%5d", KernelFormat("%5d", 42), "   42"},
        {"%-5d|", KernelFormat("%-5d|", 42), "42   |"},
        {"%05d", KernelFormat("%05d", -42), "-0042"},
        {"%-05d|", KernelFormat("%-05d|", 42), "42   |"},
        {"%+d", KernelFormat("%+d", 5), "+5"},
        {"% d", KernelFormat("% d", 5), " 5"},
        {"%+ d", KernelFormat("%+ d", 5), "+5"},
        {"%+u", KernelFormat("%+u", 5), "5"},
        {"%.3d", KernelFormat("%.3d", 7), "007"},
        {"%.3d neg", KernelFormat("%.3d", -7), "-007"},
        {"%08.3d", KernelFormat("%08.3d", 7), "     007"},
        {"%.0d", KernelFormat("[%.0d]", 0), "[]"},
        {"%5.0d", KernelFormat("%5.0d", 0), "     "},
        {"%.d", KernelFormat("[%.d]", 0), "[]"},
        {"%#x", KernelFormat("%#x", 255), "0xff"},
        {"%#X", KernelFormat("%#X", 255), "0XFF"},
        {"%#x zero", KernelFormat("%#x", 0), "0"},
        {"%#010x", KernelFormat("%#010x", 255), "0x000000ff"},
        {"%#o", KernelFormat("%#o", 8), "010"},
        {"%#o zero", KernelFormat("%#o", 0), "0"},
        {"%#.0o", KernelFormat("%#.0o", 0), "0"},
        {"%*d", KernelFormat("%*d", 6, 42), "    42"},
        {"%*d neg", KernelFormat("%*d|", -6, 42), "42    |"},
        {"%.*d", KernelFormat("%.*d", 4, 42), "0042"},
        {"%.*d neg", KernelFormat("%0.*d", -1, 42), "42"},
        {"%0*.*d", KernelFormat("%0*.*d", 6, -1, 42), "000042"},
    });
}

TEST(KernelFormat, PointersAreSixteenUpperCaseDigits) {
    ExpectAll({
        {"%p", KernelFormat("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234"},
        {"%p high", KernelFormat("%p", reinterpret_cast<void*>(0xFFFF12345678)), "0000FFFF12345678"},
        {"%p null", KernelFormat("%p", nullptr), "0000000000000000"},
        {"%20p", KernelFormat("%20p", reinterpret_cast<void*>(0xAB)), "    00000000000000AB"},
        {"%-20p", KernelFormat("%-20p|", reinterpret_cast<void*>(0xAB)), "00000000000000AB    |"},
        {"%020p", KernelFormat("%020p", reinterpret_cast<void*>(0xAB)), "    00000000000000AB"},
    });
}

TEST(KernelFormat, Strings) {
    const char16_t* name = u"\\Device\\Harddisk0";  // 17 characters
    const char unterminated[3] = {'a', 'b', 'c'};
    const char16_t wideUnterminated[3] = {u'x', u'y', u'z'};
    ExpectAll({
        {"%s", KernelFormat("<%s>", "abc"), "<abc>"},
        {"%.3s", KernelFormat("%.3s", "abcdef"), "abc"},
        {"%.3s unterminated", KernelFormat("%.3s", unterminated), "abc"},
        {"%6s", KernelFormat("%6s", "ab"), "    ab"},
        {"%-6s", KernelFormat("%-6s|", "ab"), "ab    |"},
        {"%05s", KernelFormat("%05s", "ab"), "000ab"},
        {"%s null", KernelFormat("%s", static_cast<char*>(nullptr)), "(null)"},
        {"%.2s null", KernelFormat("%.2s", static_cast<char*>(nullptr)), "(n"},
        {"%8s null", KernelFormat("%8s", static_cast<char*>(nullptr)), "  (null)"},
        {"%S", KernelFormat("%S", u"wide"), "wide"},
        {"%ws", KernelFormat("%ws", u"wide"), "wide"},
        {"%ls", KernelFormat("%ls", u"wide"), "wide"},
        {"%hs", KernelFormat("%hs", "narrow"), "narrow"},
        {"%hS", KernelFormat("%hS", "narrow"), "narrow"},
        {"%*S", KernelFormat("%*S", 34, name), std::string(17, ' ') + "\\Device\\Harddisk0"},
        {"%-*S", KernelFormat("%-*S|", 20, u"abc"), "abc" + std::string(17, ' ') + "|"},
        {"%.*S", KernelFormat("%.*S", 7, name), "\\Device"},
        {"%.2S unterminated", KernelFormat("%.2S", wideUnterminated), "xy"},
        {"%S null", KernelFormat("%S", static_cast<char16_t*>(nullptr)), "(null)"},
        {"%.3ws null", KernelFormat("%.3ws", static_cast<char16_t*>(nullptr)), "(nu"},
        {"%S latin1", KernelFormat("%S", u"caf\u00E9"), "caf\xE9"},
        {"%S beyond latin1", KernelFormat("%S", u"a\u263Ab\u4E2D"), "a?b?"},
        {"%5S beyond latin1", KernelFormat("%5S", u"\u263A"), "    ?"},
    });
}

TEST(KernelFormat, CountedStrings) {
    char16_t wide[] = u"VolumeXYZ";
    char narrow[] = "ansiXYZ";
    UnicodeString volume{12, sizeof(wide), wide};  // "Volume": Length is in bytes
    UnicodeString odd{5, sizeof(wide), wide};      // a half unit is dropped
    UnicodeString noBuffer{4, 4, nullptr};
    AnsiString ansi{4, sizeof(narrow), narrow};
    AnsiString ansiNoBuffer{4, 4, nullptr};
    ExpectAll({
        {"%wZ", KernelFormat("<%wZ>", &volume), "<Volume>"},
        {"%lZ", KernelFormat("%lZ", &volume), "Volume"},
        {"%wZ odd", KernelFormat("%wZ", &odd), "Vo"},
        {"%10wZ", KernelFormat("%10wZ", &volume), "    Volume"},
        {"%-10wZ", KernelFormat("%-10wZ|", &volume), "Volume    |"},
        {"%.2wZ", KernelFormat("%.2wZ", &volume), "Volume"},
        {"%wZ null", KernelFormat("%wZ", static_cast<UnicodeString*>(nullptr)), "(null)"},
        {"%wZ null buffer", KernelFormat("%wZ", &noBuffer), "(null)"},
        {"%Z", KernelFormat("%Z", &ansi), "ansi"},
        {"%hZ", KernelFormat("%hZ", &ansi), "ansi"},
        {"%6Z", KernelFormat("%6Z", &ansi), "  ansi"},
        {"%Z null", KernelFormat("%Z", static_cast<AnsiString*>(nullptr)), "(null)"},
        {"%Z null buffer", KernelFormat("%Z", &ansiNoBuffer), "(null)"},
    });
}

TEST(KernelFormat, Characters) {
    ExpectAll({
        {"%c", KernelFormat("%c", 'A'), "A"},
        {"%3c", KernelFormat("%3c", 'A'), "  A"},
        {"%-3c", KernelFormat("%-3c|", 'A'), "A  |"},
        {"%c nul", KernelFormat("a%cb", 0), std::string("a\0b", 3)},
        {"%C", KernelFormat("%C", u'\u00E9'), "\xE9"},
        {"%C beyond latin1", KernelFormat("%C", u'\u263A'), "?"},
        {"%wc", KernelFormat("%wc", u'w'), "w"},
        {"%lc", KernelFormat("%lc", u'l'), "l"},
        {"%hC", KernelFormat("%hC", 'h'), "h"},
    });
}

TEST(KernelFormat, LiteralsAndSkippedConversions) {
    int sentinel = 1234;
    ExpectAll({
        {"%%", KernelFormat("100%%"), "100%"},
        {"%5%", KernelFormat("%5%"), "%"},
        {"%y", KernelFormat("a%yb"), "ayb"},
        {"%*y", KernelFormat("%*y%d", 5, 9), "y9"},
        {"trailing %", KernelFormat("abc%"), "abc"},
        {"trailing %5l", KernelFormat("abc%5l"), "abc"},
        {"%Is", KernelFormat("%Is"), "Is"},
        {"%n", KernelFormat("a%nb%d", &sentinel, 7), "ab7"},
        {"%f", KernelFormat("[%f]%d", 1.5, 7), "[]7"},
        {"%*.*e", KernelFormat("%*.*e%d", 10, 3, 2.5, 7), "7"},
        {"%Lg", KernelFormat("%Lg%d", 2.5L, 7), "7"},
    });
    EXPECT_EQ(sentinel, 1234);
}

TEST(KernelVsnprintf, TruncationFollowsTheKernel) {
    struct {
        size_t count;
        int result;
        const char* buffer;  // the 8 bytes afterwards; '#' is untouched
    } const cases[] = {
        {7, 5, "12345\0##"},                      // fits with its NUL
        {6, 5, "12345\0##"}, {5, 5, "12345###"},  // exact fit: no NUL
        {3, -1, "123#####"},                      // too long: cut, no NUL
        {0, -1, "########"},
    };
    for (const auto& c : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(zkcrt__snprintf(buffer, c.count, "%d", 12345), c.result) << "count " << c.count;
        EXPECT_EQ(std::string(buffer, 8), std::string(c.buffer, 8)) << "count " << c.count;
    }
}

TEST(KernelVsnprintf, EdgeCases) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(zkcrt__snprintf(buffer, 4, "%10d", 1), -1);  // cut inside the padding
    EXPECT_EQ(std::string(buffer, 5), "    #");
    EXPECT_EQ(zkcrt__snprintf(buffer, 3, "%S", u"abcdef"), -1);  // cut inside a wide string
    EXPECT_EQ(std::string(buffer, 5), "abc #");
    EXPECT_EQ(zkcrt__snprintf(buffer, 0, ""), 0);
    EXPECT_EQ(zkcrt__snprintf(nullptr, 0, "%s", "measure"), 7);
    EXPECT_EQ(zkcrt__snprintf(nullptr, 4, "x"), -1);
    EXPECT_EQ(zkcrt__snprintf(buffer, sizeof(buffer), nullptr), -1);
}

TEST(KernelVsprintf, WritesWholeTextAndNul) {
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(zkcrt_sprintf(buffer, "%s-%04X-%wZ", "id", 0x2A, static_cast<UnicodeString*>(nullptr)), 14);
    EXPECT_STREQ(buffer, "id-002A-(null)");
    EXPECT_EQ(zkcrt_sprintf(buffer, "a%cb", 0), 3);  // counts the NUL that %c wrote
}

std::vector<std::string> g_conversions;
void RecordConversion(const char* conversion) { g_conversions.emplace_back(conversion); }

TEST(KernelFormat, WideConversionHookSeesOnlyWideConversions) {
    UnicodeString empty{0, 0, nullptr};
    AnsiString ansi{0, 0, nullptr};
    g_conversions.clear();
    sim::g_wideConversionHook = RecordConversion;
    KernelFormat("%s %hS %c %hC %Z %hZ %d", "n", "n", 'n', 'n', &ansi, &ansi, 1);
    EXPECT_TRUE(g_conversions.empty());
    KernelFormat("%S %-*ws %ls %wZ %C %wc %lc %.3S", u"w", 4, u"w", u"w", &empty, u'w', u'w', u'w',
                 static_cast<char16_t*>(nullptr));
    sim::g_wideConversionHook = nullptr;
    EXPECT_EQ(g_conversions, (std::vector<std::string>{"%S", "%-*ws", "%ls", "%wZ", "%C", "%wc", "%lc", "%.3S"}));
}

TEST(KernelCrt, StringRoutines) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(zkcrt_strncpy(buffer, "ab", 6), buffer);
    EXPECT_EQ(std::string(buffer, 8), std::string("ab\0\0\0\0##", 8));  // padded with NULs
    zkcrt_strncpy(buffer, "abcdefgh", 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("abc\0", 4));  // no NUL when cut

    const char* path = "\\Device\\Volume\\file";
    EXPECT_EQ(zkcrt_strrchr(path, '\\'), path + 14);
    EXPECT_EQ(zkcrt_strrchr(path, '\0'), path + 19);
    EXPECT_EQ(zkcrt_strrchr(path, 'z'), nullptr);
    EXPECT_EQ(zkcrt_strlen(path), 19u);
    EXPECT_EQ(zkcrt_strlen(""), 0u);

    EXPECT_EQ(zkcrt_strcmp("abc", "abc"), 0);
    EXPECT_EQ(zkcrt_strcmp("abc", "abd"), -1);
    EXPECT_EQ(zkcrt_strcmp("abcd", "abc"), 1);
    EXPECT_EQ(zkcrt_strcmp("\x80", "a"), 1);  // bytes compare unsigned

    EXPECT_EQ(zkcrt__stricmp("VoLuMe", "volume"), 0);
    EXPECT_LT(zkcrt__stricmp("abc", "ABD"), 0);
    EXPECT_GT(zkcrt__stricmp("abcd", "ABC"), 0);
    EXPECT_LT(zkcrt__stricmp("_", "A"), 0);  // letters fold to lower case
    EXPECT_EQ(zkcrt__strnicmp("abcX", "ABCy", 3), 0);
    EXPECT_NE(zkcrt__strnicmp("abcX", "ABCy", 4), 0);
    EXPECT_EQ(zkcrt__strnicmp("ab", "AB", 10), 0);  // stops at the NUL
    EXPECT_EQ(zkcrt__strnicmp("a", "b", 0), 0);
}

}  // namespace
