// What a scenario may not make the kernel or a driver below do, checked
// before the step that would do it runs: such a step is refused with its
// reason instead of ending in a bug check that looks like the filter's fault.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "platform/ntio.h"
#include "sim/scenario.h"
#include "simkernel/bus.h"

namespace scn {

// For ParseScenario: the first read, write or ioctl whose buffer is smaller
// than what a `lower` line before it told the device below to report, or
// the first storage property query whose buffer is smaller than what a
// `descriptor ... information=` line set. Its line and *reason, or 0 when
// there is none.
int FirstOversizedReply(const std::vector<Step>& steps, std::string* reason);

// Why driver cannot be unloaded: the names of the devices whose stacks still
// hold one of its devices, as the Plug and Play manager unloads a driver only
// after every device it added was removed. Empty when it can.
std::string UnloadRefusal(const std::map<std::string, sim::Pdo*>& devices, PDRIVER_OBJECT driver);

}  // namespace scn
