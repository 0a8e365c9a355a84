#include "tools/zkctl/zkctl.h"

#include <cstdio>
#include <cstdlib>

#include "ioctl/request.h"
#include "tools/zkctl/commands.h"
#include "tools/zkctl/install.h"
#include "tools/zkctl/version.h"

namespace zkctl {

namespace {
AnsiToUtf8 ansiToUtf8 = Windows1252ToUtf8;

void PutUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}
}  // namespace

void SetAnsiCodePage(AnsiToUtf8 convert) { ansiToUtf8 = convert != nullptr ? convert : Windows1252ToUtf8; }

std::string Windows1252ToUtf8(const std::string& text) {
    // 0x80-0x9F; the five bytes the code page leaves out map to the same
    // control code point, as Windows does.
    static constexpr uint16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        PutUtf8(out, u >= 0x80 && u < 0xA0 ? kHigh[u - 0x80] : u);
    }
    return out;
}

std::string ToolVersion() {
    return std::to_string(ZELKOR_VERSION_MAJOR) + "." + std::to_string(ZELKOR_VERSION_MINOR) + "." +
           std::to_string(ZELKOR_VERSION_PATCH);
}

bool SameWord(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string Lower(std::string word) {
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return word;
}

std::string JsonText(const std::string& text) { return JsonUtf8(ansiToUtf8(text)); }

std::string JsonUtf8(const std::string& text) {
    std::string json = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", u);
            json += escape;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string json = "[";
    for (size_t i = 0; i < items.size(); ++i)
        json += (i ? ", " : "") + JsonUtf8(items[i]);
    return json + "]";
}

namespace detail {

void PutUlong(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetUlong(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes[offset + static_cast<size_t>(i)];
    return value;
}

// A NUL-terminated text within [offset, offset + field) of the answer.
std::optional<std::string> GetText(const std::vector<uint8_t>& bytes, size_t offset, size_t field) {
    std::string text;
    for (size_t i = offset; i < offset + field && i < bytes.size(); ++i) {
        if (bytes[i] == 0) return text;
        text += static_cast<char>(bytes[i]);
    }
    return std::nullopt;
}

struct Level {
    const char* name;
    const char* alias;
    uint32_t bit;
};

// The trace levels, one line each: a new level is one more line here.
constexpr Level kLevels[] = {
    {"io", nullptr, 0x001},
    {"internal", "srb", 0x002},
    {"data", "dumps", 0x004},
    {"completion", "sense", 0x008},
    {"pnp", nullptr, 0x010},
    {"ioctl", nullptr, 0x020},
    {"unrecognised", "unknown", 0x040},
    {"detail", nullptr, 0x080},
    {"timestamp", "time", 0x100},
    {"bus", "usb", 0x200},
};

// "io, internal/srb, ..., all, none"
std::string LevelList() {
    std::string list;
    for (const Level& level : kLevels)
        list += std::string(level.name) + (level.alias ? std::string("/") + level.alias : "") + ", ";
    return list + "all, none";
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A text as the console shows it: quoted, with the quote and backslash escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// ---------------------------------------------------------------------------
// The command line

struct Command {
    std::string verb;
    std::optional<unsigned> instance;
    bool json = false;
    bool force = false;
    std::optional<std::string> mask;
    std::optional<std::string> trailer;
};

Result BadArgument(const std::string& why) {
    return {kExitBadArgument, "", "zkctl: " + why + "\n" + "Try 'zkctl --help'.\n"};
}

std::optional<unsigned> ParseInstance(const std::string& word) {
    std::string digits = word;
    for (const char* prefix : {"zelkor", "\\\\.\\zelkor"})
        if (Lower(digits).rfind(prefix, 0) == 0) digits = digits.substr(std::string(prefix).size());
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0) return std::nullopt;
    return value;
}

// The failure of a request or an open as the tool's message and exit code.
Result Failed(const Reply& reply, unsigned instance, const std::string& what) {
    std::string name = "Zelkor" + std::to_string(instance);
    switch (reply.failure) {
    case Failure::NoInstance:
        return {kExitNoInstance, "", "zkctl: no instance " + name + " (" + reply.code + ")\n"};
    case Failure::AccessDenied:
        return {kExitAccessDenied, "",
                "zkctl: access denied: " + name + " would not " + what + " for this account (" + reply.code +
                    "); changing the configuration needs an administrator: run from an elevated prompt\n"};
    case Failure::Refused:
        return {kExitFailed, "", "zkctl: " + name + " refused to " + what + " (" + reply.code + ")\n"};
    case Failure::None:
        break;
    }
    return {kExitFailed, "", "zkctl: " + name + " gave a malformed answer to " + what + "\n"};
}

Result Malformed(unsigned instance, const std::string& what) { return Failed(Reply{}, instance, what); }

std::string StorageTypeText(int32_t type) {
    return type == -1 ? "-1 (no storage descriptor seen)" : std::to_string(type);
}

std::string InfoText(unsigned instance, const DeviceInfo& info, const std::string& instanceId) {
    return "instance:      Zelkor" + std::to_string(instance) + "\n" + "device name:   " + info.deviceName + "\n" +
           "device ID:     " + (instanceId.empty() ? "-" : instanceId) + "\n" +
           "storage type:  " + StorageTypeText(info.storageType) + "\n" + "lower driver:  " + info.lowerDriver + "\n";
}

std::string InfoJson(unsigned instance, const DeviceInfo& info, const std::string& instanceId) {
    return "{\"instance\": " + std::to_string(instance) + ", \"deviceName\": " + JsonText(info.deviceName) +
           ", \"instanceId\": " + (instanceId.empty() ? "null" : JsonUtf8(instanceId)) +
           ", \"storageType\": " + std::to_string(info.storageType) +
           ", \"lowerDriver\": " + JsonText(info.lowerDriver) + "}";
}

std::string ConfigText(const Config& config) {
    return "mask:     " + Hex(config.mask, 3) + " (" + MaskNames(config.mask) + ")\n" +
           "trailer:  " + Quoted(config.trailer) + "\n";
}

std::string ConfigJson(unsigned instance, const Config& config) {
    return "{\"instance\": " + std::to_string(instance) + ", \"mask\": " + std::to_string(config.mask) +
           ", \"levels\": " + JsonText(MaskNames(config.mask)) + ", \"trailer\": " + JsonText(config.trailer) + "}";
}

// Sends one operation; the reply, or the tool's failure in *result.
std::optional<Reply> Ask(Instance& instance, unsigned number, unsigned operation, const std::vector<uint8_t>& data,
                         const std::string& what, Result* result) {
    Reply reply = instance.Request(EncodeRequest(operation, data), OutputLength(operation));
    if (reply.failure != Failure::None) {
        *result = Failed(reply, number, what);
        return std::nullopt;
    }
    return reply;
}

Result Info(Instance& instance, unsigned number, bool json, Machine* machine) {
    Result result;
    auto reply = Ask(instance, number, ZK_REQUEST_DEVICE_INFO, {}, "report its device", &result);
    if (!reply) return result;
    auto info = DecodeDeviceInfo(*reply);
    if (!info) return Malformed(number, "report its device");
    const std::string id = InstanceIdOf(machine, info->deviceName);
    result.out = json ? InfoJson(number, *info, id) + "\n" : InfoText(number, *info, id);
    return result;
}

Result Get(Instance& instance, unsigned number, bool json) {
    Result result;
    auto reply = Ask(instance, number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &result);
    if (!reply) return result;
    auto config = DecodeConfig(*reply);
    if (!config) return Malformed(number, "report its configuration");
    result.out = json ? ConfigJson(number, *config) + "\n" : ConfigText(*config);
    return result;
}

Result Set(Instance& instance, const Command& command) {
    unsigned number = *command.instance;
    std::optional<uint32_t> mask;
    if (command.mask) {
        std::string error;
        mask = ParseMask(*command.mask, &error);
        if (!mask) return BadArgument(error);
    }
    if (command.trailer && command.trailer->find('\0') != std::string::npos)
        return BadArgument("the trailer holds a NUL character");

    Result result;
    Config config;
    if (!mask || !command.trailer) {
        // What is not given stays as it is.
        auto reply = Ask(instance, number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &result);
        if (!reply) return result;
        auto current = DecodeConfig(*reply);
        if (!current) return Malformed(number, "report its configuration");
        config = *current;
    }
    if (mask) config.mask = *mask;
    if (command.trailer) config.trailer = *command.trailer;
    if (!Ask(instance, number, ZK_REQUEST_SET_CONFIG, EncodeConfig(config), "change its configuration", &result))
        return result;
    result.out = command.json ? ConfigJson(number, config) + "\n" : ConfigText(config);
    return result;
}

}  // namespace detail
using namespace detail;

std::vector<uint8_t> EncodeRequest(unsigned operation, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes;
    PutUlong(bytes, ZK_REQUEST_MAGIC);
    PutUlong(bytes, operation);
    PutUlong(bytes, 0);  // the data area follows the record
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

size_t OutputLength(unsigned operation) {
    switch (operation) {
    case ZK_REQUEST_VERSION:
        return ZK_REQUEST_SIZE + ZK_VERSION_DATA_SIZE;
    case ZK_REQUEST_DEVICE_INFO:
        return ZK_REQUEST_SIZE + ZK_INFO_DATA_SIZE;
    case ZK_REQUEST_GET_CONFIG:
        return ZK_REQUEST_SIZE + ZK_CONFIG_DATA_SIZE;
    default:
        return ZK_REQUEST_SIZE;
    }
}

std::optional<uint32_t> DecodeVersion(const Reply& reply) {
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_VERSION_DATA_SIZE) return std::nullopt;
    return GetUlong(reply.output, ZK_REQUEST_SIZE);
}

std::optional<DeviceInfo> DecodeDeviceInfo(const Reply& reply) {
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_INFO_DATA_SIZE) return std::nullopt;
    auto name = GetText(reply.output, ZK_REQUEST_SIZE + ZK_INFO_NAME_OFFSET, ZK_INFO_TEXT_FIELD);
    auto driver = GetText(reply.output, ZK_REQUEST_SIZE + ZK_INFO_DRIVER_OFFSET, ZK_INFO_TEXT_FIELD);
    if (!name || !driver) return std::nullopt;
    DeviceInfo info;
    info.deviceName = *name;
    info.storageType = static_cast<int32_t>(GetUlong(reply.output, ZK_REQUEST_SIZE + ZK_INFO_TYPE_OFFSET));
    info.lowerDriver = *driver;
    return info;
}

std::optional<Config> DecodeConfig(const Reply& reply) {
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_CONFIG_TRAILER_OFFSET + 1) return std::nullopt;
    auto trailer = GetText(reply.output, ZK_REQUEST_SIZE + ZK_CONFIG_TRAILER_OFFSET, ZK_CONFIG_TRAILER_SIZE);
    if (!trailer) return std::nullopt;
    return Config{GetUlong(reply.output, ZK_REQUEST_SIZE), *trailer};
}

std::vector<uint8_t> EncodeConfig(const Config& config) {
    std::vector<uint8_t> data;
    PutUlong(data, config.mask);
    data.insert(data.end(), config.trailer.begin(), config.trailer.end());
    data.push_back(0);
    return data;
}

uint32_t KnownMaskBits() {
    uint32_t bits = 0;
    for (const Level& level : kLevels)
        bits |= level.bit;
    return bits;
}

std::optional<uint32_t> ParseMask(const std::string& text, std::string* error) {
    uint32_t mask = 0;
    size_t start = 0;
    if (text.empty()) {
        *error = "--mask needs a value";
        return std::nullopt;
    }
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string word = Lower(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        // The nine standard bits: the bus detail level (0x200) adds lines
        // and is asked for by name, and a stored 'all' keeps its meaning.
        if (word == "all") {
            mask |= KnownMaskBits() & 0x1FF;
            continue;
        }
        if (word == "none") continue;
        bool named = false;
        for (const Level& level : kLevels) {
            if (word == level.name || (level.alias != nullptr && word == level.alias)) {
                mask |= level.bit;
                named = true;
            }
        }
        if (named) continue;
        char* end = nullptr;
        bool hex = word.size() > 2 && word[0] == '0' && word[1] == 'x';
        unsigned long long value = word.empty() ? 0 : std::strtoull(word.c_str(), &end, hex ? 16 : 10);
        if (word.empty() || word[0] == '-' || word[0] == '+' || end == nullptr || *end != '\0' ||
            value > 0xFFFFFFFFull || (hex && word.size() == 2)) {
            *error = "unknown trace level '" + word + "' (a number, or names: " + LevelList() + ")";
            return std::nullopt;
        }
        if (const uint32_t unknown = static_cast<uint32_t>(value) & ~KnownMaskBits()) {
            *error = "the mask " + Hex(static_cast<uint32_t>(value)) + " sets " + Hex(unknown) +
                     ", which no trace level uses (the levels are " + Hex(KnownMaskBits(), 3) + ")";
            return std::nullopt;
        }
        mask |= static_cast<uint32_t>(value);
    }
    return mask;
}

std::string MaskNames(uint32_t mask) {
    if (mask == 0) return "none";
    std::string names;
    uint32_t rest = mask;
    for (const Level& level : kLevels) {
        if (mask & level.bit) {
            names += std::string(names.empty() ? "" : ",") + level.name;
            rest &= ~level.bit;
        }
    }
    if (rest != 0) names += std::string(names.empty() ? "" : ",") + Hex(rest);
    return names;
}

std::string Usage() {
    return "usage: zkctl COMMAND [ARGUMENTS] [--json]\n"
           "\n"
           "  status                        the service's state, its instances and the devices they filter,\n"
           "                                where the filter is installed, whether debug output is on\n"
           "  list                          the instances present: device name, lower driver, device ID\n"
           "  info N                        the identity of instance N (ZelkorN)\n"
           "  get N                         the trace mask and trailer of instance N\n"
           "  set N [--mask M] [--trailer T]  change them (administrators only); stored in the registry\n"
           "  name N [T]                    give instance N's device a trailer of its own: T, or one made\n"
           "                                from the device (disk2> ); kept if it has one, unless T is given\n"
           "  version [N]                   the tool's version and the driver's interface version\n"
           "\n" +
           InstallUsage() +
           "\n"
           "M is a number (" +
           Hex(KnownMaskBits(), 3) + ") or level names joined by commas:\n  " + LevelList() +
           ".\n"
           "T is at most 99 characters. --json (-j) prints what a read returns as JSON.\n"
           "Commands, options and level names may be written in any case; -?, /? and help show this.\n"
           "\n"
           "exit codes: 0 done, 1 refused or failed, 2 bad argument, 3 no such instance,\n"
           "4 access denied (run from an elevated prompt), 5 the driver is not loaded (no instance)\n";
}

Result Run(const std::vector<std::string>& args, const Opener& open) { return Run(args, open, nullptr); }

namespace {

bool IsHelp(const std::string& word) {
    const std::string w = Lower(word);
    return w == "--help" || w == "-h" || w == "-?" || w == "/?" || w == "/h" || w == "help";
}

// Options may stand anywhere; what is not an option is a positional word.
// Empty on success, else the failure.
std::optional<Result> ParseWords(const std::vector<std::string>& args, Command* command,
                                 std::vector<std::string>* positional) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        const std::string lower = Lower(word);
        if (IsHelp(word) && (i == 0 || word[0] != 'h')) return Result{kExitOk, Usage(), ""};
        if (lower == "--json" || lower == "-j" || lower == "/json") {
            command->json = true;
        } else if (lower == "--version" || lower == "-v") {
            positional->insert(positional->begin(), "version");
        } else if (lower == "--force" || lower == "-f") {
            command->force = true;
        } else if (lower == "--mask" || lower == "-m" || lower == "--trailer" || lower == "-t") {
            if (i + 1 >= args.size()) return BadArgument(word + " needs a value");
            (lower == "--mask" || lower == "-m" ? command->mask : command->trailer) = args[++i];
        } else if (lower.rfind("--mask=", 0) == 0) {
            command->mask = word.substr(7);
        } else if (lower.rfind("--trailer=", 0) == 0) {
            command->trailer = word.substr(10);
        } else if (word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9')) {
            return BadArgument("unknown option '" + word + "'");
        } else {
            positional->push_back(word);
        }
    }
    return std::nullopt;
}

// Checks the words of the commands that speak to instances.
std::optional<Result> CheckInstanceWords(const std::vector<std::string>& positional, Command* command) {
    const std::string& verb = command->verb;
    const bool takesInstance = verb == "info" || verb == "get" || verb == "set" || verb == "name";
    if (verb != "list" && verb != "version" && verb != "status" && !takesInstance)
        return BadArgument("unknown command '" + positional[0] + "'");
    const size_t allowed = verb == "list" || verb == "status" ? 1 : verb == "name" ? 3 : 2;
    if (positional.size() > allowed) return BadArgument("too many arguments to " + verb);
    if (positional.size() >= 2) {
        command->instance = ParseInstance(positional[1]);
        if (!command->instance)
            return BadArgument("'" + positional[1] + "' is no instance number (1, 2, ... or Zelkor1, ...)");
    }
    if (positional.size() == 3) command->trailer = positional[2];
    if (takesInstance && !command->instance) return BadArgument(verb + " needs an instance number");
    if (command->mask && verb != "set") return BadArgument("--mask belongs to set");
    if (command->trailer && verb != "set" && verb != "name") return BadArgument("--trailer belongs to set");
    if (verb == "set" && !command->mask && !command->trailer) return BadArgument("set needs --mask, --trailer or both");
    if (command->trailer && command->trailer->size() > kMaxTrailer)
        return BadArgument("the trailer has " + std::to_string(command->trailer->size()) +
                           " characters, more than the " + std::to_string(kMaxTrailer) +
                           " the driver holds: refused, nothing changed");
    return std::nullopt;
}

}  // namespace

Result Run(const std::vector<std::string>& args, const Opener& open, Machine* machine) {
    Command command;
    std::vector<std::string> positional;
    if (auto done = ParseWords(args, &command, &positional)) return *done;
    if (positional.empty()) return BadArgument("no command given");
    command.verb = Lower(positional[0]);
    positional[0] = command.verb;
    if (IsInstallCommand(command.verb)) {
        if (command.mask || command.trailer) return BadArgument("--mask and --trailer belong to set");
        return RunInstall(positional, command.json, command.force, machine);
    }
    if (auto bad = CheckInstanceWords(positional, &command)) return *bad;

    if (command.verb == "list") return List(command.json, open, machine);
    if (command.verb == "status") return Status(command.json, open, machine);
    if (command.verb == "version") return Version(command.instance, command.json, open);
    if (command.verb == "name") return Name(*command.instance, command.trailer, command.json, open, machine);

    Reply failure;
    std::unique_ptr<Instance> instance = open(*command.instance, &failure);
    if (!instance) return OpenFailed(failure, *command.instance, open, machine);
    if (command.verb == "info") return Info(*instance, *command.instance, command.json, machine);
    if (command.verb == "get") return Get(*instance, *command.instance, command.json);
    return Set(*instance, command);
}

}  // namespace zkctl
