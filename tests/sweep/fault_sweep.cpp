// The fault sweep: for each scenario, every call the run makes of a kernel
// routine that can fail (pool, MDLs, device and link creation, registry,
// IRPs, work items, probes, ...) fails in turn, one per run. Each run must end
// without a crash, without a bug check of the simulated kernel's verifier,
// and with nothing the driver allocated left behind once the stack is taken
// down and the driver unloaded. Each run is a child process, so a bug check
// (which aborts) is reported and the sweep goes on.
//
//   fault_sweep [--builtin] [--jobs N] [SCENARIO-FILE...]
//
// --builtin adds the built-in scenarios. Prints one line per scenario and
// every failing run in full; exits 1 when any run failed.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/builtin.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace {

struct Job {
    std::string routine;  // empty: the clean run that counts the calls
    int nth = 0;
};

struct Child {
    pid_t pid;
    int fd;
    Job job;
    std::string text;
};

// In the child: runs the scenario and writes what the parent needs.
[[noreturn]] void RunChild(const scn::Scenario& scenario, const Job& job, int fd) {
    alarm(120);
    dup2(fd, 2);  // the verifier's report goes to the parent too
    scn::RunOptions options;
    options.sweep = true;
    options.failRoutine = job.routine;
    options.failNth = job.nth;
    scn::RunResult result = scn::RunScenario(scenario, options);
    std::ostringstream out;
    for (const auto& [routine, count] : result.calls)
        out << "CALLS " << routine << " " << count << "\n";
    if (!result.leaks.empty()) out << "LEAKS\n" << result.leaks;
    const std::string text = out.str();
    if (write(fd, text.data(), text.size()) < 0) _exit(4);
    _exit(result.leaks.empty() ? 0 : 3);
}

Child Start(const scn::Scenario& scenario, const Job& job) {
    int pipes[2];
    if (pipe(pipes) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    std::cout.flush();
    std::cerr.flush();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        close(pipes[0]);
        RunChild(scenario, job, pipes[1]);
    }
    close(pipes[1]);
    return Child{pid, pipes[0], job, ""};
}

// Reads the child's output to its end and waits for it; "" when the run was
// clean, else what went wrong.
std::string Finish(Child& child) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(child.fd, buffer, sizeof buffer)) > 0)
        child.text.append(buffer, static_cast<size_t>(n));
    close(child.fd);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFSIGNALED(status))
        return "stopped by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + "):\n" +
               child.text;
    if (WEXITSTATUS(status) == 3) return "left behind:\n" + child.text.substr(child.text.find("LEAKS\n") + 6);
    if (WEXITSTATUS(status) != 0)
        return "ended with exit code " + std::to_string(WEXITSTATUS(status)) + ":\n" + child.text;
    return "";
}

std::vector<std::pair<std::string, int>> Calls(const std::string& text) {
    std::vector<std::pair<std::string, int>> calls;
    std::istringstream in(text);
    std::string word, routine;
    int count;
    while (in >> word) {
        if (word == "CALLS" && in >> routine >> count) calls.emplace_back(routine, count);
    }
    return calls;
}

// Sweeps one scenario; returns the number of failed runs.
int Sweep(const std::string& name, const scn::Scenario& scenario, int jobs, int* runs) {
    Child clean = Start(scenario, Job{});
    std::string problem = Finish(clean);
    if (!problem.empty()) {
        std::cout << name << ": the run without faults fails: " << problem << "\n";
        return 1;
    }
    std::deque<Job> todo;
    for (const auto& [routine, count] : Calls(clean.text))
        for (int n = 1; n <= count; ++n)
            todo.push_back(Job{routine, n});
    const size_t total = todo.size();
    int failed = 0;
    std::vector<Child> running;
    while (!todo.empty() || !running.empty()) {
        while (!todo.empty() && static_cast<int>(running.size()) < jobs) {
            running.push_back(Start(scenario, todo.front()));
            todo.pop_front();
        }
        Child child = running.front();
        running.erase(running.begin());
        problem = Finish(child);
        if (!problem.empty()) {
            ++failed;
            std::cout << name << ": call " << child.job.nth << " of " << child.job.routine << " failed: " << problem
                      << "\n";
        }
    }
    *runs += static_cast<int>(total);
    std::cout << name << ": " << total << " faults injected, "
              << (failed ? std::to_string(failed) + " FAILED" : "all clean") << "\n";
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, scn::Scenario>> scenarios;
    int jobs = 2;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--builtin") {
            for (const scn::BuiltinScenario& builtin : scn::BuiltinScenarios()) {
                scn::Scenario scenario;
                scn::ParseError error;
                if (!scn::ParseScenario(builtin.text, std::string("builtin:") + builtin.name, &scenario, &error)) {
                    std::cerr << error.Message() << "\n";
                    return 2;
                }
                scenarios.emplace_back(std::string("builtin:") + builtin.name, scenario);
            }
        } else if (arg == "--jobs" && i + 1 < argc) {
            jobs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--help" || arg.rfind("--", 0) == 0) {
            std::cerr << "usage: fault_sweep [--builtin] [--jobs N] [SCENARIO-FILE...]\n";
            return arg == "--help" ? 0 : 2;
        } else {
            scn::Scenario scenario;
            scn::ParseError error;
            if (!scn::LoadScenarioFile(arg, &scenario, &error)) {
                std::cerr << error.Message() << "\n";
                return 2;
            }
            scenarios.emplace_back(arg, scenario);
        }
    }
    int failed = 0, runs = 0;
    for (const auto& [name, scenario] : scenarios)
        failed += Sweep(name, scenario, jobs, &runs);
    std::cout << "fault sweep: " << scenarios.size() << " scenarios, " << runs << " runs with a fault, " << failed
              << " failed\n";
    return failed == 0 ? 0 : 1;
}
