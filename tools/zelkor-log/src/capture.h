// Reading a capture: the driver's trace lines, each split into its time
// stamp, its trailer (which names the device) and its message, from the
// simulator's text, a debugger log, or a debug-output viewer's saved log.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zklog {

enum class Format { Auto, Plain, Viewer };

std::optional<Format> ParseFormat(std::string_view name);

struct TraceLine {
    size_t line = 0;                 // line number in the capture (the last piece's, for a viewer log)
    std::optional<int64_t> stampUs;  // the driver's time stamp, else the viewer's time
    std::string trailer;
    std::string message;
    bool dump = false;               // a hex dump line; its bytes follow
    std::vector<uint8_t> bytes;
};

struct Unreadable {
    size_t line = 0;
    std::string text;
    std::string reason;
};

// "H:MM:SS.mmm" (hours unbounded) or a number of seconds, as microseconds.
std::optional<int64_t> ParseTime(std::string_view text);
std::string FormatTime(int64_t us);

// A hex dump line of the driver (66 columns: 16 bytes in hex, a double blank
// after the eighth, the characters from column 50); trailing blanks may be
// missing. Returns the bytes, or nothing if the text is no dump line.
std::optional<std::vector<uint8_t>> ParseDumpLine(std::string_view text);

// Whether a driver message starts at the beginning of the text.
bool StartsWithMessage(std::string_view text);

class CaptureReader {
public:
    using LineSink = std::function<void(const TraceLine&)>;
    using ProblemSink = std::function<void(const Unreadable&)>;

    CaptureReader(Format format, LineSink onLine, ProblemSink onProblem);

    // Feeds one line of the capture, without its line end.
    void Feed(std::string_view text);
    // The capture ended: a trace line still incomplete is reported.
    void Finish();
    // Reads a whole stream, line by line, as it comes.
    void Read(std::istream& in);

    Format format() const { return format_; }
    size_t lines() const { return lineNo_; }
    size_t skipped() const { return skipped_; }

private:
    void FeedPlain(std::string_view text);
    void FeedViewerPiece(std::string_view piece, std::optional<int64_t> viewerTime);
    bool Split(std::string_view text, TraceLine& out);
    void Emit(TraceLine& line);
    void Problem(size_t line, std::string_view text, std::string reason);
    void DropPending(std::string reason);

    Format format_;
    LineSink onLine_;
    ProblemSink onProblem_;
    size_t lineNo_ = 0;
    size_t skipped_ = 0;
    std::set<std::string, std::greater<>> trailers_;  // longest first among those sharing a start

    struct Pending {
        bool active = false;
        size_t line = 0;
        std::string text;  // the pieces so far, as they came
        std::optional<int64_t> stampUs;
        bool hasTrailer = false;
        std::string trailer;
    } pending_;
};

}  // namespace zklog
