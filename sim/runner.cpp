// A scenario from start to end: the steps in order, the checks at the end,
// and a stop of the simulated kernel on the way.
#include "sim/runner.h"

#include <algorithm>
#include <iostream>
#include <mutex>

#include "driver/dispatch.h"
#include "sim/held.h"
#include "sim/ieee1394_steps.h"
#include "sim/registry_steps.h"
#include "sim/runner_internal.h"
#include "simkernel/arena.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/frames.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/workitem.h"

namespace scn {
namespace run {

std::mutex Runner::observeLock_;
std::string Runner::label_;
std::string Runner::annotated_;
bool Runner::atLineStart_ = true;
std::string Runner::where_;

void Runner::Observe(const std::string& text)
{
    std::lock_guard<std::mutex> guard(observeLock_);
    for (char c : text) {
        if (atLineStart_)
            annotated_ += label_;
        annotated_ += c;
        atLineStart_ = c == '\n';
    }
}

// A step runs on a thread of its own: when the device below holds its
// request, the scenario goes on and the step finishes at the release. Steps
// that change what the runner knows (handles, the driver, its devices) must
// finish before the next one starts.
void Runner::RunStep(const Step& step)
{
    if (step.command == "release") {
        Execute(step);  // lets held requests go and waits for their steps itself
        return;
    }
    static const char* const kMustFinish[] = {"open", "close", "load", "unload", "add", "device"};
    bool mustFinish = std::find_if(std::begin(kMustFinish), std::end(kMustFinish),
                                   [&](const char* name) { return step.command == name; }) != std::end(kMustFinish);
    if (held_.Run(
            step.line, step.command, [this, &step] { Execute(step); }, AllDevices()))
        return;
    if (mustFinish)
        throw StepError{"'" + step.command +
                        "' cannot wait for a request the device below holds: it must "
                        "finish before the next step; send a held request with irp, read, write, ioctl, pnp, "
                        "... and release it later"};
}

// Every held request is released before the scenario ends.
void Runner::CheckNothingHeld() const
{
    std::string waiting = held_.StillWaiting([this](sim::Pdo* pdo) {
        for (const auto& [name, known] : devices_)
            if (known == pdo)
                return name;
        return std::string("?");
    });
    if (!waiting.empty())
        throw StepError{scenario_.file + ": requests are still held by the device below at the end: " + waiting};
}

// A sweep's end, whatever the steps managed: held requests let go, every
// device the filter sits on removed, and the driver unloaded, as the
// Plug and Play manager would before the driver goes.
void Runner::TakeDown()
{
    held_.Abandon(AllDevices());
    sim::HoldWorkItems(false);
    sim::WaitForWorkItems();
    for (auto& [name, pdo] : devices_) {
        pdo->WaitIdle();
        PDEVICE_OBJECT device = pdo->Device();
        if (device != nullptr && sim::TopOfStack(device) != device)
            sim::PnpRemoveDevice(device);
    }
    ReleaseIeee1394Clients();
    if (driver_ != nullptr && sim::UnloadDriver(driver_) == STATUS_SUCCESS)
        driver_ = nullptr;
}

void Runner::Finish()
{
    CheckNothingHeld();
    sim::HoldWorkItems(false);
    sim::WaitForWorkItems();
    for (auto& [name, handle] : handles_)
        sim::CloseFile(handle);
    handles_.clear();
    // Requests the bus completes from its worker finish there; wait for them
    // before the kernel is reset, deleted devices included.
    for (auto& [name, pdo] : devices_)
        pdo->WaitIdle();
}

// The steps in order, each with its line for the annotation and messages.
void Runner::RunSteps(RunResult* result)
{
    for (const Step& step : scenario_.steps) {
        {
            std::lock_guard<std::mutex> guard(observeLock_);
            where_ = scenario_.file + ":" + std::to_string(step.line) + " (" + step.command + ")";
            label_ = "[" + std::to_string(step.line) + " " + step.command;
            for (const std::string& arg : step.args)
                label_ += " " + arg;
            label_ += "] ";
        }
        try {
            RunStep(step);
            // What a step set going in the kernel's worker is done before the next.
            sim::WaitForWorkItems();
        } catch (const StepError& error) {
            if (!options_.sweep)
                throw StepError{scenario_.file + ":" + std::to_string(step.line) + ": " + error.reason};
            // A fault made this step impossible; the rest would only stumble on.
            result->error = scenario_.file + ":" + std::to_string(step.line) + ": " + error.reason;
            break;
        }
    }
}

// After the steps: nothing held, the registry saved, and once the driver is
// gone, nothing it allocated left.
void Runner::CheckEnd(RunResult* result)
{
    if (options_.sweep)
        TakeDown();
    Finish();
    if (!options_.saveRegistryFile.empty()) {
        std::string error;
        if (!sim::Registry().SaveRegFile(options_.saveRegistryFile, &error))
            throw StepError{"cannot save the registry: " + error};
    }
    if (driver_ == nullptr) {
        std::string leaks = sim::LeakReport();
        for (const std::string& mdl : sim::OutstandingMdls())
            leaks += "MDL still allocated: " + mdl + "\n";
        result->leaks = leaks;
        if (!leaks.empty())
            throw StepError{scenario_.file + ": leaks at the end of the scenario:\n" + leaks};
    }
}

// Whose doing a stop was: the driver's when it broke the rule (in its own
// routine, or in what a routine of its left when it returned); the
// scenario's when a simulated driver it programs broke it, when a step asked
// the kernel itself for something it refuses, or when the simulator cannot do
// what the scenario asks.
std::string Runner::WhoseDoing(const std::string& message) const
{
    const std::string notDriver = "*** The scenario's doing, not the driver's: ";
    if (message.rfind("*** STOP: SIMULATION_", 0) == 0)
        return notDriver + "it asks for something the simulator cannot do.";
    PDRIVER_OBJECT driver = sim::AnswerableDriver();
    if (driver == nullptr)
        return notDriver + "a step asked the simulated kernel for something it does not allow.";
    if (driver->DriverInit == &DriverEntry)
        return "*** The driver's doing: \\Driver\\" + service_ + " broke a rule of the kernel.";
    if (driver == sim::BusDriver())
        return notDriver + "the simulated device below broke the rule, answering as the scenario told it.";
    return notDriver + "a simulated driver the scenario sets up broke the rule.";
}

// Runs on the thread that stopped, before the process ends: the text so far,
// then the stop and whose doing it was, go to whoever asked for them.
void Runner::Stopped(const std::string& message, const std::string& where) const
{
    std::cerr << "zelkor-sim: the simulated kernel stopped during " << where << "\n" << message << "\n";
    if (!options_.onStop)
        return;
    const std::string stop = message + "\n" + WhoseDoing(message) + "\n";
    RunResult result;
    result.stopped = true;
    result.error = "the simulated kernel stopped during " + where;
    if (options_.annotate) {
        Observe(stop);
        std::lock_guard<std::mutex> guard(observeLock_);
        result.output = annotated_;
    } else {
        result.output = sim::DebugText() + stop;
    }
    options_.onStop(result);
}

RunResult Runner::Run()
{
    RunResult result;
    sim::ResetKernel();
    sim::ClearDebugOutput();
    sim::UseDeterministicAddresses(true);
    if (!options_.failRoutine.empty())
        sim::FailNthCall(options_.failRoutine, options_.failNth);
    {
        std::lock_guard<std::mutex> guard(observeLock_);
        label_.clear();
        annotated_.clear();
        atLineStart_ = true;
        where_ = scenario_.file;
    }
    if (options_.annotate)
        sim::SetDebugObserver(&Runner::Observe);
    sim::SetBugCheckHandler([this](const std::string& message) {
        std::string where;
        {
            std::lock_guard<std::mutex> guard(observeLock_);
            where = where_;
        }
        Stopped(message, where);
    });

    try {
        if (!options_.registryFile.empty()) {
            sim::RegLoadError error;
            if (!sim::Registry().LoadRegFile(options_.registryFile, &error))
                throw StepError{"registry file refused: " + error.Message()};
        }
        ApplyRegistryOverrides(ParametersKey(), options_);
        RunSteps(&result);
        CheckEnd(&result);
        result.ok = true;
    } catch (const StepError& error) {
        result.error = error.reason;
        // Steps still waiting for a release never get one now.
        held_.Abandon(AllDevices());
    }

    for (auto& [name, pdo] : devices_)
        pdo->WaitIdle();
    result.calls = sim::CallCounts();
    result.output = options_.annotate ? annotated_ : sim::DebugText();
    sim::SetDebugObserver(nullptr);
    sim::SetBugCheckHandler(nullptr);
    sim::ResetKernel();
    sim::UseDeterministicAddresses(false);
    return result;
}

}  // namespace run

RunResult RunScenario(const Scenario& scenario, const RunOptions& options)
{
    run::Runner runner(scenario, options);
    return runner.Run();
}

}  // namespace scn
