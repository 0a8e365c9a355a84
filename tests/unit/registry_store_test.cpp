#include "simkernel/registry_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sim {
namespace {

constexpr char kParams[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zelkor\\Parameters";
constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

std::vector<uint8_t> Utf16(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

TEST(RegistryStoreKeys, LookupIgnoresCaseButKeepsCreatedCase) {
    RegistryStore reg;
    bool created = false;
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\Software\\ZelKor", &created));
    EXPECT_TRUE(created);
    ASSERT_TRUE(reg.CreateKey("\\REGISTRY\\machine\\SOFTWARE\\zelkor", &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(reg.SubkeyNames("\\registry\\machine"), std::vector<std::string>{"Software"});
    EXPECT_EQ(reg.SubkeyNames("\\Registry\\Machine\\software"), std::vector<std::string>{"ZelKor"});

    ASSERT_TRUE(reg.SetDword("\\Registry\\Machine\\Software\\ZelKor", "LogLevel", 1));
    ASSERT_TRUE(reg.SetDword("\\registry\\machine\\software\\zelkor", "LOGLEVEL", 2));
    EXPECT_EQ(reg.ValueNames("\\Registry\\Machine\\Software\\ZelKor"), std::vector<std::string>{"LogLevel"});
    EXPECT_EQ(reg.GetDword("\\REGISTRY\\MACHINE\\SOFTWARE\\ZELKOR", "loglevel"), 2u);
    EXPECT_TRUE(reg.DeleteValue("\\Registry\\Machine\\Software\\ZelKor", "logLEVEL"));
    EXPECT_FALSE(reg.GetValue("\\Registry\\Machine\\Software\\ZelKor", "LogLevel"));
}

TEST(RegistryStoreKeys, InvalidPathsAndNamesAreRefused) {
    RegistryStore reg;
    for (const char* path : {"", "\\", "Registry\\Machine", "\\Registry\\\\Machine", "\\Registry\\Machine\\",
                             "\\Registry\\Machine\\a\nb", "\\Registry\\Machine\\\xff"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(reg.CreateKey(path));
        EXPECT_FALSE(reg.KeyExists(path));
    }
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\K"));
    EXPECT_FALSE(reg.SetDword("\\Registry\\Machine\\K", "a\rb", 1));
    EXPECT_FALSE(reg.SetDword("\\Registry\\Machine\\Missing", "v", 1));
    // Truncated sequence, overlong form, encoded surrogate, beyond U+10FFFF.
    for (const char* bad : {"\xc3\x28", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(reg.SetString("\\Registry\\Machine\\K", "v", std::string_view(bad))) << bad;
    }
    EXPECT_FALSE(reg.SetString("\\Registry\\Machine\\K", "v", "text", kRegBinary));
    EXPECT_FALSE(reg.SetMultiString("\\Registry\\Machine\\K", "v", {"a", ""}));
    EXPECT_TRUE(reg.ValueNames("\\Registry\\Machine\\K").empty());
}

TEST(RegistryStoreKeys, DeleteRemovesSubtreeButNotFixedRoots) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\A\\B\\C"));
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\A\\D"));
    ASSERT_TRUE(reg.SetDword("\\Registry\\Machine\\A\\B", "v", 1));
    EXPECT_TRUE(reg.DeleteKey("\\registry\\machine\\a\\b"));
    EXPECT_FALSE(reg.KeyExists("\\Registry\\Machine\\A\\B\\C"));
    EXPECT_FALSE(reg.GetValue("\\Registry\\Machine\\A\\B", "v"));
    EXPECT_EQ(reg.SubkeyNames("\\Registry\\Machine\\A"), std::vector<std::string>{"D"});
    EXPECT_FALSE(reg.DeleteKey("\\Registry\\Machine\\A\\B"));

    for (const char* root : {"\\Registry", "\\Registry\\Machine", "\\REGISTRY\\USER"}) {
        EXPECT_FALSE(reg.DeleteKey(root)) << root;
        EXPECT_TRUE(reg.KeyExists(root)) << root;
    }
    reg.Clear();
    EXPECT_FALSE(reg.KeyExists("\\Registry\\Machine\\A"));
    EXPECT_TRUE(reg.KeyExists("\\Registry\\Machine"));
}

TEST(RegistryStoreValues, ConvenienceAccessorsCheckTypeAndEncoding) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(kParams));
    ASSERT_TRUE(reg.SetDword(kParams, "D", 0x12345678));
    ASSERT_TRUE(reg.SetString(kParams, "S", "h\xc3\xa9"));
    ASSERT_TRUE(reg.SetString(kParams, "E", u"%SystemRoot%", kRegExpandSz));
    ASSERT_TRUE(reg.SetMultiString(kParams, "M", {"a", "\xe2\x82\xac"}));
    ASSERT_TRUE(reg.SetValue(kParams, "Short", kRegDword, Bytes({1, 2})));

    EXPECT_EQ(reg.GetValue(kParams, "D")->data, Bytes({0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(reg.GetValue(kParams, "S")->data, Utf16(std::u16string_view(u"h\u00e9\0", 3)));
    EXPECT_EQ(reg.GetValue(kParams, "M")->data, Utf16(std::u16string_view(u"a\0\u20ac\0\0", 5)));
    EXPECT_EQ(reg.GetString(kParams, "S"), "h\xc3\xa9");
    EXPECT_EQ(reg.GetString(kParams, "E"), "%SystemRoot%");
    EXPECT_EQ(reg.GetMultiString(kParams, "M"), (std::vector<std::string>{"a", "\xe2\x82\xac"}));
    EXPECT_FALSE(reg.GetDword(kParams, "S"));
    EXPECT_FALSE(reg.GetDword(kParams, "Short"));
    EXPECT_FALSE(reg.GetString(kParams, "D"));
    EXPECT_FALSE(reg.GetMultiString(kParams, "S"));
}

TEST(RegistryStoreValues, ConcurrentWritersAllLand) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(kParams));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&reg, t] {
            for (int i = 0; i < 100; ++i) {
                reg.SetDword(kParams, "v" + std::to_string(t * 100 + i), static_cast<uint32_t>(i));
                reg.SaveRegText();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(reg.ValueNames(kParams).size(), 400u);
}

// Every type survives save then load byte for byte, with names, value order and
// subkey order (including empty keys).
TEST(RegFile, SaveThenLoadRoundTripsEveryValue) {
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    const struct {
        const char* name;
        RegValue value;
    } cases[] = {
        {"", {kRegSz, Utf16(std::u16string_view(u"default\0", 8))}},
        {"none", {kRegNone, {}}},
        {"sz \"quoted\" \\ back\\", {kRegSz, Utf16(std::u16string_view(u"C:\\dir\\ \"q\" ; [x]\0", 18))}},
        {"sz empty", {kRegSz, Bytes({0, 0})}},
        {"sz unicode", {kRegSz, Utf16(std::u16string_view(u"\u00e9\U0001F600\0", 4))}},
        {"sz newline", {kRegSz, Utf16(std::u16string_view(u"a\r\nb\0", 5))}},
        {"sz no terminator", {kRegSz, Utf16(u"abc")}},
        {"sz lone surrogate", {kRegSz, Utf16(std::u16string_view(u"\xd800x\0", 3))}},
        {"expand", {kRegExpandSz, Utf16(std::u16string_view(u"%SystemRoot%\\x\0", 15))}},
        {"binary", {kRegBinary, big}},
        {"binary empty", {kRegBinary, {}}},
        {"dword", {kRegDword, Bytes({0x1f, 0, 0, 0x80})}},
        {"dword short", {kRegDword, Bytes({1, 2, 3})}},
        {"multi", {kRegMultiSz, Utf16(std::u16string_view(u"one\0two\0\0", 9))}},
        {"qword", {kRegQword, Bytes({1, 2, 3, 4, 5, 6, 7, 0xff})}},
        {"odd type", {0xabcdef12, Bytes({9})}},
    };
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(std::string(kParams) + "\\Empty"));
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\Software\\Zelkor ]x[ "));
    ASSERT_TRUE(reg.CreateKey("\\Registry\\User\\S-1-5-18\\Env"));
    for (const auto& c : cases)
        ASSERT_TRUE(reg.SetValue(kParams, c.name, c.value.type, c.value.data)) << c.name;
    ASSERT_TRUE(reg.SetDword("\\Registry\\Machine", "AtRoot", 5));

    const std::string text = reg.SaveRegText();
    for (size_t pos = 0, nl; (nl = text.find("\r\n", pos)) != std::string::npos; pos = nl + 2) {
        if (text.compare(pos, 12, "\"binary\"=hex") != 0) continue;
        EXPECT_LE(nl - pos, 80u) << "long byte lists wrap like regedit's";
    }
    RegistryStore back;
    RegLoadError err;
    ASSERT_TRUE(back.LoadRegText(text, "saved.reg", &err)) << err.Message() << "\n" << text;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto v = back.GetValue(kParams, c.name);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->type, c.value.type);
        EXPECT_EQ(v->data, c.value.data);
    }
    EXPECT_EQ(back.ValueNames(kParams), reg.ValueNames(kParams));
    EXPECT_EQ(back.SubkeyNames("\\Registry\\Machine"), (std::vector<std::string>{"System", "Software"}));
    EXPECT_EQ(back.SubkeyNames("\\Registry\\Machine\\Software"), std::vector<std::string>{"Zelkor ]x[ "});
    EXPECT_TRUE(back.KeyExists(std::string(kParams) + "\\Empty"));
    EXPECT_TRUE(back.KeyExists("\\Registry\\User\\S-1-5-18\\Env"));
    EXPECT_EQ(back.GetDword("\\Registry\\Machine", "AtRoot"), 5u);
    EXPECT_EQ(back.SaveRegText(), text);
}

TEST(RegFile, SaveWritesRegeditFormat) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\Software\\Z\\Sub"));
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Other\\NotSaved"));
    ASSERT_TRUE(reg.SetDword("\\Registry\\Machine\\Software\\Z", "Count", 31));
    ASSERT_TRUE(reg.SetString("\\Registry\\Machine\\Software\\Z", "", "a\"b\\c"));
    ASSERT_TRUE(reg.SetValue("\\Registry\\Machine\\Software\\Z", "Q", kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(reg.SetValue("\\Registry\\Machine\\Software\\Z", "B", kRegBinary, Bytes({0xab, 0x0c})));
    EXPECT_EQ(reg.SaveRegText(), std::string(kHeader) +
                                     "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\Software\\Z]\r\n"
                                     "\"Count\"=dword:0000001f\r\n"
                                     "@=\"a\\\"b\\\\c\"\r\n"
                                     "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                                     "\"B\"=hex:ab,0c\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\Software\\Z\\Sub]\r\n\r\n");
}

TEST(RegFile, LoadsHandWrittenFile) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey("\\Registry\\Machine\\Software\\Old\\Child"));
    ASSERT_TRUE(reg.CreateKey(kParams));
    ASSERT_TRUE(reg.SetDword(kParams, "Stale", 1));
    const char* text =
        "REGEDIT4\n"
        "; comment line\n"
        "\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
        "  [hklm\\System\\CurrentControlSet\\Services\\zelkor\\Parameters]  \n"
        "\"Stale\"=-\n"
        "\"Level\" = dword:1F\n"
        "@=\"C:\\\\x \\\"y\\\"\"\n"
        "\"Bin\"=hex:01,2, ff,\\\n"
        "   10,\\\n"
        "\n"
        "\"Exp\"=hex(2):25,00,00,00\n"
        "\"Multi\"=HEX(7):61,00,00,00,00,00\n"
        "\"Q\"=hex(b):\\\n"
        "  01,00,00,00,00,00,00,00\n"
        "\"None\"=hex(0):\n"
        "\"Odd\"=hex(100):aa\n"
        "[HKEY_USERS\\.DEFAULT]\n";
    RegLoadError err;
    ASSERT_TRUE(reg.LoadRegText(text, "hand.reg", &err)) << err.Message();
    EXPECT_FALSE(reg.KeyExists("\\Registry\\Machine\\Software\\Old"));
    EXPECT_TRUE(reg.KeyExists("\\Registry\\User\\.DEFAULT"));
    EXPECT_EQ(reg.ValueNames(kParams),
              (std::vector<std::string>{"Level", "", "Bin", "Exp", "Multi", "Q", "None", "Odd"}));
    EXPECT_EQ(reg.GetDword(kParams, "Level"), 0x1fu);
    EXPECT_EQ(reg.GetString(kParams, ""), "C:\\x \"y\"");
    const struct {
        const char* name;
        RegValue expected;
    } values[] = {
        {"Bin", {kRegBinary, Bytes({1, 2, 0xff, 0x10})}},
        {"Exp", {kRegExpandSz, Bytes({0x25, 0, 0, 0})}},
        {"Multi", {kRegMultiSz, Bytes({0x61, 0, 0, 0, 0, 0})}},
        {"Q", {kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0})}},
        {"None", {kRegNone, {}}},
        {"Odd", {0x100, Bytes({0xaa})}},
    };
    for (const auto& v : values)
        EXPECT_EQ(reg.GetValue(kParams, v.name), v.expected) << v.name;
}

// Each broken file starts with valid changes; none of them may be applied.
TEST(RegFile, MalformedFilesAreRefusedWholeWithLineAndReason) {
    const std::string good = std::string(kHeader) + "[HKLM\\Software\\New]\r\n\"A\"=dword:00000001\r\n";
    const struct {
        std::string text;
        int line;
        std::string reason;
    } cases[] = {
        {"", 1, "missing header"},
        {"\n\n", 3, "missing header"},
        {"Windows Registry Editor Version 4.00\n[HKLM\\X]\n", 1, "missing header"},
        {"REGEDIT4\n\"A\"=dword:00000001\n", 2, "value outside any key"},
        {good + "[-HKLM\\Software\\Gone]\r\n\"B\"=dword:1\r\n", 6, "value under a deleted key"},
        {good + "\"B\"=dword:xyz\r\n", 5, "bad dword 'xyz': expected 1 to 8 hex digits"},
        {good + "\"B\"=dword:123456789\r\n", 5, "bad dword '123456789': expected 1 to 8 hex digits"},
        {good + "\"B\"=\"abc\r\n", 5, "unterminated string"},
        {good + "\"B=dword:1\r\n", 5, "unterminated string"},
        {good + "\"B\"=\"a\\tb\"\r\n", 5, "bad escape '\\t' in string"},
        {good + "\"B\"=\"a\" x\r\n", 5, "unexpected text after value: 'x'"},
        {good + "\"B\" dword:1\r\n", 5, "expected '=' after value name"},
        {good + "\"B\"=\r\n", 5, "missing value data"},
        {good + "\"B\"=qword:1\r\n", 5, "unrecognised value data 'qword:1'"},
        {good + "[HKEY_FOO\\Bar]\r\n", 5, "unknown root key HKEY_FOO"},
        {good + "[HKEY_CURRENT_USER\\Software]\r\n", 5, "unknown root key HKEY_CURRENT_USER"},
        {good + "[HKLM\\Software\r\n", 5, "missing ']' after key name"},
        {good + "[]\r\n", 5, "missing key name"},
        {good + "[HKLM\\a\\\\b]\r\n", 5, "bad key path 'HKLM\\a\\\\b'"},
        {good + "[HKLM\\a\\]\r\n", 5, "bad key path 'HKLM\\a\\'"},
        {good + "[-HKEY_USERS]\r\n", 5, "cannot delete root key HKEY_USERS"},
        {good + "garbage\r\n", 5, "unrecognised line 'garbage'"},
        {good + "\"B\"=hex:01,zz\r\n", 5, "bad hex byte 'zz'"},
        {good + "\"B\"=hex:01,100\r\n", 5, "bad hex byte '100'"},
        {good + "\"B\"=hex:01,,02\r\n", 5, "missing hex byte"},
        {good + "\"B\"=hex:01,\r\n", 5, "missing hex byte"},
        {good + "\"B\"=hex:01,\\\r\n  02,\\\r\n  0g\r\n", 7, "bad hex byte '0g'"},
        {good + "\"B\"=hex:01,\\\r\n  02,\\", 6, "continuation at end of file"},
        {good + "\"B\"=hex(zz):01\r\n", 5, "bad value type 'hex(zz)'"},
        {good + "\"B\"=hex(1)01\r\n", 5, "expected ':' after value type"},
        {good + "\"B\"=\"\xc3\x28\"\r\n", 5, "invalid UTF-8 text"},
        {good + std::string("\"B\"=\"\0\"\r\n", 9), 5, "NUL character in text"},
        {std::string("\xFE\xFF\0R", 4), 1, "big-endian UTF-16 text is not supported"},
        {std::string("\xFF\xFER\0\n\0\x00\xD8", 8), 2, "invalid UTF-16 text"},
        {std::string("\xFF\xFER\0\n\0x", 7), 2, "UTF-16 text with an odd number of bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RegistryStore reg;
        ASSERT_TRUE(reg.CreateKey(kParams));
        ASSERT_TRUE(reg.SetDword(kParams, "Keep", 7));
        const std::string before = reg.SaveRegText();
        RegLoadError err;
        EXPECT_FALSE(reg.LoadRegText(c.text, "bad.reg", &err));
        EXPECT_EQ(err.file, "bad.reg");
        EXPECT_EQ(err.line, c.line);
        EXPECT_EQ(err.reason, c.reason);
        EXPECT_EQ(err.Message(), "bad.reg:" + std::to_string(c.line) + ": " + c.reason);
        EXPECT_EQ(reg.SaveRegText(), before);
    }
}

TEST(RegFile, AcceptsUtf16AndUtf8ByteOrderMarks) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Software\\Z\u00e9]\r\n"
        u"\"Name\"=\"\u20ac\U0001F600\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (uint8_t b : Utf16(text))
        utf16.push_back(static_cast<char>(b));
    const std::string utf8 =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Z\xc3\xa9]\r\n"
        "\"Name\"=\"\xe2\x82\xac\xf0\x9f\x98\x80\"\r\n";
    for (const std::string& raw : {utf16, utf8}) {
        RegistryStore reg;
        RegLoadError err;
        ASSERT_TRUE(reg.LoadRegText(raw, "enc.reg", &err)) << err.Message();
        EXPECT_EQ(reg.GetValue("\\Registry\\Machine\\Software\\Z\xc3\xa9", "name")->data,
                  Utf16(std::u16string_view(u"\u20ac\U0001F600\0", 4)));
    }
}

TEST(RegFile, FilesOnDisk) {
    char dir[] = "/tmp/regstoreXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/cfg.reg";
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(kParams));
    ASSERT_TRUE(reg.SetDword(kParams, "Level", 3));
    std::string saveError;
    ASSERT_TRUE(reg.SaveRegFile(path, &saveError)) << saveError;

    RegistryStore back;
    RegLoadError err;
    ASSERT_TRUE(back.LoadRegFile(path, &err)) << err.Message();
    EXPECT_EQ(back.GetDword(kParams, "Level"), 3u);

    EXPECT_FALSE(back.LoadRegFile(std::string(dir) + "/missing.reg", &err));
    EXPECT_EQ(err.line, 0);
    EXPECT_EQ(err.Message().rfind(std::string(dir) + "/missing.reg: cannot open file", 0), 0u) << err.Message();
    EXPECT_FALSE(reg.SaveRegFile(std::string(dir) + "/no/such/dir.reg", &saveError));
    EXPECT_NE(saveError.find("cannot open"), std::string::npos);

    std::remove(path.c_str());
    rmdir(dir);
}

// Hand-made files at the registry's limits: keys nest at most 512 names deep
// (a deeper one is refused where it is named, and nothing is applied), and a
// key with 20,000 values loads and is looked up by name, whatever the case.
TEST(RegFile, DeepKeysAndManyValues) {
    auto deepKey = [](size_t names) {  // \Registry\Machine counts as two
        std::string key = "[HKEY_LOCAL_MACHINE";
        for (size_t i = 2; i < names; ++i)
            key += "\\k";
        return key + "]\r\n";
    };
    RegistryStore reg;
    RegLoadError err;
    ASSERT_TRUE(reg.LoadRegText(std::string(kHeader) + deepKey(512) + "\"Deep\"=dword:00000001\r\n", "deep.reg", &err))
        << err.Message();
    std::string path = "\\Registry\\Machine";
    for (size_t i = 2; i < 512; ++i)
        path += "\\k";
    EXPECT_EQ(reg.GetDword(path, "Deep"), 1u);
    EXPECT_FALSE(reg.CreateKey(path + "\\k"));
    for (size_t names : {513, 20000}) {
        EXPECT_FALSE(
            reg.LoadRegText(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\a]\r\n" + deepKey(names), "deep.reg", &err));
        EXPECT_EQ(err.Message(),
                  "deep.reg:4: key nested " + std::to_string(names) + " names deep; the registry holds at most 512");
    }
    EXPECT_FALSE(reg.KeyExists("\\Registry\\Machine\\a"));

    std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Many]\r\n";
    for (int i = 0; i < 20000; ++i)
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\r\n";
    text += "\"VALUE19999\"=-\r\n\"value7\"=dword:00000042\r\n";
    ASSERT_TRUE(reg.LoadRegText(text, "many.reg", &err)) << err.Message();
    const std::string many = "\\Registry\\Machine\\Many";
    EXPECT_EQ(reg.ValueNames(many).size(), 19999u);
    EXPECT_EQ(reg.ValueNames(many)[7], "Value7");
    EXPECT_EQ(reg.GetDword(many, "VALUE7"), 0x42u);
    EXPECT_EQ(reg.GetDword(many, "value19998"), 8u);
    EXPECT_FALSE(reg.GetValue(many, "Value19999"));
}

}  // namespace
}  // namespace sim
