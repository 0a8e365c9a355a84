// What a scenario may not make the kernel or a driver below do, checked
// before the step that would do it runs: such a step is refused with its
// reason instead of ending in a bug check that looks like the filter's fault.
#pragma once
#include <map>
#include <string>
#include <utility>

#include "platform/ntio.h"
#include "simkernel/bus.h"

namespace scn {

// What the devices below were told to report as IoStatus.Information, by
// device and major function.
class ReportedInformation {
public:
    void Set(const std::string& device, unsigned major, ULONG_PTR information, int line);
    // Why a request with a buffer of bufferSize bytes cannot go to device:
    // no driver reports more bytes than the buffer holds. Empty when it can.
    std::string Refusal(const std::string& device, unsigned major, size_t bufferSize) const;

private:
    std::map<std::pair<std::string, unsigned>, std::pair<ULONG_PTR, int>> replies_;
};

// Why driver cannot be unloaded: the names of the devices whose stacks still
// hold one of its devices, as the Plug and Play manager unloads a driver only
// after every device it added was removed. Empty when it can.
std::string UnloadRefusal(const std::map<std::string, sim::Pdo*>& devices, PDRIVER_OBJECT driver);

}  // namespace scn
