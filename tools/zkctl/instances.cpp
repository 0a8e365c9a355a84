// The commands that look at every instance present (list, status, version)
// and name, which gives an instance's device a trailer of its own.
#include <algorithm>
#include <cstdio>

#include "ioctl/request.h"
#include "tools/zkctl/commands.h"
#include "tools/zkctl/install.h"
#include "tools/zkctl/version.h"

namespace zkctl {
namespace detail {
namespace {

std::string Names(const std::vector<Present>& present) {
    std::string names;
    for (const Present& p : present)
        names += (names.empty() ? "Zelkor" : " Zelkor") + std::to_string(p.number);
    return names;
}

std::string ServiceText(Machine* machine) {
    if (machine == nullptr) return "unknown";
    switch (machine->Service()) {
    case ServiceState::NotInstalled:
        return "not installed";
    case ServiceState::Stopped:
        return "installed, stopped";
    case ServiceState::Running:
        return "running";
    case ServiceState::Unknown:
        break;
    }
    return "installed, state unknown";
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : " ") + item;
    return text.empty() ? "(none)" : text;
}

// The trailer name gives a device when none is given: its class's short
// name and a number, as attach does.
std::string NameFor(unsigned number, const DeviceInfo& info, Machine* machine, const Opener& open) {
    std::string kind = info.storageType == 0 ? "disk" : info.storageType == 5 ? "cdrom" : "dev";
    std::string name = kind + std::to_string(number) + "> ";
    if (machine != nullptr) {
        const std::string id = InstanceIdOf(machine, info.deviceName);
        for (const DeviceEntry& d : machine->Devices())
            if (d.instanceId == id && !id.empty()) name = DerivedTrailer(*machine, d);
    }
    // Distinct from every other instance's trailer.
    std::vector<std::string> taken;
    Result ignored;
    for (const Present& p : Instances(open, &ignored)) {
        Reply failure;
        std::unique_ptr<Instance> other = p.number == number ? nullptr : open(p.number, &failure);
        auto reply = other ? Ask(*other, p.number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &ignored)
                           : std::nullopt;
        if (auto config = reply ? DecodeConfig(*reply) : std::nullopt) taken.push_back(config->trailer);
    }
    for (unsigned n = 1; std::find(taken.begin(), taken.end(), name) != taken.end(); ++n)
        name = kind + std::to_string(n) + "> ";
    return name;
}

constexpr const char* kDefaultTrailer = "** ";

// The global Trailer value, if the machine has one (ASCII only: it is
// compared with what an instance reports).
std::string GlobalTrailer(Machine* machine) {
    const auto value = machine != nullptr ? machine->ReadValue(kSavedKey, "Trailer") : std::nullopt;
    std::string text;
    if (!value || value->type != kRegSz) return text;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        const unsigned c = value->data[i] | value->data[i + 1] << 8;
        if (c == 0) break;
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

}  // namespace

std::string InstanceIdOf(Machine* machine, const std::string& deviceName) {
    if (machine == nullptr) return "";
    for (const DeviceEntry& d : machine->Devices())
        if (!d.pdoName.empty() && SameWord(ConfigName(d.pdoName), deviceName)) return d.instanceId;
    return "";
}

std::string NoInstanceReason(Machine* machine) {
    switch (machine != nullptr ? machine->Service() : ServiceState::Unknown) {
    case ServiceState::NotInstalled:
        return "the driver is not loaded: the zelkor service is not installed (docs/windows.md)";
    case ServiceState::Stopped:
        return "the driver is not loaded: the zelkor service is installed but not running, as no device it "
               "filters has started (zkctl attach, then restart the device)";
    case ServiceState::Running:
        return "the zelkor service is running but filters no device (zkctl attach)";
    case ServiceState::Unknown:
        break;
    }
    return "the driver is not loaded (no Zelkor instance is present)";
}

std::vector<Present> Instances(const Opener& open, Result* errors) {
    std::vector<Present> present;
    for (unsigned number = 1; number <= kHighestInstance; ++number) {
        Reply failure;
        std::unique_ptr<Instance> instance = open(number, &failure);
        if (!instance) {
            if (failure.failure == Failure::NoInstance) continue;
            Result failed = Failed(failure, number, "open");
            errors->err += failed.err;
            errors->exitCode = failed.exitCode;
            continue;
        }
        Reply reply = instance->Request(EncodeRequest(ZK_REQUEST_DEVICE_INFO), OutputLength(ZK_REQUEST_DEVICE_INFO));
        if (reply.failure == Failure::NoInstance) continue;
        auto info = reply.failure == Failure::None ? DecodeDeviceInfo(reply) : std::nullopt;
        if (!info) {
            Result failed = reply.failure == Failure::None ? Malformed(number, "report its device")
                                                           : Failed(reply, number, "report its device");
            errors->err += failed.err;
            errors->exitCode = failed.exitCode;
            continue;
        }
        present.push_back({number, *info});
    }
    return present;
}

Result List(bool json, const Opener& open, Machine* machine) {
    Result result;
    const std::vector<Present> present = Instances(open, &result);
    if (json) {
        std::string items;
        for (const Present& p : present)
            items +=
                (items.empty() ? "" : ",\n ") + InfoJson(p.number, p.info, InstanceIdOf(machine, p.info.deviceName));
        result.out = "[" + items + "]\n";
    } else if (!present.empty()) {
        char line[600];
        std::snprintf(line, sizeof line, "%-9s %-18s %-20s %s\n", "INSTANCE", "DEVICE", "LOWER DRIVER", "DEVICE ID");
        result.out = line;
        for (const Present& p : present) {
            const std::string id = InstanceIdOf(machine, p.info.deviceName);
            std::snprintf(line, sizeof line, "%-9s %-18s %-20s %s\n", ("Zelkor" + std::to_string(p.number)).c_str(),
                          p.info.deviceName.c_str(), p.info.lowerDriver.c_str(), id.empty() ? "-" : id.c_str());
            result.out += line;
        }
    }
    if (present.empty() && result.exitCode == kExitOk) {
        result.exitCode = kExitNotLoaded;
        result.err += "zkctl: no Zelkor instance: " + NoInstanceReason(machine) + "\n";
    }
    return result;
}

Result Version(std::optional<unsigned> only, bool json, const Opener& open) {
    const std::string tool = "zkctl " + ToolVersion();
    for (unsigned number = only.value_or(1); number <= (only ? *only : kHighestInstance); ++number) {
        Reply failure;
        std::unique_ptr<Instance> instance = open(number, &failure);
        if (!instance) {
            if (only) return Failed(failure, number, "report its version");
            continue;
        }
        Result result;
        auto reply = Ask(*instance, number, ZK_REQUEST_VERSION, {}, "report its version", &result);
        if (!reply) return result;
        auto version = DecodeVersion(*reply);
        if (!version) return Malformed(number, "report its version");
        if (json)
            result.out = "{\"tool\": " + JsonText(tool) + ", \"instance\": " + std::to_string(number) +
                         ", \"interface\": " + std::to_string(*version) + "}\n";
        else
            result.out = tool + "\ndriver interface " + Hex(*version) + " (Zelkor" + std::to_string(number) + ")\n";
        return result;
    }
    // The tool's own version needs no driver.
    return {kExitOk,
            json ? "{\"tool\": " + JsonText(tool) + ", \"instance\": null}\n"
                 : tool + "\ndriver interface: unknown, no Zelkor instance is present\n",
            ""};
}

Result OpenFailed(const Reply& failure, unsigned number, const Opener& open, Machine* machine) {
    if (failure.failure != Failure::NoInstance) return Failed(failure, number, "open");
    Result ignored;
    const std::vector<Present> present = Instances(open, &ignored);
    if (present.empty())
        return {kExitNotLoaded, "",
                "zkctl: no instance Zelkor" + std::to_string(number) + ": " + NoInstanceReason(machine) + "\n"};
    return {kExitNoInstance, "",
            "zkctl: no instance Zelkor" + std::to_string(number) + " (" + failure.code +
                "); present: " + Names(present) + "\n"};
}

Result Name(unsigned number, const std::optional<std::string>& text, bool json, const Opener& open, Machine* machine) {
    Reply failure;
    std::unique_ptr<Instance> instance = open(number, &failure);
    if (!instance) return OpenFailed(failure, number, open, machine);
    Result result;
    auto infoReply = Ask(*instance, number, ZK_REQUEST_DEVICE_INFO, {}, "report its device", &result);
    if (!infoReply) return result;
    auto configReply = Ask(*instance, number, ZK_REQUEST_GET_CONFIG, {}, "report its configuration", &result);
    if (!configReply) return result;
    auto info = DecodeDeviceInfo(*infoReply);
    auto config = DecodeConfig(*configReply);
    if (!info || !config) return Malformed(number, "report its device");
    const std::string own = info->deviceName + "_Trailer";
    const std::string ownConfig = info->deviceName + "_Config";
    const bool hadConfig = machine != nullptr && machine->ReadValue(kSavedKey, ownConfig).has_value();
    if (!text) {
        // A value under the device's current name is its own; without the
        // machine's registry, any trailer but the built-in one counts.
        const bool hasOwn =
            machine != nullptr ? machine->ReadValue(kSavedKey, own).has_value() : config->trailer != kDefaultTrailer;
        if (hasOwn) {
            result.out = "Zelkor" + std::to_string(number) + " (" + info->deviceName +
                         ") has a trailer of its own: " + Quoted(config->trailer) + "; kept\n";
            return result;
        }
        // A trailer it brought from its PDO's name follows it to its new name.
        if (config->trailer == kDefaultTrailer || config->trailer == GlobalTrailer(machine))
            config->trailer = NameFor(number, *info, machine, open);
    } else {
        config->trailer = *text;
    }
    if (!Ask(*instance, number, ZK_REQUEST_SET_CONFIG, EncodeConfig(*config), "change its configuration", &result))
        return result;
    // The request stores the mask too; a device that followed the global
    // mask keeps following it.
    std::string error;
    if (machine != nullptr && !hadConfig) machine->DeleteValue(kSavedKey, ownConfig, &error);
    result.out = json ? ConfigJson(number, *config) + "\n"
                      : "Zelkor" + std::to_string(number) + " (" + info->deviceName + "): trailer " +
                            Quoted(config->trailer) + ", stored as " + Quoted(own) + "\n";
    return result;
}

Result Status(bool json, const Opener& open, Machine* machine) {
    Result result;
    const std::vector<Present> present = Instances(open, &result);
    std::vector<std::string> classes, attached;
    bool debug = false;
    if (machine != nullptr) {
        classes = FilteredClasses(*machine);
        attached = AttachedDevices(*machine);
        debug = DebugOutputOn(*machine);
    }
    if (json) {
        std::string devices;
        for (const Present& p : present)
            devices += std::string(devices.empty() ? "" : ", ") + "{\"instance\": " + std::to_string(p.number) +
                       ", \"deviceName\": " + JsonText(p.info.deviceName) + "}";
        result.out = "{\"service\": " + JsonUtf8(ServiceText(machine)) + ", \"instances\": [" + devices +
                     "], \"classes\": " + JsonList(classes) + ", \"devices\": " + JsonList(attached) +
                     ", \"debugOutput\": " + (debug ? "true" : "false") + "}\n";
        return result;
    }
    result.out = "service:      " + ServiceText(machine) + "\n";
    result.out += "instances:    " + std::to_string(present.size()) + "\n";
    for (const Present& p : present)
        result.out += "  Zelkor" + std::to_string(p.number) + "  " + p.info.deviceName + "\n";
    result.out += "classes:      " + Joined(classes) + "\n";
    result.out += "devices:      " + Joined(attached) + "\n";
    result.out += std::string("debug output: ") + (debug ? "on" : "off (zkctl debug-output on)") + "\n";
    if (machine != nullptr && machine->Service() == ServiceState::NotInstalled &&
        (!classes.empty() || !attached.empty()))
        result.out +=
            "warning: the filter is named where its service is missing; those devices will not start. "
            "Take it out (zkctl detach, or the INF's uninstall sections).\n";
    return result;
}

}  // namespace detail
}  // namespace zkctl
