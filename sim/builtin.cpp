#include "sim/builtin.h"

namespace scn {
namespace {

// A USB flash disk is plugged in: the hub reports it and the filter joins
// its USB device stack; the storage port enumerates it and reports the disk,
// whose stack the filter joins as well. Each SRB of the disk class driver is
// seen twice: as a command above the storage port, and beneath it as the
// URBs of bulk-only transport that carry it to the flash.
const char kDemo[] =
    R"(title "A USB flash disk plugged in: its SCSI commands seen above the storage port, its URBs beneath it"
# Time stamps, requests, SRBs, URBs and their completion and data: mask 0x10F.
registry Config dword 0x10F
time 0:00:42.125
load
# The hub reports the flash disk: its USB device stack, with the filter on it.
device stick pdo=\Device\USBPDO-3 model=usb-disk vendor=Kingston product="DataTraveler 3.0" blocks=4096
add stick
start stick
# The storage port enumerates it: descriptors, then its configuration.
usb-enumerate stick
# The storage port reports the disk: its stack, with the filter on it too.
time 0:00:42.250
device usbstor pdo=\Device\00000062 model=usb-storage over=stick flags=direct,pagable
add usbstor
start usbstor
# The disk class driver identifies the device: each SRB becomes a command
# block, its data and a status block on the USB stack beneath.
srb usbstor cdb="12 00 00 00 24 00" length=36
srb usbstor cdb="25 00 00 00 00 00 00 00 00 00" length=8
# The first read of the partition table; the flash answers at DISPATCH_LEVEL.
time 0:00:42.300
usb-answer stick pend irql=dispatch
srb usbstor cdb="28 00 00 00 00 00 00 00 01 00" length=512
usb-answer stick sync
time 0:01:07.500
pnp usbstor surprise-removal
remove usbstor
pnp stick surprise-removal
remove stick
unload
)";

// A CD-ROM drive with its tray empty: the class driver's probes fail with
// MEDIUM NOT PRESENT until a disc goes in, which is announced as a unit
// attention.
const char kCdromNoMedium[] = R"(title "A CD-ROM drive without a disc, then a disc goes in"
registry Config dword 0x01A
load
device cdrom pdo=\Device\00000071 model=cdrom
add cdrom
start cdrom
medium cdrom absent
srb cdrom cdb="00 00 00 00 00 00" flags=no-queue-freeze expect=0xC0000185
srb cdrom cdb="43 00 00 00 00 00 00 00 0C 00" length=12 flags=no-queue-freeze expect=0xC0000185
medium cdrom present
srb cdrom cdb="00 00 00 00 00 00" flags=no-queue-freeze expect=0xC0000185
srb cdrom cdb="00 00 00 00 00 00"
srb cdrom cdb="25 00 00 00 00 00 00 00 00 00" length=8
remove cdrom
unload
)";

// Reads that fail: a block past the end of the disk, and a medium error
// the sense table has no name for. The sense data is decoded and dumped.
const char kFailingRead[] = R"(title "A disk whose reads fail: sense data decoded"
registry Config dword 0x00E
load
device disk pdo=\Device\00000062 model=disk flags=direct blocks=2048
add disk
start disk
# Block 2048 is one past the end.
srb disk cdb="28 00 00 00 08 00 00 00 01 00" length=512 flags=no-queue-freeze expect=0xC0000185
# An unreadable sector: MEDIUM ERROR, UNRECOVERED READ ERROR (03/11/00).
sense disk key=0x03 asc=0x11 ascq=0x00
srb disk cdb="28 00 00 00 00 10 00 00 01 00" length=512 flags=no-queue-freeze expect=0xC0000185
remove disk
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

// A disk tool at work: the disk describes itself and the filter takes its
// product's name and that model's configuration from the registry; then the
// tool talks to the disk with SCSI pass-through.
const char kDiskTool[] =
    R"(title "A disk tool: the disk names itself, its model's configuration applies, the tool's SCSI commands are traced"
# Until the disk has named itself, only the descriptor's lines.
registry Config dword 0x0A0
# For every disk of this model: device control, data both ways, and a trailer.
registry "ZK SSD 4000     _Config" dword 0x026
registry "ZK SSD 4000     _Trailer" sz "ssd> "
load
device disk pdo=\Device\00000062 model=disk flags=direct vendor=ZELKOR product="ZK SSD 4000" revision=4.01
add disk
# The class driver asks for the device descriptor; the answer comes back at
# DISPATCH_LEVEL, so the configuration is read by a work item afterwards.
answer disk pend irql=dispatch
ioctl disk IOCTL_STORAGE_QUERY_PROPERTY in="00 00 00 00 00 00 00 00" out=1024
answer disk sync
# The tool opens the disk and asks who it is, then sends a mode page, then a
# command the disk does not know.
open tool \Device\00000062
pass-through tool cdb="12 00 00 00 24 00" length=36
pass-through tool form=direct cdb="55 10 00 00 00 00 00 00 0C 00" data="00 00 00 00 00 00 00 00 08 06 04 00"
pass-through tool cdb="A1 08 2E 00 01 00 00 00 00 EC 00 00" length=512
close tool
remove disk
unload
)";

const std::vector<BuiltinScenario> kScenarios = {
    {"demo", "a USB flash disk plugged in: its SCSI commands above the storage port, its URBs beneath", kDemo},
    {"cdrom-no-medium", "a CD-ROM drive without a disc, then a disc goes in", kCdromNoMedium},
    {"failing-read", "a disk whose reads fail, with the sense data decoded", kFailingRead},
    {"per-device", "global and per-device trace masks and trailers", kPerDevice},
    {"instances", "control device names: collisions and reuse", kInstances},
    {"disk-tool", "a disk names itself, takes its model's configuration, and a tool's SCSI commands", kDiskTool},
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
