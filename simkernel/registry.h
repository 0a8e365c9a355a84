// The kernel's registry routines (ZwCreateKey, ZwClose, RtlQueryRegistryValues,
// RtlWriteRegistryValue) work on one registry store. Tests and the simulator
// prepare and inspect it through Registry(); a kernel reset empties it back
// to the fixed roots, so whatever a test needs (a service key, say) it
// creates itself.
#pragma once

#include <string>
#include <vector>

#include "simkernel/registry_store.h"

namespace sim {

// Where RTL_REGISTRY_SERVICES and RTL_REGISTRY_CONTROL paths start.
inline constexpr char kServicesRoot[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr char kControlRoot[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Control";

// The registry of the simulated kernel.
RegistryStore& Registry();

// Key handles that ZwCreateKey handed out and ZwClose has not closed yet: the
// path of each key, in the order the handles were opened. Anything here when
// a driver has unloaded is a leaked handle.
std::vector<std::string> OpenKeyHandles();

}  // namespace sim
