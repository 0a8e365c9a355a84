// The scenario parser on arbitrary text: what it cannot read it refuses
// with a reason, and it never crashes; the numbers and byte lists of a
// scenario it accepts go through their own parsers too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    scn::Scenario scenario;
    scn::ParseError error;
    if (!scn::ParseScenario(text, "fuzz.scn", &scenario, &error)) {
        if (error.reason.empty()) {
            std::fprintf(stderr, "a scenario refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    for (const scn::Step& step : scenario.steps) {
        for (const auto& [name, value] : step.options) {
            (void)name;
            scn::ParseNumber(value);
            scn::ParseBytes(value);
        }
    }
    return 0;
}
