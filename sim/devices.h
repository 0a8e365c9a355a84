// The devices a scenario puts on the simulated bus, the requests that need
// more than a stack location to describe (SRBs), and the conditions a
// scenario sets on SCSI devices.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/ntio.h"
#include "sim/scenario.h"
#include "simkernel/bus.h"
#include "simkernel/scsi_model.h"

namespace scn {

// Reads type=, flags=, characteristics= and model= of a 'device' step, and
// for model=disk or model=cdrom also vendor=, product=, revision=, blocks=
// and removable=. A SCSI model is remembered under the device's name (until
// the kernel is reset) for the steps that set its conditions.
bool ParseDeviceOptions(const Step& step, sim::PdoOptions* options, std::string* reason);

// The SCSI model of a device declared with model=disk or model=cdrom, or
// nullptr.
std::shared_ptr<sim::ScsiModel> ScsiModelOf(const std::string& device);

struct SrbRequest {
    std::vector<unsigned char> cdb;
    unsigned function = 0;            // SRB_FUNCTION_EXECUTE_SCSI
    unsigned length = 0;              // data transfer length; 0 with data: the data's length
    std::vector<unsigned char> data;  // the buffer's content before the send, repeated to length
    std::string direction;            // in, out or none
    unsigned senseLength = 18;
    // More SrbFlags, comma-separated: no-queue-freeze, bypass-frozen-queue,
    // disable-autosense, or numbers.
    std::string flags;
};

// Sends an SRB down the device's stack as a class driver does (IRP_MJ_SCSI
// with the SRB in Parameters.Scsi.Srb and a control code of 0); *status is
// the request's final status. The data buffer comes from sim::AllocateBuffer
// and is described by no MDL. False with a reason when the SRB cannot be
// built, or when it would wait forever behind the frozen queue of the
// device's SCSI model.
bool SendSrbRequest(PDEVICE_OBJECT device, const SrbRequest& srb, NTSTATUS* status, std::string* reason);

// The steps that set a SCSI device's conditions and answers: medium,
// sense, unit-attention, becoming-ready, answer, page-out.
bool IsScsiConditionCommand(const std::string& command);
// Carries such a step out on the device; the reason when it cannot, else "".
std::string RunScsiConditionStep(const Step& step, sim::Pdo& pdo);

}  // namespace scn
