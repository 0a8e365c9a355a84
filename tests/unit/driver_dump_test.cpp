// Hex and MDL dumps and the buffer mapping, against the simulated memory
// manager: exact line layout, the cap, every way a dump stops, and the MDLs
// the mapping hands out or gives back.
#include "trace/dump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "tests/unit/expected_text.h"
#include "trace/print.h"

namespace {

using sim::kPageSize;

std::string ExpectedLine(const uint8_t* bytes, size_t count) { return expected::DumpColumns(bytes, count); }

std::vector<std::string> ExpectedLines(const uint8_t* bytes, size_t count) {
    std::vector<std::string> lines;
    for (size_t done = 0; done < count; done += 16)
        lines.push_back(ExpectedLine(bytes + done, count - done < 16 ? count - done : 16));
    return lines;
}

// The debugger text cut into lines, without their newlines.
std::vector<std::string> PrintedLines() {
    std::vector<std::string> lines;
    const std::string text = sim::DebugText();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text after the last newline";
    return lines;
}

std::string Hex32(const void* p) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

class DriverDump : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        std::memset(&record_, 0, sizeof record_);
        record_.DeviceKind = ZK_KIND_FILTER;
        record_.TraceMask = TRACE_DATA | TRACE_IO;
    }
    void TearDown() override {
        EXPECT_EQ(sim::OutstandingMdls(), std::vector<std::string>{});
        EXPECT_EQ(sim::LeakReport(), "");
        sim::ResetKernel();
    }

    // A buffer whose first byte lies Before bytes ahead of a page end (0:
    // page-aligned), filled with a pattern.
    uint8_t* Buffer(size_t bytes, size_t before = 0) {
        sim::SimBuffer buffer = sim::AllocateBuffer(bytes, before == 0 ? 0 : kPageSize - before);
        for (size_t i = 0; i < bytes; ++i)
            buffer.address[i] = static_cast<uint8_t>(i * 7 + 1);
        return buffer.address;
    }

    void Dump(const void* address, ULONG length, ULONG level = TRACE_DATA) {
        ZK_DumpMemory(level, &record_, const_cast<void*>(address), length);
    }

    ZK_EXTENSION record_;
};

TEST_F(DriverDump, LineLayoutIsExact) {
    const uint8_t letters[17] = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                                 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51};
    struct Case {
        std::vector<uint8_t> bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {{letters, letters + 16}, {"41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP"}},
        {{letters, letters + 17},
         {"41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP",
          "51" + std::string(48, ' ') + "Q" + std::string(15, ' ')}},
        {{0x41, 0x42, 0x00}, {"41 42 00" + std::string(42, ' ') + "AB." + std::string(13, ' ')}},
        // The extra blank after the eighth byte lies outside the copied text.
        {{letters, letters + 8}, {"41 42 43 44 45 46 47 48" + std::string(27, ' ') + "ABCDEFGH" + std::string(8, ' ')}},
        {{letters, letters + 9},
         {"41 42 43 44 45 46 47 48  49" + std::string(23, ' ') + "ABCDEFGHI" + std::string(7, ' ')}},
        // Controls become dots; blank, DEL and the upper half print raw.
        {{0x00, 0x1F, 0x20, 0x7F, 0xFF},
         {"00 1F 20 7F FF" + std::string(36, ' ') + ".. \x7F\xFF" + std::string(11, ' ')}},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        uint8_t* buffer = Buffer(c.bytes.size());
        std::memcpy(buffer, c.bytes.data(), c.bytes.size());
        Dump(buffer, static_cast<ULONG>(c.bytes.size()));
        const std::vector<std::string> lines = PrintedLines();
        EXPECT_EQ(lines, c.lines) << c.bytes.size() << " bytes";
        for (const std::string& line : lines)
            EXPECT_EQ(line.size(), 66u);
    }
}

TEST_F(DriverDump, EachLineIsOneTraceLineBehindTheTrailer) {
    std::strcpy(record_.Trailer, "** ");
    uint8_t* buffer = Buffer(20);
    Dump(buffer, 20);
    const std::vector<std::string> expected = ExpectedLines(buffer, 20);
    const auto& calls = sim::DebugCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].text, "** ");
    EXPECT_EQ(calls[1].text, expected[0] + "\n");
    EXPECT_EQ(calls[2].text, "** ");
    EXPECT_EQ(calls[3].text, expected[1] + "\n");
}

// The dump builds its lines itself and prints them without formatting them:
// they must still carry the stamp when the record asks for it, obey a mask
// that is changed between two lines, and a percent sign in the data must
// print as itself.
TEST_F(DriverDump, BuiltLinesAreTraceLinesLikeAnyOther) {
    sim::SetTimeIncrement(10000);
    sim::SetTickCount(3723045);
    std::strcpy(record_.Trailer, "** ");
    record_.TraceMask = TRACE_DATA | TRACE_TIMESTAMP;
    uint8_t* buffer = Buffer(48);
    std::memcpy(buffer, "%s%X%n", 6);
    const std::vector<std::string> expected = ExpectedLines(buffer, 48);
    sim::SetDebugObserver([this](const std::string& text) {
        if (text.find("  ") != std::string::npos) record_.TraceMask = TRACE_IO | TRACE_TIMESTAMP;
    });
    Dump(buffer, 48);
    sim::SetDebugObserver(nullptr);
    std::vector<std::string> texts;
    for (const sim::DebugCall& call : sim::DebugCalls())
        texts.push_back(call.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"1:02:03.045 ", "** ", expected[0] + "\n"}));
    EXPECT_EQ(expected[0].substr(0, 17), "25 73 25 58 25 6E");
}

TEST_F(DriverDump, LengthIsCappedAt2048Bytes) {
    for (ULONG length : {2047u, 2048u, 2049u, 4096u}) {
        sim::ClearDebugOutput();
        uint8_t* buffer = Buffer(4096);
        Dump(buffer, length);
        const ULONG dumped = length < ZK_DUMP_LIMIT ? length : ZK_DUMP_LIMIT;
        const std::vector<std::string> lines = PrintedLines();
        EXPECT_EQ(lines, ExpectedLines(buffer, dumped)) << length;
        EXPECT_EQ(lines.size(), 128u) << length;
    }
}

TEST_F(DriverDump, NothingIsPrintedForNoMemory) {
    uint8_t* invalid = Buffer(64);
    sim::InvalidatePage(invalid);
    uint8_t* pagedOut = Buffer(64);
    sim::PageOut(pagedOut);
    uint8_t* valid = Buffer(64);
    struct Case {
        const char* what;
        const void* address;
        ULONG length;
        ULONG level;
    } cases[] = {
        {"zero length", valid, 0, TRACE_DATA},
        {"null address", nullptr, 64, TRACE_DATA},
        {"kernel address", sim::InvalidKernelAddress(), 64, TRACE_DATA},
        {"invalid page", invalid, 64, TRACE_DATA},
        {"paged-out page", pagedOut, 64, TRACE_DATA},
        {"level not in the mask", valid, 64, TRACE_INTERNAL},
    };
    for (const Case& c : cases) {
        Dump(c.address, c.length, c.level);
        EXPECT_EQ(sim::DebugText(), "") << c.what;
    }
}

// A dump that reaches a page that is not valid ends quietly with what it has
// read: whole lines when the page starts a line, and a short line when it
// starts inside one. At DISPATCH_LEVEL a read of such a page would stop the
// machine, so the dump must test the page before it reads it.
TEST_F(DriverDump, DumpNeverReadsIntoAnInvalidPage) {
    struct Case {
        size_t before;  // bytes before the page end
        std::vector<size_t> lineBytes;
    } cases[] = {
        {32, {16, 16}},
        {24, {16, 8}},
        {8, {8}},
        {1, {1}},
    };
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        for (bool pagedOut : {false, true}) {
            for (const Case& c : cases) {
                sim::ClearDebugOutput();
                uint8_t* buffer = Buffer(256, c.before);
                if (pagedOut)
                    sim::PageOut(buffer + c.before);
                else
                    sim::InvalidatePage(buffer + c.before);
                {
                    sim::IrqlScope scope(irql);
                    Dump(buffer, 256);
                }
                std::vector<std::string> expected;
                size_t offset = 0;
                for (size_t n : c.lineBytes) {
                    expected.push_back(ExpectedLine(buffer + offset, n));
                    offset += n;
                }
                EXPECT_EQ(PrintedLines(), expected)
                    << c.before << " bytes before the page end, IRQL " << int(irql) << (pagedOut ? ", paged out" : "");
            }
        }
    }
}

// Another thread may make the memory invalid between the validity test and
// the read: the line in progress is dropped and the fault is reported with
// the start of the dump; the lines before it stay printed. The simulated
// memory manager takes the page away right after a chosen validity test, so
// the race is hit every time.
TEST_F(DriverDump, FaultWhileReadingReportsTheStartAddress) {
    uint8_t* buffer = Buffer(ZK_DUMP_LIMIT);
    const std::vector<std::string> all = ExpectedLines(buffer, ZK_DUMP_LIMIT);
    const std::string sucks = "ZK_DumpMemory: Pointer " + Hex32(buffer) + " sucks. Status 0xC0000005.";

    // The first test lets the dump start; each line is followed by one more.
    for (int linesBefore : {0, 1, 5}) {
        sim::ClearDebugOutput();
        sim::InvalidatePageAfterChecks(buffer, 1 + linesBefore);
        Dump(buffer, ZK_DUMP_LIMIT);
        sim::MakeValid(buffer);
        std::vector<std::string> lines = PrintedLines();
        ASSERT_EQ(lines.size(), static_cast<size_t>(linesBefore) + 1) << linesBefore;
        EXPECT_EQ(lines.back(), sucks);
        for (int i = 0; i < linesBefore; ++i)
            EXPECT_EQ(lines[i], all[i]) << "line " << i;
    }
}

class DriverDumpMdl : public DriverDump {
protected:
    PMDL LockedMdl(uint8_t* buffer, ULONG length) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        EXPECT_NE(mdl, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
        return mdl;
    }
    void Release(PMDL mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    std::string Header(PMDL mdl) {
        char text[80];
        MDL header;  // read as bytes: a test's MDL may lie at any address
        std::memcpy(&header, mdl, sizeof(header));
        std::snprintf(text, sizeof text, "ZK_DumpMemory: MDL: 0x%X - Length: 0x%X.",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(mdl)), header.ByteCount);
        return text;
    }
};

TEST_F(DriverDumpMdl, LimitIsLoweredToTheByteCountButZeroStaysZero) {
    struct Case {
        ULONG byteCount;
        ULONG limit;
        ULONG dumped;
    } cases[] = {
        {40, 100, 40}, {40, 20, 20}, {40, 0, 0}, {4096, 0xFFFFFFFF, 2048}, {40, 40, 40},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        uint8_t* buffer = Buffer(c.byteCount);
        PMDL mdl = LockedMdl(buffer, c.byteCount);
        ZK_DumpMdl(TRACE_DATA, &record_, mdl, c.limit);
        std::vector<std::string> expected = {Header(mdl)};
        for (const std::string& line : ExpectedLines(buffer, c.dumped))
            expected.push_back(line);
        EXPECT_EQ(PrintedLines(), expected) << c.byteCount << "/" << c.limit;
        // Another driver's MDL: seen through a view of the filter's own,
        // and left exactly as it was.
        EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_MAPPING_CAN_FAIL), 0) << c.byteCount;
        EXPECT_EQ(mdl->MappedSystemVa, nullptr);
        Release(mdl);
    }
}

// A client's MDL, dumped by the filter's completion routine: read, never
// written, even where its owner left no mapping (the kernel checks whose MDL
// a mapping changes).
TEST_F(DriverDumpMdl, AnotherDriversMdlIsDumpedWithoutAWriteIntoIt) {
    PDRIVER_OBJECT client = sim::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }, "client");
    PDRIVER_OBJECT filter = sim::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }, "zelkor");
    uint8_t* buffer = Buffer(40, 24);  // across a page boundary
    PMDL mdl;
    {
        sim::DriverFrame running(client, sim::FrameKind::Dispatch, nullptr);
        mdl = LockedMdl(buffer, 40);
    }
    MDL before;
    std::memcpy(&before, mdl, sizeof(before));
    {
        sim::DriverFrame running(filter, sim::FrameKind::Completion, nullptr);
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        ZK_DumpMdl(TRACE_DATA, &record_, mdl, 40);
    }
    std::vector<std::string> expected = {Header(mdl)};
    for (const std::string& line : ExpectedLines(buffer, 40))
        expected.push_back(line);
    EXPECT_EQ(PrintedLines(), expected);
    EXPECT_EQ(std::memcmp(&before, mdl, sizeof(before)), 0);
    sim::DriverFrame running(client, sim::FrameKind::Dispatch, nullptr);
    Release(mdl);
}

TEST_F(DriverDumpMdl, HeaderHasItsOwnLevel) {
    uint8_t* buffer = Buffer(20);
    PMDL mdl = LockedMdl(buffer, 20);
    record_.TraceMask = TRACE_IO;
    ZK_DumpMdl(TRACE_DATA, &record_, mdl, 20);
    EXPECT_EQ(PrintedLines(), std::vector<std::string>{Header(mdl)});

    sim::ClearDebugOutput();
    record_.TraceMask = TRACE_DATA;
    ZK_DumpMdl(TRACE_DATA, &record_, mdl, 20);
    EXPECT_EQ(PrintedLines(), ExpectedLines(buffer, 20));
    Release(mdl);
}

// An MDL pointer comes from the request's block, which anyone may have
// filled: no MDL at all, one that cannot be read, and one that is neither
// mapped nor locked (nothing may be mapped from it) print nothing beyond the
// header they allow.
TEST_F(DriverDumpMdl, MdlsThatAreNotThereOrNotLockedAreNotRead) {
    ZK_DumpMdl(TRACE_DATA, &record_, nullptr, 100);
    EXPECT_EQ(sim::DebugText(), "");

    uint8_t* page = Buffer(sizeof(MDL));
    sim::InvalidatePage(page);
    ZK_DumpMdl(TRACE_DATA, &record_, reinterpret_cast<PMDL>(page), 100);
    EXPECT_EQ(sim::DebugText(), "");

    uint8_t* fake = Buffer(sizeof(MDL));
    auto* mdl = reinterpret_cast<PMDL>(fake);
    mdl->ByteCount = 0x40;
    mdl->MdlFlags = 0;
    ZK_DumpMdl(TRACE_DATA, &record_, mdl, 100);
    EXPECT_EQ(sim::DebugText(), Header(mdl) + "\n");

    // Locked pages of an MDL in a read-only page: the MDL is only read, so
    // its memory is dumped all the same.
    sim::ClearDebugOutput();
    uint8_t* buffer = Buffer(20);
    PMDL locked = LockedMdl(buffer, 20);
    uint8_t* readOnly = Buffer(sizeof(MDL));
    std::memcpy(readOnly, locked, sizeof(MDL));
    sim::MakeReadOnly(readOnly);
    ZK_DumpMdl(TRACE_DATA, &record_, reinterpret_cast<PMDL>(readOnly), 20);
    std::vector<std::string> expected = {Header(reinterpret_cast<PMDL>(readOnly))};
    for (const std::string& line : ExpectedLines(buffer, 20))
        expected.push_back(line);
    EXPECT_EQ(PrintedLines(), expected);
    // Nor one whose offset lies past its first page (here from a null
    // StartVa, which no arithmetic may be done on), which no MDL has.
    sim::ClearDebugOutput();
    uint8_t* farOffset = Buffer(sizeof(MDL));
    std::memcpy(farOffset, locked, sizeof(MDL));
    reinterpret_cast<PMDL>(farOffset)->StartVa = nullptr;
    reinterpret_cast<PMDL>(farOffset)->ByteOffset = 0x6FFF;
    ZK_DumpMdl(TRACE_DATA, &record_, reinterpret_cast<PMDL>(farOffset), 20);
    EXPECT_EQ(PrintedLines(), std::vector<std::string>{Header(reinterpret_cast<PMDL>(farOffset))});
    // Not one at an odd address, which no MDL has.
    sim::ClearDebugOutput();
    uint8_t* odd = Buffer(sizeof(MDL) + 3) + 3;
    std::memcpy(odd, locked, sizeof(MDL));
    ZK_DumpMdl(TRACE_DATA, &record_, reinterpret_cast<PMDL>(odd), 20);
    EXPECT_EQ(PrintedLines(), std::vector<std::string>{Header(reinterpret_cast<PMDL>(odd))});
    Release(locked);
}

TEST_F(DriverDumpMdl, MappedAndNonPagedMdlsAreNotMappedAgain) {
    uint8_t* buffer = Buffer(20);
    PMDL pool = IoAllocateMdl(buffer, 20, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(pool);
    PMDL locked = LockedMdl(buffer, 20);
    ASSERT_EQ(MmMapLockedPagesSpecifyCache(locked, KernelMode, MmCached, nullptr, FALSE,
                                           NormalPagePriority | MdlMappingNoExecute),
              buffer);
    // A second mapping of either would be a bug check.
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        ZK_DumpMdl(TRACE_DATA, &record_, pool, 20);
        ZK_DumpMdl(TRACE_DATA, &record_, locked, 20);
    }
    const std::vector<std::string> data = ExpectedLines(buffer, 20);
    EXPECT_EQ(PrintedLines(),
              (std::vector<std::string>{Header(pool), data[0], data[1], Header(locked), data[0], data[1]}));
    IoFreeMdl(pool);
    Release(locked);
}

TEST_F(DriverDumpMdl, FailedMappingShowsTheHeaderOnly) {
    uint8_t* buffer = Buffer(20);
    PMDL mdl = LockedMdl(buffer, 20);
    sim::FailNthCall("MmMapLockedPagesSpecifyCache", 1);
    ZK_DumpMdl(TRACE_DATA, &record_, mdl, 20);
    EXPECT_EQ(PrintedLines(), std::vector<std::string>{Header(mdl)});
    Release(mdl);
}

class DriverMapBuffer : public DriverDump {};

TEST_F(DriverMapBuffer, ResidentBufferIsReturnedAsItIs) {
    uint8_t* buffer = Buffer(64);
    uint8_t* readOnly = Buffer(64);
    sim::MakeReadOnly(readOnly);
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        for (uint8_t* address : {buffer, readOnly}) {
            sim::IrqlScope scope(irql);
            PMDL mdl = reinterpret_cast<PMDL>(1);
            EXPECT_EQ(ZK_MapBuffer(address, 64, &mdl), address);
            EXPECT_EQ(mdl, nullptr);
        }
    }
    EXPECT_EQ(sim::CallCount("IoAllocateMdl"), 0);
}

TEST_F(DriverMapBuffer, PagedOutBufferIsLockedAtPassiveLevelOnly) {
    uint8_t* buffer = Buffer(64);
    sim::PageOut(buffer);
    PMDL mdl = reinterpret_cast<PMDL>(1);
    {
        sim::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(ZK_MapBuffer(buffer, 64, &mdl), nullptr);
        EXPECT_EQ(mdl, nullptr);
    }
    EXPECT_EQ(sim::CallCount("IoAllocateMdl"), 0);

    PVOID address = ZK_MapBuffer(buffer, 64, &mdl);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(address, buffer);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_MAPPING_CAN_FAIL),
              MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    ZK_DumpMemory(TRACE_DATA, &record_, address, 64);
    EXPECT_EQ(PrintedLines(), ExpectedLines(buffer, 64));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// Every failure gives back what it took: no MDL out, none outstanding, no
// pages left locked (the fixture checks the last two).
TEST_F(DriverMapBuffer, FailuresHoldNothing) {
    struct Case {
        const char* what;
        const char* failing;  // routine told to fail, or nullptr
        bool invalid;         // the buffer's page is invalid rather than paged out
        ULONG length;
    } cases[] = {
        {"invalid page", nullptr, true, 64},
        {"no MDL", "IoAllocateMdl", false, 64},
        {"probe raises", "MmProbeAndLockPages", false, 64},
        {"no mapping", "MmMapLockedPagesSpecifyCache", false, 64},
        {"zero length", nullptr, false, 0},
    };
    for (const Case& c : cases) {
        uint8_t* buffer = Buffer(64);
        if (c.invalid)
            sim::InvalidatePage(buffer);
        else
            sim::PageOut(buffer);
        if (c.failing != nullptr) sim::FailNthCall(c.failing, 1);
        PMDL mdl = reinterpret_cast<PMDL>(1);
        EXPECT_EQ(ZK_MapBuffer(buffer, c.length, &mdl), nullptr) << c.what;
        EXPECT_EQ(mdl, nullptr) << c.what;
        sim::ClearFaults();
    }
    PMDL mdl = reinterpret_cast<PMDL>(1);
    EXPECT_EQ(ZK_MapBuffer(nullptr, 64, &mdl), nullptr);
    EXPECT_EQ(mdl, nullptr);
}

}  // namespace
