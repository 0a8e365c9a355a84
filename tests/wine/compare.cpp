// Compares the debugger text of one story as the simulator prints it with the
// text the real zelkor.sys printed under Wine, step by step.
//
//   zelkor-wine-compare SIM_TEXT SIM_ANNOTATED WINE_LOG
//
// SIM_TEXT and SIM_ANNOTATED are zelkor-sim's output for the story without
// and with --annotate (the second tells which step printed each line).
// WINE_LOG is everything Wine wrote to stderr with WINEDEBUG=warn+debugstr:
// one line per DbgPrint call, so the two or three calls of one trace line
// (stamp, trailer, message) arrive as separate pieces. The stack driver
// announces each step ("zktest: step N: ..."), reports a step that ended
// other than the story expects ("zktest: FAIL ...") and the story's end
// ("zktest: done"). Lines that start with "run_story: " are pieces too: the
// harness's, for the programs it runs while the story pauses (their steps,
// their console lines, a wrong exit code).
//
// Every simulator line must be the concatenation of the next pieces of its
// step, word for word, except where one of these rules says otherwise:
//
// - rule address: a number the simulator prints inside its object arena, its
//   buffer range or the page of fixed entries it hands out for routines (a
//   client's callback) is an address. The Wine text has some address in its
//   place (not NULL, not a small number), and the same simulated object must
//   meet the same Wine address every time it is printed.
// - rule wine-reuses-memory: Wine hands a freed IRP's memory to the next
//   request, so one Wine address may stand for several simulated objects
//   (the simulator never reuses an address within a story).
// - rule wine-property-query: Wine's IoGetDeviceProperty asks the new stack
//   for its IDs (IRP_MN_QUERY_ID) during add-device, which the simulated
//   kernel does not; in an add step, a Wine line naming IRP_MN_QUERY_ID
//   that the simulator does not print is Wine's own query.
// - rule stack-driver-name: the driver below the filter is the simulated
//   bus, \Driver\simbus, in the simulator, and the stack driver,
//   \Driver\zktest, under Wine (zkctl info names it).
// - rule passive-only (enforced by the stack driver): Wine runs every routine
//   at PASSIVE_LEVEL, so a story's pended answers say irql=passive; a story
//   that asks for DISPATCH_LEVEL fails instead of comparing different texts.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kDebugMarker = ":warn:debugstr:vDbgPrintExWithPrefix ";
constexpr const char* kHarnessMarker = "run_story: ";
constexpr const char* kStepMarker = "zktest: step ";
constexpr const char* kFailMarker = "zktest: FAIL";
constexpr const char* kDoneMarker = "zktest: done";
constexpr size_t kMaxPiecesPerLine = 4;  // stamp, trailer, message; or "ZK: " and message

std::vector<std::string> ReadLines(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A line as separators and words: words are maximal runs of letters and
// digits (a "0x" prefix stays with its number).
std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        bool word = IsAlnum(text[i]);
        while (j < text.size() && IsAlnum(text[j]) == word)
            ++j;
        tokens.push_back(text.substr(i, j - i));
        i = j;
    }
    return tokens;
}

std::optional<unsigned long long> HexValue(const std::string& token) {
    std::string digits = token;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 16) return std::nullopt;
    unsigned long long value = 0;
    for (char c : digits) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return value;
}

// The simulator's object arena and buffer range, as their low 32 bits show
// (simkernel/arena.cpp), each far larger than a story uses; and its page of
// fixed routine entries (simkernel/fixed_entry.cpp).
bool IsSimAddress(unsigned long long value) {
    return (value >= 0x8A3F0000ull && value < 0x9A3F0000ull) || (value >= 0xD1E00000ull && value < 0xE1E00000ull) ||
           (value >= 0xF1394000ull && value < 0xF1395000ull);
}

using AddressMap = std::map<unsigned long long, unsigned long long>;

// Whether a Wine text says what a simulator line says; new address pairs
// go into *map only when it does.
bool Matches(const std::string& sim, const std::string& wine, AddressMap* map, std::string* why) {
    std::vector<std::string> a = Tokens(sim), b = Tokens(wine);
    if (a.size() != b.size()) {
        *why = "the lines differ";
        return false;
    }
    AddressMap added;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i] && !(IsAlnum(a[i][0]) && HexValue(a[i]) && IsSimAddress(*HexValue(a[i])))) continue;
        if (a[i] == "simbus" && b[i] == "zktest" && i >= 2 && a[i - 1] == "\\" && a[i - 2] == "Driver")
            continue;  // rule stack-driver-name
        auto simValue = IsAlnum(a[i][0]) ? HexValue(a[i]) : std::nullopt;
        auto wineValue = IsAlnum(b[i][0]) ? HexValue(b[i]) : std::nullopt;
        if (!simValue || !wineValue || !IsSimAddress(*simValue)) {
            *why = "'" + a[i] + "' against '" + b[i] + "'";
            return false;
        }
        if (*wineValue < 0x10000) {
            *why = "rule address: Wine printed " + b[i] + " where the simulator prints the address " + a[i];
            return false;
        }
        auto known = map->find(*simValue);
        auto fresh = added.find(*simValue);
        unsigned long long expected = known != map->end()    ? known->second
                                      : fresh != added.end() ? fresh->second
                                                             : *wineValue;
        if (expected != *wineValue) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "rule address: the object the simulator calls 0x%llX was 0x%llX under Wine before, now 0x%llX",
                *simValue, expected, *wineValue);
            *why = text;
            return false;
        }
        added[*simValue] = *wineValue;
    }
    map->insert(added.begin(), added.end());
    return true;
}

struct WineStep {
    unsigned line = 0;
    std::string command;
    std::vector<std::string> pieces;
};

std::string Join(const std::vector<std::string>& pieces, size_t from, size_t count) {
    std::string text;
    for (size_t i = from; i < from + count && i < pieces.size(); ++i)
        text += pieces[i];
    return text;
}

// The simulator's lines by the step they belong to; false when a line
// names no step.
bool SimulatorSteps(const std::vector<std::string>& simText, const std::vector<std::string>& simAnnotated,
                    std::map<unsigned, std::vector<std::string>>* simSteps) {
    for (size_t i = 0; i < simText.size(); ++i) {
        unsigned step = 0;
        if (std::sscanf(simAnnotated[i].c_str(), "[%u ", &step) != 1) {
            std::cerr << "zelkor-wine-compare: simulator line " << i + 1 << " names no step\n";
            return false;
        }
        (*simSteps)[step].push_back(simText[i]);
    }
    return true;
}

// What the stack driver printed under Wine: its pieces by step, the
// failures it reported, and whether it reached the end.
struct WineRun {
    std::vector<WineStep> steps = std::vector<WineStep>(1);
    bool done = false;
    std::vector<std::string> failures;
};

WineRun ReadWineLog(const std::vector<std::string>& wineLog) {
    WineRun run;
    for (const std::string& raw : wineLog) {
        std::string piece;
        size_t at = raw.find(kDebugMarker);
        if (raw.rfind(kHarnessMarker, 0) == 0) {
            piece = raw.substr(std::string(kHarnessMarker).size());
        } else if (at != std::string::npos) {
            // "XXXXXXXX:XXXXXXXX: " (component and level) comes before the text.
            piece = raw.substr(at + std::string(kDebugMarker).size());
            size_t colon = piece.find(": ");
            piece = colon == std::string::npos ? "" : piece.substr(colon + 2);
        } else {
            continue;
        }
        if (piece.rfind(kStepMarker, 0) == 0) {
            WineStep step;
            std::sscanf(piece.c_str() + std::string(kStepMarker).size(), "%u", &step.line);
            step.command = piece.substr(piece.find(": ", std::string(kStepMarker).size()) + 2);
            run.steps.push_back(step);
        } else if (piece.rfind(kFailMarker, 0) == 0) {
            run.failures.push_back(piece);
        } else if (piece.rfind(kDoneMarker, 0) == 0) {
            run.done = true;
        } else {
            run.steps.back().pieces.push_back(piece);
        }
    }
    return run;
}

// Wine's own property queries in an add step, before simulator line l (or at
// the end): skipped only where the simulator's line does not start here.
size_t SkipWinePropertyQueries(const std::vector<std::string>& lines, size_t l, const std::vector<std::string>& pieces,
                               size_t p, const AddressMap& addresses) {
    while (p < pieces.size()) {
        AddressMap scratch = addresses;
        std::string unused;
        bool simulatorLine = false;
        for (size_t k = 1; l < lines.size() && k <= kMaxPiecesPerLine && p + k <= pieces.size(); ++k)
            simulatorLine = simulatorLine || Matches(lines[l], Join(pieces, p, k), &scratch, &unused);
        size_t n = 0;
        for (size_t k = 1; !simulatorLine && k < kMaxPiecesPerLine && p + k <= pieces.size(); ++k)
            if (pieces[p + k - 1].find("IRP_MN_QUERY_ID") != std::string::npos) {
                n = k;
                break;
            }
        if (n == 0) break;
        p += n;  // rule wine-property-query
    }
    return p;
}

// Holds one step's simulator lines against Wine's pieces, in order.
void CompareStep(const WineStep& step, const std::vector<std::string>& lines, AddressMap* addresses, int* differences,
                 size_t* matchedLines) {
    const std::vector<std::string>& pieces = step.pieces;
    size_t p = 0;
    for (size_t l = 0; l <= lines.size() && *differences < 5; ++l) {
        if (step.command == "add") p = SkipWinePropertyQueries(lines, l, pieces, p, *addresses);
        if (l == lines.size()) break;
        std::string why = "Wine printed nothing more in this step";
        bool matched = false;
        for (size_t k = 1; k <= kMaxPiecesPerLine && p + k <= pieces.size(); ++k) {
            std::string attempt;
            if (Matches(lines[l], Join(pieces, p, k), addresses, &attempt)) {
                p += k;
                matched = true;
                break;
            }
            // The grouping with as many words as the line tells best why.
            if (k == 1 || attempt != "the lines differ") why = attempt;
        }
        if (matched) {
            ++*matchedLines;
            continue;
        }
        std::cout << "FAIL: step at line " << step.line << " (" << step.command << "), simulator line " << l + 1
                  << " of the step differs: " << why << "\n"
                  << "  simulator:  " << lines[l] << "\n";
        for (size_t k = p; k < p + kMaxPiecesPerLine && k < pieces.size(); ++k)
            std::cout << "  Wine piece: " << pieces[k] << "\n";
        ++*differences;
        p = pieces.size();
        break;  // the rest of the step would only repeat the difference
    }
    if (p < pieces.size() && *differences < 5) {
        std::cout << "FAIL: step at line " << step.line << " (" << step.command
                  << "): Wine printed more than the simulator: " << Join(pieces, p, kMaxPiecesPerLine) << "\n";
        ++*differences;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: zelkor-wine-compare SIM_TEXT SIM_ANNOTATED WINE_LOG\n";
        return 2;
    }
    bool ok1, ok2, ok3;
    std::vector<std::string> simText = ReadLines(argv[1], &ok1);
    std::vector<std::string> simAnnotated = ReadLines(argv[2], &ok2);
    std::vector<std::string> wineLog = ReadLines(argv[3], &ok3);
    if (!ok1 || !ok2 || !ok3) {
        std::cerr << "zelkor-wine-compare: cannot read the inputs\n";
        return 2;
    }
    if (simText.size() != simAnnotated.size()) {
        std::cerr << "zelkor-wine-compare: the two simulator texts differ in length\n";
        return 2;
    }
    std::map<unsigned, std::vector<std::string>> simSteps;
    if (!SimulatorSteps(simText, simAnnotated, &simSteps)) return 2;
    const WineRun wine = ReadWineLog(wineLog);

    int differences = 0;
    size_t matchedLines = 0;
    AddressMap addresses;
    for (const std::string& failure : wine.failures) {
        std::cout << "FAIL: the stack driver under Wine: " << failure << "\n";
        ++differences;
    }
    if (!wine.done && wine.failures.empty()) {
        std::cout << "FAIL: the story did not reach its end under Wine (last step: line " << wine.steps.back().line
                  << "); did winedevice crash? See the Wine log.\n";
        ++differences;
    }
    std::map<unsigned, bool> seen;
    for (const WineStep& step : wine.steps) {
        seen[step.line] = true;
        CompareStep(step, simSteps[step.line], &addresses, &differences, &matchedLines);
    }
    for (const auto& [line, lines] : simSteps)
        if (!seen.count(line) && !lines.empty()) {
            std::cout << "FAIL: the step at line " << line
                      << " never ran under Wine; the simulator printed: " << lines.front() << "\n";
            ++differences;
        }

    std::cout << (differences == 0 ? "ok: " : "") << matchedLines << " of " << simText.size()
              << " simulator lines matched under Wine, " << wine.steps.size() - 1 << " steps, " << addresses.size()
              << " addresses paired\n";
    return differences == 0 ? 0 : 1;
}
