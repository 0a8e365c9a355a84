// The machine zkctl's installation commands work on, as Windows has it: the
// registry under HKEY_LOCAL_MACHINE (64-bit view) and the device tree through
// SetupAPI.
#include "tools/zkctl/machine_windows.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>

namespace zkctl {
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string SystemText(DWORD error) {
    wchar_t* message = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = message ? Utf8(message) : "";
    LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    if (error == ERROR_ACCESS_DENIED) text += " (access denied: run from an elevated prompt)";
    char code[32];
    std::snprintf(code, sizeof code, " [error %lu]", static_cast<unsigned long>(error));
    return text + code;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

constexpr REGSAM kView = KEY_WOW64_64KEY;
// MAX_DEVICE_ID_LEN of cfgmgr32.h.
constexpr DWORD kMaxDeviceId = 200;

// One device opened by its instance ID; closes itself.
class OpenDevice {
public:
    explicit OpenDevice(const std::string& id) : set_(SetupDiCreateDeviceInfoList(nullptr, nullptr)) {
        data_.cbSize = sizeof data_;
        ok_ =
            set_ != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(set_, Wide(id).c_str(), nullptr, 0, &data_) != FALSE;
    }
    ~OpenDevice() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    bool Ok() const { return ok_; }
    HDEVINFO Set() const { return set_; }
    SP_DEVINFO_DATA* Data() { return &data_; }

private:
    HDEVINFO set_;
    SP_DEVINFO_DATA data_{};
    bool ok_ = false;
};

}  // namespace

std::optional<RegValue> WindowsMachine::ReadValue(const std::string& key, const std::string& name) {
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_QUERY_VALUE | kView, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring wideName = Wide(name);
    DWORD type = 0, size = 0;
    std::optional<RegValue> value;
    if (RegQueryValueExW(handle, wideName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        RegValue read{type, std::vector<uint8_t>(size)};
        if (RegQueryValueExW(handle, wideName.c_str(), nullptr, &type, read.data.data(), &size) == ERROR_SUCCESS) {
            read.data.resize(size);
            value = read;
        }
    }
    RegCloseKey(handle);
    return value;
}

bool WindowsMachine::WriteValue(const std::string& key, const std::string& name, const RegValue& value,
                                std::string* error) {
    HKEY handle;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                                  &handle, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(handle, Wide(name).c_str(), 0, value.type, value.data.data(),
                                static_cast<DWORD>(value.data.size()));
        RegCloseKey(handle);
    }
    if (status != ERROR_SUCCESS) *error = SystemText(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

bool WindowsMachine::DeleteValue(const std::string& key, const std::string& name, std::string* error) {
    HKEY handle;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_SET_VALUE | kView, &handle);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(handle, Wide(name).c_str());
        RegCloseKey(handle);
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        *error = SystemText(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

bool WindowsMachine::KeyExists(const std::string& key) {
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_QUERY_VALUE | kView, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

bool WindowsMachine::DeleteKeyIfEmpty(const std::string& key) {
    HKEY handle;
    std::wstring wide = Wide(key);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, KEY_QUERY_VALUE | kView, &handle) != ERROR_SUCCESS)
        return true;
    DWORD subkeys = 0, values = 0;
    LONG status = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || subkeys != 0 || values != 0) return false;
    return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), kView, 0) == ERROR_SUCCESS;
}

std::vector<DeviceEntry> WindowsMachine::Devices() {
    std::vector<DeviceEntry> devices;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return devices;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        wchar_t id[kMaxDeviceId];
        if (!SetupDiGetDeviceInstanceIdW(set, &data, id, kMaxDeviceId, nullptr)) continue;
        wchar_t text[512] = L"";
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<BYTE*>(text),
                                               sizeof text - sizeof(wchar_t), nullptr))
            SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, &type, reinterpret_cast<BYTE*>(text),
                                              sizeof text - sizeof(wchar_t), nullptr);
        wchar_t pdo[256] = L"";
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, &type,
                                          reinterpret_cast<BYTE*>(pdo), sizeof pdo - sizeof(wchar_t), nullptr);
        devices.push_back({Utf8(id), GuidText(data.ClassGuid), Utf8(text), Utf8(pdo)});
    }
    SetupDiDestroyDeviceInfoList(set);
    return devices;
}

bool WindowsMachine::DeviceFilters(const std::string& instanceId, std::optional<RegValue>* value) {
    OpenDevice device(instanceId);
    if (!device.Ok()) return false;
    DWORD type = 0, size = 0;
    value->reset();
    SetupDiGetDeviceRegistryPropertyW(device.Set(), device.Data(), SPDRP_UPPERFILTERS, &type, nullptr, 0, &size);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return true;  // ERROR_INVALID_DATA: the device has no such property
    RegValue read{type, std::vector<uint8_t>(size)};
    if (SetupDiGetDeviceRegistryPropertyW(device.Set(), device.Data(), SPDRP_UPPERFILTERS, &type, read.data.data(),
                                          size, &size)) {
        read.data.resize(size);
        *value = read;
    }
    return true;
}

bool WindowsMachine::SetDeviceFilters(const std::string& instanceId, const std::optional<RegValue>& value,
                                      std::string* error) {
    OpenDevice device(instanceId);
    if (!device.Ok()) {
        *error = SystemText(GetLastError());
        return false;
    }
    BOOL ok = value ? SetupDiSetDeviceRegistryPropertyW(device.Set(), device.Data(), SPDRP_UPPERFILTERS,
                                                        value->data.data(), static_cast<DWORD>(value->data.size()))
                    : SetupDiSetDeviceRegistryPropertyW(device.Set(), device.Data(), SPDRP_UPPERFILTERS, nullptr, 0);
    if (!ok) *error = SystemText(GetLastError());
    return ok != FALSE;
}

Restart WindowsMachine::RestartDevice(const std::string& instanceId) {
    OpenDevice device(instanceId);
    if (!device.Ok()) return Restart::Failed;
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_CONFIGSPECIFIC;
    change.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(device.Set(), device.Data(), &change.ClassInstallHeader, sizeof change) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, device.Set(), device.Data()))
        return Restart::Failed;
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsW(device.Set(), device.Data(), &params) &&
        (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
        return Restart::NeedsReboot;
    return Restart::Done;
}

ServiceState WindowsMachine::Service() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return ServiceState::Unknown;
    SC_HANDLE service = OpenServiceW(manager, Wide(kServiceName).c_str(), SERVICE_QUERY_STATUS);
    ServiceState state = ServiceState::Unknown;
    if (service == nullptr) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) state = ServiceState::NotInstalled;
    } else {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status))
            state = status.dwCurrentState == SERVICE_STOPPED ? ServiceState::Stopped : ServiceState::Running;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

}  // namespace zkctl
