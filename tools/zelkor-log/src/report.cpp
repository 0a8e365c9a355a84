#include "report.h"

#include "decode.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <iomanip>
#include <sstream>
#include <tuple>

namespace zklog {
namespace {

size_t Width(const std::string& text) {
    size_t chars = 0;
    for (char ch : text)
        chars += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    return chars;
}

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

// Pads to a width in characters (UTF-8), not bytes.
std::string Padded(std::string text, size_t width) {
    size_t chars = Width(text);
    if (chars < width) text.append(width - chars, ' ');
    return text;
}

std::string Csv(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char ch : field)
        quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

template <typename T>
std::string OrEmpty(const std::optional<T>& value) {
    return value ? std::to_string(*value) : std::string();
}

}  // namespace

const std::vector<std::string>& Kinds() {
    static const std::vector<std::string> kinds = {"read",  "write", "srb",   "pass-through", "urb",   "irb",
                                                   "ioctl", "pnp",   "power", "wmi",          "plain", "other"};
    return kinds;
}

bool Filter::Accepts(const Request& request) const {
    if (!devices.empty() && std::find(devices.begin(), devices.end(), request.device) == devices.end()) {
        return false;
    }
    if (!kinds.empty() && std::find(kinds.begin(), kinds.end(), request.kind) == kinds.end()) return false;
    if (failedOnly && !request.Failed()) return false;
    if (fromUs || toUs) {
        std::optional<int64_t> at = request.ShownStartUs() ? request.ShownStartUs() : request.ShownEndUs();
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
    j["start"] = OrNull(r.ShownStartUs());
    j["end"] = OrNull(r.ShownEndUs());
    j["latency_ms"] =
        r.LatencyUs() ? nlohmann::ordered_json(static_cast<double>(*r.LatencyUs()) / 1000.0) : nlohmann::ordered_json();
    j["clock"] = r.LatencyUs() ? nlohmann::ordered_json(r.LatencyClock()) : nlohmann::ordered_json();
    j["status"] = r.status.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.status);
    j["status_value"] = r.statusValue ? nlohmann::ordered_json(Hex(*r.statusValue)) : nlohmann::ordered_json();
    j["failed"] = r.Failed();
    j["scsi_status"] = r.scsiStatus.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.scsiStatus);
    j["srb_status"] = r.srbStatus.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.srbStatus);
    j["usbd_status"] = r.usbdStatus.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.usbdStatus);
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
    j["data_truncated"] = data.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.DataTruncated());
    nlohmann::ordered_json dumps = nlohmann::ordered_json::array();
    for (const Dump& dump : r.dumps) {
        dumps.push_back(
            {{"phase", dump.phase}, {"what", dump.what}, {"mdl", dump.mdl}, {"bytes", HexBytes(dump.bytes)}});
    }
    j["dumps"] = dumps;
    j["notes"] = r.notes;
    j["lines"] = {{"first", r.firstLine},
                  {"completion", r.completed ? nlohmann::ordered_json(r.completionLine) : nlohmann::ordered_json()},
                  {"last", r.lastLine}};
    return j;
}

void Columns::Fit(const Request& r) {
    time = std::max(time, (r.ShownStartUs() ? FormatTime(*r.ShownStartUs()).size() : 1) + 1);
    device = std::max(device, Width(r.device));
    irp = std::max(irp, Hex(r.irp).size() + 1);
    kind = std::max(kind, r.kind.size() + 1);
}

std::string RequestLine(const Request& r, const Columns& columns) {
    std::string text = r.ShownStartUs() ? FormatTime(*r.ShownStartUs()) : std::string("-");
    text = Padded(text, columns.time) + Padded(r.device, columns.device) + " " + Padded(Hex(r.irp), columns.irp) +
           Padded(r.kind, columns.kind) + r.name;
    if (std::string fields = CdbFields(r.cdb); !fields.empty()) text += " (" + fields + ")";
    if (r.completed) {
        text += " -> " + (r.status.empty() ? std::string("completed") : r.status);
        if (!r.scsiStatus.empty() && r.scsiStatusValue != 0) text += ", " + r.scsiStatus;
        if (r.sense && r.sense->code) {
            text +=
                ", " + SenseKeyName(r.sense->code->Key()) + ": " + AscAscqName(r.sense->code->asc, r.sense->code->ascq);
        }
        if (r.DataTruncated()) text += ", data cut at 2048 bytes";
        if (auto latency = r.LatencyUs()) {
            text += " (" + Milliseconds(*latency) + " ms" +
                    (r.LatencyClock() == "viewer" ? " by the viewer's clock" : "") + ")";
        }
    } else if (r.expectsCompletion) {
        text += r.superseded ? " -> no completion before the address came again" : " -> no completion seen";
    }
    return text;
}

std::string CsvHeader() {
    return "device,irp,kind,name,cdb,length,offset,start,end,latency_ms,clock,status,failed,scsi_status,"
           "sense_key,asc,ascq,sense_name,transferred,data_bytes,data_truncated,first_line";
}

std::string RequestCsv(const Request& r) {
    std::vector<std::string> f;
    f.push_back(r.device);
    f.push_back(Hex(r.irp));
    f.push_back(r.kind);
    f.push_back(r.name);
    f.push_back(HexBytes(r.cdb));
    f.push_back(OrEmpty(r.length));
    f.push_back(OrEmpty(r.offset));
    f.push_back(r.ShownStartUs() ? FormatTime(*r.ShownStartUs()) : "");
    f.push_back(r.ShownEndUs() ? FormatTime(*r.ShownEndUs()) : "");
    f.push_back(r.LatencyUs() ? Milliseconds(*r.LatencyUs()) : "");
    f.push_back(std::string(r.LatencyClock()));
    f.push_back(r.status);
    f.push_back(r.Failed() ? "true" : "false");
    f.push_back(r.scsiStatus);
    bool sense = r.sense && r.sense->code;
    f.push_back(sense ? std::to_string(r.sense->code->Key()) : "");
    f.push_back(sense ? Hex2(r.sense->code->asc) : "");
    f.push_back(sense ? Hex2(r.sense->code->ascq) : "");
    f.push_back(sense ? SenseKeyName(r.sense->code->Key()) + ": " + AscAscqName(r.sense->code->asc, r.sense->code->ascq)
                      : "");
    f.push_back(OrEmpty(r.transferred));
    f.push_back(std::to_string(r.Bytes("data").size()));
    f.push_back(r.DataTruncated() ? "true" : "false");
    f.push_back(std::to_string(r.firstLine));
    std::string row;
    for (const std::string& field : f) {
        if (&field != &f[0]) row += ',';
        row += Csv(field);
    }
    return row;
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

LatencyFigures Latency(const std::map<int64_t, uint64_t>& counts) {
    LatencyFigures figures;
    uint64_t n = 0;
    for (const auto& [value, count] : counts)
        n += count;
    if (n == 0) return figures;
    figures.count = n;
    // The value at a rank (1-based) in the sorted values.
    auto at = [&](uint64_t rank) {
        uint64_t seen = 0;
        for (const auto& [value, count] : counts) {
            seen += count;
            if (seen >= rank) return value;
        }
        return counts.rbegin()->first;
    };
    figures.medianUs = n % 2 ? at(n / 2 + 1) : (at(n / 2) + at(n / 2 + 1)) / 2;
    figures.p99Us = at((99 * n + 99) / 100);
    figures.maxUs = counts.rbegin()->first;
    return figures;
}

void Summary::Add(const Request& r) {
    ++requests_;
    Device& d = devices_[r.device];
    ++d.requests;
    ++d.byName[{r.kind, r.name}];
    if (r.Failed()) {
        ++d.failed;
        std::string status = r.status.empty() ? std::string("(no status)") : r.status;
        if (r.scsiStatusValue && *r.scsiStatusValue != 0) status += ", " + r.scsiStatus;
        ++d.failures[status];
    }
    if (r.sense && r.sense->code) ++d.senses[{r.sense->code->Key(), r.sense->code->asc, r.sense->code->ascq}];
    if (r.expectsCompletion && !r.completed) ++d.incomplete;
    if (auto latency = r.LatencyUs()) {
        ++d.latencies[r.kind][*latency];
        ++d.latencies[""][*latency];
        d.clocks.insert(std::string(r.LatencyClock()));
    }
}

namespace {

std::string SenseText(const std::tuple<int, int, int>& code) {
    auto [key, asc, ascq] = code;
    return Hex2(static_cast<unsigned>(key)) + "/" + Hex2(static_cast<unsigned>(asc)) + "/" +
           Hex2(static_cast<unsigned>(ascq)) + " " + SenseKeyName(key) + ": " +
           AscAscqName(static_cast<uint8_t>(asc), static_cast<uint8_t>(ascq));
}

std::string ClockText(const std::set<std::string>& clocks) {
    if (clocks.size() > 1) return "the viewer's clock where both lines had it, else the driver's stamps";
    return *clocks.begin() == "viewer" ? "the viewer's clock" : "the driver's stamps";
}

}  // namespace

void Summary::Print(std::ostream& out, const CaptureStats& stats, size_t unreadableCount,
                    const std::vector<Unreadable>& listed) const {
    out << "Capture: " << stats.traceLines << " trace lines (" << stats.dumpLines << " of them dump lines), "
        << requests_ << " requests, " << unreadableCount << " unreadable lines\n";
    for (const Unreadable& problem : listed) {
        out << "  line " << problem.line << ": " << problem.reason << ": " << problem.text << "\n";
    }
    if (stats.givenUp > 0) out << "  " << stats.givenUp << " requests given up waiting for their completion\n";
    for (const auto& [device, d] : devices_) {
        out << "\nDevice " << device << "\n";
        out << "  Requests: " << d.requests << ", failed " << d.failed << ", without completion " << d.incomplete
            << "\n";
        for (const auto& [key, count] : d.byName) {
            out << "    " << Padded(key.first, 13) << Padded(key.second, 44) << " " << count << "\n";
        }
        if (!d.failures.empty()) {
            out << "  Failures by status:\n";
            for (const auto& [status, count] : d.failures)
                out << "    " << Padded(status, 57) << " " << count << "\n";
        }
        if (!d.senses.empty()) {
            out << "  SCSI errors by sense key and ASC/ASCQ:\n";
            for (const auto& [code, count] : d.senses)
                out << "    " << Padded(SenseText(code), 57) << " " << count << "\n";
        }
        if (d.latencies.empty()) {
            out << "  Latency: none (no request has both its dispatch and its completion timed)\n";
            continue;
        }
        out << "  Latency (ms) by " << ClockText(d.clocks) << "\n";
        out << "                      count     median        p99        max\n";
        for (const auto& [kind, values] : d.latencies) {
            LatencyFigures f = Latency(values);
            char row[160];
            std::snprintf(row, sizeof row, "    %-16s %8zu %10s %10s %10s\n", kind.empty() ? "all" : kind.c_str(),
                          f.count, Milliseconds(f.medianUs).c_str(), Milliseconds(f.p99Us).c_str(),
                          Milliseconds(f.maxUs).c_str());
            out << row;
        }
    }
}

nlohmann::ordered_json Summary::Json(const CaptureStats& stats, size_t unreadableCount) const {
    nlohmann::ordered_json j;
    j["trace_lines"] = stats.traceLines;
    j["dump_lines"] = stats.dumpLines;
    j["requests"] = requests_;
    j["unreadable_lines"] = unreadableCount;
    j["given_up"] = stats.givenUp;
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const auto& [device, d] : devices_) {
        nlohmann::ordered_json dev;
        dev["device"] = device;
        dev["requests"] = d.requests;
        dev["failed"] = d.failed;
        dev["without_completion"] = d.incomplete;
        nlohmann::ordered_json names = nlohmann::ordered_json::array();
        for (const auto& [key, count] : d.byName)
            names.push_back({{"kind", key.first}, {"name", key.second}, {"count", count}});
        dev["by_name"] = names;
        nlohmann::ordered_json failures = nlohmann::ordered_json::array();
        for (const auto& [status, count] : d.failures)
            failures.push_back({{"status", status}, {"count", count}});
        dev["failures"] = failures;
        nlohmann::ordered_json senses = nlohmann::ordered_json::array();
        for (const auto& [code, count] : d.senses) {
            auto [key, asc, ascq] = code;
            senses.push_back({{"key", key},
                              {"asc", Hex2(static_cast<unsigned>(asc))},
                              {"ascq", Hex2(static_cast<unsigned>(ascq))},
                              {"name", SenseText(code).substr(9)},
                              {"count", count}});
        }
        dev["senses"] = senses;
        nlohmann::ordered_json latency = nlohmann::ordered_json::object();
        for (const auto& [kind, values] : d.latencies) {
            LatencyFigures f = Latency(values);
            latency[kind.empty() ? "all" : kind] = {{"count", f.count},
                                                    {"median_ms", static_cast<double>(f.medianUs) / 1000.0},
                                                    {"p99_ms", static_cast<double>(f.p99Us) / 1000.0},
                                                    {"max_ms", static_cast<double>(f.maxUs) / 1000.0}};
        }
        dev["latency"] = latency;
        dev["clock"] = d.clocks.empty() ? nlohmann::ordered_json()
                                        : nlohmann::ordered_json(d.clocks.size() > 1 ? "mixed" : *d.clocks.begin());
        devices.push_back(dev);
    }
    j["devices"] = devices;
    return j;
}

void PrintSummary(std::ostream& out, const std::vector<Request>& requests, const CaptureStats& stats,
                  const std::vector<Unreadable>& unreadable) {
    Summary summary;
    for (const Request& request : requests)
        summary.Add(request);
    summary.Print(out, stats, unreadable.size(), unreadable);
}

void PrintRequest(std::ostream& out, const Request& r, const std::vector<std::pair<size_t, std::string>>& lines) {
    Columns columns;
    columns.Fit(r);
    out << RequestLine(r, columns) << "\n";
    nlohmann::ordered_json j = RequestJson(r);
    for (const char* field :
         {"device", "irp", "kind", "name", "detail", "cdb", "length", "offset", "start", "end", "latency_ms", "clock",
          "status", "scsi_status", "srb_status", "usbd_status", "transferred"}) {
        if (!j[field].is_null() && j[field] != "")
            out << "  " << field << ": " << (j[field].is_string() ? j[field].get<std::string>() : j[field].dump())
                << "\n";
    }
    if (std::string fields = CdbFields(r.cdb); !fields.empty()) out << "  command: " << fields << "\n";
    for (const std::string& line : DecodeData(r.cdb, r.Bytes("data")))
        out << "  data: " << line << "\n";
    if (r.sense) {
        out << "  sense (driver): " << r.sense->driverText << "\n";
        if (std::vector<uint8_t> bytes = r.Bytes("sense"); !bytes.empty()) {
            std::istringstream decoded(DecodeSense(bytes));
            for (std::string line; std::getline(decoded, line);)
                out << "  sense: " << line << "\n";
        } else if (r.sense->code) {
            out << "  sense: " << SenseText({r.sense->code->Key(), r.sense->code->asc, r.sense->code->ascq}) << "\n";
        }
    }
    for (const Dump& dump : r.dumps) {
        out << "  dump (" << dump.phase << ", " << dump.what << (dump.mdl ? ", through an MDL" : "")
            << "): " << dump.bytes.size() << " bytes";
        if (dump.what == "data" && dump.bytes.size() == Request::kDumpCap && r.DataTruncated()) {
            std::optional<uint32_t> moved = r.transferred ? r.transferred : r.length;
            out << ", cut at the driver's limit of 2048 bytes"
                << (moved ? " of " + std::to_string(*moved) + " moved" : "");
        }
        out << "\n";
    }
    for (const std::string& note : r.notes)
        out << "  note: " << note << "\n";
    out << "  lines:\n";
    for (const auto& [number, text] : lines)
        out << "  " << std::setw(8) << number << "  " << text << "\n";
}

}  // namespace zklog
