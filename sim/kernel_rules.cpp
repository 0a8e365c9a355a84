#include "sim/kernel_rules.h"

#include <utility>

#include "platform/ntioctl.h"

namespace scn {
namespace {

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

bool IsPropertyQuery(const Step& step)
{
    return step.command == "ioctl" && step.args.size() > 1 &&
           (step.args[1] == "IOCTL_STORAGE_QUERY_PROPERTY" ||
            ParseNumber(step.args[1]) == IOCTL_STORAGE_QUERY_PROPERTY);
}

// What `descriptor NAME information=N` makes a SCSI device report for its
// storage descriptor; each descriptor line replaces what the one before said.
class DescriptorReplies {
public:
    std::string Check(const Step& step)
    {
        const std::string& device = step.args[0];
        if (step.command == "descriptor") {
            const bool failed = step.Has("status") && ParseNumber(step.Option("status")).value_or(0) >= 0xC0000000u;
            if (step.Has("information") && !failed)
                replies_[device] = {ParseNumber(step.Option("information")).value_or(0), step.line};
            else
                replies_.erase(device);
            return "";
        }
        auto reply = replies_.find(device);
        const unsigned long long size = ParseNumber(step.Option("out", "0")).value_or(0);
        if (reply == replies_.end() || reply->second.first <= size)
            return "";
        return "the device's descriptor reports information=" + std::to_string(reply->second.first) + " (line " +
               std::to_string(reply->second.second) + "), more than this request's " + std::to_string(size) +
               "-byte buffer; a driver never reports more than the buffer holds";
    }

private:
    std::map<std::string, std::pair<unsigned long long, int>> replies_;
};

}  // namespace

int FirstOversizedReply(const std::vector<Step>& steps, std::string* reason)
{
    struct Checked {
        const char* command;
        const char* majorName;
        unsigned major;
    };
    static const Checked kChecked[] = {
        {"read", "read", IRP_MJ_READ},
        {"write", "write", IRP_MJ_WRITE},
        {"ioctl", "device-control", IRP_MJ_DEVICE_CONTROL},
    };
    DescriptorReplies descriptors;
    ReportedInformation reported;
    for (const Step& step : steps) {
        if (step.args.empty())
            continue;
        if (step.command == "descriptor" || IsPropertyQuery(step)) {
            *reason = descriptors.Check(step);
            if (!reason->empty())
                return step.line;
            continue;
        }
        if (step.command == "lower" && !step.Has("minor")) {
            std::string major = step.Option("major");
            for (const Checked& checked : kChecked)
                if (major == checked.majorName || ParseNumber(major) == checked.major)
                    reported.Set(step.args[0], checked.major, ParseNumber(step.Option("information", "0")).value_or(0),
                                 step.line);
            continue;
        }
        for (const Checked& checked : kChecked) {
            if (step.command != checked.command)
                continue;
            size_t dataSize =
                step.Has("data") ? ParseBytes(step.Option("data")).value_or(std::vector<unsigned char>()).size() : 0;
            std::string fallback = step.command == "ioctl" ? "0" : std::to_string(dataSize == 0 ? 512 : dataSize);
            auto size = ParseNumber(step.Option(step.command == "ioctl" ? "out" : "length", fallback));
            *reason = reported.Refusal(step.args[0], checked.major, size.value_or(0));
            if (!reason->empty())
                return step.line;
        }
    }
    return 0;
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
