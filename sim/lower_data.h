// The bytes a device below answers with: `lower NAME major=device-control
// data=BYTES` (a storage descriptor, say).
#pragma once
#include <string>

#include "sim/scenario.h"
#include "simkernel/bus.h"

namespace scn {

// Gives the reply the step's data=, written at the start of a buffered
// device-control request's system buffer just before completion, never more
// than the caller's output length. The reason when the step cannot have it,
// else "".
std::string AddAnswerData(const Step& step, sim::Reply* reply);

}  // namespace scn
