// The capture analyzer on any bytes: whatever a debugger or a viewer saved
// (UTF-8, ANSI or UTF-16, or a user fed it, in pieces as a pipe brings them),
// each request comes out as a line, as JSON, as CSV, whole with its data
// decoded, and in the picture; the summary is written as text and JSON, and the
// bytes are decoded as pasted sense; without a crash and without an exception.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "decode.h"
#include "plot.h"
#include "report.h"
#include "requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<zklog::Request> requests;
    std::vector<zklog::Unreadable> unreadable;
    zklog::Tracker tracker([&requests](const zklog::Request& request) { requests.push_back(request); });
    zklog::CaptureReader reader(
        zklog::Format::Auto,
        [&](const zklog::TraceLine& line) {
            if (!tracker.Add(line)) unreadable.push_back({line.line, line.message, "a trace message it cannot read"});
        },
        [&](const zklog::Unreadable& problem) {
            tracker.Problem(problem);
            unreadable.push_back(problem);
        });
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // In pieces of a length the input chooses, as a pipe may cut them, with
    // a pause (the requests that ended are handed out) after every piece.
    size_t piece = size > 0 ? 1 + data[0] % 61 : 1;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        reader.FeedBytes(bytes.substr(at, piece));
        if (piece % 7 == 0) tracker.ReleaseEnded();
    }
    reader.Finish();
    tracker.Finish();
    std::ostringstream out;
    zklog::Columns columns;
    zklog::Summary summary;
    for (const zklog::Request& request : requests) {
        columns.Fit(request);
        summary.Add(request);
        out << zklog::RequestLine(request, columns) << zklog::RequestJson(request).dump() << zklog::RequestCsv(request)
            << "\n";
        zklog::PrintRequest(out, request, {{request.firstLine, "line"}});
    }
    summary.Print(out, tracker.stats(), unreadable.size(), unreadable);
    out << summary.Json(tracker.stats(), unreadable.size()).dump();
    zklog::PlotSvg(out, requests, "fuzz");
    if (auto pasted = zklog::ParseHexBytes(bytes)) out << zklog::DecodeSense(*pasted) << zklog::CdbFields(*pasted);
    zklog::ParseViewerTime(bytes.substr(0, 24));
    return 0;
}
