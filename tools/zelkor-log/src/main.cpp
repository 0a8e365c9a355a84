// zelkor-log: answers questions about a captured trace of the driver.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include <CLI/CLI.hpp>

#include "capture.h"
#include "decode.h"
#include "pcap.h"
#include "plot.h"
#include "report.h"
#include "request_json.h"
#include "requests.h"

namespace {

constexpr int kUsage = 2;    // a usage error: the command line asks for what cannot be
constexpr int kNoTrace = 1;  // the capture cannot be opened, or nothing in it could be read

struct Options {
    std::string file;
    std::string format = "auto";
    bool json = false, csv = false, quiet = false, failed = false;
    std::vector<std::string> devices, kinds;
    std::string from, to;
    std::string sort;
    size_t top = 0;
    std::vector<std::string> which;  // show: IRP and/or LINE
    std::vector<std::string> bytes;  // sense
    std::string output;              // plot
    size_t underWay = zklog::Tracker::kMaxKept;
};

void AddCommon(CLI::App* command, Options& options) {
    command->add_option("FILE", options.file, "the capture; - reads standard input as it comes")->required();
    command->add_option("--format", options.format, "auto, plain (the simulator's text or a debugger log) or viewer")
        ->check(CLI::IsMember({"auto", "plain", "debugger", "viewer"}));
    command->add_flag("-q,--quiet", options.quiet, "do not list unreadable lines (their count is still told)");
    command
        ->add_option("--under-way", options.underWay,
                     "keep at most this many requests waiting for their completion (default 100000)")
        ->check(CLI::PositiveNumber);
}

void AddFilters(CLI::App* command, Options& options) {
    command->add_option("--device", options.devices, "only this device (its trailer, without blanks around it)");
    command->add_option(
        "--kind", options.kinds,
        "only this kind: read, write, srb, pass-through, urb, irb, ioctl, pnp, power, wmi, plain, other");
    command->add_flag("--failed", options.failed, "only requests that failed");
    command->add_option("--from", options.from, "only requests that started at or after this time (H:MM:SS.mmm)");
    command->add_option("--to", options.to, "only requests that started at or before this time (H:MM:SS.mmm)");
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The filters from the options; a usage error is told and returned.
std::optional<int> MakeFilter(const Options& options, zklog::Filter& filter) {
    filter.devices = options.devices;
    filter.kinds = options.kinds;
    filter.failedOnly = options.failed;
    for (const std::string& kind : options.kinds) {
        if (std::find(zklog::Kinds().begin(), zklog::Kinds().end(), kind) == zklog::Kinds().end()) {
            std::cerr << "zelkor-log: no kind " << kind << "; the kinds are " << Joined(zklog::Kinds()) << "\n";
            return kUsage;
        }
    }
    for (auto [text, target] : {std::pair{&options.from, &filter.fromUs}, std::pair{&options.to, &filter.toUs}}) {
        if (text->empty()) continue;
        *target = zklog::ParseTime(*text);
        if (!*target) {
            std::cerr << "zelkor-log: not a time: " << *text << " (H:MM:SS.mmm or seconds)\n";
            return kUsage;
        }
    }
    if (filter.fromUs && filter.toUs && *filter.fromUs > *filter.toUs) {
        std::cerr << "zelkor-log: --from " << options.from << " is after --to " << options.to << "\n";
        return kUsage;
    }
    return std::nullopt;
}

// One pass over the capture: the requests go to the sink as they end (all of
// them; the caller filters), the unreadable lines are counted and kept.
class Session {
public:
    Session(const Options& options, zklog::Tracker::RequestSink sink)
        : options_(options),
          tracker_([this, sink = std::move(sink)](const zklog::Request& request) {
              devices_.insert(request.device);
              sink(request);
          }),
          reader_(
              *zklog::ParseFormat(options.format),
              [this](const zklog::TraceLine& line) {
                  if (onLine) onLine(line);
                  if (!tracker_.Add(line))
                      Report({line.line, line.trailer + line.message, "a trace message it cannot read"});
              },
              [this](const zklog::Unreadable& problem) {
                  tracker_.Problem(problem);
                  Report(problem);
              }) {
        tracker_.SetMaxKept(options.underWay);
    }

    // Reads it all; standard input as it comes, handing out the requests that
    // have ended whenever it goes quiet for a moment. False if it cannot be opened.
    bool Read(std::function<void()> quiet = {}, std::function<void()> chunk = {}) {
        std::ifstream file;
        if (options_.file != "-") {
            file.open(options_.file, std::ios::binary);
            if (!file) {
                std::cerr << "zelkor-log: cannot open " << options_.file << "\n";
                return false;
            }
        }
        std::string buffer(1 << 16, '\0');
        bool fresh = false;
        while (true) {
            size_t got = 0;
            if (file.is_open()) {
                file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                got = static_cast<size_t>(file.gcount());
                if (got == 0) break;
            } else {
                pollfd input{STDIN_FILENO, POLLIN, 0};
                if (fresh && poll(&input, 1, 100) == 0) {
                    tracker_.ReleaseEnded();
                    if (quiet) quiet();
                    fresh = false;
                    continue;
                }
                ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got = static_cast<size_t>(n);
                fresh = true;
            }
            reader_.FeedBytes(std::string_view(buffer.data(), got));
            TellGivenUp();
            if (chunk) chunk();
        }
        reader_.Finish();
        tracker_.Finish();
        TellGivenUp();
        return true;
    }

    // A line when the bound on the requests under way made the oldest be given up.
    void TellGivenUp() {
        if (tracker_.stats().givenUp == givenUpTold_) return;
        std::cerr << "zelkor-log: " << options_.file << ": more than " << tracker_.maxKept()
                  << " requests under way: gave up waiting for the completion of "
                  << tracker_.stats().givenUp - givenUpTold_ << " (" << tracker_.stats().givenUp << " in all)\n";
        givenUpTold_ = tracker_.stats().givenUp;
    }

    // The first-line order of the oldest request still under way.
    std::optional<size_t> OldestKept() const { return tracker_.OldestKept(); }

    // After reading: nothing readable, or a --device that names none, is an error.
    std::optional<int> Check() const {
        if (tracker_.stats().traceLines == 0) {
            std::cerr << "zelkor-log: " << options_.file << ": no trace line could be read (" << unreadableCount_
                      << " unreadable lines)\n";
            return kNoTrace;
        }
        for (const std::string& device : options_.devices) {
            if (devices_.contains(device)) continue;
            std::cerr << "zelkor-log: no device " << device << " in " << options_.file << "; the devices are "
                      << Joined({devices_.begin(), devices_.end()}) << "\n";
            return kUsage;
        }
        return std::nullopt;
    }

    // The count of unreadable lines on standard error (with -q too), for the listing commands.
    void TellUnreadable() const {
        if (unreadableCount_ > 0) {
            std::cerr << "zelkor-log: " << options_.file << ": " << unreadableCount_ << " unreadable lines\n";
        }
    }

    zklog::CaptureReader& reader() { return reader_; }
    const zklog::CaptureStats& stats() const { return tracker_.stats(); }
    const std::vector<zklog::Unreadable>& unreadable() const { return unreadable_; }
    size_t unreadableCount() const { return unreadableCount_; }
    bool listUnreadable = false;                          // on standard error as they come
    std::function<void(const zklog::TraceLine&)> onLine;  // each trace line, as it is read

private:
    void Report(const zklog::Unreadable& problem) {
        if (listUnreadable && !options_.quiet) {
            std::cerr << "zelkor-log: " << options_.file << ":" << problem.line << ": " << problem.reason << ": "
                      << problem.text << "\n";
        }
        if (unreadable_.size() < 100000) unreadable_.push_back(problem);
        ++unreadableCount_;
    }

    const Options& options_;
    zklog::Tracker tracker_;
    zklog::CaptureReader reader_;
    std::set<std::string> devices_;
    std::vector<zklog::Unreadable> unreadable_;
    size_t unreadableCount_ = 0;
    size_t givenUpTold_ = 0;
};

int Summary(const Options& options, const zklog::Filter& filter) {
    zklog::Summary summary;
    Session session(options, [&](const zklog::Request& request) {
        if (filter.Accepts(request)) summary.Add(request);
    });
    if (!session.Read()) return kNoTrace;
    if (auto error = session.Check()) return *error;
    size_t count = session.unreadableCount();
    if (options.json) {
        std::cout << summary.Json(session.stats(), count).dump(2) << "\n";
    } else {
        summary.Print(std::cout, session.stats(), count,
                      options.quiet ? std::vector<zklog::Unreadable>{} : session.unreadable());
    }
    return 0;
}

int Requests(const Options& options, const zklog::Filter& filter) {
    bool ordered = !options.sort.empty() || options.top > 0;
    bool live = options.file == "-" && !ordered;
    // JSON and CSV from a file come in the order of the first lines, each
    // written once every older request has been: only those in between are kept.
    bool inOrder = !live && !ordered && (options.json || options.csv);
    std::vector<zklog::Request> kept;
    std::map<size_t, zklog::Request> waiting;
    zklog::Columns columns;
    std::string line;
    auto show = [&](const zklog::Request& request) {
        if (options.json) {
            line.clear();
            zklog::AppendRequestJson(line, request);
            line += '\n';
            std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        } else if (options.csv) {
            std::cout << zklog::RequestCsv(request) << "\n";
        } else {
            std::cout << zklog::RequestLine(request, columns) << "\n";
        }
    };
    if (options.csv) std::cout << zklog::CsvHeader() << "\n";
    std::optional<Session> session;
    auto writeWaiting = [&] {
        std::optional<size_t> oldest = session->OldestKept();
        while (!waiting.empty() && (!oldest || waiting.begin()->first < *oldest)) {
            show(waiting.begin()->second);
            waiting.erase(waiting.begin());
        }
    };
    session.emplace(options, [&](const zklog::Request& request) {
        if (!filter.Accepts(request)) return;
        if (live) {
            columns.Fit(request);  // the columns widen as wider requests come
            show(request);
        } else if (inOrder) {
            waiting.emplace(request.id, request);
        } else {
            kept.push_back(request);
        }
    });
    session->listUnreadable = true;
    if (!session->Read([] { std::cout.flush(); }, inOrder ? std::function<void()>(writeWaiting) : nullptr))
        return kNoTrace;
    writeWaiting();
    if (auto error = session->Check()) return *error;
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    if (options.sort == "latency") {
        std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
            return a.LatencyUs().value_or(-1) > b.LatencyUs().value_or(-1);
        });
    }
    if (options.top > 0 && kept.size() > options.top) kept.resize(options.top);
    for (const zklog::Request& request : kept)
        columns.Fit(request);
    for (const zklog::Request& request : kept)
        show(request);
    session->TellUnreadable();
    return 0;
}

// show FILE IRP [LINE] or show FILE LINE: one request whole.
int Show(const Options& options) {
    std::optional<uint32_t> irp;
    std::optional<size_t> line;
    for (const std::string& what : options.which) {
        try {
            size_t used = 0;
            if (what.starts_with("0x") || what.starts_with("0X")) {
                uint64_t value = std::stoull(what.substr(2), &used, 16);
                if (used + 2 != what.size() || value > 0xFFFFFFFF || irp) throw std::invalid_argument(what);
                irp = static_cast<uint32_t>(value);
            } else {
                line = std::stoull(what, &used, 10);
                if (used != what.size()) throw std::invalid_argument(what);
            }
        } catch (const std::exception&) {
            std::cerr << "zelkor-log: not an IRP address (0x...) nor a line number: " << what << "\n";
            return kUsage;
        }
    }
    if (options.file == "-") {
        std::cerr << "zelkor-log: show reads the capture twice: give a file, not -\n";
        return kUsage;
    }
    std::vector<zklog::Request> found;
    Session session(options, [&](const zklog::Request& request) {
        bool byIrp = !irp || request.irp == *irp;
        bool byLine =
            !line || (irp ? request.firstLine == *line
                          : std::find(request.lines.begin(), request.lines.end(), *line) != request.lines.end());
        if (byIrp && byLine) found.push_back(request);
    });
    if (!session.Read()) return kNoTrace;
    if (auto error = session.Check()) return *error;
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    if (found.size() != 1) {
        std::cerr << "zelkor-log: " << (found.empty() ? "no request" : std::to_string(found.size()) + " requests")
                  << " with " << (irp ? zklog::Hex(*irp) : "") << (irp && line ? " starting at line " : "")
                  << (line ? (irp ? "" : "line ") + std::to_string(*line) : "") << " in " << options.file
                  << (found.empty() ? "" : "; give the first line of one of them:") << "\n";
        zklog::Columns columns;
        for (const zklog::Request& request : found)
            columns.Fit(request);
        for (const zklog::Request& request : found) {
            std::cerr << "  line " << request.firstLine << ": " << zklog::RequestLine(request, columns) << "\n";
        }
        return kUsage;
    }
    // The second pass: the capture's own lines of the request.
    std::vector<std::pair<size_t, std::string>> lines;
    const std::vector<size_t>& wanted = found[0].lines;
    zklog::CaptureReader raw(
        *zklog::ParseFormat(options.format), [](const zklog::TraceLine&) {}, [](const zklog::Unreadable&) {});
    raw.OnRawLine([&](size_t number, std::string_view text) {
        if (std::binary_search(wanted.begin(), wanted.end(), number)) lines.emplace_back(number, text);
    });
    std::ifstream file(options.file, std::ios::binary);
    raw.Read(file);
    zklog::PrintRequest(std::cout, found[0], lines);
    return 0;
}

int Sense(const Options& options) {
    std::string text;
    for (const std::string& part : options.bytes)
        text += (text.empty() ? "" : " ") + part;
    std::optional<std::vector<uint8_t>> bytes = zklog::ParseHexBytes(text);
    if (!bytes) {
        std::cerr << "zelkor-log: not hex bytes: " << text << "\n";
        return kUsage;
    }
    std::cout << zklog::DecodeSense(*bytes) << "\n";
    return 0;
}

int Plot(const Options& options, const zklog::Filter& filter) {
    std::vector<zklog::Request> kept;
    Session session(options, [&](const zklog::Request& request) {
        if (filter.Accepts(request)) kept.push_back(request);
    });
    if (!session.Read()) return kNoTrace;
    if (auto error = session.Check()) return *error;
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    std::ofstream out(options.output, std::ios::binary);
    if (!out) {
        std::cerr << "zelkor-log: cannot write " << options.output << "\n";
        return kNoTrace;
    }
    zklog::PlotSvg(out, kept, options.file);
    if (!out.flush()) {
        std::cerr << "zelkor-log: cannot write " << options.output << "\n";
        return kNoTrace;
    }
    session.TellUnreadable();
    return 0;
}

// The other traffic left out of the export: its requests by kind.
std::string LeftOut(const std::map<std::string, size_t>& byKind) {
    size_t all = 0;
    std::string kinds;
    for (const auto& [kind, count] : byKind) {
        all += count;
        kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(count);
    }
    if (all == 0) return "no other traffic left out";
    return std::to_string(all) + " requests of other traffic left out (" + kinds + ")";
}

// What the export had to infer, on standard error.
void TellInferred(const zklog::PcapStats& stats) {
    for (const zklog::InferredPipe& pipe : stats.inferredPipes) {
        char endpoint[8];
        std::snprintf(endpoint, sizeof endpoint, "0x%02X", pipe.endpoint);
        std::cerr << "zelkor-log: " << zklog::DeviceName(pipe.device) << " pipe " << zklog::Hex(pipe.handle)
                  << ": endpoint " << endpoint << " ("
                  << (pipe.type == 0   ? "isochronous"
                      : pipe.type == 1 ? "interrupt"
                                       : "bulk")
                  << (pipe.endpoint & 0x80 ? ", in" : ", out") << ") inferred from the configuration descriptor"
                  << (pipe.byOrder ? ", by the order of the pipe handles" : "") << "\n";
    }
    if (stats.inferredSetup > 0)
        std::cerr << "zelkor-log: " << stats.inferredSetup
                  << " setup packets inferred from the standard lines (no 0x200 detail line; language id 0)\n";
    if (stats.inferredStatus > 0)
        std::cerr << "zelkor-log: " << stats.inferredStatus
                  << " USBD statuses inferred from the request's status (no 0x200 detail line): "
                     "USBD_STATUS_SUCCESS, USBD_STATUS_CANCELED, else USBD_STATUS_REQUEST_FAILED\n";
    if (stats.unknownEndpoint > 0)
        std::cerr << "zelkor-log: " << stats.unknownEndpoint
                  << " transfers on pipes that no selection nor configuration descriptor in the capture told of: "
                     "endpoint 0, type bulk\n";
}

int Pcap(const Options& options) {
    for (const std::string& kind : options.kinds) {
        const std::vector<std::string>& kinds = zklog::PcapKinds();
        if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
            std::cerr << "zelkor-log: no kind " << kind << "; the kinds are " << Joined(kinds) << "\n";
            return kUsage;
        }
    }
    zklog::PcapExport exporter({options.devices, options.kinds});
    std::map<std::string, size_t> leftOut;
    Session session(options, [&](const zklog::Request& request) {
        bool device = options.devices.empty() || std::find(options.devices.begin(), options.devices.end(),
                                                           request.device) != options.devices.end();
        if (device && request.kind != "urb") ++leftOut[request.kind];
    });
    session.onLine = [&](const zklog::TraceLine& line) { exporter.Add(line); };
    if (!session.Read()) return kNoTrace;
    if (auto error = session.Check()) return *error;
    std::ofstream out(options.output, std::ios::binary);
    if (out) exporter.Write(out);
    if (!out || !out.flush()) {
        std::cerr << "zelkor-log: cannot write " << options.output << "\n";
        return kNoTrace;
    }
    const zklog::PcapStats& stats = exporter.stats();
    std::cerr << "zelkor-log: " << stats.packets << " USB packets of " << stats.devices << " devices written to "
              << options.output << "; " << LeftOut(leftOut) << "\n";
    TellInferred(stats);
    session.TellUnreadable();
    return stats.packets > 0 ? 0 : kNoTrace;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-exception-escape): what escapes is a fault; the runtime reports it.
int main(int argc, char** argv) {
    CLI::App app{"zelkor-log: reads a captured trace of the Zelkor driver and tells what happened"};
    app.require_subcommand(1);
    Options options;
    CLI::App* summary =
        app.add_subcommand("summary", "per device: requests by kind and name, failures, sense, latency");
    CLI::App* requests = app.add_subcommand("requests", "one line (or JSON object, or CSV row) per request");
    CLI::App* show = app.add_subcommand("show", "one request whole: its lines, its data decoded, its dumps");
    CLI::App* sense = app.add_subcommand("sense", "decodes sense bytes given on the command line");
    CLI::App* plot = app.add_subcommand("plot", "draws the requests over time and their latencies as an SVG picture");
    CLI::App* pcap =
        app.add_subcommand("pcap", "writes the USB traffic as a pcapng file (USBPcap link type) for Wireshark");
    for (CLI::App* command : {summary, requests, show, plot, pcap})
        AddCommon(command, options);
    for (CLI::App* command : {summary, requests, plot})
        AddFilters(command, options);
    pcap->add_option("--device", options.devices, "only this device (its trailer, without blanks around it)");
    pcap->add_option("--kind", options.kinds, "only this kind of packet: control, bulk, interrupt, isochronous, other");
    summary->add_flag("--json", options.json, "the summary as one JSON object");
    requests->add_flag("--json", options.json, "one JSON object a line");
    requests->add_flag("--csv", options.csv, "comma-separated values with a header row");
    requests->add_option("--sort", options.sort, "latency: the slowest first")
        ->check(CLI::IsMember({"latency", "start"}));
    requests->add_option("--top", options.top, "only the first N (after --sort)");
    show->add_option("WHICH", options.which, "the IRP address (0x...), its first line, or a line of the request")
        ->required()
        ->expected(1, 2);
    sense->add_option("BYTES", options.bytes, "the sense bytes in hex (70 00 05 00 ... or 70000500...)")->required();
    plot->add_option("-o,--output", options.output, "the SVG file to write")->required();
    pcap->add_option("-o,--output", options.output, "the pcapng file to write")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? 0 : kUsage;
    }
    if (options.json && options.csv) {
        std::cerr << "zelkor-log: --json or --csv, not both\n";
        return kUsage;
    }
    if (sense->parsed()) return Sense(options);
    if (show->parsed()) return Show(options);
    if (pcap->parsed()) return Pcap(options);
    zklog::Filter filter;
    if (auto error = MakeFilter(options, filter)) return *error;
    if (summary->parsed()) return Summary(options, filter);
    if (plot->parsed()) return Plot(options, filter);
    return Requests(options, filter);
}
