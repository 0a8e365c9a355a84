// The kernel's registry routines of the simulated kernel: query tables with
// their default and required rules, writes, and key handles.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntio.h"
#include "platform/ntrtl.h"
#include "simkernel/core.h"
#include "simkernel/registry.h"

namespace {

const std::string kParameters = std::string(sim::kServicesRoot) + "\\Zelkor\\Parameters";
constexpr PCWSTR kRelative = u"Zelkor\\Parameters";

std::vector<uint8_t> Bytes(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + length);
}

std::vector<uint8_t> Text(std::u16string_view text) {
    std::u16string terminated(text);
    terminated += u'\0';
    return Bytes(terminated.data(), terminated.size() * sizeof(char16_t));
}

class SimRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        ASSERT_TRUE(sim::Registry().CreateKey(kParameters));
    }
    void TearDown() override {
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // One table entry and the terminator, as drivers build them.
    static NTSTATUS QueryOne(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context = nullptr,
                             ULONG relativeTo = RTL_REGISTRY_SERVICES, PCWSTR path = kRelative) {
        RTL_QUERY_REGISTRY_TABLE table[2];
        std::memset(table, 0, sizeof table);
        table[0] = entry;
        return RtlQueryRegistryValues(relativeTo, path, table, context, nullptr);
    }

    static RTL_QUERY_REGISTRY_TABLE Direct(PCWSTR name, PVOID variable, ULONG flags, ULONG defaultType,
                                           PVOID defaultData = nullptr, ULONG defaultLength = 0) {
        RTL_QUERY_REGISTRY_TABLE entry;
        std::memset(&entry, 0, sizeof entry);
        entry.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        entry.Name = const_cast<PWSTR>(name);
        entry.EntryContext = variable;
        entry.DefaultType = defaultType;
        entry.DefaultData = defaultData;
        entry.DefaultLength = defaultLength;
        return entry;
    }
};

constexpr ULONG TypeChecked(ULONG type) { return type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT; }

TEST_F(SimRegistry, DirectDwordEntries) {
    struct Case {
        const char* name;
        std::optional<sim::RegValue> stored;
        ULONG flags;
        ULONG defaultType;
        NTSTATUS status;
        ULONG expected;
    };
    const Case cases[] = {
        {"present", sim::RegValue{REG_DWORD, {0x3F, 0, 0, 0}}, 0, REG_DWORD, STATUS_SUCCESS, 0x3F},
        {"absent, default stored", std::nullopt, 0, REG_DWORD, STATUS_SUCCESS, 0x10},
        {"absent, no default", std::nullopt, 0, REG_NONE, STATUS_SUCCESS, 0xAA},
        {"absent, required", std::nullopt, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, STATUS_OBJECT_NAME_NOT_FOUND, 0xAA},
        {"text into a number", sim::RegValue{REG_SZ, Text(u"12")}, 0, REG_DWORD, STATUS_OBJECT_TYPE_MISMATCH, 0xAA},
        {"type check refuses binary", sim::RegValue{REG_BINARY, {1, 2, 3, 4}}, RTL_QUERY_REGISTRY_TYPECHECK,
         REG_DWORD | TypeChecked(REG_DWORD), STATUS_OBJECT_TYPE_MISMATCH, 0xAA},
        {"type check passes a dword", sim::RegValue{REG_DWORD, {7, 0, 0, 0}}, RTL_QUERY_REGISTRY_TYPECHECK,
         REG_DWORD | TypeChecked(REG_DWORD), STATUS_SUCCESS, 7},
        {"short binary lands in the low bytes", sim::RegValue{REG_BINARY, {0x55}}, 0, REG_NONE, STATUS_SUCCESS, 0x55},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Registry().DeleteValue(kParameters, "Config");
        if (c.stored) sim::Registry().SetValue(kParameters, "Config", c.stored->type, c.stored->data);
        ULONG variable = 0xAA;
        ULONG defaultValue = 0x10;
        EXPECT_EQ(QueryOne(Direct(u"Config", &variable, c.flags, c.defaultType, &defaultValue, 4)), c.status);
        EXPECT_EQ(variable, c.expected);
    }
}

TEST_F(SimRegistry, DirectStringEntries) {
    struct Case {
        const char* name;
        std::optional<std::u16string> stored;
        NTSTATUS status;
        std::u16string expected;
    };
    const std::u16string fits(254, u'x');  // 508 bytes and the NUL: exactly 510
    const std::u16string tooLong(255, u'y');
    const Case cases[] = {
        {"present", u"** ", STATUS_SUCCESS, u"** "},
        {"absent and required: unchanged", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND, u"old"},
        {"fills the buffer with its NUL", fits, STATUS_SUCCESS, fits},
        {"one unit too long: unchanged", tooLong, STATUS_BUFFER_TOO_SMALL, u"old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Registry().DeleteValue(kParameters, "Trailer");
        if (c.stored) sim::Registry().SetString(kParameters, "Trailer", *c.stored);
        WCHAR buffer[255];
        std::memcpy(buffer, u"old", 8);
        UNICODE_STRING result{6, 510, buffer};
        const ULONG flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
        EXPECT_EQ(QueryOne(Direct(u"Trailer", &result, flags, REG_NONE | TypeChecked(REG_SZ))), c.status);
        EXPECT_EQ(std::u16string(result.Buffer, result.Length / 2), c.expected);
        EXPECT_EQ(result.Buffer[result.Length / 2], 0);
        EXPECT_EQ(result.MaximumLength, 510);
    }
}

TEST_F(SimRegistry, DirectStringWithoutBufferIsAllocatedFromPool) {
    sim::Registry().SetString(kParameters, "Trailer", std::u16string_view(u"abc"));
    UNICODE_STRING result{0, 0, nullptr};
    ASSERT_EQ(QueryOne(Direct(u"Trailer", &result, 0, REG_NONE)), STATUS_SUCCESS);
    ASSERT_NE(result.Buffer, nullptr);
    EXPECT_EQ(std::u16string(result.Buffer, result.Length / 2), u"abc");
    EXPECT_EQ(result.MaximumLength, 8);
    EXPECT_EQ(sim::PoolLeaks().size(), 1u);
    RtlFreeUnicodeString(&result);
    EXPECT_EQ(result.Buffer, nullptr);
}

TEST_F(SimRegistry, DirectStringDefaultMeasuresItsOwnLength) {
    WCHAR buffer[16];
    UNICODE_STRING result{0, sizeof buffer, buffer};
    EXPECT_EQ(QueryOne(Direct(u"Missing", &result, 0, REG_SZ, const_cast<char16_t*>(u"dflt"), 0)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(result.Buffer, result.Length / 2), u"dflt");
}

// Data longer than 4 bytes is stored as the buffer's first LONG says, whatever
// the entry declares: negated, the buffer's size for the data alone; else the
// size of a buffer for length, type and data. This is how a REG_DWORD value
// with 8 bytes of data writes past a 4-byte variable on the platform.
TEST_F(SimRegistry, LongDataFollowsTheBuffersFirstLong) {
    const uint8_t twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    sim::Registry().SetValue(kParameters, "Blob", REG_BINARY, Bytes(twelve, 12));

    LONG sized[4] = {-16, 0, 0, 0};
    EXPECT_EQ(QueryOne(Direct(u"Blob", sized, 0, REG_BINARY)), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(sized, twelve, 12), 0);

    LONG small[2] = {-8, 0x77};
    EXPECT_EQ(QueryOne(Direct(u"Blob", small, 0, REG_BINARY)), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[1], 0x77);

    LONG unsized[8] = {64};
    EXPECT_EQ(QueryOne(Direct(u"Blob", unsized, 0, REG_NONE)), STATUS_SUCCESS);
    EXPECT_EQ(unsized[0], 12);
    EXPECT_EQ(unsized[1], REG_BINARY);
    EXPECT_EQ(std::memcmp(&unsized[2], twelve, 12), 0);

    const ULONGLONG big = 0x1122334455667788ull;
    sim::Registry().SetValue(kParameters, "Config", REG_DWORD, Bytes(&big, 8));
    ULONG overrun[4] = {16, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(QueryOne(Direct(u"Config", overrun, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD | TypeChecked(REG_DWORD))),
              STATUS_SUCCESS);
    EXPECT_EQ(overrun[0], 8u);
    EXPECT_EQ(overrun[1], ULONG{REG_DWORD});
    EXPECT_EQ(overrun[2], 0x55667788u);
    ULONG tooSmall[4] = {15, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(QueryOne(Direct(u"Config", tooSmall, 0, REG_DWORD)), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall[1], 0xAAu);
}

TEST_F(SimRegistry, MissingKeyFailsWhateverTheFlags) {
    ULONG variable = 5;
    ULONG defaultValue = 9;
    for (ULONG relativeTo : {ULONG(RTL_REGISTRY_SERVICES), RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL}) {
        EXPECT_EQ(QueryOne(Direct(u"Config", &variable, 0, REG_DWORD, &defaultValue, 4), nullptr, relativeTo,
                           u"Nobody\\Parameters"),
                  STATUS_OBJECT_NAME_NOT_FOUND);
    }
    EXPECT_EQ(variable, 5u);
}

TEST_F(SimRegistry, WrittenValuesReadBackThroughEveryRoot) {
    ULONG mask = 0x1FF;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kRelative, u"disk_Config", REG_DWORD, &mask, 4),
              STATUS_SUCCESS);
    WCHAR trailer[] = u"zk> ";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                    u"\\Registry\\Machine\\System\\CurrentControlSet"
                                    u"\\Services\\Zelkor\\Parameters",
                                    u"disk_Trailer", REG_SZ, trailer, sizeof trailer),
              STATUS_SUCCESS);

    EXPECT_EQ(sim::Registry().GetDword(kParameters, "DISK_CONFIG"), 0x1FFu);
    EXPECT_EQ(sim::Registry().GetString(kParameters, "disk_Trailer"), "zk> ");

    ULONG readBack = 0;
    EXPECT_EQ(QueryOne(Direct(u"disk_Config", &readBack, 0, REG_NONE)), STATUS_SUCCESS);
    EXPECT_EQ(readBack, 0x1FFu);

    const std::string control = std::string(sim::kControlRoot) + "\\Zk";
    sim::Registry().CreateKey(control);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, u"Zk", u"V", REG_DWORD, &mask, 4), STATUS_SUCCESS);
    EXPECT_EQ(sim::Registry().GetDword(control, "V"), 0x1FFu);
}

TEST_F(SimRegistry, WriteDoesNotCreateTheKey) {
    ULONG value = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Other\\Parameters", u"Config", REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::Registry().KeyExists(std::string(sim::kServicesRoot) + "\\Other"));
}

TEST_F(SimRegistry, InjectedFaultsFailTheCallAndChangeNothing) {
    sim::Registry().SetDword(kParameters, "Config", 3);
    ULONG variable = 0xAA;
    sim::FailNthCall("RtlQueryRegistryValues", 1);
    EXPECT_EQ(QueryOne(Direct(u"Config", &variable, 0, REG_NONE)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(variable, 0xAAu);

    sim::FailNthCall("RtlWriteRegistryValue", 1);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kRelative, u"Config", REG_DWORD, &variable, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::Registry().GetDword(kParameters, "Config"), 3u);
}

// ---------------------------------------------------------------------------
// Query routines

struct Seen {
    std::u16string name;
    ULONG type;
    std::u16string text;
};

NTSTATUS Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext) {
    auto* seen = static_cast<std::vector<Seen>*>(context);
    std::u16string text;
    if (type == REG_SZ) text.assign(static_cast<const char16_t*>(data), length / 2 - 1);
    seen->push_back({name, type, text});
    return entryContext == nullptr ? STATUS_SUCCESS : *static_cast<NTSTATUS*>(entryContext);
}

TEST_F(SimRegistry, QueryRoutineSeesValuesDefaultsAndEachTextOfAList) {
    sim::Registry().SetMultiString(kParameters, "List", {"one", "two"});
    sim::Registry().SetDword(kParameters, "Number", 1);
    RTL_QUERY_REGISTRY_TABLE table[4];
    std::memset(table, 0, sizeof table);
    table[0].QueryRoutine = &Record;
    table[0].Name = const_cast<PWSTR>(u"List");
    table[1].QueryRoutine = &Record;
    table[1].Name = const_cast<PWSTR>(u"Absent");
    table[1].DefaultType = REG_SZ;
    table[1].DefaultData = const_cast<char16_t*>(u"dflt");
    table[2].QueryRoutine = &Record;  // no name: every value of the key
    std::vector<Seen> seen;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kRelative, table, &seen, nullptr), STATUS_SUCCESS);

    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].text, u"one");
    EXPECT_EQ(seen[1].text, u"two");
    EXPECT_EQ(seen[2].name, u"Absent");
    EXPECT_EQ(seen[2].text, u"dflt");
    EXPECT_EQ(seen[3].name, u"List");
    EXPECT_EQ(seen[5].name, u"Number");
    EXPECT_EQ(seen[5].type, ULONG(REG_DWORD));
}

TEST_F(SimRegistry, FailingQueryRoutineStopsTheQuery) {
    sim::Registry().SetDword(kParameters, "A", 1);
    NTSTATUS refuse = STATUS_INVALID_PARAMETER;
    RTL_QUERY_REGISTRY_TABLE table[3];
    std::memset(table, 0, sizeof table);
    table[0].QueryRoutine = &Record;
    table[0].Name = const_cast<PWSTR>(u"A");
    table[0].EntryContext = &refuse;
    table[1].QueryRoutine = &Record;
    table[1].Name = const_cast<PWSTR>(u"A");
    std::vector<Seen> seen;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kRelative, table, &seen, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(seen.size(), 1u);
}

// ---------------------------------------------------------------------------
// Key handles

OBJECT_ATTRIBUTES Attributes(PUNICODE_STRING name, HANDLE root = nullptr) {
    OBJECT_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = root;
    attributes.ObjectName = name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    return attributes;
}

TEST_F(SimRegistry, CreateKeyCreatesOneLevelAndTellsCreatedFromOpened) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Zelkor\\Extra");
    OBJECT_ATTRIBUTES attributes = Attributes(&name);
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&first, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, 1u);  // REG_CREATED_NEW_KEY
    ASSERT_EQ(ZwCreateKey(&second, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, 2u);  // REG_OPENED_EXISTING_KEY
    EXPECT_NE(first, second);

    UNICODE_STRING child;
    RtlInitUnicodeString(&child, u"Child");
    OBJECT_ATTRIBUTES relative = Attributes(&child, first);
    HANDLE third = nullptr;
    ASSERT_EQ(ZwCreateKey(&third, KEY_ALL_ACCESS, &relative, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Registry().KeyExists(std::string(sim::kServicesRoot) + "\\Zelkor\\Extra\\Child"));

    EXPECT_EQ(sim::OpenKeyHandles().size(), 3u);
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(sim::OpenKeyHandles(),
              std::vector<std::string>{std::string(sim::kServicesRoot) + "\\Zelkor\\Extra\\Child"});
    EXPECT_EQ(ZwClose(third), STATUS_SUCCESS);
    EXPECT_TRUE(sim::OpenKeyHandles().empty());
}

TEST_F(SimRegistry, CreateKeyRefusesMissingParentsAndBadNames) {
    struct Case {
        const char16_t* name;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nobody\\Parameters", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\Software\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\Harddisk0", STATUS_OBJECT_NAME_INVALID},
        {u"Registry\\Machine", STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(c.name)));
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, c.name);
        OBJECT_ATTRIBUTES attributes = Attributes(&name);
        HANDLE key = nullptr;
        EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), c.status);
    }
    EXPECT_TRUE(sim::OpenKeyHandles().empty());
    EXPECT_FALSE(sim::Registry().KeyExists(std::string(sim::kServicesRoot) + "\\Nobody"));
}

TEST_F(SimRegistry, HandleAndIrqlMisuseBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x1234)), "INVALID_KERNEL_HANDLE in ZwClose");
    EXPECT_DEATH(
        {
            ULONG variable = 0;
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            QueryOne(Direct(u"Config", &variable, 0, REG_NONE));
        },
        "IRQL_NOT_LESS_OR_EQUAL in RtlQueryRegistryValues");
    EXPECT_DEATH(
        {
            ULONG variable = 0;
            sim::IrqlScope apc(APC_LEVEL);
            RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kRelative, u"Config", REG_DWORD, &variable, 4);
        },
        "IRQL_NOT_LESS_OR_EQUAL in RtlWriteRegistryValue");
}

TEST_F(SimRegistry, ResetEmptiesTheRegistryAndForgetsHandles) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Zelkor");
    OBJECT_ATTRIBUTES attributes = Attributes(&name);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    sim::ResetKernel();
    EXPECT_TRUE(sim::OpenKeyHandles().empty());
    EXPECT_FALSE(sim::Registry().KeyExists(kParameters));
}

}  // namespace
