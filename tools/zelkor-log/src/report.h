// What zelkor-log prints: the filters, the per-device summary, the requests.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "requests.h"

namespace zklog {

struct Filter {
    std::vector<std::string> devices;  // device names (trailers without blanks around them)
    std::vector<std::string> kinds;
    bool failedOnly = false;
    std::optional<int64_t> fromUs, toUs;  // by the request's start, else its end

    bool Accepts(const Request& request) const;
};

// One request as a JSON object (fields documented in the README).
nlohmann::ordered_json RequestJson(const Request& request);
// One request as a line of text.
std::string RequestLine(const Request& request);

struct LatencyFigures {
    size_t count = 0;
    int64_t medianUs = 0, p99Us = 0, maxUs = 0;
};
// Median (mean of the two middle values for an even count), 99th percentile
// by nearest rank, maximum.
LatencyFigures Latency(std::vector<int64_t> values);

// The per-device summary of the requests (already filtered).
void PrintSummary(std::ostream& out, const std::vector<Request>& requests, const CaptureStats& stats,
                  const std::vector<Unreadable>& unreadable);

}  // namespace zklog
