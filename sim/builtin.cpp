#include "sim/builtin.h"

namespace scn {
namespace {

// A USB flash disk is plugged in: the PnP manager builds its stack, the
// filter joins it, the disk is started, opened, powered and finally pulled.
const char kDemo[] = R"(title "A USB flash disk plugged in, started, opened and pulled"
# Trace everything, with time stamps, for every device.
registry Config dword 0x1FF
time 0:00:42.125
load
device usbstor pdo=\Device\USBPDO-3 type=disk flags=direct,pagable
add usbstor
# The port driver takes a moment to start the device.
lower usbstor major=pnp minor=start action=pend delay=20
start usbstor
irp usbstor create
irp usbstor system-control minor=0x0B
power usbstor query-power
power usbstor set-power
irp usbstor cleanup
irp usbstor close
pnp usbstor surprise-removal
remove usbstor
unload
)";

// Two devices with their own configuration: the global mask, a per-device
// mask and trailer, and a device whose name the registry does not know.
const char kPerDevice[] = R"(title "Configuration per device: global values, then values named after the device"
registry Config dword 0x10
registry Trailer sz "zelkor: "
registry 00000062_Config dword 0x30
registry 00000062_Trailer sz "disk0> "
load
device disk0 pdo=\Device\00000062 type=disk flags=direct
device disk1 pdo=\Device\00000063 type=disk flags=direct
add disk0
add disk1
irp disk0 create
irp disk1 create
irp disk0 query-information
pnp disk0 query-capabilities
remove disk1
remove disk0
unload
)";

// Three instances fight over names: the first two names are taken, so the
// third device becomes \Device\Zelkor3, and a removed instance frees its name.
const char kInstances[] = R"(title "Instance names: collisions and reuse"
load
device a pdo=\Device\0000001a
device b pdo=\Device\0000001b
device c pdo=\Device\0000001c
add a
add b
remove a
add c
open tool \DosDevices\Zelkor1
close tool
remove b
remove c
unload
)";

const std::vector<BuiltinScenario> kScenarios = {
    {"demo", "a USB flash disk plugged in, started, opened and pulled", kDemo},
    {"per-device", "global and per-device trace masks and trailers", kPerDevice},
    {"instances", "control device names: collisions and reuse", kInstances},
};

}  // namespace

const std::vector<BuiltinScenario>& BuiltinScenarios()
{
    return kScenarios;
}

const BuiltinScenario* FindBuiltin(const std::string& name)
{
    for (const BuiltinScenario& s : kScenarios)
        if (name == s.name)
            return &s;
    return nullptr;
}

}  // namespace scn
