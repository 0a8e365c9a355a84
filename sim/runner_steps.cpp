// One step of a scenario: the runner's own steps by command, then the
// families of steps that live in files of their own.
#include "sim/runner_internal.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "driver/dispatch.h"
#include "sim/devices.h"
#include "sim/freed_pages.h"
#include "sim/ieee1394_steps.h"
#include "sim/kernel_rules.h"
#include "sim/lower_data.h"
#include "sim/registry_steps.h"
#include "sim/step_names.h"
#include "sim/storage_steps.h"
#include "sim/usb_steps.h"
#include "sim/zkctl_steps.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/requestor.h"
#include "simkernel/utf.h"

namespace scn::run {

sim::Pdo& Runner::Device(const Step& step, const std::string& name)
{
    (void)step;
    auto it = devices_.find(name);
    if (it == devices_.end())
        throw StepError{"no device '" + name + "' (declare it first with 'device " + name + "')"};
    if (it->second->Deleted())
        throw StepError{"device '" + name + "' is gone from the bus"};
    return *it->second;
}

HANDLE Runner::Handle(const std::string& name)
{
    auto it = handles_.find(name);
    if (it == handles_.end())
        throw StepError{"no open handle '" + name + "' (open it first)"};
    return it->second;
}

void Runner::CheckStatus(const Step& step, NTSTATUS status, const char* what)
{
    if (!step.Has("expect") || options_.sweep)
        return;
    NTSTATUS expected = static_cast<NTSTATUS>(*ParseNumber(step.Option("expect")));
    if (status != expected)
        throw StepError{std::string(what) + " ended with " + Hex32(status) + ", expected " + Hex32(expected)};
}

HeldSteps::Devices Runner::AllDevices() const
{
    HeldSteps::Devices devices;
    for (const auto& [name, pdo] : devices_)
        devices.push_back(pdo);
    return devices;
}

// The steps the runner carries out itself, one handler each, by command.
const std::map<std::string, Runner::StepHandler>& Runner::Handlers()
{
    static const std::map<std::string, StepHandler> handlers = {
        {"title", &Runner::Nothing},
        {"pause", &Runner::Nothing},
        {"service", &Runner::SetService},
        {"registry", &Runner::SetRegistry},
        {"registry-file", &Runner::LoadRegistryFile},
        {"expect-registry", &Runner::ExpectRegistry},
        {"wdm-version", &Runner::SetWdmVersion},
        {"time", &Runner::SetTime},
        {"fail", &Runner::InjectFault},
        {"load", &Runner::Load},
        {"unload", &Runner::Unload},
        {"device", &Runner::CreateDevice},
        {"lower", &Runner::ProgramLower},
        {"release", &Runner::ReleaseHeld},
        {"add", &Runner::AddDevice},
        {"start", &Runner::StartDevice},
        {"remove", &Runner::RemoveDevice},
        {"pnp", &Runner::SendPnp},
        {"power", &Runner::SendPower},
        {"irp", &Runner::SendIrp},
        {"wmi", &Runner::SendWmi},
        {"read", &Runner::SendRead},
        {"write", &Runner::SendWrite},
        {"ioctl", &Runner::SendIoctl},
        {"internal", &Runner::SendInternal},
        {"srb", &Runner::SendSrb},
        {"open", &Runner::Open},
        {"close", &Runner::Close},
        {"handle-irp", &Runner::SendHandleIrp},
        {"handle-ioctl", &Runner::SendHandleIoctl},
    };
    return handlers;
}

void Runner::Execute(const Step& step)
{
    const auto& handlers = Handlers();
    if (auto it = handlers.find(step.command); it != handlers.end()) {
        (this->*it->second)(step);
        return;
    }
    ExecuteFamily(step);
}

// The families of steps that live in files of their own.
void Runner::ExecuteFamily(const Step& step)
{
    const std::string& c = step.command;
    if (IsZkctlCommand(c)) {
        std::string reason = RunZkctlStep(
            step, [this](const std::string& name) { return Handle(name); }, driver_ != nullptr);
        if (!reason.empty())
            throw StepError{reason};
    } else if (IsIeee1394Command(c)) {
        std::string reason = RunIeee1394Step(step, Device(step, step.args[0]));
        if (!reason.empty())
            throw StepError{reason};
    } else if (IsUsbCommand(c)) {
        std::string reason = RunUsbStep(step, Device(step, step.args[0]));
        if (!reason.empty())
            throw StepError{reason};
    } else if (IsStorageCommand(c)) {
        HANDLE handle = handles_.count(step.args[0]) != 0 ? handles_[step.args[0]] : nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        std::string reason = RunStorageStep(
            step, handle, handle != nullptr || c == "work-items" ? nullptr : &Device(step, step.args[0]), &status);
        if (!reason.empty())
            throw StepError{reason};
        CheckStatus(step, status, "the request");
    } else if (IsScsiConditionCommand(c)) {
        std::string reason = RunScsiConditionStep(step, Device(step, step.args[0]));
        if (!reason.empty())
            throw StepError{reason};
    } else {
        throw StepError{"the runner does not know '" + c + "'"};
    }
}

// ---------------------------------------------------------------------------
// The kernel and the driver

void Runner::SetService(const Step& step)
{
    if (driver_ != nullptr)
        throw StepError{"the service name must be set before 'load'"};
    if (!sim::ValidUtf8(step.args[0]))
        throw StepError{"the service name is not UTF-8 text"};
    service_ = step.args[0];
}

void Runner::SetRegistry(const Step& step)
{
    if (std::string reason = SetRegistryValue(step, ParametersKey()); !reason.empty())
        throw StepError{reason};
}

void Runner::LoadRegistryFile(const Step& step)
{
    std::string path = step.args[0];
    if (!path.empty() && path[0] != '/')
        path = scenario_.directory + "/" + path;
    sim::RegLoadError error;
    if (!sim::Registry().LoadRegFile(path, &error))
        throw StepError{"registry file refused: " + error.Message()};
}

void Runner::ExpectRegistry(const Step& step)
{
    if (std::string reason = ExpectRegistryValue(step, ParametersKey()); !reason.empty())
        throw StepError{reason};
}

void Runner::SetWdmVersion(const Step& step)
{
    if (step.args[0] != "on" && step.args[0] != "off")
        throw StepError{"wdm-version takes on or off"};
    sim::SetWdmVersionAvailable(step.args[0] == "on");
}

void Runner::SetTime(const Step& step)
{
    uint64_t increment = ParseNumber(step.Option("increment", step.args.empty() ? "156250" : "10000")).value();
    if (increment == 0)
        throw StepError{"increment= must not be 0"};
    sim::SetTimeIncrement(static_cast<uint32_t>(increment));
    if (!step.args.empty()) {
        std::optional<uint64_t> units = ParseTimeSinceBoot(step.args[0]);
        if (!units)
            throw StepError{"expected a time such as 1:02:03.045 (hours up to " + std::to_string(kMaxHoursSinceBoot) +
                            "), not '" + step.args[0] + "'"};
        sim::SetTickCount(*units / increment);
    }
    if (step.Has("ticks"))
        sim::SetTickCount(ParseNumber(step.Option("ticks")).value());
    if (step.Has("counter"))
        sim::SetPerformanceCounter(ParseNumber(step.Option("counter")).value());
}

void Runner::InjectFault(const Step& step)
{
    bool known = false;
    std::string list;
    for (const char* name : sim::kFallibleRoutines) {
        known = known || step.args[0] == name;
        list += std::string(list.empty() ? "" : ", ") + name;
    }
    if (!known)
        throw StepError{"no fault can be injected into '" + step.args[0] + "'; the routines that can fail are " + list};
    sim::FailNthCall(step.args[0], static_cast<int>(ParseNumber(step.Option("nth", "1")).value()));
}

void Runner::Load(const Step& step)
{
    if (driver_ != nullptr)
        throw StepError{"the driver is loaded already"};
    ApplyRegistryOverrides(ParametersKey(), options_);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = sim::LoadDriver(DriverEntry, service_, &status);
    CheckStatus(step, status, "DriverEntry");
    if (driver_ == nullptr)
        throw StepError{"the driver did not load: " + Hex32(status)};
}

void Runner::Unload(const Step&)
{
    if (driver_ == nullptr)
        throw StepError{"the driver is not loaded"};
    std::string refusal = UnloadRefusal(devices_, driver_);
    if (!refusal.empty())
        throw StepError{refusal};
    NTSTATUS status = sim::UnloadDriver(driver_);
    if (!NT_SUCCESS(status))
        throw StepError{"unload failed: " + Hex32(status)};
    driver_ = nullptr;
}

// ---------------------------------------------------------------------------
// Devices and Plug and Play

void Runner::CreateDevice(const Step& step)
{
    const std::string& name = step.args[0];
    if (devices_.count(name))
        throw StepError{"device '" + name + "' exists already"};
    sim::PdoOptions pdoOptions;
    std::string reason;
    if (!ParseDeviceOptions(step, &pdoOptions, &reason))
        throw StepError{reason};
    std::string pdoName = step.Option("pdo", "\\Device\\" + name);
    if (pdoName == "none")
        pdoName.clear();
    try {
        devices_[name] = &sim::CreatePdo(pdoName, pdoOptions);
    } catch (const std::exception& e) {
        throw StepError{std::string("the bus refused the device: ") + e.what()};
    }
}

void Runner::ReleaseHeld(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    pdo.Release();
    pdo.WaitIdle();
    std::string failure = held_.Settle(&pdo, AllDevices());
    if (!failure.empty())
        throw StepError{failure};
}

void Runner::AddDevice(const Step& step)
{
    if (driver_ == nullptr)
        throw StepError{"load the driver before adding devices"};
    ApplyRegistryOverrides(ParametersKey(), options_);
    NTSTATUS status = sim::PnpAddDevice(driver_, Device(step, step.args[0]).Device());
    CheckStatus(step, status, "add-device");
}

void Runner::StartDevice(const Step& step)
{
    CheckStatus(step, sim::PnpStartDevice(Device(step, step.args[0]).Device()).final, "the start");
}

void Runner::RemoveDevice(const Step& step)
{
    CheckStatus(step, sim::PnpRemoveDevice(Device(step, step.args[0]).Device()).final, "the removal");
}

// The minor function a step names, by name or number; a step error otherwise.
static unsigned MinorFunction(const NamedTable& table, const char* kind, const std::string& word)
{
    auto minor = Lookup(table, word, 0xFF);
    if (!minor)
        throw StepError{"unknown " + std::string(kind) + " minor function '" + word + "': expected " + Names(table) +
                        " or a number"};
    return *minor;
}

void Runner::SendPnp(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    const unsigned minor = MinorFunction(kPnpMinors, "Plug and Play", step.args[1]);
    sim::IoResult result = minor == IRP_MN_REMOVE_DEVICE ? sim::PnpRemoveDevice(pdo.Device())
                                                         : sim::PnpRequest(pdo.Device(), static_cast<UCHAR>(minor));
    CheckStatus(step, result.final, "the request");
}

void Runner::SendPower(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    const unsigned minor = MinorFunction(kPowerMinors, "power", step.args[1]);
    CheckStatus(step, sim::PowerRequest(pdo.Device(), static_cast<UCHAR>(minor)).final, "the request");
}

// ---------------------------------------------------------------------------
// Handles

void Runner::Open(const Step& step)
{
    if (handles_.count(step.args[0]))
        throw StepError{"handle '" + step.args[0] + "' is open already"};
    auto account = ParseAccount(step.Option("user", "admin"));
    if (!account)
        throw StepError{"user= takes admin, standard or system"};
    sim::OpenResult opened = sim::OpenFile(step.args[1]);
    CheckStatus(step, opened.status, "the open");
    if (opened.handle != nullptr && step.Option("bits", "64") == "32")
        sim::SetFileObject32bit(sim::FileObjectOf(opened.handle), true);
    if (opened.handle != nullptr) {
        handles_[step.args[0]] = opened.handle;
        sim::SetHandleAccount(opened.handle, *account);
    } else if (!step.Has("expect"))
        throw StepError{"cannot open " + step.args[1] + ": " + Hex32(opened.status)};
}

void Runner::Close(const Step& step)
{
    HANDLE handle = Handle(step.args[0]);
    sim::CloseFile(handle);
    handles_.erase(step.args[0]);
}

void Runner::SendHandleIoctl(const Step& step)
{
    sim::ActingAs as(sim::HandleAccount(Handle(step.args[0])));
    SendControl(step, false, Handle(step.args[0]));
}

// ---------------------------------------------------------------------------
// Requests

void Runner::ProgramLower(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    std::string action = step.Option("action", "complete");
    NTSTATUS status = static_cast<NTSTATUS>(ParseNumber(step.Option("status", "0")).value());
    ULONG_PTR information = ParseNumber(step.Option("information", "0")).value();
    std::string irqlWord = step.Option("irql", "dispatch");
    if (irqlWord != "dispatch" && irqlWord != "passive")
        throw StepError{"irql= takes passive or dispatch"};
    KIRQL irql = irqlWord == "dispatch" ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    auto delay = std::chrono::milliseconds(ParseNumber(step.Option("delay", "0")).value());

    sim::Reply reply;
    if (action == "complete") {
        reply = sim::Reply::Complete(status, information);
    } else if (action == "fail") {
        reply = sim::Reply::Complete(step.Has("status") ? status : STATUS_IO_DEVICE_ERROR, information);
    } else if (action == "pend") {
        reply = sim::Reply::Pend(status, information, delay, irql);
    } else if (action == "hold") {
        reply = sim::Reply::Hold(status, information, irql);
    } else {
        throw StepError{"action= takes complete, fail, pend or hold, not '" + action + "'"};
    }
    std::string refusal = AddAnswerData(step, &reply);
    if (!refusal.empty())
        throw StepError{refusal};

    if (!step.Has("major")) {
        if (step.Has("minor"))
            throw StepError{"minor= needs major="};
        throw StepError{"lower needs major= (a name such as read, pnp, power, or a number)"};
    }
    auto major = Lookup(kMajors, step.Option("major"), IRP_MJ_MAXIMUM_FUNCTION);
    if (!major)
        throw StepError{"unknown major function '" + step.Option("major") + "': expected " + Names(kMajors)};
    if (step.Has("minor")) {
        std::optional<unsigned> minor;
        if (*major == IRP_MJ_PNP)
            minor = Lookup(kPnpMinors, step.Option("minor"), 0xFF);
        else if (*major == IRP_MJ_POWER)
            minor = Lookup(kPowerMinors, step.Option("minor"), 0xFF);
        else
            minor = Lookup(kWmiMinors, step.Option("minor"), 0xFF);
        if (!minor)
            throw StepError{"unknown minor function '" + step.Option("minor") + "'"};
        pdo.SetRule(static_cast<UCHAR>(*major), static_cast<UCHAR>(*minor), reply);
    } else {
        pdo.SetRule(static_cast<UCHAR>(*major), reply);
    }
}

void Runner::SendPlain(const Step& step, PDEVICE_OBJECT target, HANDLE handle)
{
    auto major = Lookup(kMajors, step.args[1], IRP_MJ_MAXIMUM_FUNCTION);
    if (!major)
        throw StepError{"unknown major function '" + step.args[1] + "': expected " + Names(kMajors) +
                        " or a number up to 0x1B"};
    UCHAR minor = static_cast<UCHAR>(ParseNumber(step.Option("minor", "0")).value());
    sim::Request request(static_cast<UCHAR>(*major), minor);
    sim::IoResult result = handle != nullptr ? sim::SendOnHandle(handle, request) : sim::Send(target, request);
    CheckStatus(step, result.final, "the request");
}

void Runner::SendWmi(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    const unsigned minor = MinorFunction(kWmiMinors, "WMI", step.args[1]);
    std::vector<unsigned char> bytes;
    if (step.Has("buffer"))
        bytes = ParseBytes(step.Option("buffer")).value();
    ULONG size = static_cast<ULONG>(ParseNumber(step.Option("size", std::to_string(bytes.size()))).value());
    size_t pageOffset = ParseNumber(step.Option("page-offset", "0")).value();
    if (pageOffset >= sim::kPageSize)
        throw StepError{"page-offset= must stay within the first page (below 4096)"};
    auto buffer = std::make_shared<DataBuffer>(bytes, std::max<size_t>(size, bytes.size()), pageOffset);
    if (step.Has("invalid-from")) {
        size_t from = ParseNumber(step.Option("invalid-from")).value();
        if (from >= buffer->size())
            throw StepError{"invalid-from= must fall inside the buffer"};
        // Whole pages: from the one holding byte `from` to the buffer's last.
        uintptr_t first = (reinterpret_cast<uintptr_t>(buffer->data()) + from) & ~(uintptr_t{sim::kPageSize} - 1);
        uintptr_t last = reinterpret_cast<uintptr_t>(buffer->data()) + buffer->size() - 1;
        for (uintptr_t page = first; page <= last; page += sim::kPageSize)
            sim::InvalidatePage(reinterpret_cast<void*>(page));
    }
    if (step.Has("vanish-after"))
        sim::InvalidatePageAfterChecks(buffer->data(),
                                       static_cast<int>(ParseNumber(step.Option("vanish-after")).value()));
    ULONG_PTR provider = ParseNumber(step.Option("provider", "0")).value();
    ULONG_PTR dataPath = ParseNumber(step.Option("datapath", "0")).value();
    bool hasBuffer = step.Has("buffer") || step.Has("size");

    sim::Request request(IRP_MJ_SYSTEM_CONTROL, static_cast<UCHAR>(minor));
    request.Setup([=](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.WMI.ProviderId = provider;
        location->Parameters.WMI.DataPath = reinterpret_cast<PVOID>(dataPath);
        location->Parameters.WMI.BufferSize = size;
        location->Parameters.WMI.Buffer = hasBuffer ? buffer->data() : nullptr;
    });
    sim::IoResult result = sim::Send(pdo.Device(), request);
    CheckStatus(step, result.final, "the request");
}

void Runner::SendReadWrite(const Step& step, bool write)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    std::vector<unsigned char> data;
    if (step.Has("data"))
        data = ParseBytes(step.Option("data")).value();
    ULONG length = static_cast<ULONG>(
        ParseNumber(step.Option("length", std::to_string(data.empty() ? 512 : data.size()))).value());
    LONGLONG offset = static_cast<LONGLONG>(ParseNumber(step.Option("offset", "0")).value());
    std::vector<unsigned char> pattern(length);
    for (size_t i = 0; i < pattern.size() && !data.empty(); ++i)
        pattern[i] = data[i % data.size()];
    DataBuffer buffer(pattern, length);
    sim::Request request =
        write ? sim::Request::Write(buffer.data(), length, offset) : sim::Request::Read(buffer.data(), length, offset);
    sim::IoResult result = sim::Send(pdo.Device(), request);
    CheckStatus(step, result.final, write ? "the write" : "the read");
}

void Runner::SendControl(const Step& step, bool internal, HANDLE handle)
{
    std::optional<unsigned> code =
        internal ? Lookup(kInternalCodes, step.args[1], 0xFFFFFFFFu) : Lookup(kControlCodes, step.args[1], 0xFFFFFFFFu);
    if (!code)
        throw StepError{"expected a control code such as 0x2D1400 or one of its names (" +
                        (internal ? Names(kInternalCodes) : Names(kControlCodes)) + "), not '" + step.args[1] + "'"};
    std::vector<unsigned char> inputBytes;
    if (step.Has("in"))
        inputBytes = ParseBytes(step.Option("in")).value();
    FreedPages freed(step, internal, handle != nullptr, &inputBytes);
    if (!freed.error().empty())
        throw StepError{freed.error()};
    DataBuffer input(inputBytes, inputBytes.size());
    DataBuffer output({}, ParseNumber(step.Option("out", "0")).value());
    sim::IoResult result;
    if (internal) {
        sim::Pdo& pdo = Device(step, step.args[0]);
        void* block = freed.block() != nullptr ? freed.block() : inputBytes.empty() ? nullptr : input.data();
        result = sim::Send(pdo.Device(), sim::Request::InternalDeviceControl(static_cast<ULONG>(*code), block));
    } else if (handle != nullptr) {
        result = sim::DeviceIoControl(handle, static_cast<ULONG>(*code), input.data(), static_cast<ULONG>(input.size()),
                                      output.data(), static_cast<ULONG>(output.size()));
    } else {
        sim::Pdo& pdo = Device(step, step.args[0]);
        result = sim::Send(pdo.Device(), sim::Request::DeviceControl(static_cast<ULONG>(*code), input.data(),
                                                                     static_cast<ULONG>(input.size()), output.data(),
                                                                     static_cast<ULONG>(output.size())));
    }
    CheckStatus(step, result.final, "the request");
    if (std::string wrong = freed.CheckFaults(); !wrong.empty())
        throw StepError{wrong};
}

void Runner::SendSrb(const Step& step)
{
    sim::Pdo& pdo = Device(step, step.args[0]);
    SrbRequest srb;
    if (step.Has("cdb"))
        srb.cdb = ParseBytes(step.Option("cdb")).value();
    if (srb.cdb.empty() || srb.cdb.size() > 16)
        throw StepError{"cdb= takes 1 to 16 bytes"};
    srb.function = static_cast<unsigned>(ParseNumber(step.Option("function", "0")).value());
    srb.length = static_cast<unsigned>(ParseNumber(step.Option("length", "0")).value());
    if (step.Has("data"))
        srb.data = ParseBytes(step.Option("data")).value();
    srb.direction = step.Option("direction", srb.data.empty() ? "in" : "out");
    if (srb.direction != "in" && srb.direction != "out" && srb.direction != "none")
        throw StepError{"direction= takes in, out or none"};
    srb.senseLength = static_cast<unsigned>(ParseNumber(step.Option("sense", "18")).value());
    srb.flags = step.Option("flags");
    std::string reason;
    NTSTATUS status = STATUS_SUCCESS;
    if (!SendSrbRequest(pdo.Device(), srb, &status, &reason))
        throw StepError{reason};
    CheckStatus(step, status, "the SRB");
}

}  // namespace scn::run
