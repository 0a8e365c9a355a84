// Scenario steps that speak to an instance's control device as a program
// does: 'zkctl', the tool's own commands run by its shared logic, and
// 'zk-request', one request record built by hand, hostile ones included.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "platform/ntbase.h"
#include "sim/scenario.h"
#include "simkernel/caller.h"

namespace scn {

// user= of 'open' and 'zkctl': admin, standard or system.
std::optional<sim::Account> ParseAccount(const std::string& word);

bool IsZkctlCommand(const std::string& command);
// Empty when the step ran as expected, else why not. `handle` finds an open
// handle by its name (and throws for an unknown one, as the runner does);
// `loaded` tells whether the driver is loaded (the service is running).
std::string RunZkctlStep(const Step& step, const std::function<HANDLE(const std::string&)>& handle, bool loaded);

}  // namespace scn
