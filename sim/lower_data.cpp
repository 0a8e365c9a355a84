#include "sim/lower_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ntscsi.h"

namespace scn {

std::string AddAnswerData(const Step& step, sim::Reply* reply)
{
    if (!step.Has("data"))
        return "";
    if (step.Option("major") != "device-control" && ParseNumber(step.Option("major")) != IRP_MJ_DEVICE_CONTROL)
        return "data= answers device control only (major=device-control)";
    std::vector<unsigned char> data = ParseBytes(step.Option("data")).value();
    reply->Fill([data](PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        // The direct and neither methods have no output in the system buffer.
        if (METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED ||
            irp->AssociatedIrp.SystemBuffer == nullptr)
            return;
        size_t count = std::min<size_t>(data.size(), location->Parameters.DeviceIoControl.OutputBufferLength);
        if (count != 0)
            std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), count);
    });
    return "";
}

}  // namespace scn
