// The benchmark cases, shared by the timing suite (benchmarks.cpp) and the
// instruction counter (count.cpp), so that both measure the same thing.
//
// A case builds its world in the simulated kernel when it is made: a stack
// of the lower device and one filter (Zelkor at a trace mask, or a
// reference filter), or a trace record for the trace operations alone. Each
// Run() then performs `operations` requests or messages. Making a case
// resets the simulated kernel; only one case lives at a time.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zkbench {

class Runner {
public:
    virtual ~Runner() = default;
    virtual void Run() = 0;
    // Requests since the runner was made that did not end with
    // STATUS_SUCCESS.
    virtual unsigned Failures() const
    {
        return 0;
    }
};

// A request as the device under the filter receives it: its major function
// and, for device control, its control code (0 otherwise).
struct SentRequest {
    unsigned major = 0;
    unsigned long code = 0;
    bool operator==(const SentRequest&) const = default;
};

struct Case {
    // "<subject>/<variant>": read/zelkor-0, read/zelkor-1ff, read/reference,
    // trace-line/zelkor, trace-line/alone, ...
    std::string name;
    // Requests (or messages) per Run(). Create/close sends two requests.
    unsigned operations = 1;
    // What one Run() must send to the device under the filter, in order,
    // and nothing else: the check fails a case that sends more, less or
    // other requests. Empty for the trace operations, which send none.
    std::vector<SentRequest> requests;
    // What one Run() prints with the debugger recording: kExpectNone,
    // kExpectSome, kExpectAny, or an exact number of DbgPrint calls.
    int expectedCalls = 0;
    // A case whose Run() must print exactly the same text, or empty.
    std::string sameTextAs;
    std::function<std::unique_ptr<Runner>()> make;
};
// Every case named "<subject>/zelkor-0" (Zelkor on a stack at mask 0) gets
// two more, made from it with no work of its own: "<subject>/zelkor-ff",
// the same requests with every Zelkor filter device at the full mask 0x0FF
// (no stamps), and "<subject>/lines-ff", the lines those requests print
// formatted alone; and the same two at 0x2FF, the detail level added
// ("<subject>/zelkor-2ff", "<subject>/lines-2ff").
constexpr int kExpectNone = 0;
constexpr int kExpectSome = -1;
constexpr int kExpectAny = -2;
// The full mask of the table of traced paths: every level, no stamps.
constexpr unsigned long kFullLevels = 0x0FF;
// The same with the bus detail level (TRACE_BUS_DETAIL).
constexpr unsigned long kFullDetailLevels = 0x2FF;

const std::vector<Case>& Cases();
const Case* FindCase(const std::string& name);

// Makes each case, runs it once with the debugger recording and checks its
// output, the requests that reached the device under the filter and their
// status; one line per problem found.
std::vector<std::string> CheckCases();

}  // namespace zkbench
