#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "capture.h"

namespace zklog {
namespace {

constexpr double kWidth = 960, kLeft = 110, kRight = 20, kLane = 22, kHistogramHeight = 120;
constexpr int kBins = 16;  // latency bins: below 0.0625 ms, then doubling, the last open-ended

std::string Escaped(std::string_view text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += static_cast<unsigned char>(ch) < 0x20 ? ' ' : ch;
        }
    }
    return out;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

const char* KindColour(const std::string& kind) {
    static const std::map<std::string, const char*> colours = {
        {"read", "#1f77b4"},  {"write", "#2ca02c"}, {"srb", "#9467bd"},   {"pass-through", "#8c564b"},
        {"urb", "#17becf"},   {"irb", "#bcbd22"},   {"ioctl", "#7f7f7f"}, {"pnp", "#e377c2"},
        {"power", "#ff7f0e"}, {"wmi", "#aec7e8"},   {"plain", "#98df8a"}, {"other", "#c5b0d5"}};
    auto found = colours.find(kind);
    return found == colours.end() ? "#444444" : found->second;
}

int Bin(int64_t us) {
    double ms = static_cast<double>(us) / 1000.0;
    int bin = ms <= 0 ? 0 : static_cast<int>(std::floor(std::log2(ms / 0.0625))) + 1;
    return std::clamp(bin, 0, kBins - 1);
}

std::string BinLabel(int bin) {
    if (bin == 0) return "<0.06";
    double low = 0.0625 * std::pow(2.0, bin - 1);
    char text[32];
    std::snprintf(text, sizeof text, low < 1 ? "%.2g" : "%.0f", low);
    return std::string(bin == kBins - 1 ? ">=" : "") + text;
}

// The latency histogram of a device's requests at height y: requests per
// bin, bins doubling in milliseconds.
std::string Histogram(const std::vector<const Request*>& list, double y) {
    constexpr double plotWidth = kWidth - kLeft - kRight;
    std::string body;
    std::vector<size_t> bins(kBins, 0);
    for (const Request* r : list) {
        if (auto latency = r->LatencyUs()) ++bins[static_cast<size_t>(Bin(*latency))];
    }
    size_t most = *std::max_element(bins.begin(), bins.end());
    body += "<text x=\"10\" y=\"" + Number(y + 12) + "\" font-size=\"12\">latency (ms)</text>\n";
    double barWidth = plotWidth / kBins;
    for (int bin = 0; bin < kBins; ++bin) {
        double height = most ? (kHistogramHeight - 20) * static_cast<double>(bins[bin]) / static_cast<double>(most) : 0;
        double left = kLeft + barWidth * bin;
        double base = y + kHistogramHeight - 20;
        if (bins[bin] > 0) {
            body += "<rect x=\"" + Number(left + 2) + "\" y=\"" + Number(base - height) + "\" width=\"" +
                    Number(barWidth - 4) + "\" height=\"" + Number(height) + "\" fill=\"#4c72b0\"><title>" +
                    std::to_string(bins[bin]) + " requests, " + Escaped(BinLabel(bin)) + " ms</title></rect>\n";
            body += "<text x=\"" + Number(left + barWidth / 2) + "\" y=\"" + Number(base - height - 3) +
                    "\" font-size=\"10\" text-anchor=\"middle\">" + std::to_string(bins[bin]) + "</text>\n";
        }
        body += "<text x=\"" + Number(left + barWidth / 2) + "\" y=\"" + Number(base + 13) +
                "\" font-size=\"10\" text-anchor=\"middle\">" + Escaped(BinLabel(bin)) + "</text>\n";
    }
    return body;
}

}  // namespace

void PlotSvg(std::ostream& out, const std::vector<Request>& requests, const std::string& title) {
    std::map<std::string, std::vector<const Request*>> byDevice;
    std::optional<int64_t> first, last;
    for (const Request& r : requests) {
        byDevice[r.device].push_back(&r);
        for (auto at : {r.ShownStartUs(), r.ShownEndUs()}) {
            if (!at) continue;
            first = first ? std::min(*first, *at) : *at;
            last = last ? std::max(*last, *at) : *at;
        }
    }
    double span = first && last && *last > *first ? static_cast<double>(*last - *first) : 1.0;
    double plotWidth = kWidth - kLeft - kRight;
    auto x = [&](int64_t us) { return kLeft + plotWidth * static_cast<double>(us - first.value_or(0)) / span; };

    // Heights first: per device a title, its lanes, an axis and a histogram.
    std::string body;
    double y = 40;
    for (const auto& [device, list] : byDevice) {
        std::map<std::string, std::vector<const Request*>> lanes;
        for (const Request* r : list)
            lanes[r->kind].push_back(r);
        size_t failed = std::count_if(list.begin(), list.end(), [](const Request* r) { return r->Failed(); });
        body += "<text x=\"10\" y=\"" + Number(y) + "\" font-size=\"15\" font-weight=\"bold\">Device " +
                Escaped(device) + ": " + std::to_string(list.size()) + " requests, " + std::to_string(failed) +
                " failed</text>\n";
        y += 12;
        for (const auto& [kind, lane] : lanes) {
            body += "<text x=\"10\" y=\"" + Number(y + 15) + "\" font-size=\"12\">" + Escaped(kind) + "</text>\n";
            body += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(y + 2) + "\" width=\"" + Number(plotWidth) +
                    "\" height=\"" + Number(kLane - 4) + "\" fill=\"#f4f4f4\"/>\n";
            for (const Request* r : lane) {
                std::optional<int64_t> start = r->ShownStartUs() ? r->ShownStartUs() : r->ShownEndUs();
                if (!start) continue;
                double left = x(*start);
                double width =
                    std::max(2.0, r->LatencyUs() ? plotWidth * static_cast<double>(*r->LatencyUs()) / span : 2.0);
                std::string tip = FormatTime(*start) + " " + Hex(r->irp) + " " + r->name +
                                  (r->status.empty() ? "" : " -> " + r->status);
                if (r->LatencyUs()) tip += " (" + Number(static_cast<double>(*r->LatencyUs()) / 1000.0) + " ms)";
                body += "<rect x=\"" + Number(left) + "\" y=\"" + Number(y + 4) + "\" width=\"" + Number(width) +
                        "\" height=\"" + Number(kLane - 8) + "\" fill=\"" + KindColour(kind) + "\"><title>" +
                        Escaped(tip) + "</title></rect>\n";
                if (r->Failed()) {
                    body += "<path d=\"M" + Number(left) + " " + Number(y + kLane - 2) +
                            " l4 -8 l4 8 z\" fill=\"#d62728\"" + " stroke=\"#800000\"><title>failed: " + Escaped(tip) +
                            "</title></path>\n";
                }
            }
            y += kLane;
        }
        body += "<text x=\"" + Number(kLeft) + "\" y=\"" + Number(y + 14) + "\" font-size=\"11\">" +
                (first ? FormatTime(*first) : std::string("no time stamps")) + "</text>\n";
        body += "<text x=\"" + Number(kWidth - kRight) + "\" y=\"" + Number(y + 14) +
                "\" font-size=\"11\" text-anchor=\"end\">" + (last ? FormatTime(*last) : std::string()) + "</text>\n";
        y += 30;

        body += Histogram(list, y);
        y += kHistogramHeight + 20;
    }
    if (byDevice.empty()) {
        body += "<text x=\"10\" y=\"60\" font-size=\"14\">no requests</text>\n";
        y = 80;
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Number(kWidth) << "\" height=\"" << Number(y)
        << "\" viewBox=\"0 0 " << Number(kWidth) << " " << Number(y) << "\" font-family=\"sans-serif\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"10\" y=\"22\" font-size=\"16\">zelkor-log: " << Escaped(title) << "</text>\n"
        << body << "</svg>\n";
}

}  // namespace zklog
