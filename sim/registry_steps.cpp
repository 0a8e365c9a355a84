#include "sim/registry_steps.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "sim/step_names.h"
#include "simkernel/core.h"
#include "simkernel/registry.h"
#include "simkernel/registry_store.h"

namespace scn {
namespace {

bool EndsWithNoCase(const std::string& text, const std::string& suffix)
{
    if (text.size() < suffix.size())
        return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<long>(suffix.size()),
                      [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

}  // namespace

void ApplyRegistryOverrides(const std::string& key, const RunOptions& options)
{
    if (!options.mask && !options.trailer)
        return;
    sim::RegistryStore& registry = sim::Registry();
    registry.CreateKey(key);
    for (const std::string& name : registry.ValueNames(key)) {
        if (options.mask && EndsWithNoCase(name, "_Config"))
            registry.DeleteValue(key, name);
        if (options.trailer && EndsWithNoCase(name, "_Trailer"))
            registry.DeleteValue(key, name);
    }
    if (options.mask)
        registry.SetDword(key, "Config", *options.mask);
    if (options.trailer)
        registry.SetString(key, "Trailer", std::string_view(*options.trailer));
}

std::string SetRegistryValue(const Step& step, const std::string& key)
{
    sim::RegistryStore& registry = sim::Registry();
    registry.CreateKey(key);
    const std::string& name = step.args[0];
    const std::string& type = step.args[1];
    if (type == "delete" && step.args.size() == 2) {
        registry.DeleteValue(key, name);
        return "";
    }
    if (step.args.size() != 3)
        return "expected: registry VALUE dword N | sz \"TEXT\" | delete";
    if (type == "dword") {
        auto number = ParseNumber(step.args[2]);
        if (!number || *number > 0xFFFFFFFFull)
            return "expected a 32-bit number, not '" + step.args[2] + "'";
        registry.SetDword(key, name, static_cast<uint32_t>(*number));
    } else if (type == "sz") {
        registry.SetString(key, name, std::string_view(step.args[2]));
    } else {
        return "unknown value type '" + type + "': expected dword, sz or delete";
    }
    return "";
}

std::string ExpectRegistryValue(const Step& step, const std::string& key)
{
    sim::RegistryStore& registry = sim::Registry();
    const std::string& name = step.args[0];
    const std::string& type = step.args[1];
    auto value = registry.GetValue(key, name);
    if (type == "absent") {
        if (value)
            return "value " + name + " exists";
        return "";
    }
    if (step.args.size() != 3)
        return "expected: expect-registry VALUE dword N | sz \"TEXT\" | absent";
    if (type == "dword") {
        auto stored = registry.GetDword(key, name);
        auto expected = ParseNumber(step.args[2]);
        if (!expected)
            return "expected a number, not '" + step.args[2] + "'";
        if (!stored || *stored != *expected)
            return "value " + name + " is " + (stored ? Hex32(static_cast<NTSTATUS>(*stored)) : "absent") +
                   ", expected " + step.args[2];
    } else if (type == "sz") {
        auto stored = registry.GetString(key, name);
        if (!stored || *stored != step.args[2])
            return "value " + name + " is " + (stored ? "\"" + *stored + "\"" : "absent") + ", expected \"" +
                   step.args[2] + "\"";
    } else {
        return "unknown value type '" + type + "': expected dword, sz or absent";
    }
    return "";
}

}  // namespace scn
