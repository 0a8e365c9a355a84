#include "tools/zkctl/zkctl.h"

#include <cstdio>
#include <cstdlib>

#include "ioctl/request.h"
#include "tools/zkctl/install.h"

namespace zkctl {

std::string JsonText(const std::string& text)
{
    std::string json = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", u);
            json += escape;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

namespace {

void PutUlong(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetUlong(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes[offset + static_cast<size_t>(i)];
    return value;
}

// A NUL-terminated text within [offset, offset + field) of the answer.
std::optional<std::string> GetText(const std::vector<uint8_t>& bytes, size_t offset, size_t field)
{
    std::string text;
    for (size_t i = offset; i < offset + field && i < bytes.size(); ++i) {
        if (bytes[i] == 0)
            return text;
        text += static_cast<char>(bytes[i]);
    }
    return std::nullopt;
}

struct Level {
    const char* name;
    const char* alias;
    uint32_t bit;
};

constexpr Level kLevels[] = {
    {"io", nullptr, 0x001},         {"internal", "srb", 0x002},       {"data", "dumps", 0x004},
    {"completion", "sense", 0x008}, {"pnp", nullptr, 0x010},          {"ioctl", nullptr, 0x020},
    {"unrecognised", "unknown", 0x040}, {"detail", nullptr, 0x080}, {"timestamp", "time", 0x100},
};

std::string Hex(uint32_t value, int digits = 0)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A text as the console shows it: quoted, with the quote and backslash escaped.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
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
    std::optional<std::string> mask;
    std::optional<std::string> trailer;
};

Result BadArgument(const std::string& why)
{
    return {kExitBadArgument, "", "zkctl: " + why + "\n" + "Try 'zkctl --help'.\n"};
}

std::optional<unsigned> ParseInstance(const std::string& word)
{
    std::string digits = word;
    for (const char* prefix : {"Zelkor", "zelkor", "\\\\.\\Zelkor"})
        if (digits.rfind(prefix, 0) == 0)
            digits = digits.substr(std::string(prefix).size());
    if (digits.empty() || digits.size() > 9)
        return std::nullopt;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

// The failure of a request or an open as the tool's message and exit code.
Result Failed(const Reply& reply, unsigned instance, const std::string& what)
{
    std::string name = "Zelkor" + std::to_string(instance);
    switch (reply.failure) {
    case Failure::NoInstance:
        return {kExitNoInstance, "", "zkctl: no instance " + name + " (" + reply.code + ")\n"};
    case Failure::AccessDenied:
        return {kExitAccessDenied, "",
                "zkctl: access denied: " + name + " would not " + what + " for this account (" + reply.code +
                    "); changing the configuration needs an administrator\n"};
    case Failure::Refused:
        return {kExitFailed, "", "zkctl: " + name + " refused to " + what + " (" + reply.code + ")\n"};
    case Failure::None:
        break;
    }
    return {kExitFailed, "", "zkctl: " + name + " gave a malformed answer to " + what + "\n"};
}

Result Malformed(unsigned instance, const std::string& what)
{
    return Failed(Reply{}, instance, what);
}

std::string StorageTypeText(int32_t type)
{
    return type == -1 ? "-1 (no storage descriptor seen)" : std::to_string(type);
}

std::string InfoText(unsigned instance, const DeviceInfo& info)
{
    return "instance:      Zelkor" + std::to_string(instance) + "\n" + "device name:   " + info.deviceName + "\n" +
           "storage type:  " + StorageTypeText(info.storageType) + "\n" + "lower driver:  " + info.lowerDriver +
           "\n";
}

std::string InfoJson(unsigned instance, const DeviceInfo& info)
{
    return "{\"instance\": " + std::to_string(instance) + ", \"deviceName\": " + JsonText(info.deviceName) +
           ", \"storageType\": " + std::to_string(info.storageType) +
           ", \"lowerDriver\": " + JsonText(info.lowerDriver) + "}";
}

std::string ConfigText(const Config& config)
{
    return "mask:     " + Hex(config.mask, 3) + " (" + MaskNames(config.mask) + ")\n" + "trailer:  " +
           Quoted(config.trailer) + "\n";
}

std::string ConfigJson(unsigned instance, const Config& config)
{
    return "{\"instance\": " + std::to_string(instance) + ", \"mask\": " + std::to_string(config.mask) +
           ", \"levels\": " + JsonText(MaskNames(config.mask)) + ", \"trailer\": " + JsonText(config.trailer) + "}";
}

// Sends one operation; the reply, or the tool's failure in *result.
std::optional<Reply> Ask(Instance& instance, unsigned number, unsigned operation, const std::vector<uint8_t>& data,
                         const std::string& what, Result* result)
{
    Reply reply = instance.Request(EncodeRequest(operation, data), OutputLength(operation));
    if (reply.failure != Failure::None) {
        *result = Failed(reply, number, what);
        return std::nullopt;
    }
    return reply;
}

Result Info(Instance& instance, unsigned number, bool json)
{
    Result result;
    auto reply = Ask(instance, number, ZK_REQUEST_DEVICE_INFO, {}, "report its device", &result);
    if (!reply)
        return result;
    auto info = DecodeDeviceInfo(*reply);
    if (!info)
        return Malformed(number, "report its device");
    result.out = json ? InfoJson(number, *info) + "\n" : InfoText(number, *info);
    return result;
}

Result Get(Instance& instance, unsigned number, bool json)
{
    Result result;
    auto reply = Ask(instance, number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &result);
    if (!reply)
        return result;
    auto config = DecodeConfig(*reply);
    if (!config)
        return Malformed(number, "report its configuration");
    result.out = json ? ConfigJson(number, *config) + "\n" : ConfigText(*config);
    return result;
}

Result Set(Instance& instance, const Command& command)
{
    unsigned number = *command.instance;
    std::optional<uint32_t> mask;
    if (command.mask) {
        std::string error;
        mask = ParseMask(*command.mask, &error);
        if (!mask)
            return BadArgument(error);
    }
    if (command.trailer && command.trailer->size() > kMaxTrailer)
        return BadArgument("the trailer has " + std::to_string(command.trailer->size()) +
                           " characters; at most " + std::to_string(kMaxTrailer) + " are kept");
    if (command.trailer && command.trailer->find('\0') != std::string::npos)
        return BadArgument("the trailer holds a NUL character");

    Result result;
    Config config;
    if (!mask || !command.trailer) {
        // What is not given stays as it is.
        auto reply = Ask(instance, number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &result);
        if (!reply)
            return result;
        auto current = DecodeConfig(*reply);
        if (!current)
            return Malformed(number, "report its configuration");
        config = *current;
    }
    if (mask)
        config.mask = *mask;
    if (command.trailer)
        config.trailer = *command.trailer;
    if (!Ask(instance, number, ZK_REQUEST_SET_CONFIG, EncodeConfig(config), "change its configuration", &result))
        return result;
    result.out = command.json ? ConfigJson(number, config) + "\n" : ConfigText(config);
    return result;
}

Result Version(const Command& command, const Opener& open)
{
    const std::string tool = "zkctl 1.0";
    std::vector<unsigned> candidates;
    if (command.instance) {
        candidates.push_back(*command.instance);
    } else {
        for (unsigned n = 1; n <= kHighestInstance; ++n)
            candidates.push_back(n);
    }
    Reply lastFailure;
    for (unsigned number : candidates) {
        Reply failure;
        std::unique_ptr<Instance> instance = open(number, &failure);
        if (!instance) {
            lastFailure = failure;
            continue;
        }
        Result result;
        auto reply = Ask(*instance, number, ZK_REQUEST_VERSION, {}, "report its version", &result);
        if (!reply)
            return result;
        auto version = DecodeVersion(*reply);
        if (!version)
            return Malformed(number, "report its version");
        if (command.json)
            result.out = "{\"tool\": " + JsonText(tool) + ", \"instance\": " + std::to_string(number) +
                         ", \"interface\": " + std::to_string(*version) + "}\n";
        else
            result.out = tool + "\ndriver interface " + Hex(*version) + " (Zelkor" + std::to_string(number) + ")\n";
        return result;
    }
    if (command.instance)
        return Failed(lastFailure, *command.instance, "report its version");
    return {kExitNoInstance, command.json ? "{\"tool\": " + JsonText(tool) + ", \"instance\": null}\n" : tool + "\n",
            "zkctl: no Zelkor instance is present\n"};
}

Result List(const Command& command, const Opener& open)
{
    Result result;
    std::string json;
    for (unsigned number = 1; number <= kHighestInstance; ++number) {
        Reply failure;
        std::unique_ptr<Instance> instance = open(number, &failure);
        if (!instance) {
            if (failure.failure == Failure::NoInstance)
                continue;
            Result failed = Failed(failure, number, "open");
            result.err += failed.err;
            result.exitCode = failed.exitCode;
            continue;
        }
        Reply reply = instance->Request(EncodeRequest(ZK_REQUEST_DEVICE_INFO), OutputLength(ZK_REQUEST_DEVICE_INFO));
        if (reply.failure == Failure::NoInstance)
            continue;
        auto info = reply.failure == Failure::None ? DecodeDeviceInfo(reply) : std::nullopt;
        if (!info) {
            Result failed = reply.failure == Failure::None ? Malformed(number, "report its device")
                                                           : Failed(reply, number, "report its device");
            result.err += failed.err;
            result.exitCode = failed.exitCode;
            continue;
        }
        if (command.json)
            json += std::string(json.empty() ? "" : ",\n ") + InfoJson(number, *info);
        else
            result.out += "Zelkor" + std::to_string(number) + "  " + info->deviceName + "  " + info->lowerDriver + "\n";
    }
    if (command.json)
        result.out = "[" + json + "]\n";
    return result;
}

}  // namespace

std::vector<uint8_t> EncodeRequest(unsigned operation, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> bytes;
    PutUlong(bytes, ZK_REQUEST_MAGIC);
    PutUlong(bytes, operation);
    PutUlong(bytes, 0);  // the data area follows the record
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

size_t OutputLength(unsigned operation)
{
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

std::optional<uint32_t> DecodeVersion(const Reply& reply)
{
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_VERSION_DATA_SIZE)
        return std::nullopt;
    return GetUlong(reply.output, ZK_REQUEST_SIZE);
}

std::optional<DeviceInfo> DecodeDeviceInfo(const Reply& reply)
{
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_INFO_DATA_SIZE)
        return std::nullopt;
    auto name = GetText(reply.output, ZK_REQUEST_SIZE + ZK_INFO_NAME_OFFSET, ZK_INFO_TEXT_FIELD);
    auto driver = GetText(reply.output, ZK_REQUEST_SIZE + ZK_INFO_DRIVER_OFFSET, ZK_INFO_TEXT_FIELD);
    if (!name || !driver)
        return std::nullopt;
    DeviceInfo info;
    info.deviceName = *name;
    info.storageType = static_cast<int32_t>(GetUlong(reply.output, ZK_REQUEST_SIZE + ZK_INFO_TYPE_OFFSET));
    info.lowerDriver = *driver;
    return info;
}

std::optional<Config> DecodeConfig(const Reply& reply)
{
    if (reply.output.size() < ZK_REQUEST_SIZE + ZK_CONFIG_TRAILER_OFFSET + 1)
        return std::nullopt;
    auto trailer = GetText(reply.output, ZK_REQUEST_SIZE + ZK_CONFIG_TRAILER_OFFSET, ZK_CONFIG_TRAILER_SIZE);
    if (!trailer)
        return std::nullopt;
    return Config{GetUlong(reply.output, ZK_REQUEST_SIZE), *trailer};
}

std::vector<uint8_t> EncodeConfig(const Config& config)
{
    std::vector<uint8_t> data;
    PutUlong(data, config.mask);
    data.insert(data.end(), config.trailer.begin(), config.trailer.end());
    data.push_back(0);
    return data;
}

std::optional<uint32_t> ParseMask(const std::string& text, std::string* error)
{
    uint32_t mask = 0;
    size_t start = 0;
    if (text.empty()) {
        *error = "--mask needs a value";
        return std::nullopt;
    }
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string word = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (word == "all") {
            mask |= 0x1FF;
            continue;
        }
        if (word == "none")
            continue;
        bool named = false;
        for (const Level& level : kLevels) {
            if (word == level.name || (level.alias != nullptr && word == level.alias)) {
                mask |= level.bit;
                named = true;
            }
        }
        if (named)
            continue;
        char* end = nullptr;
        bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        unsigned long long value = word.empty() ? 0 : std::strtoull(word.c_str(), &end, hex ? 16 : 10);
        if (word.empty() || word[0] == '-' || word[0] == '+' || end == nullptr || *end != '\0' || value > 0xFFFFFFFFull ||
            (hex && word.size() == 2)) {
            *error = "unknown trace level '" + word +
                     "' (a number, or names: io, internal/srb, data/dumps, completion/sense, pnp, ioctl, "
                     "unrecognised/unknown, detail, timestamp/time, all, none)";
            return std::nullopt;
        }
        mask |= static_cast<uint32_t>(value);
    }
    return mask;
}

std::string MaskNames(uint32_t mask)
{
    if (mask == 0)
        return "none";
    std::string names;
    uint32_t rest = mask;
    for (const Level& level : kLevels) {
        if (mask & level.bit) {
            names += std::string(names.empty() ? "" : ",") + level.name;
            rest &= ~level.bit;
        }
    }
    if (rest != 0)
        names += std::string(names.empty() ? "" : ",") + Hex(rest);
    return names;
}

std::string Usage()
{
    return "usage: zkctl COMMAND [ARGUMENTS] [--json]\n"
           "\n"
           "  list                          the instances present, their devices and lower drivers\n"
           "  info N                        the identity of instance N (ZelkorN)\n"
           "  get N                         the trace mask and trailer of instance N\n"
           "  set N [--mask M] [--trailer T]  change them (administrators only); stored in the registry\n"
           "  version [N]                   the tool's version and the driver's interface version\n"
           "\n" +
           InstallUsage() +
           "\n"
           "M is a number (0x1FF) or level names joined by commas: io, internal (srb), data (dumps),\n"
           "completion (sense), pnp, ioctl, unrecognised (unknown), detail, timestamp (time), all, none.\n"
           "T is at most 99 characters. --json prints what a read returns as JSON.\n"
           "\n"
           "exit codes: 0 done, 1 refused or failed, 2 bad argument, 3 no such instance, 4 access denied\n";
}

Result Run(const std::vector<std::string>& args, const Opener& open)
{
    return Run(args, open, nullptr);
}

Result Run(const std::vector<std::string>& args, const Opener& open, Machine* machine)
{
    Command command;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--help" || word == "-h" || word == "/?")
            return {kExitOk, Usage(), ""};
        if (word == "--json") {
            command.json = true;
        } else if (word == "--mask" || word == "--trailer") {
            if (i + 1 >= args.size())
                return BadArgument(word + " needs a value");
            (word == "--mask" ? command.mask : command.trailer) = args[++i];
        } else if (word.rfind("--mask=", 0) == 0) {
            command.mask = word.substr(7);
        } else if (word.rfind("--trailer=", 0) == 0) {
            command.trailer = word.substr(10);
        } else if (word.rfind("--", 0) == 0) {
            return BadArgument("unknown option '" + word + "'");
        } else {
            positional.push_back(word);
        }
    }
    if (positional.empty())
        return BadArgument("no command given");
    command.verb = positional[0];
    if (IsInstallCommand(command.verb)) {
        if (command.mask || command.trailer)
            return BadArgument("--mask and --trailer belong to set");
        return RunInstall(positional, command.json, machine);
    }
    const bool takesInstance = command.verb == "info" || command.verb == "get" || command.verb == "set";
    if (command.verb != "list" && command.verb != "version" && !takesInstance)
        return BadArgument("unknown command '" + command.verb + "'");
    size_t allowed = command.verb == "list" ? 1 : 2;
    if (positional.size() > allowed)
        return BadArgument("too many arguments to " + command.verb);
    if (positional.size() == 2) {
        command.instance = ParseInstance(positional[1]);
        if (!command.instance)
            return BadArgument("'" + positional[1] + "' is no instance number (1, 2, ... or Zelkor1, ...)");
    }
    if (takesInstance && !command.instance)
        return BadArgument(command.verb + " needs an instance number");
    if ((command.mask || command.trailer) && command.verb != "set")
        return BadArgument("--mask and --trailer belong to set");
    if (command.verb == "set" && !command.mask && !command.trailer)
        return BadArgument("set needs --mask, --trailer or both");

    if (command.verb == "list")
        return List(command, open);
    if (command.verb == "version")
        return Version(command, open);

    Reply failure;
    std::unique_ptr<Instance> instance = open(*command.instance, &failure);
    if (!instance)
        return Failed(failure, *command.instance, "open");
    if (command.verb == "info")
        return Info(*instance, *command.instance, command.json);
    if (command.verb == "get")
        return Get(*instance, *command.instance, command.json);
    return Set(*instance, command);
}

}  // namespace zkctl
