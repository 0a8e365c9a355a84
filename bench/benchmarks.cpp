// The timing suite: every case as a Google Benchmark, its time per request
// (or message) in the "per_op" column. Times on a shared machine wander;
// scripts/bench.sh counts instructions under callgrind for figures that
// repeat, and these times are a second view of the same cases.
#include <benchmark/benchmark.h>

#include <exception>

#include "bench/cases.h"
#include "simkernel/core.h"

namespace {

void RunCase(benchmark::State& state, const zkbench::Case* c)
{
    std::unique_ptr<zkbench::Runner> runner;
    try {
        runner = c->make();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    sim::SetDebugRecording(false);
    for (auto _ : state)
        runner->Run();
    if (runner->Failures() != 0)
        state.SkipWithError("requests did not succeed");
    const double operations = static_cast<double>(state.iterations()) * c->operations;
    state.counters["per_op"] =
        benchmark::Counter(operations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv)
{
    for (const zkbench::Case& c : zkbench::Cases())
        benchmark::RegisterBenchmark(c.name.c_str(), RunCase, &c);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
