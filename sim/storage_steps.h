// The steps of storage tools and devices: a program's SCSI pass-through
// request, the identity and faults of a SCSI device's storage descriptor,
// and the kernel's work items.
#pragma once
#include <string>

#include "platform/ntio.h"
#include "sim/scenario.h"
#include "simkernel/bus.h"

namespace scn {

// pass-through, descriptor, work-items, usage.
bool IsStorageCommand(const std::string& command);

// Carries such a step out. A pass-through goes on the handle when one is
// given (as the program that opened it), else down the device's stack from
// kernel mode; a descriptor step needs the device. *status is a request's
// final status (left alone by the other steps). The reason when the step
// cannot run, else "".
std::string RunStorageStep(const Step& step, HANDLE handle, sim::Pdo* pdo, NTSTATUS* status);

}  // namespace scn
