// The capture analyzer on any text: whatever a debugger or a viewer saved
// (or a user fed it), each request comes out as a line and as JSON, and the
// summary is written, without a crash and without an exception.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "report.h"
#include "requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<zklog::Request> requests;
    std::vector<zklog::Unreadable> unreadable;
    zklog::Tracker tracker([&requests](const zklog::Request& request) { requests.push_back(request); });
    zklog::CaptureReader reader(
        zklog::Format::Auto,
        [&](const zklog::TraceLine& line) {
            if (!tracker.Add(line))
                unreadable.push_back({line.line, line.message, "a trace message it cannot read"});
        },
        [&](const zklog::Unreadable& problem) {
            tracker.Problem(problem);
            unreadable.push_back(problem);
        });
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string text;
    while (std::getline(in, text))
        reader.Feed(text);
    reader.Finish();
    tracker.Finish();
    std::ostringstream out;
    for (const zklog::Request& request : requests)
        out << zklog::RequestLine(request) << zklog::RequestJson(request).dump() << "\n";
    zklog::PrintSummary(out, requests, tracker.stats(), unreadable);
    return 0;
}
