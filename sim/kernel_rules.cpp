#include "sim/kernel_rules.h"

namespace scn {

void ReportedInformation::Set(const std::string& device, unsigned major, ULONG_PTR information, int line)
{
    replies_[{device, major}] = {information, line};
}

std::string ReportedInformation::Refusal(const std::string& device, unsigned major, size_t bufferSize) const
{
    auto reply = replies_.find({device, major});
    if (reply == replies_.end() || reply->second.first <= bufferSize)
        return "";
    return "the device below answers with information=" + std::to_string(reply->second.first) + " (line " +
           std::to_string(reply->second.second) + "), more than this request's " + std::to_string(bufferSize) +
           "-byte buffer; a driver never reports more than the buffer holds";
}

std::string UnloadRefusal(const std::map<std::string, sim::Pdo*>& devices, PDRIVER_OBJECT driver)
{
    std::string added;
    for (const auto& [name, pdo] : devices) {
        PDEVICE_OBJECT bottom = pdo->Device();  // null once the bus deleted it
        if (bottom == nullptr)
            continue;
        for (PDEVICE_OBJECT device = bottom->AttachedDevice; device != nullptr; device = device->AttachedDevice)
            if (device->DriverObject == driver) {
                added += (added.empty() ? "" : ", ") + name;
                break;
            }
    }
    if (added.empty())
        return "";
    return "the driver still has devices added (" + added +
           "): the Plug and Play manager unloads a driver only after every device it added is removed; remove "
           "them first";
}

}  // namespace scn
