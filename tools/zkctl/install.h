// zkctl's installation commands: the filter on one device (attach, detach),
// what can be attached to (classes, devices), where the filter is (status),
// and the Debug Print Filter value without which Windows shows none of the
// driver's text (debug-output). The logic lives here and works on a Machine:
// the Windows program's is the real registry and device tree, the tests'
// is made up. Every change it makes can be taken back byte for byte: what a
// value held before attach (or debug-output on) is kept under the service's
// key and put back by detach (or debug-output off).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zkctl {

struct Result;

// A registry value as stored: its type and its bytes.
struct RegValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const RegValue&) const = default;
};

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

struct DeviceEntry {
    std::string instanceId;  // USB\VID_0781&PID_5567\4C530001
    std::string classGuid;   // {36fc9e60-c465-11cf-8056-444553540000}, lower case
    std::string description;
    std::string pdoName;  // \Device\USBPDO-3; empty when unknown
};

enum class ServiceState {
    NotInstalled,
    Stopped,  // installed, not running: no device it filters has started
    Running,
    Unknown,  // the service manager would not say
};

enum class Restart {
    Done,         // the device was restarted and has the change now
    NeedsReboot,  // Windows could not restart it: the change comes with the next boot
    Failed,       // the restart failed; the change comes with the device's next start
};

// What the commands need of the machine. Keys are relative to
// HKEY_LOCAL_MACHINE. A failing call sets *error to the system's reason.
class Machine {
public:
    virtual ~Machine() = default;
    virtual std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) = 0;
    virtual bool WriteValue(const std::string& key, const std::string& name, const RegValue& value,
                            std::string* error) = 0;
    // Deleting a value that is not there succeeds.
    virtual bool DeleteValue(const std::string& key, const std::string& name, std::string* error) = 0;
    virtual bool KeyExists(const std::string& key) = 0;
    // Deletes the key if it holds no value and no subkey; true when it is gone.
    virtual bool DeleteKeyIfEmpty(const std::string& key) = 0;

    // The devices present.
    virtual std::vector<DeviceEntry> Devices() = 0;
    // A device's own UpperFilters property; nullopt when the device has none.
    // False when there is no such device.
    virtual bool DeviceFilters(const std::string& instanceId, std::optional<RegValue>* value) = 0;
    // Writes the property, or deletes it for nullopt.
    virtual bool SetDeviceFilters(const std::string& instanceId, const std::optional<RegValue>& value,
                                  std::string* error) = 0;
    virtual Restart RestartDevice(const std::string& instanceId) = 0;
    // The zelkor service's state, as the service manager reports it.
    virtual ServiceState Service() = 0;
};

// The driver's service.
constexpr const char* kServiceName = "zelkor";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\zelkor";
// Where attach and debug-output keep what they changed.
constexpr const char* kSavedKey = "SYSTEM\\CurrentControlSet\\Services\\zelkor\\Parameters";
constexpr const char* kClassRoot = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr const char* kDebugFilterKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Debug Print Filter";

// The device setup classes the INF installs the filter for.
struct DeviceClass {
    const char* name;  // as zkctl and the INF's sections name it
    const char* guid;
    const char* title;
};
const std::vector<DeviceClass>& DeviceClasses();

// ---------------------------------------------------------------------------
// REG_MULTI_SZ lists, as UTF-16LE strings. The parser reads what Windows
// reads: strings up to the first empty one; a value of another type has no
// entries.
std::vector<std::string> MultiSzEntries(const std::optional<RegValue>& value);
RegValue MultiSz(const std::vector<std::string>& entries);
bool NamesFilter(const std::vector<std::string>& entries);

// The value attach writes: the list with our name appended, unless it is
// there already (nullopt: nothing to change).
std::optional<RegValue> WithFilter(const std::optional<RegValue>& value);
// The value detach writes: the one saved at attach, when the list is
// otherwise as attach left it; else the list without our name (nullopt,
// to delete the value, when nothing is left of a value that did not exist).
std::optional<RegValue> WithoutFilter(const std::optional<RegValue>& value,
                                      const std::optional<std::optional<RegValue>>& saved);

// The saved form of a value that may not exist: a REG_BINARY of one byte
// (0: absent; 1: present), then the type (4 bytes) and the data.
RegValue SaveForm(const std::optional<RegValue>& value);
std::optional<std::optional<RegValue>> FromSaveForm(const std::optional<RegValue>& saved);

// The commands: attach ID, detach ID, classes, devices [CLASS],
// debug-output on|off (status, which needs the instances too, is zkctl's).
// attach refuses a device whose class carries the filter already, unless
// force is set.
bool IsInstallCommand(const std::string& verb);
Result RunInstall(const std::vector<std::string>& positional, bool json, bool force, Machine* machine);
std::string InstallUsage();

// Where the filter is installed, for status: the classes that name it and
// the devices whose own list does.
std::vector<std::string> FilteredClasses(Machine& machine);
std::vector<std::string> AttachedDevices(Machine& machine);
bool DebugOutputOn(Machine& machine);

// The trailer attach gives a device: its class's short name and the first
// number no stored trailer uses ("usb1> ", "disk2> ").
std::string DerivedTrailer(Machine& machine, const DeviceEntry& device);
// The configuration name the driver gives a device: its PDO's last component.
std::string ConfigName(const std::string& pdoName);

}  // namespace zkctl
