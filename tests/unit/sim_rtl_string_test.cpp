// Counted strings of the simulated kernel's run-time library: the
// conversions' ways of failing for want of room, and appends at the edge.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/ntio.h"
#include "platform/ntrtl.h"
#include "simkernel/core.h"

namespace {

class SimRtlString : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override {
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }
};

std::u16string Units(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / 2); }

TEST_F(SimRtlString, InitCountsWithoutTheNul) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, u"Parameters");
    EXPECT_EQ(wide.Length, 20);
    EXPECT_EQ(wide.MaximumLength, 22);
    RtlInitUnicodeString(&wide, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(wide.MaximumLength, 0);
    EXPECT_EQ(wide.Buffer, nullptr);

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "disk");
    EXPECT_EQ(ansi.Length, 4);
    EXPECT_EQ(ansi.MaximumLength, 5);
}

TEST_F(SimRtlString, AnsiToUnicodeNeedsRoomForTheNulAndCopiesNothingOtherwise) {
    struct Case {
        USHORT maximumLength;
        NTSTATUS status;
        std::u16string buffer;  // what the buffer holds afterwards
    };
    const Case cases[] = {
        {12, STATUS_SUCCESS, std::u16string(u"caf\u00e9!\0", 6)},
        {10, STATUS_BUFFER_OVERFLOW, u"......"},
        {0, STATUS_BUFFER_OVERFLOW, u"......"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maximumLength);
        ANSI_STRING source;
        RtlInitAnsiString(&source, "caf\xe9!");
        WCHAR buffer[6];
        for (WCHAR& unit : buffer)
            unit = u'.';
        UNICODE_STRING destination{0, c.maximumLength, buffer};
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&destination, &source, FALSE), c.status);
        EXPECT_EQ(std::u16string(buffer, 6), c.buffer);
        EXPECT_EQ(destination.Length, 10) << "set even when nothing was copied";
    }
}

TEST_F(SimRtlString, UnicodeToAnsiCutsToTheBufferLessOneAndTerminates) {
    struct Case {
        USHORT maximumLength;
        NTSTATUS status;
        USHORT length;
        std::string buffer;
    };
    const Case cases[] = {
        {8, STATUS_SUCCESS, 6, std::string("d\xe9v?ce\0.", 8)},
        {7, STATUS_SUCCESS, 6, std::string("d\xe9v?ce\0.", 8)},
        {6, STATUS_BUFFER_OVERFLOW, 5, std::string("d\xe9v?c\0..", 8)},
        {1, STATUS_BUFFER_OVERFLOW, 0, std::string("\0.......", 8)},
        {0, STATUS_BUFFER_OVERFLOW, 6, std::string("........", 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maximumLength);
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, u"d\u00e9v\u0130ce");  // U+0130 has no Latin-1 form
        char buffer[8];
        std::memset(buffer, '.', sizeof buffer);
        ANSI_STRING destination{0, c.maximumLength, buffer};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, FALSE), c.status);
        EXPECT_EQ(destination.Length, c.length);
        EXPECT_EQ(std::string(buffer, 8), c.buffer);
    }
}

TEST_F(SimRtlString, AllocatingConversionsUseTaggedPoolAndCanBeFailed) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "name");
    UNICODE_STRING wide{0, 0, nullptr};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Units(wide), u"name");
    EXPECT_EQ(wide.MaximumLength, 10);
    EXPECT_EQ(wide.Buffer[4], 0);
    EXPECT_NE(sim::LeakReport().find("tag 'Strg' 10 bytes"), std::string::npos) << sim::LeakReport();

    ANSI_STRING back{0, 0, nullptr};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(back.Buffer, "name");
    ExFreePool(back.Buffer);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(wide.MaximumLength, 0);

    sim::FailNthCall("RtlAnsiStringToUnicodeString", 1);
    sim::FailNthCall("RtlUnicodeStringToAnsiString", 1);
    UNICODE_STRING failedWide{0, 0, nullptr};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&failedWide, &source, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(failedWide.Buffer, nullptr);
    UNICODE_STRING literal;
    RtlInitUnicodeString(&literal, u"x");
    ANSI_STRING failedAnsi{0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&failedAnsi, &literal, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(failedAnsi.Buffer, nullptr);
}

TEST_F(SimRtlString, AppendsFailWholeWhenTooSmallAndTerminateOnlyWithRoom) {
    struct Case {
        const char* name;
        USHORT maximumLength;
        NTSTATUS status;
        std::u16string buffer;
    };
    const Case cases[] = {
        {"room for the NUL", 14, STATUS_SUCCESS, std::u16string(u"Zk\\Par\0", 7)},
        {"exactly full: no NUL", 12, STATUS_SUCCESS, u"Zk\\Par#"},
        {"one unit short: unchanged", 10, STATUS_BUFFER_TOO_SMALL, u"Zk#####"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WCHAR buffer[7];
        for (WCHAR& unit : buffer)
            unit = u'#';
        UNICODE_STRING destination{0, c.maximumLength, buffer};
        UNICODE_STRING first;
        RtlInitUnicodeString(&first, u"Zk");
        ASSERT_EQ(RtlAppendUnicodeStringToString(&destination, &first), STATUS_SUCCESS);
        buffer[2] = u'#';  // forget the NUL of the first append
        EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"\\Par"), c.status);
        EXPECT_EQ(std::u16string(buffer, 7), c.buffer);
    }
}

TEST_F(SimRtlString, AppendsWorkAtDispatchButConversionsNeedPassive) {
    WCHAR buffer[8];
    UNICODE_STRING destination{0, sizeof buffer, buffer};
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"ok"), STATUS_SUCCESS);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ANSI_STRING source;
            RtlInitAnsiString(&source, "x");
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            RtlAnsiStringToUnicodeString(&destination, &source, FALSE);
        },
        "IRQL_NOT_LESS_OR_EQUAL in RtlAnsiStringToUnicodeString");
}

}  // namespace
