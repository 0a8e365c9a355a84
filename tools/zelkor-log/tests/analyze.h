// Reads a capture through the analyzer's library, as zelkor-log does.
#pragma once

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "report.h"
#include "requests.h"

namespace zklog::test {

struct Analysis {
    std::vector<Request> requests;
    std::vector<Unreadable> unreadable;
    CaptureStats stats;
    size_t releasedEarly = 0;  // requests handed out before the capture ended

    const Request* Find(const std::string& irp, size_t nth = 0) const {
        for (const Request& request : requests) {
            if (Hex(request.irp) == irp && nth-- == 0) return &request;
        }
        return nullptr;
    }
    std::string Summary() const {
        std::ostringstream out;
        PrintSummary(out, requests, stats, unreadable);
        return out.str();
    }
};

inline Analysis Analyze(std::istream& in, Format format = Format::Auto) {
    Analysis result;
    bool finished = false;
    Tracker tracker([&](const Request& request) {
        result.requests.push_back(request);
        if (!finished) ++result.releasedEarly;
    });
    CaptureReader reader(
        format,
        [&](const TraceLine& line) {
            if (!tracker.Add(line))
                result.unreadable.push_back({line.line, line.message, "a trace message it cannot read"});
        },
        [&](const Unreadable& problem) {
            tracker.Problem(problem);
            result.unreadable.push_back(problem);
        });
    reader.Read(in);
    finished = true;
    tracker.Finish();
    std::sort(result.requests.begin(), result.requests.end(), [](auto& a, auto& b) { return a.id < b.id; });
    result.stats = tracker.stats();
    return result;
}

inline Analysis AnalyzeFile(const std::string& name) {
    std::ifstream in(std::string(ZELKOR_LOG_DATA) + "/" + name, std::ios::binary);
    return Analyze(in);
}

inline Analysis AnalyzeText(const std::string& text) {
    std::istringstream in(text);
    return Analyze(in);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace zklog::test
