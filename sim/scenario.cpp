#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/kernel_rules.h"

namespace scn {
namespace {

// How an option's value is checked at parse time.
enum class Kind { Word, Number, Bytes, Text };

// The ranges of the fields numbers go into. A Kind::Number option states its
// own as {"name", Kind::Number, min, max}; one that states none takes a
// 32-bit field's, 0 to 0xFFFFFFFF. A number outside is refused when the
// scenario is read.
constexpr unsigned long long kByte = 0xFF;
constexpr unsigned long long kInt32 = 0x7FFFFFFF;
constexpr unsigned long long kUlong = 0xFFFFFFFF;
constexpr unsigned long long kInt64 = 0x7FFFFFFFFFFFFFFF;
constexpr unsigned long long kUlong64 = 0xFFFFFFFFFFFFFFFF;
// Request buffers the simulation allocates and fills: 16 MiB at most.
constexpr unsigned long long kBuffer = 0x1000000;
// A program's page: what zk-request's show= can read of its data area.
constexpr unsigned long long kPage = 0x1000;
// Delays the simulated devices wait, in milliseconds: well inside the time a
// sender waits for a pended request.
constexpr unsigned long long kDelay = 10000;

struct OptionRule {
    const char* name;
    Kind kind;
    unsigned long long min = 0;
    unsigned long long max = kUlong;
};

// Pages freed under the driver and the faults they must cause (sim/freed_pages.h).
constexpr OptionRule kFreed = {"freed", Kind::Word};
constexpr OptionRule kFaults = {"faults", Kind::Number, 0, kInt32};

// What a step asks of the kernel beyond its options' own ranges: an empty
// reason when the step is sound.
using StepCheck = std::string (*)(const Step& step);

struct CommandRule {
    const char* name;
    int minArgs;
    int maxArgs;
    std::vector<OptionRule> options;
    const char* usage;
    StepCheck check = nullptr;
};

std::string CheckLower(const Step& step)
{
    // A driver completes a request with a final status; STATUS_PENDING is
    // what a dispatch routine returns, never what an IRP ends with.
    if (step.Has("status") && ParseNumber(step.Option("status")) == 0x103u)
        return "status=0x103 is STATUS_PENDING, which no request is completed with; use action=pend or "
               "action=hold to answer later";
    return "";
}

// The kernel, the driver, the devices below and Plug and Play.
std::vector<CommandRule> KernelCommands()
{
    // A command a row, its help text beside it.
    // clang-format off
    return {
        {"title", 1, 1, {}, "title \"TEXT\"                      what the scenario shows"},
        {"service", 1, 1, {}, "service NAME                      the driver's service name (default zelkor)"},
        {"registry", 2, 3, {},
         "registry VALUE dword N | sz \"TEXT\" | delete   a value under the service's Parameters key"},
        {"registry-file", 1, 1, {}, "registry-file PATH                load a regedit .reg file"},
        {"wdm-version", 1, 1, {}, "wdm-version on|off                what IoIsWdmVersionAvailable(1, 0x20) answers"},
        {"time", 0, 1,
         {{"ticks", Kind::Number, 0, kInt64}, {"increment", Kind::Number, 1, kUlong}, {"counter", Kind::Number, 0, kInt64}},
         "time [H:MM:SS.mmm] [ticks=N] [increment=N] [counter=N]   the time since boot; counter= sets the\n"
         "                                  performance counter (10 MHz) until the time is set again"},
        {"fail", 1, 1, {{"nth", Kind::Number, 1, kInt32}},
         "fail ROUTINE [nth=N]              the Nth call from now of a kernel routine fails"},
        {"load", 0, 0, {{"expect", Kind::Number}}, "load                              load the driver (DriverEntry)"},
        {"unload", 0, 0, {}, "unload                            unload the driver"},
        {"device", 1, 1,
         {{"pdo", Kind::Text}, {"type", Kind::Word}, {"flags", Kind::Word}, {"model", Kind::Word},
          {"characteristics", Kind::Number}, {"vendor", Kind::Text}, {"product", Kind::Text},
          {"revision", Kind::Text}, {"blocks", Kind::Number}, {"removable", Kind::Word}, {"over", Kind::Word}},
         "device NAME [pdo=\\Device\\X|none] [type=disk|cdrom|unknown|N] [flags=direct,buffered,pagable,inrush] "
         "[model=plain|disk|cdrom|usb-disk|usb-mouse|usb-camera|usb-storage]   a device on the simulated bus; a SCSI model (disk, "
         "cdrom) also takes [vendor=TEXT] [product=TEXT] [revision=TEXT] [blocks=N] [removable=yes|no], a USB one "
         "[vendor=TEXT] [product=TEXT] and the disk [blocks=N]; usb-storage, the disk's storage port, takes "
         "over=NAME, the usb-disk whose stack its SRBs go down as URBs"},
        {"lower", 1, 1,
         {{"major", Kind::Word}, {"minor", Kind::Word}, {"action", Kind::Word}, {"status", Kind::Number},
          {"information", Kind::Number, 0, kUlong64}, {"irql", Kind::Word}, {"delay", Kind::Number, 0, kDelay},
          {"data", Kind::Bytes}},
         "lower NAME [major=M] [minor=N] action=complete|fail|pend|hold [status=S] [information=N] "
         "[irql=passive|dispatch] [delay=MS] [data=BYTES]   how the device below answers (data=: the bytes a "
         "buffered device-control answer writes into the system buffer)",
         CheckLower},
        {"release", 1, 1, {}, "release NAME                      complete the requests the device below holds"},
        {"add", 1, 1, {{"expect", Kind::Number}}, "add NAME [expect=STATUS]          Plug and Play add-device"},
        {"start", 1, 1, {{"expect", Kind::Number}}, "start NAME [expect=STATUS]        IRP_MN_START_DEVICE"},
        {"pnp", 2, 2, {{"expect", Kind::Number}},
         "pnp NAME MINOR [expect=STATUS]    a Plug and Play request (query-stop, stop, cancel-stop, query-remove, "
         "cancel-remove, surprise-removal, remove, query-capabilities, ... or a number)"},
        {"remove", 1, 1, {{"expect", Kind::Number}}, "remove NAME                       IRP_MN_REMOVE_DEVICE"},
        {"power", 2, 2, {{"expect", Kind::Number}},
         "power NAME MINOR                  a power request (wait-wake, power-sequence, set-power, query-power, or a "
         "number)"},
    };
    // clang-format on
}

// Requests sent down a device's stack.
std::vector<CommandRule> RequestCommands()
{
    // A command a row, its help text beside it.
    // clang-format off
    return {
        {"irp", 2, 2, {{"minor", Kind::Number, 0, kByte}, {"expect", Kind::Number}},
         "irp NAME MAJOR [minor=N]          a plain request (create, close, cleanup, flush, shutdown, "
         "query-information, system-control, or a number)"},
        {"wmi", 2, 2,
         {{"buffer", Kind::Bytes}, {"size", Kind::Number, 0, kBuffer}, {"provider", Kind::Number, 0, kUlong64},
          {"datapath", Kind::Number, 0, kUlong64}, {"page-offset", Kind::Number, 0, 4095},
          {"invalid-from", Kind::Number, 0, kBuffer - 1}, {"vanish-after", Kind::Number, 0, kInt32},
          {"expect", Kind::Number}},
         "wmi NAME MINOR [buffer=BYTES] [size=N] [provider=N] [datapath=N] [page-offset=N] [invalid-from=N] "
         "[vanish-after=N]   a WMI request; the buffer starts page-offset bytes into a page, its pages from byte "
         "invalid-from on are invalid, or its first page vanishes after N more validity tests"},
        {"read", 1, 1, {{"length", Kind::Number, 0, kBuffer}, {"offset", Kind::Number, 0, kUlong64}, {"expect", Kind::Number}},
         "read NAME length=N [offset=N]     IRP_MJ_READ"},
        {"write", 1, 1,
         {{"length", Kind::Number, 0, kBuffer}, {"offset", Kind::Number, 0, kUlong64}, {"data", Kind::Bytes},
          {"expect", Kind::Number}},
         "write NAME [length=N] [offset=N] [data=BYTES]   IRP_MJ_WRITE"},
        {"ioctl", 2, 2, {{"in", Kind::Bytes}, {"out", Kind::Number, 0, kBuffer}, {"expect", Kind::Number}, kFreed, kFaults},
         "ioctl NAME CODE [in=BYTES] [out=N] [freed=ITEMS] [faults=N]   IRP_MJ_DEVICE_CONTROL down the stack (CODE: a "
         "number or a name)"},
        {"internal", 2, 2, {{"in", Kind::Bytes}, {"out", Kind::Number, 0, kBuffer}, {"expect", Kind::Number}, kFreed, kFaults},
         "internal NAME CODE [in=BYTES] [out=N] [freed=ITEMS] [faults=N]   IRP_MJ_INTERNAL_DEVICE_CONTROL down the stack "
         "(CODE: a number or a name)"},
        {"srb", 1, 1,
         {{"cdb", Kind::Bytes}, {"function", Kind::Number}, {"length", Kind::Number, 0, kBuffer},
          {"data", Kind::Bytes}, {"direction", Kind::Word}, {"sense", Kind::Number}, {"flags", Kind::Word},
          {"expect", Kind::Number}},
         "srb NAME cdb=BYTES [length=N] [direction=in|out|none] [data=BYTES] [function=N] [sense=N] "
         "[flags=no-queue-freeze,bypass-frozen-queue,disable-autosense]   an SRB"},
    };
    // clang-format on
}

// What the SCSI, 1394 and USB models of the devices below do.
std::vector<CommandRule> ModelCommands()
{
    // A command a row, its help text beside it.
    // clang-format off
    return {
        {"medium", 2, 2, {}, "medium NAME absent|present          take out or put in a SCSI device's medium"},
        {"sense", 1, 1, {{"key", Kind::Number}, {"asc", Kind::Number}, {"ascq", Kind::Number}},
         "sense NAME key=K asc=A [ascq=Q]   the SCSI device's next command fails with this sense"},
        {"unit-attention", 1, 1, {{"cause", Kind::Word}},
         "unit-attention NAME [cause=medium-changed|reset]   the SCSI device reports a unit attention once"},
        {"becoming-ready", 1, 1, {{"count", Kind::Number}},
         "becoming-ready NAME [count=N]     the SCSI device's next N medium commands find it becoming ready"},
        {"answer", 2, 2, {{"irql", Kind::Word}, {"delay", Kind::Number, 0, kDelay}},
         "answer NAME sync|pend [irql=passive|dispatch] [delay=MS]   how the SCSI device completes requests"},
        {"page-out", 1, 1, {}, "page-out NAME                     the SCSI device pages out the next SRB's data buffer"},
        {"ieee1394", 2, 2,
         {{"answer", Kind::Word}, {"irql", Kind::Word}, {"delay", Kind::Number}, {"rom", Kind::Bytes},
          {"node", Kind::Number}, {"offset", Kind::Number, 0, 0xFFFFFFFFFFFFull}, {"data", Kind::Bytes},
          {"length", Kind::Number, 0, kBuffer},
          {"generation", Kind::Number}, {"block", Kind::Number}, {"flags", Kind::Number}, {"mdl", Kind::Word},
          {"range", Kind::Word}, {"notify", Kind::Number}, {"callback", Kind::Word}, {"access", Kind::Number},
          {"address", Kind::Number, 0, 0xFFFFFFFFFFFFull}, {"addresses", Kind::Word}, {"like", Kind::Word}, {"again", Kind::Word},
          {"level", Kind::Number},
          {"information", Kind::Word}, {"function", Kind::Number}, {"irb", Kind::Word}, {"count", Kind::Number},
          {"expect", Kind::Number}, {"type", Kind::Number}, {"args", Kind::Number}, {"argument", Kind::Number},
          {"value", Kind::Number}},
         "ieee1394 NAME STEP [options]      a 1394 bus behind the device and a client above the filter (STEP: bus, "
         "remote, read, write, lock, allocate, map, free, host-info, request, remote-read, remote-write, bus-reset, "
         "expect-records; see docs/scenarios.md)"},
        {"urb", 2, 2,
         {{"pipe", Kind::Word}, {"length", Kind::Number}, {"data", Kind::Bytes}, {"direction", Kind::Word},
          {"mdl", Kind::Word}, {"request", Kind::Number}, {"value", Kind::Number}, {"index", Kind::Number},
          {"type", Kind::Number}, {"language", Kind::Number}, {"setup", Kind::Bytes}, {"urb-length", Kind::Number},
          {"urb-place", Kind::Word},
          {"major", Kind::Word}, {"mode", Kind::Word}, {"handle", Kind::Number}, {"expect", Kind::Number},
          {"packets", Kind::Number}},
         "urb NAME FUNCTION [pipe=in|out|EP] [length=N] [data=BYTES] [mdl=yes] [direction=in|out] [request=N] "
         "[value=N] [index=N] [type=N] [language=N] [setup=BYTES] [urb-length=N] [urb-place=end|middle] "
         "[major=internal|device-control] "
         "[mode=kernel|user] [handle=N] [packets=N] [expect=STATUS]   a URB to a USB device (FUNCTION: bulk, "
         "get-descriptor, control-transfer, select-configuration, select-interface, vendor-device, "
         "vendor-endpoint, class-interface, reset-pipe, class-other, vendor-other, abort-pipe, frame-number, "
         "isoch (packets= of the endpoint's size), or a number)"},
        {"usb-enumerate", 1, 1, {{"via", Kind::Word}, {"mdl", Kind::Word}},
         "usb-enumerate NAME [via=urb|control] [mdl=yes]   descriptors, then the configuration selected"},
        {"usb-scsi", 1, 1,
         {{"cdb", Kind::Bytes}, {"length", Kind::Number}, {"data", Kind::Bytes}, {"mdl", Kind::Word},
          {"csw", Kind::Number}},
         "usb-scsi NAME cdb=BYTES [length=N] [data=BYTES] [mdl=yes] [csw=N]   a SCSI command over bulk-only "
         "transport: command block, data (in, or out with data=), status (csw= its expected status)"},
        {"mouse", 1, 1,
         {{"dx", Kind::Number}, {"dy", Kind::Number}, {"buttons", Kind::Number}, {"wheel", Kind::Number},
          {"mdl", Kind::Word}, {"major", Kind::Word}, {"expect", Kind::Number}},
         "mouse NAME [dx=N] [dy=N] [buttons=N] [wheel=N] [mdl=yes] [major=internal|device-control]   the mouse "
         "moves (bytes: 0xFB is -5); the interrupt transfer that reads it"},
        {"stall", 2, 2, {}, "stall NAME in|out                  the USB device's bulk endpoint stalls until reset"},
        {"usb-answer", 2, 2, {{"irql", Kind::Word}, {"delay", Kind::Number, 0, kDelay}},
         "usb-answer NAME sync|pend [irql=passive|dispatch] [delay=MS]   how the USB device completes URBs"},
    };
    // clang-format on
}

// Programs with open handles, zkctl, and the checks at the end.
std::vector<CommandRule> ProgramCommands()
{
    // A command a row, its help text beside it.
    // clang-format off
    return {
        {"open", 2, 2, {{"expect", Kind::Number}, {"user", Kind::Word}, {"bits", Kind::Number}},
         "open HANDLE PATH [expect=STATUS] [user=admin|standard|system] [bits=32|64]   open a device as a program "
         "does (a standard user's, a 32-bit one)"},
        {"close", 1, 1, {}, "close HANDLE                      close a handle (cleanup and close)"},
        {"handle-irp", 2, 2, {{"minor", Kind::Number, 0, kByte}, {"expect", Kind::Number}},
         "handle-irp HANDLE MAJOR [minor=N]   a plain request on an open handle"},
        {"handle-ioctl", 2, 2, {{"in", Kind::Bytes}, {"out", Kind::Number, 0, kBuffer}, {"expect", Kind::Number}, kFreed, kFaults},
         "handle-ioctl HANDLE CODE [in=BYTES] [out=N] [freed=ITEMS] [faults=N]   a device-control request on an open "
         "handle; freed= puts addresses of a page freed under the driver into in= (OFFSET[:BEFORE], or block[:BEFORE] "
         "for an internal request's own block), faults= is how often the driver's reads must fault"},
        {"pause", 0, 0, {},
         "pause                             nothing here; under Wine the stack driver returns from its entry routine "
         "here, so that the zkctl lines after it run as programs against the loaded driver"},
        {"zkctl", 1, 12, {{"user", Kind::Word}, {"exit", Kind::Number}},
         "zkctl ARGS... [user=admin|standard|system] [exit=N]   zkctl's command line against \\\\.\\ZelkorN; "
         "its console lines show as 'zkctl> '"},
        {"zk-request", 1, 1,
         {{"op", Kind::Number}, {"magic", Kind::Number}, {"address", Kind::Word}, {"data", Kind::Bytes},
          {"in", Kind::Number, 0, kBuffer}, {"out", Kind::Number, 0, kBuffer}, {"show", Kind::Number, 0, kPage},
          {"expect", Kind::Number}},
         "zk-request HANDLE op=N [magic=N] [address=0|N|user|unmapped|freed-after-probe|kernel] [data=BYTES] "
         "[in=N] [out=N] [show=N]   one control-device request record on an open handle"},
        {"pass-through", 1, 1,
         {{"form", Kind::Word}, {"cdb", Kind::Bytes}, {"data", Kind::Bytes}, {"length", Kind::Number, 0, kBuffer},
          {"direction", Kind::Word}, {"sense", Kind::Number, 0, kByte}, {"sense-offset", Kind::Number},
          {"data-offset", Kind::Number}, {"data-buffer", Kind::Number, 0, 0xFFFFFFFFFFFFFFFFull},
          {"in-length", Kind::Number, 0, kBuffer}, {"out", Kind::Number, 0, kBuffer}, {"cdb-length", Kind::Number}, {"target", Kind::Number}, {"lun", Kind::Number},
          {"expect", Kind::Number}},
         "pass-through HANDLE|NAME cdb=BYTES [form=buffered|direct] [data=BYTES] [length=N] "
         "[direction=in|out|unspecified] [sense=N] [sense-offset=N] [data-offset=N] [data-buffer=ADDRESS] "
         "[in-length=N] [out=N] [cdb-length=N] [target=N] [lun=N]   a SCSI pass-through request, from the program "
         "holding the handle or from kernel mode down the device's stack"},
        {"descriptor", 1, 1,
         {{"serial", Kind::Text}, {"bus", Kind::Number}, {"product-offset", Kind::Number},
          {"information", Kind::Number}, {"status", Kind::Number}},
         "descriptor NAME [serial=TEXT] [bus=N] [product-offset=N] [information=N] [status=S]   the SCSI device's "
         "storage descriptor: its serial number and bus type, or a wrong product offset, length or status"},
        {"work-items", 1, 1, {}, "work-items hold|run                the kernel's work items wait, or run now"},
        {"usage", 3, 3, {{"expect", Kind::Number}},
         "usage NAME paging|hibernation|dump in|out [expect=STATUS]   IRP_MN_DEVICE_USAGE_NOTIFICATION: a paging, "
         "hibernation or crash-dump file moves onto the device or off it; DO_POWER_PAGABLE is checked along the "
         "stack afterwards"},
        {"expect-registry", 2, 3, {},
         "expect-registry VALUE dword N | sz \"TEXT\" | absent   check a value under the Parameters key"},
    };
    // clang-format on
}

const std::vector<CommandRule>& Commands()
{
    static const std::vector<CommandRule> commands = [] {
        std::vector<CommandRule> all;
        for (auto group : {KernelCommands, RequestCommands, ModelCommands, ProgramCommands}) {
            std::vector<CommandRule> part = group();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }();
    return commands;
}

const CommandRule* FindCommand(const std::string& name)
{
    for (const CommandRule& rule : Commands())
        if (name == rule.name)
            return &rule;
    return nullptr;
}

// Splits a line into words: blanks separate, double quotes group (with \" and
// \\ inside), and key="quoted value" keeps the key. A '#' outside quotes
// starts a comment.
struct Word {
    std::string text;
    bool startsQuoted = false;  // a quoted word is always positional
};

bool SplitWords(const std::string& line, std::vector<Word>* words, std::string* reason)
{
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string word;
        bool quoted = false;
        bool startsQuoted = line[i] == '"';
        while (i < line.size() && (quoted || !std::isspace(static_cast<unsigned char>(line[i])))) {
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            if (quoted && c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[i + 1];
                i += 2;
                continue;
            }
            word += c;
            ++i;
        }
        if (quoted) {
            *reason = "unterminated quoted text";
            return false;
        }
        words->push_back({word, startsQuoted});
    }
    return true;
}

bool IsOptionWord(const std::string& word)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    return std::all_of(word.begin(), word.begin() + static_cast<long>(eq),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

// Small bounds in decimal, large ones in hexadecimal as fields are written.
std::string RangeText(unsigned long long value)
{
    if (value < 0x10000)
        return std::to_string(value);
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", value);
    return text;
}

bool CheckValue(const OptionRule& rule, const std::string& value, std::string* reason)
{
    switch (rule.kind) {
    case Kind::Number: {
        const auto number = ParseNumber(value);
        if (!number) {
            *reason = std::string("expected a number for ") + rule.name + "=, got '" + value + "'";
            return false;
        }
        if (*number < rule.min || *number > rule.max) {
            *reason = std::string(rule.name) + "=" + value + " is out of range: " + rule.name + "= takes " +
                      RangeText(rule.min) + " to " + RangeText(rule.max);
            return false;
        }
        return true;
    }
    case Kind::Bytes:
        if (!ParseBytes(value)) {
            *reason = std::string("expected hex bytes for ") + rule.name + "=, got '" + value + "'";
            return false;
        }
        return true;
    case Kind::Word:
        if (value.empty()) {
            *reason = std::string("expected a value after ") + rule.name + "=";
            return false;
        }
        return true;
    case Kind::Text:
        return true;
    }
    return true;
}

}  // namespace

std::string Step::Option(const std::string& key, const std::string& fallback) const
{
    auto it = options.find(key);
    return it == options.end() ? fallback : it->second;
}

std::string ParseError::Message() const
{
    if (line == 0)
        return file + ": " + reason;
    return file + ":" + std::to_string(line) + ": " + reason;
}

std::optional<unsigned long long> ParseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 16u : 20u))
        return std::nullopt;
    unsigned long long value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        unsigned long long next = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (next / (hex ? 16 : 10) != value)
            return std::nullopt;
        value = next;
    }
    return value;
}

std::optional<uint64_t> ParseTimeSinceBoot(const std::string& text)
{
    uint64_t fields[4] = {};
    const char separators[3] = {':', ':', '.'};
    const uint64_t limits[4] = {kMaxHoursSinceBoot, 59, 59, 999};
    size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        size_t digits = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 10) {
            fields[field] = fields[field] * 10 + static_cast<uint64_t>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || fields[field] > limits[field])
            return std::nullopt;
        if (field < 3) {
            if (at >= text.size() || text[at] != separators[field])
                return std::nullopt;
            ++at;
        }
    }
    if (at != text.size())
        return std::nullopt;
    return ((fields[0] * 3600 + fields[1] * 60 + fields[2]) * 1000 + fields[3]) * 10000;
}

std::optional<std::vector<unsigned char>> ParseBytes(const std::string& text)
{
    std::vector<unsigned char> bytes;
    if (text.rfind("text:", 0) == 0) {
        std::string body = text.substr(5);
        bytes.assign(body.begin(), body.end());
        return bytes;
    }
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2 != 0)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

bool ParseScenario(const std::string& text, const std::string& file, Scenario* scenario, ParseError* error)
{
    Scenario parsed;
    parsed.file = file;
    size_t slash = file.find_last_of('/');
    parsed.directory = slash == std::string::npos ? "." : file.substr(0, slash);

    auto fail = [&](int line, const std::string& reason) {
        error->file = file;
        error->line = line;
        error->reason = reason;
        return false;
    };

    // A byte-order mark, as editors write one, is no part of the first line.
    std::istringstream lines(text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<Word> words;
        std::string reason;
        if (!SplitWords(line, &words, &reason))
            return fail(number, reason);
        if (words.empty())
            continue;

        const CommandRule* rule = FindCommand(words[0].text);
        if (rule == nullptr)
            return fail(number, "unknown command '" + words[0].text + "' (zelkor-sim --help lists them)");

        Step step;
        step.line = number;
        step.command = words[0].text;
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& word = words[i].text;
            // Positional words come first; a word with '=' after them is an
            // option, except where the command takes free text.
            if (!words[i].startsQuoted && IsOptionWord(word) && static_cast<int>(step.args.size()) >= rule->minArgs) {
                size_t eq = word.find('=');
                std::string key = word.substr(0, eq);
                std::string value = word.substr(eq + 1);
                auto option = std::find_if(rule->options.begin(), rule->options.end(),
                                           [&](const OptionRule& o) { return key == o.name; });
                if (option == rule->options.end())
                    return fail(number, "'" + step.command + "' has no option '" + key + "'; expected: " + rule->usage);
                if (step.options.count(key))
                    return fail(number, "option '" + key + "' given twice");
                if (!CheckValue(*option, value, &reason))
                    return fail(number, reason);
                step.options[key] = value;
            } else {
                if (!step.options.empty())
                    return fail(number, "'" + word + "' after the options; expected: " + rule->usage);
                step.args.push_back(word);
            }
        }
        int count = static_cast<int>(step.args.size());
        if (count < rule->minArgs || count > rule->maxArgs)
            return fail(number, "wrong number of arguments to '" + step.command + "'; expected: " + rule->usage);
        if (rule->check != nullptr) {
            std::string refusal = rule->check(step);
            if (!refusal.empty())
                return fail(number, refusal);
        }
        if (step.command == "title")
            parsed.title = step.args[0];
        parsed.steps.push_back(std::move(step));
    }
    std::string reason;
    if (int oversized = FirstOversizedReply(parsed.steps, &reason))
        return fail(oversized, reason);
    *scenario = std::move(parsed);
    return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* scenario, ParseError* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error->file = path;
        error->line = 0;
        error->reason = "cannot open the scenario file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseScenario(text.str(), path, scenario, error);
}

std::string CommandSummary()
{
    std::string summary;
    for (const CommandRule& rule : Commands())
        summary += std::string("  ") + rule.usage + "\n";
    return summary;
}

}  // namespace scn
