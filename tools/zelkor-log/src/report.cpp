#include "report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

namespace zklog {
namespace {

std::string Milliseconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(us / 1000),
                  static_cast<long long>((us < 0 ? -us : us) % 1000));
    return text;
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

nlohmann::ordered_json OrNull(const std::optional<int64_t>& us) {
    return us ? nlohmann::ordered_json(FormatTime(*us)) : nlohmann::ordered_json();
}

std::string Padded(std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

}  // namespace

bool Filter::Accepts(const Request& request) const {
    if (!devices.empty() && std::find(devices.begin(), devices.end(), request.device) == devices.end()) {
        return false;
    }
    if (!kinds.empty() && std::find(kinds.begin(), kinds.end(), request.kind) == kinds.end()) return false;
    if (failedOnly && !request.Failed()) return false;
    if (fromUs || toUs) {
        std::optional<int64_t> at = request.startUs ? request.startUs : request.endUs;
        if (!at || (fromUs && *at < *fromUs) || (toUs && *at > *toUs)) return false;
    }
    return true;
}

nlohmann::ordered_json RequestJson(const Request& r) {
    nlohmann::ordered_json j;
    j["device"] = r.device;
    j["trailer"] = r.trailer;
    j["irp"] = Hex(r.irp);
    j["kind"] = r.kind;
    j["name"] = r.name;
    j["detail"] = r.detail;
    j["cdb"] = r.cdb.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(HexBytes(r.cdb));
    j["length"] = r.length ? nlohmann::ordered_json(*r.length) : nlohmann::ordered_json();
    j["offset"] = r.offset ? nlohmann::ordered_json(*r.offset) : nlohmann::ordered_json();
    j["dispatched"] = r.dispatched;
    j["completed"] = r.completed;
    j["superseded"] = r.superseded;
    j["start"] = OrNull(r.startUs);
    j["end"] = OrNull(r.endUs);
    j["latency_ms"] = r.LatencyUs() ? nlohmann::ordered_json(static_cast<double>(*r.LatencyUs()) / 1000.0) : nlohmann::ordered_json();
    j["status"] = r.status.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.status);
    j["status_value"] = r.statusValue ? nlohmann::ordered_json(Hex(*r.statusValue)) : nlohmann::ordered_json();
    j["failed"] = r.Failed();
    j["scsi_status"] = r.scsiStatus.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.scsiStatus);
    j["srb_status"] = r.srbStatus.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.srbStatus);
    j["transferred"] = r.transferred ? nlohmann::ordered_json(*r.transferred) : nlohmann::ordered_json();
    if (r.sense) {
        nlohmann::ordered_json sense;
        sense["driver_text"] = r.sense->driverText;
        if (const auto& code = r.sense->code) {
            sense["key"] = code->Key();
            sense["key_name"] = SenseKeyName(code->Key());
            sense["asc"] = Hex2(code->asc);
            sense["ascq"] = Hex2(code->ascq);
            sense["asc_ascq_name"] = AscAscqName(code->asc, code->ascq);
            sense["from"] = r.sense->fromBytes ? "bytes" : "text";
        }
        j["sense"] = sense;
    } else {
        j["sense"] = nullptr;
    }
    std::vector<uint8_t> data = r.Bytes("data");
    j["data"] = data.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(HexBytes(data));
    nlohmann::ordered_json dumps = nlohmann::ordered_json::array();
    for (const Dump& dump : r.dumps) {
        dumps.push_back({{"phase", dump.phase}, {"what", dump.what}, {"mdl", dump.mdl}, {"bytes", HexBytes(dump.bytes)}});
    }
    j["dumps"] = dumps;
    j["notes"] = r.notes;
    j["lines"] = {{"first", r.firstLine}, {"completion", r.completed ? nlohmann::ordered_json(r.completionLine) : nlohmann::ordered_json()},
                  {"last", r.lastLine}};
    return j;
}

std::string RequestLine(const Request& r) {
    std::string text = r.startUs ? FormatTime(*r.startUs) : std::string("-");
    text = Padded(text, 12) + Padded(r.device, 10) + " " + Padded(Hex(r.irp), 11) + Padded(r.kind, 13) + r.name;
    if (r.completed) {
        text += " -> " + (r.status.empty() ? std::string("completed") : r.status);
        if (!r.scsiStatus.empty() && r.scsiStatusValue != 0) text += ", " + r.scsiStatus;
        if (r.sense && r.sense->code) {
            text += ", " + SenseKeyName(r.sense->code->Key()) + ": " + AscAscqName(r.sense->code->asc, r.sense->code->ascq);
        }
        if (auto latency = r.LatencyUs()) text += " (" + Milliseconds(*latency) + " ms)";
    } else if (r.expectsCompletion) {
        text += r.superseded ? " -> no completion before the address came again" : " -> no completion seen";
    }
    return text;
}

LatencyFigures Latency(std::vector<int64_t> values) {
    LatencyFigures figures;
    if (values.empty()) return figures;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    figures.count = n;
    figures.medianUs = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    size_t rank = (99 * n + 99) / 100;  // ceil(0.99 n)
    figures.p99Us = values[rank - 1];
    figures.maxUs = values.back();
    return figures;
}

void PrintSummary(std::ostream& out, const std::vector<Request>& requests, const CaptureStats& stats,
                  const std::vector<Unreadable>& unreadable) {
    out << "Capture: " << stats.traceLines << " trace lines (" << stats.dumpLines << " of them dump lines), "
        << requests.size() << " requests, " << unreadable.size() << " unreadable lines\n";
    for (const Unreadable& problem : unreadable) {
        out << "  line " << problem.line << ": " << problem.reason << ": " << problem.text << "\n";
    }
    std::map<std::string, std::vector<const Request*>> byDevice;
    for (const Request& request : requests) byDevice[request.device].push_back(&request);

    for (const auto& [device, list] : byDevice) {
        out << "\nDevice " << device << "\n";
        std::map<std::pair<std::string, std::string>, size_t> byName;
        std::map<std::string, size_t> failures;
        std::map<std::tuple<int, int, int>, size_t> senses;
        std::map<std::string, std::vector<int64_t>> latencies;
        size_t failed = 0, incomplete = 0;
        for (const Request* r : list) {
            ++byName[{r->kind, r->name}];
            if (r->Failed()) {
                ++failed;
                std::string status = r->status.empty() ? std::string("(no status)") : r->status;
                if (r->scsiStatusValue && *r->scsiStatusValue != 0) status += ", " + r->scsiStatus;
                ++failures[status];
            }
            if (r->sense && r->sense->code) {
                ++senses[{r->sense->code->Key(), r->sense->code->asc, r->sense->code->ascq}];
            }
            if (r->expectsCompletion && !r->completed) ++incomplete;
            if (auto latency = r->LatencyUs()) {
                latencies[r->kind].push_back(*latency);
                latencies[""].push_back(*latency);
            }
        }
        out << "  Requests: " << list.size() << ", failed " << failed << ", without completion " << incomplete << "\n";
        for (const auto& [key, count] : byName) {
            out << "    " << Padded(key.first, 13) << Padded(key.second, 44) << " " << count << "\n";
        }
        if (!failures.empty()) {
            out << "  Failures by status:\n";
            for (const auto& [status, count] : failures) out << "    " << Padded(status, 57) << " " << count << "\n";
        }
        if (!senses.empty()) {
            out << "  SCSI errors by sense key and ASC/ASCQ:\n";
            for (const auto& [code, count] : senses) {
                auto [key, asc, ascq] = code;
                std::string text = Hex2(static_cast<unsigned>(key)) + "/" + Hex2(static_cast<unsigned>(asc)) + "/" +
                                   Hex2(static_cast<unsigned>(ascq)) + " " + SenseKeyName(key) + ": " +
                                   AscAscqName(static_cast<uint8_t>(asc), static_cast<uint8_t>(ascq));
                out << "    " << Padded(text, 57) << " " << count << "\n";
            }
        }
        if (latencies.empty()) {
            out << "  Latency: no time stamps\n";
            continue;
        }
        out << "  Latency (ms)        count     median        p99        max\n";
        for (const auto& [kind, values] : latencies) {
            LatencyFigures f = Latency(values);
            char row[160];
            std::snprintf(row, sizeof row, "    %-16s %8zu %10s %10s %10s\n", kind.empty() ? "all" : kind.c_str(), f.count,
                          Milliseconds(f.medianUs).c_str(), Milliseconds(f.p99Us).c_str(), Milliseconds(f.maxUs).c_str());
            out << row;
        }
    }
}

}  // namespace zklog
