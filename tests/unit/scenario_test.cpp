// The scenario format: what a user writes by hand must be refused with the
// file, the line and what was expected, before anything runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/builtin.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace {

scn::ParseError ParseFails(const std::string& text) {
    scn::Scenario scenario;
    scn::ParseError error;
    EXPECT_FALSE(scn::ParseScenario(text, "mine.scn", &scenario, &error)) << text;
    return error;
}

TEST(ScenarioParse, MistakesNameTheLineAndWhatWasExpected) {
    struct Case {
        const char* text;
        int line;
        const char* reason;  // a part of the message
    };
    const Case cases[] = {
        {"load\nfrobnicate disk\n", 2, "unknown command 'frobnicate'"},
        {"# comment\n\nadd\n", 3, "wrong number of arguments to 'add'; expected: add NAME"},
        {"add a b\n", 1, "wrong number of arguments"},
        {"read disk length=abc\n", 1, "expected a number for length=, got 'abc'"},
        {"read disk size=12\n", 1, "'read' has no option 'size'"},
        {"read disk length=1 length=2\n", 1, "option 'length' given twice"},
        {"write disk data=0x1\n", 1, "expected hex bytes for data="},
        {"write disk data=123\n", 1, "expected hex bytes for data="},
        {"registry Trailer sz \"open\n", 1, "unterminated quoted text"},
        {"read disk length=1 extra\n", 1, "'extra' after the options"},
        {"load\n\n\nstart\n", 4, "wrong number of arguments to 'start'"},
    };
    for (const Case& c : cases) {
        scn::ParseError error = ParseFails(c.text);
        EXPECT_EQ(error.file, "mine.scn");
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.Message().find(c.reason), std::string::npos) << error.Message();
        EXPECT_EQ(error.Message().rfind("mine.scn:" + std::to_string(c.line) + ": ", 0), 0u) << error.Message();
    }
}

TEST(ScenarioParse, WordsQuotesAndOptions) {
    scn::Scenario scenario;
    scn::ParseError error;
    ASSERT_TRUE(
        scn::ParseScenario("title \"a = b # not a comment\"\r\n"
                           "registry Trailer sz \"say \\\"hi\\\" \\\\ \"  # a comment\n"
                           "device d pdo=\\Device\\X flags=direct,pagable\n",
                           "x.scn", &scenario, &error))
        << error.Message();
    ASSERT_EQ(scenario.steps.size(), 3u);
    EXPECT_EQ(scenario.title, "a = b # not a comment");
    EXPECT_EQ(scenario.steps[1].args, (std::vector<std::string>{"Trailer", "sz", "say \"hi\" \\ "}));
    EXPECT_EQ(scenario.steps[2].Option("pdo"), "\\Device\\X");
    EXPECT_EQ(scenario.steps[2].line, 3);
}

TEST(ScenarioParse, NumbersAndBytes) {
    EXPECT_EQ(scn::ParseNumber("0x1FF"), 0x1FFull);
    EXPECT_EQ(scn::ParseNumber("42"), 42ull);
    EXPECT_EQ(scn::ParseNumber("0xFFFFFFFFFFFFFFFF"), ~0ull);
    for (const char* bad : {"", "0x", "1x", "0x1G", "-1", "0x1FFFFFFFFFFFFFFFF", "99999999999999999999"})
        EXPECT_FALSE(scn::ParseNumber(bad)) << bad;
    EXPECT_EQ(scn::ParseBytes("28 00,0A ff"), (std::vector<unsigned char>{0x28, 0x00, 0x0A, 0xFF}));
    EXPECT_EQ(scn::ParseBytes("text:AB"), (std::vector<unsigned char>{'A', 'B'}));
    EXPECT_FALSE(scn::ParseBytes("123"));
}

// Every number goes into a field of some size; one that does not fit is
// refused where it is written, with the field's range, instead of wrapping,
// truncating or asking the simulation for gigabytes.
TEST(ScenarioParse, NumbersOutsideTheirFieldsAreRefusedWithTheRange) {
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"ioctl d 0x1 out=0xFFFFFFFFFFFFFFFF\n", "out=0xFFFFFFFFFFFFFFFF is out of range: out= takes 0 to 0x1000000"},
        {"read d length=0xFFFFFFFF\n", "length= takes 0 to 0x1000000"},
        {"write d length=0x80000000\n", "length= takes 0 to 0x1000000"},
        {"read d length=0x100000000\n", "length= takes 0 to 0x1000000"},
        {"lower d major=read action=pend delay=0x100000000\n", "delay= takes 0 to 10000"},
        {"fail IoAllocateIrp nth=0x100000001\n", "nth= takes 1 to 0x7FFFFFFF"},
        {"fail IoAllocateIrp nth=0\n", "nth= takes 1 to 0x7FFFFFFF"},
        {"time increment=0x100000000\n", "increment= takes 1 to 0xFFFFFFFF"},
        {"time increment=0\n", "increment= takes 1 to 0xFFFFFFFF"},
        {"wmi d reginfo-ex page-offset=4096\n", "page-offset= takes 0 to 4095"},
        {"irp d create minor=0x100\n", "minor= takes 0 to 255"},
        {"add d expect=0x100000000\n", "expect= takes 0 to 0xFFFFFFFF"},  // a row that states no range
        {"lower d major=read action=complete status=0x103\n", "status=0x103 is STATUS_PENDING"},
        // Sizes a step allocates or shows: a page of data at most for show=.
        {"zk-request h op=1 show=0xFFFFFFFF\n", "show= takes 0 to 4096"},
        {"zk-request h op=1 out=0xFFFFFFFF\n", "out= takes 0 to 0x1000000"},
        {"zk-request h op=1 in=0x1000001\n", "in= takes 0 to 0x1000000"},
        {"pass-through d cdb=00 in-length=0x80000000\n", "in-length= takes 0 to 0x1000000"},
        {"pass-through d cdb=00 sense=256\n", "sense= takes 0 to 255"},
        {"answer d pend delay=0xFFFFFFFF\n", "delay= takes 0 to 10000"},
    };
    for (const Case& c : cases) {
        scn::ParseError error = ParseFails(std::string("title \"limits\"\n") + c.text);
        EXPECT_EQ(error.line, 2) << c.text;
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.Message();
    }

    // No driver reports more bytes than the request's buffer holds.
    EXPECT_EQ(ParseFails("lower d major=read information=513\nread d length=512\n").Message(),
              "mine.scn:2: the device below answers with information=513 (line 1), more than this request's "
              "512-byte buffer; a driver never reports more than the buffer holds");

    EXPECT_EQ(ParseFails("descriptor d information=0x400\nioctl d IOCTL_STORAGE_QUERY_PROPERTY out=512\n").Message(),
              "mine.scn:2: the device's descriptor reports information=1024 (line 1), more than this request's "
              "512-byte buffer; a driver never reports more than the buffer holds");

    scn::Scenario scenario;
    scn::ParseError error;
    ASSERT_TRUE(scn::ParseScenario("\xEF\xBB\xBFtime ticks=0x7FFFFFFFFFFFFFFF\n", "bom.scn", &scenario, &error))
        << error.Message();
    EXPECT_EQ(scenario.steps[0].command, "time");
}

scn::RunResult RunText(const std::string& text, scn::RunOptions options = {}) {
    scn::Scenario scenario;
    scn::ParseError error;
    EXPECT_TRUE(scn::ParseScenario(text, "run.scn", &scenario, &error)) << error.Message();
    return scn::RunScenario(scenario, options);
}

TEST(ScenarioRun, StepsTheKernelRefusesStopTheRunWithTheirLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"load\nadd disk\n", "run.scn:2: no device 'disk'"},
        {"device d\nadd d\n", "run.scn:2: load the driver before adding devices"},
        {"load\nload\n", "run.scn:2: the driver is loaded already"},
        {"fail IoFrobnicate\n", "run.scn:1: no fault can be injected into 'IoFrobnicate'"},
        {"load\ndevice d\nadd d expect=0xC0000001\n",
         "run.scn:3: add-device ended with 0x00000000, expected 0xC0000001"},
        {"load\ndevice d\npnp d frob\n", "run.scn:3: unknown Plug and Play minor function 'frob'"},
        {"registry Config qword 1\n", "run.scn:1: unknown value type 'qword'"},
        {"time 1:99:00.000\n", "run.scn:1: expected a time such as 1:02:03.045"},
        {"close tool\n", "run.scn:1: no open handle 'tool'"},
        {"registry-file missing.reg\n", "run.scn:1: registry file refused: ./missing.reg"},
        {"device d type=floppy\n", "unknown device type 'floppy'"},
        {"load\nunload\nexpect-registry Config dword 1\n", "run.scn:3: value Config is absent, expected 1"},
    };
    for (const Case& c : cases) {
        scn::RunResult result = RunText(c.text);
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    }
}

// What the kernel never does, and what would leave a step waiting for ever,
// stops the run with the step's line and the reason, not with a bug check
// blamed on the driver.
TEST(ScenarioRun, WhatTheKernelForbidsIsRefusedAtItsStep) {
    const char* const added = "load\ndevice d\nadd d\n";
    struct Case {
        std::string text;
        const char* error;  // empty: the run succeeds
    };
    const Case cases[] = {
        {std::string(added) + "unload\n",
         "run.scn:4: the driver still has devices added (d): the Plug and Play manager unloads a driver only after"},
        {"time 256204778:00:00.000\n", "run.scn:1: expected a time such as 1:02:03.045 (hours up to 256204777)"},
        {"time 256204777:59:59.999 increment=1\n", ""},
        {std::string(added) + "fail IoCreateDevice nth=0x7FFFFFFF\nirp d create\nremove d\nunload\n", ""},
        // A held request lets the scenario go on; the step ends at the release.
        {std::string(added) + "lower d major=flush action=hold status=0xC0000001\nirp d flush expect=0\n"
                              "irp d create\nrelease d\n",
         "run.scn:7: the request of line 5 (irp), released here: the request ended with 0xC0000001, expected "
         "0x00000000"},
        {std::string(added) + "lower d major=flush action=hold\nirp d flush\nirp d create\n",
         "run.scn: requests are still held by the device below at the end: line 5 (irp) waits for 'release d'"},
        {std::string(added) + "lower d major=create action=hold\nopen tool \\Device\\d\n",
         "run.scn:5: 'open' cannot wait for a request the device below holds"},
        // A URB freed under its sender: the USB stack refuses it rather than
        // fault in the filter's stead.
        {"load\ndevice s model=usb-disk\nadd s\ninternal s IOCTL_INTERNAL_USB_SUBMIT_URB freed=block:2 "
         "expect=0xC000000D\n",
         ""},
        // Offsets far into a buffer are fine, buffers of gigabytes are not.
        {"load\ndevice d model=disk\nadd d\npass-through d cdb=00 sense-offset=0x7FFFFFF0\n",
         "run.scn:4: the offsets place the request's end at 2147483664 bytes, past the 16 MiB a buffer may have"},
    };
    for (const Case& c : cases) {
        scn::RunResult result = RunText(c.text);
        if (*c.error == '\0') {
            EXPECT_TRUE(result.ok) << c.text << result.error;
            continue;
        }
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    }
}

// A program's direct pass-through names its data buffer by address: the
// port driver may lock only pages the scenario gave the program, never the
// simulator's own memory, however readable.
TEST(ScenarioRun, AProgramOwnsOnlyThePagesItWasGiven) {
    static unsigned char host[512];
    char address[32];
    std::snprintf(address, sizeof address, "0x%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(host)));
    scn::RunResult result =
        RunText(std::string("load\ndevice d pdo=\\Device\\d model=disk\nadd d\nopen tool \\Device\\d\n"
                            "pass-through tool cdb=\"28 00 00 00 00 00 00 00 01 00\" form=direct "
                            "length=512 data-buffer=") +
                address + " expect=0xC0000005\n");
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(std::count(host, host + sizeof host, 0), static_cast<long>(sizeof host));
}

TEST(ScenarioRun, ControlCodesByName) {
    scn::RunResult result = RunText(
        "registry Config dword 0x2\nload\ndevice d\nadd d\n"
        "internal d IOCTL_INTERNAL_USB_GET_HUB_NAME\n"
        "ioctl d IOCTL_STORAGE_QUERY_PROPERTY in=0000000000000000 out=16\n");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.output, "** Irp: 0x8A3FE040 - IOCTL_INTERNAL_USB_GET_HUB_NAME.\n");
    result = RunText("load\ndevice d\nadd d\nioctl d IOCTL_FROB\n");
    EXPECT_NE(result.error.find("run.scn:4: expected a control code such as 0x2D1400 or one of its names"),
              std::string::npos)
        << result.error;
}

TEST(ScenarioRun, CommandLineMaskAndTrailerOverrideEveryRegistryValue) {
    const char* text =
        "registry Config dword 0\n"
        "registry Trailer sz \"global \"\n"
        "registry 00000062_Config dword 0\n"
        "registry 00000062_Trailer sz \"disk \"\n"
        "load\n"
        "device disk pdo=\\Device\\00000062\n"
        "add disk\n"
        "irp disk create\n"
        "remove disk\n"
        "unload\n";
    scn::RunOptions options;
    options.mask = 0x10;
    options.trailer = ">> ";
    scn::RunResult result = RunText(text, options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.output,
              ">> Irp: 0x8A3FE040 - IRP_MJ_CREATE.\n"
              ">> Irp: 0x8A400040 - IRP_MN_REMOVE_DEVICE - Device: 0x8A3FA040.\n");
}

TEST(ScenarioRun, AnnotationsMarkTheStepOfEachLine) {
    scn::RunOptions options;
    options.annotate = true;
    scn::RunResult result =
        RunText("registry Config dword 0x10\nload\ndevice disk\nadd disk\nirp disk create\n", options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.output, "[5 irp disk create] ** Irp: 0x8A3FE040 - IRP_MJ_CREATE.\n");
}

TEST(ScenarioRun, TheSameScenarioPrintsTheSameTextEveryTime) {
    const scn::BuiltinScenario* demo = scn::FindBuiltin("demo");
    ASSERT_NE(demo, nullptr);
    scn::Scenario scenario;
    scn::ParseError error;
    ASSERT_TRUE(scn::ParseScenario(demo->text, "demo", &scenario, &error));
    scn::RunResult first = scn::RunScenario(scenario, {});
    scn::RunResult second = scn::RunScenario(scenario, {});
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_FALSE(first.output.empty());
    EXPECT_EQ(first.output, second.output);
}

TEST(ScenarioRun, EveryBuiltinScenarioParsesAndHasItsGoldenText) {
    for (const scn::BuiltinScenario& builtin : scn::BuiltinScenarios()) {
        scn::Scenario scenario;
        scn::ParseError error;
        EXPECT_TRUE(scn::ParseScenario(builtin.text, builtin.name, &scenario, &error)) << error.Message();
        std::ifstream expected(std::string(ZELKOR_SOURCE_DIR) + "/tests/golden/builtin/" + builtin.name + ".expected");
        EXPECT_TRUE(expected.good()) << "no golden text for the built-in scenario " << builtin.name;
    }
}

TEST(ScenarioRun, RegistryFilesAreLoadedAndSaved) {
    std::string dir = std::string(ZELKOR_BINARY_DIR) + "/scenario_test";
    std::string reg = dir + "/in.reg";
    std::string saved = dir + "/out.reg";
    std::remove(saved.c_str());
    std::filesystem::create_directories(dir);
    {
        std::ofstream out(reg);
        out << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelkor\\Parameters]\n"
               "\"Config\"=dword:00000010\n"
               "\"Trailer\"=\"reg> \"\n";
    }
    scn::RunOptions options;
    options.registryFile = reg;
    options.saveRegistryFile = saved;
    scn::RunResult result = RunText("load\ndevice disk\nadd disk\nirp disk create\n", options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.output, "reg> Irp: 0x8A3FE040 - IRP_MJ_CREATE.\n");
    std::ifstream in(saved);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"Config\"=dword:00000010"), std::string::npos) << text;
}

}  // namespace

namespace {

// The README walks a newcomer through a scenario of their own: it must run
// and show what the README says it shows.
TEST(ScenarioRun, TheReadmeScenarioRunsAndDecodesItsSense) {
    std::ifstream readme(std::string(ZELKOR_SOURCE_DIR) + "/README.md");
    std::string text((std::istreambuf_iterator<char>(readme)), std::istreambuf_iterator<char>());
    size_t start = text.find("title \"A disk with an unreadable sector\"");
    ASSERT_NE(start, std::string::npos);
    size_t end = text.find("```", start);
    ASSERT_NE(end, std::string::npos);
    scn::RunResult result = RunText(text.substr(start, end - start));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_NE(result.output.find("SenseCode: LOGICAL BLOCK ADDRESS OUT OF RANGE."), std::string::npos);
    EXPECT_NE(result.output.find("unknown SenseCode 0x03 0x11 0x00 -> 0x031100"), std::string::npos);
}

}  // namespace
