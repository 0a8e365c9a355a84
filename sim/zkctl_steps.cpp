#include "sim/zkctl_steps.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "ioctl/request.h"
#include "platform/ntio.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/registry.h"
#include "tools/zkctl/install.h"
#include "tools/zkctl/zkctl.h"

namespace scn {
namespace {

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The tool's console lines go into the transcript after the debugger's,
// marked as the console's.
void Show(const std::string& prefix, const std::string& text)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        DbgPrint("%s", (prefix + line + "\n").c_str());
}

zkctl::Failure FailureOf(NTSTATUS status)
{
    switch (static_cast<uint32_t>(status)) {
    case 0xC0000022:  // STATUS_ACCESS_DENIED
        return zkctl::Failure::AccessDenied;
    case 0xC000000E:  // STATUS_NO_SUCH_DEVICE
    case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC0000056:  // STATUS_DELETE_PENDING
        return zkctl::Failure::NoInstance;
    default:
        return zkctl::Failure::Refused;
    }
}

class SimInstance : public zkctl::Instance {
public:
    SimInstance(HANDLE handle, sim::Account account) : handle_(handle), account_(account) {}
    ~SimInstance() override
    {
        sim::CloseFile(handle_);
    }

    zkctl::Reply Request(const std::vector<uint8_t>& input, size_t outputLength) override
    {
        sim::ActingAs as(account_);
        std::vector<uint8_t> output(outputLength);
        sim::IoResult result = sim::DeviceIoControl(handle_, ZK_REQUEST_CODE, input, output);
        zkctl::Reply reply;
        if (!NT_SUCCESS(result.final)) {
            reply.failure = FailureOf(result.final);
            reply.code = "status " + Hex(static_cast<uint32_t>(result.final));
            return reply;
        }
        output.resize(std::min<size_t>(output.size(), result.information));
        reply.output = std::move(output);
        return reply;
    }

private:
    HANDLE handle_;
    sim::Account account_;
};

// The machine as the simulated kernel has it: its registry, no devices of
// the classes zkctl installs for (the simulated stacks are built by the
// scenario, not by Plug and Play), and the service running while the driver
// is loaded.
class SimMachine : public zkctl::Machine {
public:
    explicit SimMachine(bool loaded) : loaded_(loaded) {}

    std::optional<zkctl::RegValue> ReadValue(const std::string& key, const std::string& name) override
    {
        auto value = sim::Registry().GetValue(Path(key), name);
        if (!value)
            return std::nullopt;
        return zkctl::RegValue{value->type, value->data};
    }
    bool WriteValue(const std::string& key, const std::string& name, const zkctl::RegValue& value,
                    std::string* error) override
    {
        if (sim::Registry().CreateKey(Path(key)) && sim::Registry().SetValue(Path(key), name, value.type, value.data))
            return true;
        *error = "the registry refused the value";
        return false;
    }
    bool DeleteValue(const std::string& key, const std::string& name, std::string*) override
    {
        sim::Registry().DeleteValue(Path(key), name);
        return true;
    }
    bool KeyExists(const std::string& key) override
    {
        return sim::Registry().KeyExists(Path(key));
    }
    bool DeleteKeyIfEmpty(const std::string& key) override
    {
        if (!sim::Registry().ValueNames(Path(key)).empty() || !sim::Registry().SubkeyNames(Path(key)).empty())
            return false;
        return sim::Registry().DeleteKey(Path(key));
    }
    std::vector<zkctl::DeviceEntry> Devices() override
    {
        return {};
    }
    bool DeviceFilters(const std::string&, std::optional<zkctl::RegValue>*) override
    {
        return false;
    }
    bool SetDeviceFilters(const std::string&, const std::optional<zkctl::RegValue>&, std::string* error) override
    {
        *error = "no such device";
        return false;
    }
    zkctl::Restart RestartDevice(const std::string&) override
    {
        return zkctl::Restart::Failed;
    }
    zkctl::ServiceState Service() override
    {
        if (loaded_)
            return zkctl::ServiceState::Running;
        return KeyExists(zkctl::kServiceKey) ? zkctl::ServiceState::Stopped : zkctl::ServiceState::NotInstalled;
    }

private:
    static std::string Path(const std::string& key)
    {
        return "\\Registry\\Machine\\" + key;
    }
    bool loaded_;
};

std::string RunTool(const Step& step, bool loaded)
{
    auto account = ParseAccount(step.Option("user", "admin"));
    if (!account)
        return "user= takes admin, standard or system";
    zkctl::Opener open = [&](unsigned number, zkctl::Reply* failure) -> std::unique_ptr<zkctl::Instance> {
        sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor" + std::to_string(number));
        if (opened.handle == nullptr) {
            failure->failure = FailureOf(opened.status);
            failure->code = "status " + Hex(static_cast<uint32_t>(opened.status));
            return nullptr;
        }
        return std::make_unique<SimInstance>(opened.handle, *account);
    };
    SimMachine machine(loaded);
    zkctl::Result result = zkctl::Run(step.args, open, &machine);
    Show("zkctl> ", result.out);
    Show("", result.err);
    int expected = static_cast<int>(ParseNumber(step.Option("exit", "0")).value());
    if (result.exitCode != expected)
        return "zkctl ended with exit code " + std::to_string(result.exitCode) + ", expected " +
               std::to_string(expected);
    return "";
}

void PutUlong(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// One record built by hand. address= names where its data area lies: 0 (in
// the request, the default), a number, or a program's memory: user (a page
// below 2 GB holding data=), unmapped (a page freed before the send),
// freed-after-probe (freed by another thread once the driver has probed it),
// kernel (0xFFFFFC00, sign-extended into kernel space).
std::string RunRequest(const Step& step, const std::function<HANDLE(const std::string&)>& handleOf)
{
    HANDLE handle = handleOf(step.args[0]);
    std::vector<uint8_t> data;
    if (step.Has("data"))
        data = ParseBytes(step.Option("data")).value();
    uint32_t operation = static_cast<uint32_t>(ParseNumber(step.Option("op", "0")).value());
    uint32_t magic = static_cast<uint32_t>(ParseNumber(step.Option("magic", Hex(ZK_REQUEST_MAGIC))).value());

    std::string where = step.Option("address", "0");
    uint8_t* area = nullptr;
    uint32_t address = 0;
    if (where == "user" || where == "unmapped" || where == "freed-after-probe") {
        area = sim::LowUserArea(sim::kPageSize);
        if (!data.empty())
            std::memcpy(area, data.data(), std::min(data.size(), sim::kPageSize));
        address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area));
        if (where == "unmapped") {
            sim::FreeLowUserArea(area);
            area = nullptr;
        } else if (where == "freed-after-probe") {
            sim::FreeLowUserAreaAfterProbe(area);
        }
    } else if (where == "kernel") {
        address = 0xFFFFFC00u;
    } else {
        auto number = ParseNumber(where);
        if (!number || *number > 0xFFFFFFFFull)
            return "address= takes 0, a 32-bit number, user, unmapped, freed-after-probe or kernel";
        address = static_cast<uint32_t>(*number);
    }

    std::vector<uint8_t> input(ZK_REQUEST_SIZE);
    PutUlong(input, ZK_REQUEST_MAGIC_OFFSET, magic);
    PutUlong(input, ZK_REQUEST_OPERATION_OFFSET, operation);
    PutUlong(input, ZK_REQUEST_ADDRESS_OFFSET, address);
    if (address == 0)
        input.insert(input.end(), data.begin(), data.end());
    if (step.Has("in"))
        input.resize(ParseNumber(step.Option("in")).value());
    std::vector<uint8_t> output(ParseNumber(step.Option("out", "12")).value());

    sim::IoResult result;
    {
        sim::ActingAs as(sim::HandleAccount(handle));
        result = sim::DeviceIoControl(handle, ZK_REQUEST_CODE, input, output);
    }
    std::string line = "zk-request> status " + Hex(static_cast<uint32_t>(result.final)) + ", information " +
                       std::to_string(result.information);
    // show=N: the first N bytes of the data area after the request, 16 a line.
    size_t show = ParseNumber(step.Option("show", "0")).value();
    for (size_t row = 0; row < show; row += 16) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "\n  data +%03zX:", row);
        line += offset;
        for (size_t i = row; i < show && i < row + 16; ++i) {
            uint8_t byte = 0;
            if (area != nullptr && where == "user")
                byte = area[i];
            else if (ZK_REQUEST_SIZE + i < output.size())
                byte = output[ZK_REQUEST_SIZE + i];
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", byte);
            line += hex;
        }
    }
    Show("", line + "\n");
    if (step.Has("expect")) {
        NTSTATUS expected = static_cast<NTSTATUS>(ParseNumber(step.Option("expect")).value());
        if (result.final != expected)
            return "the request ended with " + Hex(static_cast<uint32_t>(result.final)) + ", expected " +
                   Hex(static_cast<uint32_t>(expected));
    }
    return "";
}

}  // namespace

std::optional<sim::Account> ParseAccount(const std::string& word)
{
    if (word == "admin")
        return sim::Account::Administrator;
    if (word == "standard")
        return sim::Account::StandardUser;
    if (word == "system")
        return sim::Account::System;
    return std::nullopt;
}

bool IsZkctlCommand(const std::string& command)
{
    return command == "zkctl" || command == "zk-request";
}

std::string RunZkctlStep(const Step& step, const std::function<HANDLE(const std::string&)>& handle, bool loaded)
{
    if (step.command == "zkctl")
        return RunTool(step, loaded);
    return RunRequest(step, handle);
}

}  // namespace scn
