// Steps whose request the device below holds (`lower ... action=hold`). Such
// a step does not block the scenario: it waits on a thread of its own while
// the next steps run, and finishes when `release` lets its request go, as a
// program's request stays pending while others are sent.
#pragma once
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "simkernel/bus.h"

namespace scn {

class HeldSteps {
public:
    using Devices = std::vector<sim::Pdo*>;

    HeldSteps() = default;
    HeldSteps(const HeldSteps&) = delete;
    HeldSteps& operator=(const HeldSteps&) = delete;
    ~HeldSteps();

    // Runs body on a thread of its own and waits until it has finished (a
    // failure is rethrown here) or a request was held on one of devices
    // while it ran. True when it finished; false when it now waits for a
    // release. A step that fails later is reported by its exception's what().
    bool Run(int line, const std::string& command, std::function<void()> body, const Devices& devices);

    // After released let its held requests go: waits for the steps that
    // waited for it until each has finished or is held again. Returns why
    // the first of them that failed did ("the request of line N (irp),
    // released here: ..."), or nothing when they all ended well.
    std::string Settle(sim::Pdo* released, const Devices& devices);

    // The steps still waiting and the release each needs ("line N (irp)
    // waits for 'release disk'"), or nothing when none waits.
    std::string StillWaiting(const std::function<std::string(sim::Pdo*)>& nameOf) const;

    // Cancels every request held on devices and waits for all threads;
    // their outcome is dropped. For a run that stops.
    void Abandon(const Devices& devices);

private:
    struct Step {
        int line;
        std::string command;
        std::future<void> done;
        Devices holders;
    };

    // Waits until the step finished or devices hold more than before.
    static bool WaitFinishedOrHeld(Step& step, const Devices& devices, const std::vector<size_t>& before);

    std::vector<Step> waiting_;
};

}  // namespace scn
