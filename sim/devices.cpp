#include "sim/devices.h"

#include <sstream>

namespace scn {
namespace {

struct NamedValue {
    const char* name;
    ULONG value;
};

const NamedValue kTypes[] = {
    {"disk", FILE_DEVICE_DISK},         {"cdrom", FILE_DEVICE_CD_ROM},
    {"unknown", FILE_DEVICE_UNKNOWN},   {"mass-storage", FILE_DEVICE_MASS_STORAGE},
    {"keyboard", FILE_DEVICE_KEYBOARD}, {"mouse", FILE_DEVICE_MOUSE},
    {"bus", FILE_DEVICE_BUS_EXTENDER},  {"controller", FILE_DEVICE_CONTROLLER},
};

const NamedValue kFlags[] = {
    {"direct", DO_DIRECT_IO},
    {"buffered", DO_BUFFERED_IO},
    {"pagable", DO_POWER_PAGABLE},
    {"inrush", DO_POWER_INRUSH},
};

}  // namespace

bool ParseDeviceOptions(const Step& step, sim::PdoOptions* options, std::string* reason)
{
    if (step.Has("type")) {
        std::string type = step.Option("type");
        bool found = false;
        for (const NamedValue& t : kTypes)
            if (type == t.name) {
                options->deviceType = t.value;
                found = true;
            }
        if (!found) {
            auto number = ParseNumber(type);
            if (!number || *number > 0xFFFF) {
                *reason = "unknown device type '" + type +
                          "': expected disk, cdrom, unknown, mass-storage, keyboard, mouse, bus, controller or a number";
                return false;
            }
            options->deviceType = static_cast<ULONG>(*number);
        }
    }
    if (step.Has("flags")) {
        std::istringstream words(step.Option("flags"));
        std::string flag;
        while (std::getline(words, flag, ',')) {
            bool found = false;
            for (const NamedValue& f : kFlags)
                if (flag == f.name) {
                    options->flags |= f.value;
                    found = true;
                }
            if (!found) {
                *reason = "unknown device flag '" + flag + "': expected direct, buffered, pagable or inrush";
                return false;
            }
        }
    }
    if (step.Has("characteristics"))
        options->characteristics = static_cast<ULONG>(ParseNumber(step.Option("characteristics")).value());
    std::string model = step.Option("model", "plain");
    if (model != "plain") {
        *reason = "unknown device model '" + model + "': expected plain";
        return false;
    }
    return true;
}

bool SendSrbRequest(PDEVICE_OBJECT device, const SrbRequest& srb, NTSTATUS* status, std::string* reason)
{
    (void)device;
    (void)srb;
    (void)status;
    *reason = "SRBs are not supported by this build of the simulator yet";
    return false;
}

}  // namespace scn
