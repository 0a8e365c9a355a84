#include "tools/zkctl/install.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "tools/zkctl/zkctl.h"

namespace zkctl {
namespace {

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Names in these lists are service names: ASCII on every system we know of.
// Other characters are kept as '?' for display only; a list is never
// rewritten from its display form (attach and detach work on the bytes).
std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

Result Done(std::string out) { return {kExitOk, std::move(out), ""}; }

Result Refuse(int code, const std::string& why) { return {code, "", "zkctl: " + why + "\n"}; }

// A change the system refused: access denied has an exit code of its own.
int ExitFor(const std::string& error) {
    return error.find("access denied") != std::string::npos ? kExitAccessDenied : kExitFailed;
}

Result BadUse(const std::string& why) { return {kExitBadArgument, "", "zkctl: " + why + "\nTry 'zkctl --help'.\n"}; }

std::string SavedName(const std::string& instanceId) { return "Attached " + instanceId; }
constexpr const char* kSavedDebugFilter = "DebugPrintFilter DEFAULT";
// Present when debug-output on made the Debug Print Filter key itself.
constexpr const char* kSavedDebugFilterKey = "DebugPrintFilter key made";

std::string Joined(const std::vector<std::string>& items) {
    if (items.empty()) return "(none)";
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? " " : "") + items[i];
    return text;
}

const DeviceClass* FindClass(const std::string& word) {
    for (const DeviceClass& c : DeviceClasses())
        if (SameName(word, c.name) || SameName(word, c.guid)) return &c;
    return nullptr;
}

std::string ClassNameOf(const std::string& guid) {
    for (const DeviceClass& c : DeviceClasses())
        if (SameName(guid, c.guid)) return c.name;
    return "";
}

std::string RestartText(Restart restart) {
    switch (restart) {
    case Restart::Done:
        return "the device was restarted: the change is in effect.\n";
    case Restart::NeedsReboot:
        return "Windows cannot restart the device now: the change takes effect when Windows restarts.\n";
    case Restart::Failed:
        break;
    }
    return "the device could not be restarted: the change takes effect when it next starts "
           "(unplug it, or restart Windows).\n";
}

bool ServiceInstalled(Machine& machine) { return machine.KeyExists(kServiceKey); }

// ---------------------------------------------------------------------------
// The commands

std::optional<DeviceEntry> FindDevice(Machine& machine, const std::string& id) {
    for (const DeviceEntry& d : machine.Devices())
        if (SameName(d.instanceId, id)) return d;
    return std::nullopt;
}

std::string NamedName(const std::string& instanceId) { return "Named " + instanceId; }

RegValue SzValue(const std::string& text) {
    std::u16string wide = Widen(text) + u'\0';
    RegValue value{kRegSz, std::vector<uint8_t>(wide.size() * 2)};
    std::memcpy(value.data.data(), wide.data(), value.data.size());
    return value;
}

// Gives the device a trailer of its own unless it has one; what was written
// is noted so that detach can take exactly that away.
std::string NameDevice(Machine& machine, const DeviceEntry& device) {
    const std::string config = ConfigName(device.pdoName);
    if (config.empty() || ClassNameOf(device.classGuid).empty()) return "";
    const std::string value = config + "_Trailer";
    if (const auto existing = machine.ReadValue(kSavedKey, value)) return "trailer: its own, kept (" + value + ")\n";
    const std::string trailer = DerivedTrailer(machine, device);
    std::string error;
    const std::string note = value + '\n' + trailer;
    if (!machine.WriteValue(kSavedKey, NamedName(device.instanceId), RegValue{kRegBinary, {note.begin(), note.end()}},
                            &error) ||
        !machine.WriteValue(kSavedKey, value, SzValue(trailer), &error))
        return "trailer: not set (" + error + ")\n";
    return "trailer: \"" + trailer + "\" (" + value + ")\n";
}

void UnnameDevice(Machine& machine, const std::string& id) {
    const auto named = machine.ReadValue(kSavedKey, NamedName(id));
    if (!named) return;
    const std::string note(named->data.begin(), named->data.end());
    const size_t newline = note.find('\n');
    std::string error;
    if (newline != std::string::npos) {
        const std::string value = note.substr(0, newline);
        const auto stored = machine.ReadValue(kSavedKey, value);
        // Only what attach wrote, unchanged since.
        if (stored && *stored == SzValue(note.substr(newline + 1))) machine.DeleteValue(kSavedKey, value, &error);
    }
    machine.DeleteValue(kSavedKey, NamedName(id), &error);
}

Result Attach(Machine& machine, const std::string& id, bool force) {
    if (!ServiceInstalled(machine))
        return Refuse(kExitFailed, "the zelkor service is not installed: install it first (docs/windows.md)");
    std::optional<RegValue> current;
    if (!machine.DeviceFilters(id, &current))
        return Refuse(kExitNoInstance, "no device " + id + " (zkctl devices lists them)");
    const std::optional<DeviceEntry> device = FindDevice(machine, id);
    if (device && !force) {
        const std::string className = ClassNameOf(device->classGuid);
        const auto classFilters =
            MultiSzEntries(machine.ReadValue(std::string(kClassRoot) + "\\" + device->classGuid, "UpperFilters"));
        if (NamesFilter(classFilters))
            return Refuse(kExitFailed, "warning: the " + className + " class carries the filter already, so " + id +
                                           " is filtered without attach; attaching it too would put a second "
                                           "instance in its stack. Nothing changed (--force attaches anyway).");
        // A drive Windows starts from needs its filters loaded with the boot drivers.
        const auto start = machine.ReadValue(kServiceKey, "Start");
        const bool bootStart = start && start->type == kRegDword && start->data == std::vector<uint8_t>{0, 0, 0, 0};
        if ((className == "disk" || className == "cdrom") && !bootStart)
            return Refuse(kExitFailed,
                          "warning: the zelkor service does not start with the boot drivers, and a "
                          "drive Windows starts from needs its filters then: if " +
                              id +
                              " holds Windows, Windows would not start. Nothing changed: make the "
                              "service a boot driver first (sc config zelkor start= boot), or give "
                              "--force for a drive Windows does not start from.");
    }
    std::optional<RegValue> next = WithFilter(current);
    if (!next) return Done(id + ": the filter is attached already.\n");
    std::string error;
    // What was there is kept first, so that a detach can always put it back.
    if (!machine.WriteValue(kSavedKey, SavedName(id), SaveForm(current), &error))
        return Refuse(ExitFor(error), "cannot keep the device's filter list: " + error);
    if (!machine.SetDeviceFilters(id, next, &error)) {
        machine.DeleteValue(kSavedKey, SavedName(id), &error);
        return Refuse(ExitFor(error), "cannot change the device's filter list: " + error);
    }
    const std::string named = device ? NameDevice(machine, *device) : "";
    return Done(id + ": filter attached (UpperFilters: " + Joined(MultiSzEntries(next)) + ");\n" + named +
                RestartText(machine.RestartDevice(id)));
}

Result Detach(Machine& machine, const std::string& id) {
    std::optional<RegValue> current;
    if (!machine.DeviceFilters(id, &current))
        return Refuse(kExitNoInstance, "no device " + id + " (zkctl devices lists them)");
    const std::optional<RegValue> savedValue = machine.ReadValue(kSavedKey, SavedName(id));
    const auto saved = FromSaveForm(savedValue);
    std::string error;
    UnnameDevice(machine, id);
    if (!NamesFilter(MultiSzEntries(current))) {
        if (savedValue) machine.DeleteValue(kSavedKey, SavedName(id), &error);
        return Done(id + ": the filter is not attached to this device.\n");
    }
    const std::optional<RegValue> next = WithoutFilter(current, saved);
    if (!machine.SetDeviceFilters(id, next, &error))
        return Refuse(ExitFor(error), "cannot change the device's filter list: " + error);
    machine.DeleteValue(kSavedKey, SavedName(id), &error);
    return Done(id +
                ": filter detached (UpperFilters: " + (next ? Joined(MultiSzEntries(next)) : std::string("no value")) +
                ");\n" + RestartText(machine.RestartDevice(id)));
}

struct ClassState {
    const DeviceClass* cls;
    std::vector<std::string> filters;
    bool ours;
};

std::vector<ClassState> ClassStates(Machine& machine) {
    std::vector<ClassState> states;
    for (const DeviceClass& c : DeviceClasses()) {
        auto filters = MultiSzEntries(machine.ReadValue(std::string(kClassRoot) + "\\" + c.guid, "UpperFilters"));
        states.push_back({&c, filters, NamesFilter(filters)});
    }
    return states;
}

Result Classes(Machine& machine, bool json) {
    std::string out = json ? "[" : "";
    bool first = true;
    for (const ClassState& s : ClassStates(machine)) {
        if (json) {
            out += std::string(first ? "" : ", ") + "{\"class\": " + JsonUtf8(s.cls->name) +
                   ", \"guid\": " + JsonUtf8(s.cls->guid) + ", \"title\": " + JsonUtf8(s.cls->title) +
                   ", \"filtered\": " + (s.ours ? "true" : "false") + ", \"upperFilters\": " + JsonList(s.filters) +
                   "}";
        } else {
            char line[160];
            std::snprintf(line, sizeof line, "%-9s %-38s %-12s %s\n", s.cls->name, s.cls->guid,
                          s.ours ? "filtered" : "-", Joined(s.filters).c_str());
            out += line;
        }
        first = false;
    }
    return Done(json ? out + "]\n" : out);
}

Result Devices(Machine& machine, const std::vector<std::string>& positional, bool json) {
    const DeviceClass* only = nullptr;
    if (positional.size() == 2) {
        only = FindClass(positional[1]);
        if (!only)
            return BadUse("unknown class '" + positional[1] + "': disk, cdrom, usb, ieee1394, keyboard or mouse");
    }
    std::vector<DeviceEntry> devices = machine.Devices();
    std::sort(devices.begin(), devices.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return a.instanceId < b.instanceId; });
    std::string out = json ? "[" : "";
    bool first = true;
    for (const DeviceEntry& d : devices) {
        std::string className = ClassNameOf(d.classGuid);
        if (className.empty() || (only && className != only->name)) continue;
        std::optional<RegValue> filters;
        machine.DeviceFilters(d.instanceId, &filters);
        const bool attached = NamesFilter(MultiSzEntries(filters));
        if (json) {
            out += std::string(first ? "" : ", ") + "{\"instanceId\": " + JsonUtf8(d.instanceId) +
                   ", \"class\": " + JsonUtf8(className) + ", \"description\": " + JsonUtf8(d.description) +
                   ", \"attached\": " + (attached ? "true" : "false") + "}";
        } else {
            out += d.instanceId + "\n    " + className + ", " + d.description + (attached ? ", attached" : "") + "\n";
        }
        first = false;
    }
    if (!json && first) out = "no devices of the classes zkctl knows are present\n";
    return Done(json ? out + "]\n" : out);
}

std::optional<uint32_t> DebugFilter(Machine& machine) {
    std::optional<RegValue> value = machine.ReadValue(kDebugFilterKey, "DEFAULT");
    if (!value || value->type != kRegDword || value->data.size() != 4) return std::nullopt;
    uint32_t mask;
    std::memcpy(&mask, value->data.data(), 4);
    return mask;
}

Result DebugOutput(Machine& machine, const std::vector<std::string>& positional) {
    if (positional.size() != 2 || (!SameName(positional[1], "on") && !SameName(positional[1], "off")))
        return BadUse("debug-output takes on or off");
    std::string error;
    const std::optional<RegValue> current = machine.ReadValue(kDebugFilterKey, "DEFAULT");
    const std::optional<RegValue> savedValue = machine.ReadValue(kSavedKey, kSavedDebugFilter);
    if (SameName(positional[1], "on")) {
        if (!ServiceInstalled(machine))
            return Refuse(kExitFailed, "the zelkor service is not installed: install it first (docs/windows.md)");
        if (!savedValue) {
            if (!machine.KeyExists(kDebugFilterKey) &&
                !machine.WriteValue(kSavedKey, kSavedDebugFilterKey, RegValue{kRegDword, {1, 0, 0, 0}}, &error))
                return Refuse(ExitFor(error), "cannot keep the current value: " + error);
            if (!machine.WriteValue(kSavedKey, kSavedDebugFilter, SaveForm(current), &error))
                return Refuse(ExitFor(error), "cannot keep the current value: " + error);
        }
        RegValue all{kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}};
        if (!machine.WriteValue(kDebugFilterKey, "DEFAULT", all, &error))
            return Refuse(ExitFor(error), "cannot set the Debug Print Filter: " + error);
        return Done(
            "debug output on: Windows passes DbgPrint text to debuggers and viewers "
            "after the next restart (a debugger can also set Kd_DEFAULT_Mask now).\n");
    }
    const auto saved = FromSaveForm(savedValue);
    bool ok;
    if (saved && *saved)
        ok = machine.WriteValue(kDebugFilterKey, "DEFAULT", **saved, &error);
    else
        ok = machine.DeleteValue(kDebugFilterKey, "DEFAULT", &error);
    if (!ok) return Refuse(ExitFor(error), "cannot put the Debug Print Filter back: " + error);
    if (machine.ReadValue(kSavedKey, kSavedDebugFilterKey)) {
        machine.DeleteKeyIfEmpty(kDebugFilterKey);
        machine.DeleteValue(kSavedKey, kSavedDebugFilterKey, &error);
    }
    machine.DeleteValue(kSavedKey, kSavedDebugFilter, &error);
    return Done(std::string("debug output off: the Debug Print Filter is ") +
                (saved && *saved ? "as it was before" : "removed, as before") + " (from the next restart).\n");
}

}  // namespace

std::vector<std::string> FilteredClasses(Machine& machine) {
    std::vector<std::string> classes;
    for (const ClassState& s : ClassStates(machine))
        if (s.ours) classes.push_back(s.cls->name);
    return classes;
}

std::vector<std::string> AttachedDevices(Machine& machine) {
    std::vector<std::string> attached;
    for (const DeviceEntry& d : machine.Devices()) {
        std::optional<RegValue> filters;
        if (machine.DeviceFilters(d.instanceId, &filters) && NamesFilter(MultiSzEntries(filters)))
            attached.push_back(d.instanceId);
    }
    std::sort(attached.begin(), attached.end());
    return attached;
}

bool DebugOutputOn(Machine& machine) {
    const std::optional<uint32_t> debug = DebugFilter(machine);
    return debug && (*debug & 0x8);  // DPFLTR_INFO_LEVEL, DbgPrint's level
}

std::string DerivedTrailer(Machine& machine, const DeviceEntry& device) {
    const std::string className = ClassNameOf(device.classGuid);
    std::vector<std::string> ids;
    for (const DeviceEntry& d : machine.Devices())
        if (ClassNameOf(d.classGuid) == className) ids.push_back(Lower(d.instanceId));
    std::sort(ids.begin(), ids.end());
    const auto at = std::find(ids.begin(), ids.end(), Lower(device.instanceId));
    const size_t number = at == ids.end() ? ids.size() + 1 : static_cast<size_t>(at - ids.begin()) + 1;
    return (className.empty() ? std::string("dev") : className) + std::to_string(number) + "> ";
}

std::string ConfigName(const std::string& pdoName) {
    const size_t slash = pdoName.rfind('\\');
    return slash == std::string::npos ? pdoName : pdoName.substr(slash + 1);
}

const std::vector<DeviceClass>& DeviceClasses() {
    static const std::vector<DeviceClass> classes = {
        {"disk", "{4d36e967-e325-11ce-bfc1-08002be10318}", "disk drives"},
        {"cdrom", "{4d36e965-e325-11ce-bfc1-08002be10318}", "CD-ROM drives"},
        {"usb", "{36fc9e60-c465-11cf-8056-444553540000}", "USB controllers and hubs"},
        {"ieee1394", "{6bdd1fc1-810f-11d0-bec7-08002be2092f}", "IEEE 1394 host controllers"},
        {"keyboard", "{4d36e96b-e325-11ce-bfc1-08002be10318}", "keyboards"},
        {"mouse", "{4d36e96f-e325-11ce-bfc1-08002be10318}", "mice"},
    };
    return classes;
}

std::vector<std::string> MultiSzEntries(const std::optional<RegValue>& value) {
    std::vector<std::string> entries;
    if (!value || value->type != kRegMultiSz) return entries;
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos) end = text.size();
        if (end == start) break;
        entries.push_back(Narrow(text.substr(start, end - start)));
        start = end + 1;
    }
    return entries;
}

RegValue MultiSz(const std::vector<std::string>& entries) {
    std::u16string text;
    for (const std::string& entry : entries)
        text += Widen(entry) + u'\0';
    text += u'\0';
    RegValue value{kRegMultiSz, std::vector<uint8_t>(text.size() * 2)};
    std::memcpy(value.data.data(), text.data(), value.data.size());
    return value;
}

bool NamesFilter(const std::vector<std::string>& entries) {
    return std::any_of(entries.begin(), entries.end(), [](const std::string& e) { return SameName(e, kServiceName); });
}

std::optional<RegValue> WithFilter(const std::optional<RegValue>& value) {
    std::vector<std::string> entries = MultiSzEntries(value);
    if (NamesFilter(entries)) return std::nullopt;
    entries.push_back(kServiceName);
    return MultiSz(entries);
}

std::optional<RegValue> WithoutFilter(const std::optional<RegValue>& value,
                                      const std::optional<std::optional<RegValue>>& saved) {
    std::vector<std::string> rest;
    for (const std::string& entry : MultiSzEntries(value))
        if (!SameName(entry, kServiceName)) rest.push_back(entry);
    if (saved) {
        // Untouched since attach: back to the very bytes (or no value).
        std::vector<std::string> before = MultiSzEntries(*saved);
        if (before == rest) return *saved;
    }
    if (rest.empty() && (!saved || !*saved)) return std::nullopt;
    return MultiSz(rest);
}

RegValue SaveForm(const std::optional<RegValue>& value) {
    RegValue saved{kRegBinary, {static_cast<uint8_t>(value ? 1 : 0)}};
    if (value) {
        for (int i = 0; i < 4; ++i)
            saved.data.push_back(static_cast<uint8_t>(value->type >> (8 * i)));
        saved.data.insert(saved.data.end(), value->data.begin(), value->data.end());
    }
    return saved;
}

std::optional<std::optional<RegValue>> FromSaveForm(const std::optional<RegValue>& saved) {
    if (!saved || saved->type != kRegBinary || saved->data.empty()) return std::nullopt;
    if (saved->data[0] == 0 && saved->data.size() == 1) return std::optional<RegValue>();
    if (saved->data[0] != 1 || saved->data.size() < 5) return std::nullopt;
    RegValue value;
    for (int i = 0; i < 4; ++i)
        value.type |= uint32_t{saved->data[1 + i]} << (8 * i);
    value.data.assign(saved->data.begin() + 5, saved->data.end());
    return std::optional<RegValue>(value);
}

bool IsInstallCommand(const std::string& verb) {
    return verb == "attach" || verb == "detach" || verb == "classes" || verb == "devices" || verb == "debug-output";
}

Result RunInstall(const std::vector<std::string>& positional, bool json, bool force, Machine* machine) {
    const std::string& verb = positional[0];
    if (machine == nullptr)
        return Refuse(kExitFailed, verb + " works on the Windows machine the filter is installed on");
    if (verb == "attach" || verb == "detach") {
        if (positional.size() != 2) return BadUse(verb + " needs one device instance ID (zkctl devices lists them)");
        return verb == "attach" ? Attach(*machine, positional[1], force) : Detach(*machine, positional[1]);
    }
    if (verb == "debug-output") return DebugOutput(*machine, positional);
    if (verb == "devices") {
        if (positional.size() > 2) return BadUse("devices takes at most a class");
        return Devices(*machine, positional, json);
    }
    if (positional.size() != 1) return BadUse(verb + " takes no arguments");
    return Classes(*machine, json);
}

std::string InstallUsage() {
    return "  classes                       the device classes the INF installs for, and their upper filters\n"
           "  devices [CLASS]               the devices present of those classes (disk, cdrom, usb,\n"
           "                                ieee1394, keyboard, mouse), and whether the filter is attached\n"
           "  attach ID [--force]           the filter on one device only (its own UpperFilters), with a\n"
           "                                trailer of its own (usb1> , disk2> ) unless it has one; the device\n"
           "                                is restarted where Windows allows, else the change waits for a reboot;\n"
           "                                refused where the device's class carries the filter already\n"
           "  detach ID                     the filter off that device; its list as it was before attach\n"
           "  debug-output on|off           the Debug Print Filter value that lets DbgPrint text through;\n"
           "                                off puts back what was there before on\n";
}

}  // namespace zkctl
