// Scenarios that come with the simulator.
#pragma once
#include <string>
#include <vector>

namespace scn {

struct BuiltinScenario {
    const char* name;
    const char* summary;
    const char* text;
};

const std::vector<BuiltinScenario>& BuiltinScenarios();
const BuiltinScenario* FindBuiltin(const std::string& name);

}  // namespace scn
