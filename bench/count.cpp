// The instruction counter's subject: runs one case a fixed number of times
// with callgrind collecting only around those runs, so that
// scripts/bench.sh can divide what was counted by the requests made.
//
//   zelkor_bench_count --list          the case names, one a line
//   zelkor_bench_count --check         runs each case once and checks its output
//   zelkor_bench_count --print CASE    runs CASE once and shows what it printed
//   zelkor_bench_count CASE [ROUNDS]   ROUNDS runs of CASE (default 1000)
//
// Outside valgrind the collection requests do nothing.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/cases.h"
#include "simkernel/core.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: zelkor_bench_count --list | --check | --print CASE | CASE [ROUNDS]\n");
    return 2;
}

int Count(const zkbench::Case& c, unsigned long rounds)
{
    std::unique_ptr<zkbench::Runner> runner = c.make();
    sim::SetDebugRecording(false);
    // First runs grow the kernel's tables and the allocator's free lists to
    // their steady size; they are not what a request costs.
    for (unsigned long i = 0; i < rounds / 10 + 10; ++i)
        runner->Run();
    CALLGRIND_TOGGLE_COLLECT;
    for (unsigned long i = 0; i < rounds; ++i)
        runner->Run();
    CALLGRIND_TOGGLE_COLLECT;
    if (runner->Failures() != 0) {
        std::fprintf(stderr, "%s: %u request(s) did not succeed\n", c.name.c_str(), runner->Failures());
        return 1;
    }
    std::printf("%s operations=%lu\n", c.name.c_str(), rounds * c.operations);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    try {
        if (command == "--list") {
            for (const zkbench::Case& c : zkbench::Cases())
                std::printf("%s\n", c.name.c_str());
            return 0;
        }
        if (command == "--check") {
            const auto problems = zkbench::CheckCases();
            for (const std::string& problem : problems)
                std::fprintf(stderr, "%s\n", problem.c_str());
            std::printf("%zu cases, %zu problem(s)\n", zkbench::Cases().size(), problems.size());
            return problems.empty() ? 0 : 1;
        }
        if (command == "--print" && argc == 3) {
            const zkbench::Case* c = zkbench::FindCase(argv[2]);
            if (c == nullptr)
                return Usage();
            std::unique_ptr<zkbench::Runner> runner = c->make();
            sim::ClearDebugOutput();
            runner->Run();
            std::fputs(sim::DebugText().c_str(), stdout);
            return 0;
        }
        const zkbench::Case* c = zkbench::FindCase(command);
        if (c == nullptr || argc > 3)
            return Usage();
        const unsigned long rounds = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 1000;
        if (rounds == 0)
            return Usage();
        return Count(*c, rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
