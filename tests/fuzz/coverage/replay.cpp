// Runs the driver fuzz targets' bodies (tests/fuzz/targets.h) over inputs,
// without libFuzzer, in a build whose driver code counts what runs (clang's
// source-based coverage; tests/fuzz/coverage/CMakeLists.txt). Inputs run in
// the order of their names, each once.
//
//   fuzz_coverage TARGET PATH...
//
// TARGET is internal, devicecontrol or control; a PATH is an input file or a
// directory of them. Objects and buffers get the simulated kernel's
// deterministic addresses.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "simkernel/arena.h"
#include "tests/fuzz/targets.h"

namespace {

using Target = void (*)(FuzzedDataProvider&);

Target Find(const std::string& name) {
    if (name == "internal") return fuzz::InternalRequest;
    if (name == "devicecontrol") return fuzz::DeviceControlRequest;
    if (name == "control") return fuzz::ControlRequest;
    return nullptr;
}

std::vector<std::filesystem::path> Inputs(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(path)) {
        inputs.push_back(path);
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    const Target target = argc >= 3 ? Find(argv[1]) : nullptr;
    if (target == nullptr) {
        std::fprintf(stderr, "usage: fuzz_coverage internal|devicecontrol|control PATH...\n");
        return 2;
    }
    // The same addresses for every run: a dump that meets a page boundary
    // does so on every run, and the coverage is the same from run to run.
    sim::UseDeterministicAddresses(true);
    size_t runs = 0;
    for (int i = 2; i < argc; ++i) {
        for (const std::filesystem::path& path : Inputs(argv[i])) {
            std::ifstream file(path, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            FuzzedDataProvider input(bytes.data(), bytes.size());
            target(input);
            ++runs;
        }
    }
    std::printf("%s: %zu inputs\n", argv[1], runs);
    return 0;
}
