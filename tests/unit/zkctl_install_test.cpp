// zkctl's installation commands on a made-up machine: attach and detach put
// the filter on one device and take it off again, leaving every other filter
// in its place and, where nobody else changed the list meanwhile, the value
// byte for byte as it was; debug-output does the same for its value.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "tools/zkctl/install.h"
#include "tools/zkctl/zkctl.h"

namespace {

using zkctl::RegValue;

class FakeMachine : public zkctl::Machine {
public:
    std::map<std::pair<std::string, std::string>, RegValue> values;
    std::map<std::string, std::optional<RegValue>> filters;  // device instance ID -> UpperFilters
    std::map<std::string, std::string> pdo;                  // device instance ID -> PDO name, where known
    std::map<std::string, std::string> classOf;              // device instance ID -> class GUID (USB's if not given)
    std::vector<std::string> restarted;
    std::set<std::string> keys;  // keys that exist without values

    std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override {
        auto it = values.find({key, name});
        return it == values.end() ? std::nullopt : std::optional<RegValue>(it->second);
    }
    bool WriteValue(const std::string& key, const std::string& name, const RegValue& value,
                    std::string* error) override {
        if (standardUser) {
            *error = kDenied;
            return false;
        }
        keys.insert(key);
        values[{key, name}] = value;
        return true;
    }
    bool DeleteValue(const std::string& key, const std::string& name, std::string*) override {
        values.erase({key, name});
        return true;
    }
    bool KeyExists(const std::string& key) override {
        if (key == zkctl::kServiceKey) return serviceInstalled;
        for (const auto& [slot, value] : values)
            if (slot.first == key) return true;
        return keys.count(key) != 0;
    }
    bool DeleteKeyIfEmpty(const std::string& key) override {
        for (const auto& [slot, value] : values)
            if (slot.first == key) return false;
        keys.erase(key);
        return true;
    }
    std::vector<zkctl::DeviceEntry> Devices() override {
        std::vector<zkctl::DeviceEntry> devices;
        for (const auto& [id, value] : filters)
            devices.push_back({id, classOf.count(id) ? classOf[id] : "{36fc9e60-c465-11cf-8056-444553540000}",
                               "USB Mass Storage Device", pdo.count(id) ? pdo[id] : ""});
        return devices;
    }
    bool DeviceFilters(const std::string& id, std::optional<RegValue>* value) override {
        auto it = filters.find(id);
        if (it == filters.end()) return false;
        *value = it->second;
        return true;
    }
    bool SetDeviceFilters(const std::string& id, const std::optional<RegValue>& value, std::string*) override {
        filters[id] = value;
        return true;
    }
    zkctl::Restart RestartDevice(const std::string& id) override {
        restarted.push_back(id);
        return zkctl::Restart::NeedsReboot;
    }
    zkctl::ServiceState Service() override {
        return serviceInstalled ? zkctl::ServiceState::Stopped : zkctl::ServiceState::NotInstalled;
    }
    bool serviceInstalled = true;
    bool standardUser = false;  // every change is refused, as for a prompt that is not elevated
    static constexpr const char* kDenied = "Access is denied (access denied: run from an elevated prompt) [error 5]";
};

zkctl::Result Zkctl(FakeMachine& machine, std::vector<std::string> args) {
    return zkctl::Run(
        args,
        [](unsigned, zkctl::Reply* failure) {
            failure->failure = zkctl::Failure::NoInstance;
            return std::unique_ptr<zkctl::Instance>();
        },
        &machine);
}

RegValue Raw(std::u16string text) {
    RegValue value{zkctl::kRegMultiSz, std::vector<uint8_t>(text.size() * 2)};
    std::memcpy(value.data.data(), text.data(), value.data.size());
    return value;
}

const std::string kDevice = "USB\\VID_0781&PID_5567\\4C530001";

TEST(ZkctlInstall, AttachThenDetachLeavesEveryListAsItWas) {
    struct Case {
        const char* name;
        std::optional<RegValue> before;
        std::vector<std::string> attached;  // the list while attached
    };
    const Case cases[] = {
        {"no value", std::nullopt, {"zelkor"}},
        {"an empty list", Raw(std::u16string(u"\0", 1)), {"zelkor"}},
        {"one filter", Raw(std::u16string(u"PartMgr\0\0", 9)), {"PartMgr", "zelkor"}},
        {"two filters", Raw(std::u16string(u"a\0b\0\0", 5)), {"a", "b", "zelkor"}},
        // Bytes no tool would write: an extra NUL, and text after the end.
        {"odd bytes", Raw(std::u16string(u"a\0\0\0junk", 8)), {"a", "zelkor"}},
        {"another type", RegValue{zkctl::kRegBinary, {1, 2, 3}}, {"zelkor"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMachine machine;
        machine.filters[kDevice] = c.before;
        const auto valuesBefore = machine.values;

        zkctl::Result attach = Zkctl(machine, {"attach", kDevice});
        EXPECT_EQ(attach.exitCode, zkctl::kExitOk) << attach.err;
        EXPECT_EQ(zkctl::MultiSzEntries(machine.filters[kDevice]), c.attached);
        EXPECT_NE(attach.out.find("takes effect when Windows restarts"), std::string::npos) << attach.out;
        EXPECT_EQ(Zkctl(machine, {"attach", kDevice}).out, kDevice + ": the filter is attached already.\n");

        zkctl::Result detach = Zkctl(machine, {"detach", kDevice});
        EXPECT_EQ(detach.exitCode, zkctl::kExitOk) << detach.err;
        EXPECT_EQ(machine.filters[kDevice], c.before);
        EXPECT_EQ(machine.values, valuesBefore);
        EXPECT_EQ(machine.restarted.size(), 2u);
    }
}

TEST(ZkctlInstall, DetachKeepsWhatOthersChangedAndTakesEveryCopyOfOurName) {
    FakeMachine machine;
    machine.filters[kDevice] = Raw(std::u16string(u"a\0\0", 3));
    Zkctl(machine, {"attach", kDevice});
    // Another filter installed on top of ours meanwhile.
    machine.filters[kDevice] = zkctl::MultiSz({"a", "zelkor", "b"});
    Zkctl(machine, {"detach", kDevice});
    EXPECT_EQ(zkctl::MultiSzEntries(machine.filters[kDevice]), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(machine.values.empty());

    // Named twice (by hand, say) and never attached by zkctl: both go.
    machine.filters[kDevice] = zkctl::MultiSz({"ZELKOR", "a", "zelkor"});
    EXPECT_EQ(Zkctl(machine, {"detach", kDevice}).exitCode, zkctl::kExitOk);
    EXPECT_EQ(zkctl::MultiSzEntries(machine.filters[kDevice]), std::vector<std::string>{"a"});
    EXPECT_EQ(Zkctl(machine, {"detach", kDevice}).out, kDevice + ": the filter is not attached to this device.\n");
}

TEST(ZkctlInstall, RefusalsAndStatus) {
    FakeMachine machine;
    machine.filters[kDevice] = std::nullopt;
    EXPECT_EQ(Zkctl(machine, {"attach", "USB\\NOPE"}).exitCode, zkctl::kExitNoInstance);
    EXPECT_EQ(Zkctl(machine, {"attach"}).exitCode, zkctl::kExitBadArgument);
    EXPECT_EQ(Zkctl(machine, {"devices", "printer"}).exitCode, zkctl::kExitBadArgument);
    EXPECT_EQ(zkctl::Run({"attach", kDevice}, {}).exitCode, zkctl::kExitFailed);  // not on Windows

    machine.values[{std::string(zkctl::kClassRoot) + "\\{4d36e967-e325-11ce-bfc1-08002be10318}", "UpperFilters"}] =
        zkctl::MultiSz({"PartMgr", "zelkor"});
    Zkctl(machine, {"attach", kDevice});
    EXPECT_EQ(Zkctl(machine, {"status", "--json"}).out,
              "{\"service\": \"installed, stopped\", \"instances\": [], \"classes\": [\"disk\"], \"devices\": [\"" +
                  std::string("USB\\\\VID_0781&PID_5567\\\\4C530001") + "\"], \"debugOutput\": false}\n");
    // No instance, and why; "list" fails as "sc query" does for a stopped service.
    const zkctl::Result list = Zkctl(machine, {"list"});
    EXPECT_EQ(list.exitCode, zkctl::kExitNotLoaded);
    EXPECT_NE(list.err.find("installed but not running"), std::string::npos) << list.err;
    EXPECT_EQ(Zkctl(machine, {"devices", "usb"}).out, kDevice + "\n    usb, USB Mass Storage Device, attached\n");

    // Named where the service is gone: the devices would not start.
    machine.serviceInstalled = false;
    EXPECT_NE(Zkctl(machine, {"status"}).out.find("warning: the filter is named where its service is missing"),
              std::string::npos);
    EXPECT_EQ(Zkctl(machine, {"attach", kDevice}).exitCode, zkctl::kExitFailed);
    EXPECT_EQ(Zkctl(machine, {"detach", kDevice}).exitCode, zkctl::kExitOk);
}

TEST(ZkctlInstall, AttachNamesTheDeviceAndWarnsWhereItsClassIsFiltered) {
    FakeMachine machine;
    const std::string other = "USB\\VID_0781&PID_5567\\0000";
    const std::string disk = "SCSI\\DISK&VEN_ZK\\1";
    machine.filters[other] = std::nullopt;
    machine.filters[kDevice] = std::nullopt;
    machine.filters[disk] = std::nullopt;
    machine.pdo[kDevice] = "\\Device\\USBPDO-3";
    machine.pdo[disk] = "\\Device\\00000062";
    machine.classOf[disk] = "{4d36e967-e325-11ce-bfc1-08002be10318}";
    const std::pair<std::string, std::string> trailer{zkctl::kSavedKey, "USBPDO-3_Trailer"};
    const auto valuesBefore = machine.values;

    // The second USB device by its ID: "usb2> ", as the device's own value;
    // detach takes exactly that away.
    EXPECT_NE(Zkctl(machine, {"ATTACH", kDevice}).out.find("trailer: \"usb2> \" (USBPDO-3_Trailer)"),
              std::string::npos);
    EXPECT_EQ(machine.values[trailer],
              (RegValue{zkctl::kRegSz, {'u', 0, 's', 0, 'b', 0, '2', 0, '>', 0, ' ', 0, 0, 0}}));
    Zkctl(machine, {"detach", kDevice});
    EXPECT_EQ(machine.values, valuesBefore);
    // A trailer someone chose is kept, and stays after detach.
    machine.values[trailer] = RegValue{zkctl::kRegSz, {'x', 0, 0, 0}};
    EXPECT_NE(Zkctl(machine, {"attach", kDevice}).out.find("trailer: its own, kept"), std::string::npos);
    Zkctl(machine, {"detach", kDevice});
    EXPECT_EQ(machine.values[trailer], (RegValue{zkctl::kRegSz, {'x', 0, 0, 0}}));

    // The disks' class carries the filter: attach warns and changes nothing,
    // unless forced.
    machine.values[{std::string(zkctl::kClassRoot) + "\\{4d36e967-e325-11ce-bfc1-08002be10318}", "UpperFilters"}] =
        zkctl::MultiSz({"zelkor"});
    const auto classFiltered = machine.values;
    const zkctl::Result refused = Zkctl(machine, {"attach", disk});
    EXPECT_EQ(refused.exitCode, zkctl::kExitFailed);
    EXPECT_NE(refused.err.find("warning: the disk class carries the filter already"), std::string::npos);
    EXPECT_EQ(machine.values, classFiltered);
    EXPECT_EQ(machine.filters[disk], std::nullopt);
    EXPECT_EQ(Zkctl(machine, {"attach", disk, "--force"}).exitCode, zkctl::kExitOk);
    EXPECT_EQ(zkctl::MultiSzEntries(machine.filters[disk]), std::vector<std::string>{"zelkor"});
    Zkctl(machine, {"detach", disk});

    // A disk may hold Windows: without a boot-start service attach refuses.
    machine.values.erase({std::string(zkctl::kClassRoot) + "\\{4d36e967-e325-11ce-bfc1-08002be10318}", "UpperFilters"});
    machine.values[{zkctl::kServiceKey, "Start"}] = RegValue{zkctl::kRegDword, {3, 0, 0, 0}};
    const zkctl::Result demand = Zkctl(machine, {"attach", disk});
    EXPECT_EQ(demand.exitCode, zkctl::kExitFailed);
    EXPECT_NE(demand.err.find("Windows would not start"), std::string::npos) << demand.err;
    EXPECT_EQ(machine.filters[disk], std::nullopt);
    machine.values[{zkctl::kServiceKey, "Start"}] = RegValue{zkctl::kRegDword, {0, 0, 0, 0}};
    EXPECT_EQ(Zkctl(machine, {"attach", disk}).exitCode, zkctl::kExitOk);
}

TEST(ZkctlInstall, ChangesFromAPromptThatIsNotElevatedSaySoAndChangeNothing) {
    FakeMachine machine;
    machine.filters[kDevice] = std::nullopt;
    machine.standardUser = true;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"attach", kDevice}, std::vector<std::string>{"debug-output", "on"}}) {
        const zkctl::Result result = Zkctl(machine, args);
        EXPECT_EQ(result.exitCode, zkctl::kExitAccessDenied) << args[0];
        EXPECT_NE(result.err.find("run from an elevated prompt"), std::string::npos) << result.err;
    }
    EXPECT_TRUE(machine.values.empty());
    EXPECT_EQ(machine.filters[kDevice], std::nullopt);
}

TEST(ZkctlInstall, DebugOutputOffPutsBackWhatWasThere) {
    const std::pair<std::string, std::string> slot{zkctl::kDebugFilterKey, "DEFAULT"};
    for (const std::optional<RegValue>& before :
         {std::optional<RegValue>(), std::optional<RegValue>(RegValue{zkctl::kRegDword, {8, 0, 0, 0}})}) {
        FakeMachine machine;
        if (before) machine.values[slot] = *before;
        const auto valuesBefore = machine.values;
        const bool keyBefore = machine.KeyExists(zkctl::kDebugFilterKey);
        EXPECT_EQ(Zkctl(machine, {"debug-output", "on"}).exitCode, zkctl::kExitOk);
        EXPECT_EQ(machine.values[slot], (RegValue{zkctl::kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}}));
        EXPECT_NE(Zkctl(machine, {"status"}).out.find("debug output: on"), std::string::npos);
        Zkctl(machine, {"debug-output", "on"});  // twice: the first value is the one kept
        EXPECT_EQ(Zkctl(machine, {"debug-output", "off"}).exitCode, zkctl::kExitOk);
        EXPECT_EQ(machine.values, valuesBefore);
        EXPECT_EQ(machine.KeyExists(zkctl::kDebugFilterKey), keyBefore);
    }
}

}  // namespace
