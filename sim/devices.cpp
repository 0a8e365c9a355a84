#include "sim/devices.h"

#include <map>
#include <mutex>
#include <sstream>

#include "platform/ntscsi.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "sim/usb_steps.h"

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

const NamedValue kSrbFlags[] = {
    {"no-queue-freeze", SRB_FLAGS_NO_QUEUE_FREEZE},
    {"bypass-frozen-queue", SRB_FLAGS_BYPASS_FROZEN_QUEUE},
    {"disable-autosense", SRB_FLAGS_DISABLE_AUTOSENSE},
};

// What a class driver puts in an untagged request (the port interface's
// SP_UNTAGGED and SRB_SIMPLE_TAG_REQUEST), and its usual time-out.
constexpr UCHAR kUntagged = 0xFF;
constexpr UCHAR kSimpleTagRequest = 0x20;
constexpr ULONG kTimeOutSeconds = 10;

// The SCSI models of the scenario's devices, by device name.
struct ModelRegistry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<sim::ScsiModel>> models;
};

ModelRegistry& Models()
{
    static ModelRegistry* registry = [] {
        auto* r = new ModelRegistry;
        sim::RegisterResetHook([r] {
            std::lock_guard<std::mutex> lock(r->mutex);
            r->models.clear();
        });
        return r;
    }();
    return *registry;
}

// The model that answered for the PDO: a frozen queue needs a request
// answered before, so a model that has not served yet never matters here.
std::shared_ptr<sim::ScsiModel> ServingModel(PDEVICE_OBJECT pdo)
{
    ModelRegistry& registry = Models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& [name, model] : registry.models)
        if (model->ServedDevice() == pdo)
            return model;
    return nullptr;
}

bool ParseText(const Step& step, const char* key, size_t width, std::string* value, std::string* reason)
{
    if (!step.Has(key))
        return true;
    *value = step.Option(key);
    for (char c : *value)
        if (c < 0x20 || c > 0x7E) {
            *reason = std::string(key) + "= takes printable ASCII text";
            return false;
        }
    if (value->size() > width) {
        *reason = std::string(key) + "= takes at most " + std::to_string(width) + " characters, as INQUIRY holds them";
        return false;
    }
    return true;
}

bool ParseScsiModel(const Step& step, const std::string& kind, sim::PdoOptions* options, std::string* reason)
{
    const bool disk = kind == "disk";
    ULONG64 blocks = disk ? sim::ScsiDiskModel::kDefaultBlocks : sim::ScsiCdromModel::kDefaultBlocks;
    if (step.Has("blocks")) {
        blocks = ParseNumber(step.Option("blocks")).value();
        if (blocks == 0 || blocks > (1ull << 40)) {
            *reason = "blocks= takes 1 to 2^40 blocks";
            return false;
        }
    }
    std::shared_ptr<sim::ScsiModel> model;
    if (disk)
        model = std::make_shared<sim::ScsiDiskModel>(blocks);
    else
        model = std::make_shared<sim::ScsiCdromModel>(blocks);

    sim::ScsiIdentity identity = model->Identity();
    if (!ParseText(step, "vendor", 8, &identity.vendor, reason) ||
        !ParseText(step, "product", 16, &identity.product, reason) ||
        !ParseText(step, "revision", 4, &identity.revision, reason))
        return false;
    model->SetIdentity(identity);
    if (step.Has("removable")) {
        const std::string removable = step.Option("removable");
        if (removable != "yes" && removable != "no") {
            *reason = "removable= takes yes or no";
            return false;
        }
        model->SetRemovable(removable == "yes");
    }
    if (!step.Has("type"))
        options->deviceType = disk ? FILE_DEVICE_DISK : FILE_DEVICE_CD_ROM;
    options->model = model;
    if (!step.args.empty()) {
        ModelRegistry& registry = Models();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.models[step.args[0]] = model;
    }
    return true;
}

bool ParseSrbFlags(const std::string& text, ULONG* flags, std::string* reason)
{
    std::istringstream words(text);
    std::string flag;
    while (std::getline(words, flag, ',')) {
        bool found = false;
        for (const NamedValue& f : kSrbFlags)
            if (flag == f.name) {
                *flags |= f.value;
                found = true;
            }
        if (found)
            continue;
        const auto number = ParseNumber(flag);
        if (!number || *number > 0xFFFFFFFFull) {
            *reason = "unknown SRB flag '" + flag +
                      "': expected no-queue-freeze, bypass-frozen-queue, disable-autosense or a number";
            return false;
        }
        *flags |= static_cast<ULONG>(*number);
    }
    return true;
}

std::optional<UCHAR> ByteOption(const Step& step, const char* key, unsigned limit, std::string* reason)
{
    const auto value = ParseNumber(step.Option(key, "0"));
    if (!value || *value > limit) {
        *reason = std::string(key) + "= takes 0 to " + std::to_string(limit);
        return std::nullopt;
    }
    return static_cast<UCHAR>(*value);
}

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
                *reason =
                    "unknown device type '" + type +
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
    if (model == "disk" || model == "cdrom")
        return ParseScsiModel(step, model, options, reason);
    if (IsUsbModel(model))
        return ParseUsbModel(step, model, options, reason);
    if (model != "plain") {
        *reason = "unknown device model '" + model +
                  "': expected plain, disk, cdrom, usb-disk, usb-mouse, usb-camera or usb-storage";
        return false;
    }
    for (const char* key : {"vendor", "product", "revision", "blocks", "removable"})
        if (step.Has(key)) {
            *reason = std::string(key) + "= describes a SCSI device: it needs model=disk or model=cdrom";
            return false;
        }
    return true;
}

std::shared_ptr<sim::ScsiModel> ScsiModelOf(const std::string& device)
{
    ModelRegistry& registry = Models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.models.find(device);
    return it == registry.models.end() ? nullptr : it->second;
}

bool SendSrbRequest(PDEVICE_OBJECT device, const SrbRequest& request, NTSTATUS* status, std::string* reason)
{
    if (request.cdb.empty() || request.cdb.size() > 16) {
        *reason = "cdb= takes 1 to 16 bytes";
        return false;
    }
    if (request.function > 0xFF) {
        *reason = "function= takes 0 to 0xFF";
        return false;
    }
    if (request.senseLength > 0xFF) {
        *reason = "sense= takes 0 to 255 bytes";
        return false;
    }
    ULONG flags = 0;
    if (!ParseSrbFlags(request.flags, &flags, reason))
        return false;
    const ULONG length = request.length == 0 ? static_cast<ULONG>(request.data.size()) : request.length;
    if (length != 0) {
        if (request.direction == "in")
            flags |= SRB_FLAGS_DATA_IN;
        else if (request.direction == "out")
            flags |= SRB_FLAGS_DATA_OUT;
        else if (request.direction != "none") {
            *reason = "direction= takes in, out or none";
            return false;
        }
    }

    // A port driver holds the command until the queue is released; the
    // scenario would wait for it forever.
    if (request.function == SRB_FUNCTION_EXECUTE_SCSI && !(flags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
        const auto model = ServingModel(device);
        if (model && model->QueueFrozen()) {
            *reason =
                "the device's queue is frozen since a command failed: a class driver releases it first "
                "('srb NAME function=0x04 cdb=00'), or sends with flags=bypass-frozen-queue; commands "
                "with flags=no-queue-freeze do not freeze it";
            return false;
        }
    }

    sim::SimBuffer data{};
    if (length != 0) {
        data = sim::AllocateBuffer(length);
        for (size_t i = 0; i < length && !request.data.empty(); ++i)
            data.address[i] = request.data[i % request.data.size()];
    }
    std::vector<UCHAR> sense(request.senseLength, 0);
    auto srb = std::make_unique<SCSI_REQUEST_BLOCK>();
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = static_cast<UCHAR>(request.function);
    srb->QueueTag = kUntagged;
    srb->QueueAction = kSimpleTagRequest;
    srb->CdbLength = static_cast<UCHAR>(request.cdb.size());
    std::copy(request.cdb.begin(), request.cdb.end(), srb->Cdb);
    srb->SrbFlags = flags;
    srb->DataTransferLength = length;
    srb->DataBuffer = data.address;
    srb->TimeOutValue = kTimeOutSeconds;
    srb->SenseInfoBuffer = sense.empty() ? nullptr : sense.data();
    srb->SenseInfoBufferLength = static_cast<UCHAR>(sense.size());

    SCSI_REQUEST_BLOCK* block = srb.get();
    sim::Request irp = sim::Request::InternalDeviceControl(0, block);
    irp.Setup([block](PIRP packet, PIO_STACK_LOCATION) { block->OriginalRequest = packet; });
    *status = sim::Send(device, irp).final;
    if (data.address != nullptr)
        sim::FreeBuffer(data);
    return true;
}

bool IsScsiConditionCommand(const std::string& command)
{
    return command == "medium" || command == "sense" || command == "unit-attention" || command == "becoming-ready" ||
           command == "answer" || command == "page-out";
}

std::string RunScsiConditionStep(const Step& step, sim::Pdo& pdo)
{
    const std::string& name = step.args[0];
    const auto model = ScsiModelOf(name);
    if (!model)
        return "device '" + name + "' is no SCSI device: declare it with model=disk or model=cdrom";
    // Whatever is still on its way completes under the old conditions.
    pdo.WaitIdle();

    const std::string& c = step.command;
    std::string reason;
    if (c == "medium") {
        const std::string state = step.args.size() > 1 ? step.args[1] : "";
        if (state != "absent" && state != "present")
            return "medium takes absent or present";
        if (!model->Removable())
            return "device '" + name + "' is not removable: its medium cannot be taken out";
        model->SetMediumPresent(state == "present");
    } else if (c == "sense") {
        if (!step.Has("key") || !step.Has("asc"))
            return "sense needs key= and asc=";
        const auto key = ByteOption(step, "key", 0x0F, &reason);
        const auto asc = ByteOption(step, "asc", 0xFF, &reason);
        const auto ascq = ByteOption(step, "ascq", 0xFF, &reason);
        if (!key || !asc || !ascq)
            return reason;
        model->FailNextCommand(sim::SenseCode{*key, *asc, *ascq});
    } else if (c == "unit-attention") {
        const std::string cause = step.Option("cause", "medium-changed");
        if (cause == "medium-changed")
            model->RaiseUnitAttention(sim::kSenseMediumChanged);
        else if (cause == "reset")
            model->RaiseUnitAttention(sim::kSenseReset);
        else
            return "cause= takes medium-changed or reset";
    } else if (c == "becoming-ready") {
        const auto count = ParseNumber(step.Option("count", "1"));
        if (!count || *count > 0xFFFF)
            return "count= takes 0 to 65535 commands";
        model->SetBecomingReady(static_cast<unsigned>(*count));
    } else if (c == "answer") {
        const std::string how = step.args.size() > 1 ? step.args[1] : "";
        const std::string irql = step.Option("irql", "dispatch");
        if (irql != "passive" && irql != "dispatch")
            return "irql= takes passive or dispatch";
        if (how == "sync") {
            if (step.Has("irql") || step.Has("delay"))
                return "irql= and delay= go with 'answer NAME pend'";
            model->AnswerSynchronously();
        } else if (how == "pend") {
            const auto delay = ParseNumber(step.Option("delay", "0"));
            if (!delay || *delay > 10000)
                return "delay= takes 0 to 10000 milliseconds";
            model->AnswerPended(irql == "dispatch" ? DISPATCH_LEVEL : PASSIVE_LEVEL, std::chrono::milliseconds(*delay));
        } else {
            return "answer takes sync or pend";
        }
    } else if (c == "page-out") {
        model->PageOutNextDataBuffer();
    } else {
        return "'" + c + "' is no SCSI condition";
    }
    return "";
}

}  // namespace scn
