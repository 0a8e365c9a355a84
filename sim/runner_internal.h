// The runner's inside, shared by its two halves: runner.cpp takes a scenario
// from start to end (the steps in order, the checks at the end, a stop),
// runner_steps.cpp carries out each step.
#pragma once
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/held.h"
#include "sim/runner.h"
#include "sim/scenario.h"
#include "simkernel/bus.h"
#include "simkernel/memory.h"
#include "simkernel/registry.h"

namespace scn::run {

// Request data lives in the memory manager's buffers: at the same address on
// every run, and with a guard page behind, so a driver that reads past the
// end faults.
class DataBuffer {
public:
    explicit DataBuffer(const std::vector<unsigned char>& bytes, size_t size, size_t pageOffset = 0)
        : buffer_(sim::AllocateBuffer(size == 0 ? 1 : size, pageOffset)), size_(size)
    {
        std::memset(buffer_.address, 0, size_ == 0 ? 1 : size_);
        for (size_t i = 0; i < size_ && !bytes.empty(); ++i)
            buffer_.address[i] = i < bytes.size() ? bytes[i] : 0;
    }
    ~DataBuffer()
    {
        sim::FreeBuffer(buffer_);
    }
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;
    unsigned char* data() const
    {
        return buffer_.address;
    }
    size_t size() const
    {
        return size_;
    }

private:
    sim::SimBuffer buffer_;
    size_t size_;
};

// The request failed the scenario: carries the step's reason up.
struct StepError : std::exception {
    explicit StepError(std::string why) : reason(std::move(why)) {}
    const char* what() const noexcept override
    {
        return reason.c_str();
    }
    std::string reason;
};

class Runner {
public:
    Runner(const Scenario& scenario, const RunOptions& options) : scenario_(scenario), options_(options) {}

    RunResult Run();

private:
    using StepHandler = void (Runner::*)(const Step&);

    std::string ParametersKey() const
    {
        return std::string(sim::kServicesRoot) + "\\" + service_ + "\\Parameters";
    }

    // runner.cpp: the run.
    void RunSteps(RunResult* result);
    void RunStep(const Step& step);
    void CheckEnd(RunResult* result);
    void CheckNothingHeld() const;
    void Finish();
    void TakeDown();
    void Stopped(const std::string& message, const std::string& where) const;
    std::string WhoseDoing(const std::string& message) const;
    static void Observe(const std::string& text);

    // runner_steps.cpp: one step.
    static const std::map<std::string, StepHandler>& Handlers();
    void Execute(const Step& step);
    void ExecuteFamily(const Step& step);
    void CheckStatus(const Step& step, NTSTATUS status, const char* what);
    sim::Pdo& Device(const Step& step, const std::string& name);
    HANDLE Handle(const std::string& name);
    HeldSteps::Devices AllDevices() const;

    void Nothing(const Step&) {}
    void SetService(const Step& step);
    void SetRegistry(const Step& step);
    void LoadRegistryFile(const Step& step);
    void ExpectRegistry(const Step& step);
    void SetWdmVersion(const Step& step);
    void SetTime(const Step& step);
    void InjectFault(const Step& step);
    void Load(const Step& step);
    void Unload(const Step& step);
    void CreateDevice(const Step& step);
    void ProgramLower(const Step& step);
    void ReleaseHeld(const Step& step);
    void AddDevice(const Step& step);
    void StartDevice(const Step& step);
    void RemoveDevice(const Step& step);
    void SendPnp(const Step& step);
    void SendPower(const Step& step);
    void SendIrp(const Step& step)
    {
        SendPlain(step, Device(step, step.args[0]).Device(), nullptr);
    }
    void SendHandleIrp(const Step& step)
    {
        SendPlain(step, nullptr, Handle(step.args[0]));
    }
    void SendWmi(const Step& step);
    void SendRead(const Step& step)
    {
        SendReadWrite(step, false);
    }
    void SendWrite(const Step& step)
    {
        SendReadWrite(step, true);
    }
    void SendIoctl(const Step& step)
    {
        SendControl(step, false, nullptr);
    }
    void SendInternal(const Step& step)
    {
        SendControl(step, true, nullptr);
    }
    void SendHandleIoctl(const Step& step);
    void SendSrb(const Step& step);
    void Open(const Step& step);
    void Close(const Step& step);
    void SendPlain(const Step& step, PDEVICE_OBJECT target, HANDLE handle);
    void SendReadWrite(const Step& step, bool write);
    void SendControl(const Step& step, bool internal, HANDLE handle);

    const Scenario& scenario_;
    RunOptions options_;
    std::string service_ = "zelkor";
    PDRIVER_OBJECT driver_ = nullptr;
    std::map<std::string, sim::Pdo*> devices_;
    std::map<std::string, HANDLE> handles_;
    HeldSteps held_;

    // Annotation: which step each line of debugger text belongs to.
    static std::mutex observeLock_;
    static std::string label_;
    static std::string annotated_;
    static bool atLineStart_;
    static std::string where_;  // the step running, for a stop's message
};

}  // namespace scn::run
