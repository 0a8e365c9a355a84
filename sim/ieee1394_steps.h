// The 'ieee1394' steps: a simulated 1394 bus behind a device, a client
// driver above the filter that sends request blocks down the stack and hands
// its own callbacks to the bus, and remote nodes that read and write the
// client's address ranges.
#pragma once
#include <string>

#include "sim/scenario.h"
#include "simkernel/bus.h"

namespace scn {

bool IsIeee1394Command(const std::string& command);
// Carries the step out on the device; the reason when it cannot, else "".
std::string RunIeee1394Step(const Step& step, sim::Pdo& pdo);
// Lets go of what the clients still hold (the MDLs of their ranges), as a
// client driver does when it goes; for runs that end before their steps do.
void ReleaseIeee1394Clients();

}  // namespace scn
