#include "sim/held.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "simkernel/iomgr.h"

namespace scn {
namespace {

// One count per device, then the removals that wait for a request to come
// back up (IoReleaseRemoveLockAndWait).
std::vector<size_t> HeldCounts(const HeldSteps::Devices& devices)
{
    std::vector<size_t> counts;
    counts.reserve(devices.size() + 1);
    for (sim::Pdo* pdo : devices)
        counts.push_back(pdo->HeldCount());
    counts.push_back(static_cast<size_t>(sim::RemoveLockWaiters()));
    return counts;
}

bool Ready(std::future<void>& done, std::chrono::milliseconds wait)
{
    return done.wait_for(wait) == std::future_status::ready;
}

}  // namespace

HeldSteps::~HeldSteps()
{
    // Runner::Run abandons what still waits before the kernel is reset; a
    // future left here would block on a request nobody releases.
    for (Step& step : waiting_)
        if (step.done.valid())
            step.done.wait();
}

bool HeldSteps::WaitFinishedOrHeld(Step& step, const Devices& devices, const std::vector<size_t>& before)
{
    for (;;) {
        if (Ready(step.done, std::chrono::milliseconds(1)))
            return true;
        std::vector<size_t> now = HeldCounts(devices);
        Devices holders;
        for (size_t i = 0; i < devices.size(); ++i)
            if (now[i] > before[i])
                holders.push_back(devices[i]);
        // A removal waiting for requests: held by whatever holds them. One
        // that waits for a request a worker completes soon just finishes.
        if (holders.empty() && now.back() > before.back())
            for (sim::Pdo* pdo : devices)
                if (pdo->HeldCount() > 0)
                    holders.push_back(pdo);
        if (!holders.empty()) {
            // The hold may have been the request's last word before it was
            // completed after all: finished wins.
            if (Ready(step.done, std::chrono::milliseconds(0)))
                return true;
            step.holders = std::move(holders);
            return false;
        }
    }
}

bool HeldSteps::Run(int line, const std::string& command, std::function<void()> body, const Devices& devices)
{
    std::vector<size_t> before = HeldCounts(devices);
    Step step{line, command, std::async(std::launch::async, std::move(body)), {}};
    if (WaitFinishedOrHeld(step, devices, before)) {
        step.done.get();
        return true;
    }
    waiting_.push_back(std::move(step));
    return false;
}

std::string HeldSteps::Settle(sim::Pdo* released, const Devices& devices)
{
    std::string failure;
    std::vector<size_t> before = HeldCounts(devices);
    for (Step& step : waiting_) {
        bool waitsHere = std::find(step.holders.begin(), step.holders.end(), released) != step.holders.end();
        bool ended =
            waitsHere ? WaitFinishedOrHeld(step, devices, before) : Ready(step.done, std::chrono::milliseconds(0));
        if (!ended) {
            before = HeldCounts(devices);
            continue;
        }
        try {
            step.done.get();
        } catch (const std::exception& error) {
            if (failure.empty())
                failure = "the request of line " + std::to_string(step.line) + " (" + step.command +
                          "), released here: " + error.what();
        }
    }
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [](const Step& s) { return !s.done.valid(); }),
                   waiting_.end());
    return failure;
}

std::string HeldSteps::StillWaiting(const std::function<std::string(sim::Pdo*)>& nameOf) const
{
    std::string waiting;
    for (const Step& step : waiting_) {
        std::string names;
        for (sim::Pdo* pdo : step.holders)
            names += (names.empty() ? "" : ", ") + nameOf(pdo);
        waiting += (waiting.empty() ? "" : "; ") + std::string("line ") + std::to_string(step.line) + " (" +
                   step.command + ") waits for 'release " + names + "'";
    }
    return waiting;
}

void HeldSteps::Abandon(const Devices& devices)
{
    for (sim::Pdo* pdo : devices)
        pdo->CancelHeld();
    for (Step& step : waiting_) {
        try {
            step.done.get();
        } catch (...) {
        }
    }
    waiting_.clear();
}

}  // namespace scn
