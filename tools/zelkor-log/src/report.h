// What zelkor-log prints: the filters, the per-device summary, the requests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "requests.h"

namespace zklog {

// The kinds a request can be of, as --kind takes them.
const std::vector<std::string>& Kinds();

struct Filter {
    std::vector<std::string> devices;  // device names (trailers without blanks around them)
    std::vector<std::string> kinds;
    bool failedOnly = false;
    std::optional<int64_t> fromUs, toUs;  // by the request's start, else its end

    bool Accepts(const Request& request) const;
};

// One request as a JSON object (fields documented in the README).
nlohmann::ordered_json RequestJson(const Request& request);

// The widths of the columns of RequestLine; Fit widens them for a request.
struct Columns {
    size_t time = 12, device = 10, irp = 11, kind = 13;
    void Fit(const Request& request);
};
// One request as a line of text.
std::string RequestLine(const Request& request, const Columns& columns = {});

// One request as a row of comma-separated values (RFC 4180), and the header row.
std::string CsvHeader();
std::string RequestCsv(const Request& request);

struct LatencyFigures {
    size_t count = 0;
    int64_t medianUs = 0, p99Us = 0, maxUs = 0;
};
// Median (mean of the two middle values for an even count), 99th percentile
// by nearest rank, maximum.
LatencyFigures Latency(std::vector<int64_t> values);
// The same from the count of each value (microseconds -> requests).
LatencyFigures Latency(const std::map<int64_t, uint64_t>& counts);

// The per-device summary, built from the requests as they come: it keeps
// counts and latencies, not the requests.
class Summary {
public:
    void Add(const Request& request);
    void Print(std::ostream& out, const CaptureStats& stats, size_t unreadableCount,
               const std::vector<Unreadable>& listed) const;
    nlohmann::ordered_json Json(const CaptureStats& stats, size_t unreadableCount) const;
    size_t requests() const { return requests_; }

private:
    struct Device {
        size_t requests = 0, failed = 0, incomplete = 0;
        std::map<std::pair<std::string, std::string>, size_t> byName;
        std::map<std::string, size_t> failures;
        std::map<std::tuple<int, int, int>, size_t> senses;
        // By kind ("" for all): how many requests took each latency. Exact,
        // and as large as the number of distinct values, not of requests.
        std::map<std::string, std::map<int64_t, uint64_t>> latencies;
        std::set<std::string> clocks;
    };
    std::map<std::string, Device> devices_;
    size_t requests_ = 0;
};

// The per-device summary of the requests (already filtered).
void PrintSummary(std::ostream& out, const std::vector<Request>& requests, const CaptureStats& stats,
                  const std::vector<Unreadable>& unreadable);

// A request whole, for `show`: its fields, what its command and data say, its
// dumps, and the capture's lines (number and text) that told of it.
void PrintRequest(std::ostream& out, const Request& request, const std::vector<std::pair<size_t, std::string>>& lines);

}  // namespace zklog
