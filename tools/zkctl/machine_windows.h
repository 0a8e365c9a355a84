// The Windows machine for zkctl's installation commands.
#pragma once
#include "tools/zkctl/install.h"

namespace zkctl {

class WindowsMachine : public Machine {
public:
    std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override;
    bool WriteValue(const std::string& key, const std::string& name, const RegValue& value,
                    std::string* error) override;
    bool DeleteValue(const std::string& key, const std::string& name, std::string* error) override;
    bool KeyExists(const std::string& key) override;
    bool DeleteKeyIfEmpty(const std::string& key) override;
    std::vector<DeviceEntry> Devices() override;
    bool DeviceFilters(const std::string& instanceId, std::optional<RegValue>* value) override;
    bool SetDeviceFilters(const std::string& instanceId, const std::optional<RegValue>& value,
                          std::string* error) override;
    Restart RestartDevice(const std::string& instanceId) override;
    ServiceState Service() override;
};

}  // namespace zkctl
