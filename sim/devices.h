// The devices a scenario puts on the simulated bus, and the requests that
// need more than a stack location to describe (SRBs).
#pragma once
#include <string>
#include <vector>

#include "platform/ntio.h"
#include "sim/scenario.h"
#include "simkernel/bus.h"

namespace scn {

// Reads type=, flags=, characteristics= and model= of a 'device' step.
bool ParseDeviceOptions(const Step& step, sim::PdoOptions* options, std::string* reason);

struct SrbRequest {
    std::vector<unsigned char> cdb;
    unsigned function = 0;     // SRB_FUNCTION_EXECUTE_SCSI
    unsigned length = 0;       // data transfer length
    std::vector<unsigned char> data;  // outgoing data, repeated to length
    std::string direction;     // in, out or none
    unsigned senseLength = 18;
};

// Sends an SRB down the device's stack as a class driver does (IRP_MJ_SCSI);
// *status is the request's final status. False with a reason when it could
// not be built.
bool SendSrbRequest(PDEVICE_OBJECT device, const SrbRequest& srb, NTSTATUS* status, std::string* reason);

}  // namespace scn
