// zelkor-log: answers questions about a captured trace of the driver.
#include <algorithm>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "capture.h"
#include "report.h"
#include "requests.h"

namespace {

struct Options {
    std::string file;
    std::string format = "auto";
    bool json = false;
    bool quiet = false;
    std::vector<std::string> devices, kinds;
    bool failed = false;
    std::string from, to;
};

void AddCommon(CLI::App* command, Options& options) {
    command->add_option("FILE", options.file, "the capture; - reads standard input as it comes")->required();
    command->add_option("--format", options.format, "auto, plain (the simulator's text or a debugger log) or viewer")
        ->check(CLI::IsMember({"auto", "plain", "debugger", "viewer"}));
    command->add_option("--device", options.devices, "only this device (its trailer, without blanks around it)");
    command->add_option("--kind", options.kinds,
                        "only this kind: read, write, srb, pass-through, urb, irb, ioctl, pnp, power, wmi, plain, other");
    command->add_flag("--failed", options.failed, "only requests that failed");
    command->add_option("--from", options.from, "only requests that started at or after this time (H:MM:SS.mmm)");
    command->add_option("--to", options.to, "only requests that started at or before this time (H:MM:SS.mmm)");
    command->add_flag("-q,--quiet", options.quiet, "do not list unreadable lines");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zelkor-log: reads a captured trace of the Zelkor driver and tells what happened"};
    app.require_subcommand(1);
    Options options;
    CLI::App* summary = app.add_subcommand("summary", "per device: requests by kind and name, failures, sense, latency");
    CLI::App* requests = app.add_subcommand("requests", "one line, or with --json one JSON object, per request");
    AddCommon(summary, options);
    AddCommon(requests, options);
    requests->add_flag("--json", options.json, "one JSON object a line");
    CLI11_PARSE(app, argc, argv);

    zklog::Filter filter;
    filter.devices = options.devices;
    filter.kinds = options.kinds;
    filter.failedOnly = options.failed;
    for (auto [text, target] : {std::pair{&options.from, &filter.fromUs}, std::pair{&options.to, &filter.toUs}}) {
        if (text->empty()) continue;
        *target = zklog::ParseTime(*text);
        if (!*target) {
            std::cerr << "zelkor-log: not a time: " << *text << " (H:MM:SS.mmm or seconds)\n";
            return 1;
        }
    }

    std::ifstream file;
    std::istream* in = &std::cin;
    bool live = options.file == "-";
    if (!live) {
        file.open(options.file, std::ios::binary);
        if (!file) {
            std::cerr << "zelkor-log: cannot open " << options.file << "\n";
            return 1;
        }
        in = &file;
    }

    bool listing = requests->parsed();
    std::vector<zklog::Request> kept;
    std::vector<zklog::Unreadable> unreadable;
    auto show = [&](const zklog::Request& request) {
        if (options.json) {
            std::cout << zklog::RequestJson(request).dump() << "\n";
        } else {
            std::cout << zklog::RequestLine(request) << "\n";
        }
    };
    zklog::Tracker tracker([&](const zklog::Request& request) {
        if (!filter.Accepts(request)) return;
        if (listing && live) {
            show(request);
            std::cout.flush();
        } else {
            kept.push_back(request);
        }
    });
    auto report = [&](const zklog::Unreadable& problem) {
        unreadable.push_back(problem);
        if (listing && !options.quiet) {
            std::cerr << "zelkor-log: " << options.file << ":" << problem.line << ": " << problem.reason << ": "
                      << problem.text << "\n";
        }
    };
    zklog::CaptureReader reader(
        *zklog::ParseFormat(options.format),
        [&](const zklog::TraceLine& line) {
            if (!tracker.Add(line)) report({line.line, line.trailer + line.message, "a trace message it cannot read"});
        },
        [&](const zklog::Unreadable& problem) {
            tracker.Problem(problem);
            report(problem);
        });
    reader.Read(*in);
    tracker.Finish();

    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    if (listing) {
        for (const zklog::Request& request : kept) show(request);
    } else {
        if (options.quiet) unreadable.clear();
        zklog::PrintSummary(std::cout, kept, tracker.stats(), unreadable);
    }
    return 0;
}
