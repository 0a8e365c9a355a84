// USB devices in scenarios: the two models a 'device' step may name
// (model=usb-disk, model=usb-mouse), and the steps that drive them the way
// their class drivers do, URB by URB.
#pragma once
#include <memory>
#include <string>

#include "sim/scenario.h"
#include "simkernel/bus.h"
#include "simkernel/usb_model.h"

namespace scn {

// Whether model= names a USB model.
bool IsUsbModel(const std::string& model);
// Makes the model for a 'device' step (blocks=, vendor=, product= for the
// disk's strings) and remembers it under the device's name until the kernel
// is reset.
bool ParseUsbModel(const Step& step, const std::string& model, sim::PdoOptions* options, std::string* reason);

// The steps: urb, usb-enumerate, usb-scsi, mouse, stall, usb-answer.
bool IsUsbCommand(const std::string& command);
// Carries such a step out on the device; the reason when it cannot, else "".
std::string RunUsbStep(const Step& step, sim::Pdo& pdo);

}  // namespace scn
