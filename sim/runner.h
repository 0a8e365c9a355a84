// Runs a scenario against the driver in the simulated kernel.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/scenario.h"

namespace scn {

struct RunResult;

struct RunOptions {
    std::optional<unsigned> mask;        // overrides every trace mask in the registry
    std::optional<std::string> trailer;  // overrides every trailer in the registry
    std::string registryFile;            // loaded before the scenario runs
    std::string saveRegistryFile;        // written when it has run
    bool annotate = false;               // mark lines with the step they belong to
    // Fault sweeps: the failNth-th call of failRoutine in the run fails. In a
    // sweep, statuses are not held against expect=, and a step that cannot go
    // on ends the steps without ending the checks: the stack is taken down
    // (held requests let go, devices removed, the driver unloaded) and what
    // the driver left behind is still looked for.
    std::string failRoutine;
    int failNth = 0;
    bool sweep = false;
    // A stop of the simulated kernel (a bug check) cannot be unwound: the
    // process ends on the thread that stopped. Given this, that thread hands
    // it a result first, with the debugger text up to the stop followed by
    // the stop and whose doing it was, so the caller can still show or
    // compare it. Without it, only the message goes to standard error.
    std::function<void(const RunResult& stopped)> onStop;
};

struct RunResult {
    bool ok = false;
    std::string output;    // the debugger text, as the debugger shows it
    std::string error;     // why the run stopped: "file:line: reason"
    bool stopped = false;  // the simulated kernel stopped (given to onStop only)
    // Sweeps: the calls the run made of each routine that can fail, and what
    // was left allocated at the end ("" when nothing).
    std::vector<std::pair<std::string, int>> calls;
    std::string leaks;
};

// Runs on a freshly reset kernel; the kernel is reset again afterwards. A
// step whose status differs from its expect= option, a leak at the end, or a
// scenario the kernel refuses stops the run with an error.
RunResult RunScenario(const Scenario& scenario, const RunOptions& options);

}  // namespace scn
