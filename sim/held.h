// Steps whose request the device below holds (`lower ... action=hold`). Such
// a step does not block the scenario: it waits on a thread of its own while
// the next steps run, and finishes when `release` lets its request go, as a
// program's request stays pending while others are sent.
#pragma once
#include <exception>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "simkernel/bus.h"

namespace scn {

class HeldSteps {
public:
    using Devices = std::vector<sim::Pdo*>;

    struct Waiting {
        int line = 0;
        std::string command;
        Devices holders;  // the devices below whose hold it waits for
    };

    struct Finished {
        int line = 0;
        std::string command;
        std::exception_ptr failure;  // null when the step ended well
    };

    HeldSteps() = default;
    HeldSteps(const HeldSteps&) = delete;
    HeldSteps& operator=(const HeldSteps&) = delete;
    ~HeldSteps();

    // Runs body on a thread of its own and waits until it has finished (a
    // failure is rethrown here) or a request was held on one of devices while
    // it ran. True when it finished; false when it now waits for a release.
    bool Run(int line, const std::string& command, std::function<void()> body, const Devices& devices);

    // After released let its held requests go: waits for the steps that
    // waited for it until each has finished or is held again. Returns the
    // steps that finished, in the order they were sent.
    std::vector<Finished> Settle(sim::Pdo* released, const Devices& devices);

    std::vector<Waiting> StillWaiting() const;

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
