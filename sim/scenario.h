// Scenarios: what to load, which devices the simulated bus offers, which
// registry values exist, and which requests travel down the stacks. The
// simulator runs them for users; the golden tests run them and compare the
// debugger text with what was recorded. The format is described in
// docs/scenarios.md.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace scn {

struct Step {
    int line = 0;
    std::string command;
    std::vector<std::string> args;               // positional words, quotes removed
    std::map<std::string, std::string> options;  // key=value words

    bool Has(const std::string& key) const
    {
        return options.count(key) != 0;
    }
    std::string Option(const std::string& key, const std::string& fallback = "") const;
};

struct Scenario {
    std::string file;       // as given, for messages
    std::string directory;  // relative paths in the scenario start here
    std::string title;
    std::vector<Step> steps;
};

struct ParseError {
    std::string file;
    int line = 0;
    std::string reason;
    std::string Message() const;  // "file:line: reason"
};

// Parses and checks the whole text: unknown commands, missing or surplus
// arguments, unknown options and malformed numbers are refused here, so that
// nothing runs from a file with a mistake in it.
bool ParseScenario(const std::string& text, const std::string& file, Scenario* scenario, ParseError* error);
bool LoadScenarioFile(const std::string& path, Scenario* scenario, ParseError* error);

// Numbers in scenarios: decimal, or hexadecimal with 0x. Empty on a bad one.
std::optional<unsigned long long> ParseNumber(const std::string& text);
// The most hours a time since boot can have: the kernel counts it in 100 ns
// units in a signed 64-bit number.
constexpr uint64_t kMaxHoursSinceBoot = 256204777;
// "H:MM:SS.mmm" in 100 ns units; empty unless every field is digits within
// its range.
std::optional<uint64_t> ParseTimeSinceBoot(const std::string& text);
// Bytes written as hex pairs, optionally separated by blanks or commas
// ("28 00 00 01", "28000001"), or as "text:..." for ASCII text.
std::optional<std::vector<unsigned char>> ParseBytes(const std::string& text);

// One line per command, for --help and the documentation.
std::string CommandSummary();

}  // namespace scn
