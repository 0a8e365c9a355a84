// What zkctl's command files share: the answers' forms, the failures'
// messages, and the commands that look at every instance present.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/zkctl/zkctl.h"

namespace zkctl {
class Machine;

namespace detail {

std::string Hex(uint32_t value, int digits = 0);
std::string Quoted(const std::string& text);
Result BadArgument(const std::string& why);
// The failure of a request or an open as the tool's message and exit code.
Result Failed(const Reply& reply, unsigned instance, const std::string& what);
Result Malformed(unsigned instance, const std::string& what);
// Sends one operation; the reply, or the tool's failure in *result.
std::optional<Reply> Ask(Instance& instance, unsigned number, unsigned operation, const std::vector<uint8_t>& data,
                         const std::string& what, Result* result);
std::string InfoJson(unsigned instance, const DeviceInfo& info, const std::string& instanceId);
std::string ConfigText(const Config& config);
std::string ConfigJson(unsigned instance, const Config& config);

// The device instance ID of the device a filter names (its PDO's name), or
// "" when the machine does not know it.
std::string InstanceIdOf(Machine* machine, const std::string& deviceName);

// An instance present, and what it reported.
struct Present {
    unsigned number;
    DeviceInfo info;
};
// Every instance present; failures to reach one are added to *errors.
std::vector<Present> Instances(const Opener& open, Result* errors);

Result List(bool json, const Opener& open, Machine* machine);
Result Version(std::optional<unsigned> instance, bool json, const Opener& open);
// The failure of opening instance N: no such instance, or no driver at all.
Result OpenFailed(const Reply& failure, unsigned number, const Opener& open, Machine* machine);
// zkctl name N [TEXT]: gives an instance's device a trailer of its own.
Result Name(unsigned number, const std::optional<std::string>& text, bool json, const Opener& open, Machine* machine);
// zkctl status: the service, the instances and where the filter is installed.
Result Status(bool json, const Opener& open, Machine* machine);

// Why no instance is present, as list and status say it.
std::string NoInstanceReason(Machine* machine);

}  // namespace detail
}  // namespace zkctl
