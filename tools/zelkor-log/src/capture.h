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
    size_t line = 0;                        // line number in the capture (the last piece's, for a viewer log)
    size_t stampLine = 0, trailerLine = 0;  // a viewer log's lines of the stamp and trailer pieces
    std::optional<int64_t> stampUs;         // the driver's time stamp
    std::optional<int64_t> viewerUs;        // the viewer's time of the message piece (finer than the stamp)
    std::string trailer;
    std::string message;
    bool dump = false;  // a hex dump line; its bytes follow
    std::vector<uint8_t> bytes;
};

struct Unreadable {
    size_t line = 0;
    std::string text;
    std::string reason;
};

// "H:MM:SS.mmm" (hours unbounded) or a number of seconds, as microseconds.
std::optional<int64_t> ParseTime(std::string_view text);
// A viewer's time column: as ParseTime, or a clock time with " AM"/" PM".
std::optional<int64_t> ParseViewerTime(std::string_view text);
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
    using RawSink = std::function<void(size_t number, std::string_view text)>;

    CaptureReader(Format format, LineSink onLine, ProblemSink onProblem);

    // Feeds one line of the capture, without its line end, as UTF-8 or ANSI text.
    void Feed(std::string_view text);
    // Feeds raw bytes as they come: the encoding (UTF-8 or the ANSI code page,
    // UTF-16 little- or big-endian, with or without a byte-order mark) is told
    // from the first bytes, the lines are cut at their ends.
    void FeedBytes(std::string_view bytes);
    // The capture ended: a trace line still incomplete is reported.
    void Finish();
    // Reads a whole stream, line by line, as it comes.
    void Read(std::istream& in);

    // Every line of the capture as read (UTF-8), with its number.
    void OnRawLine(RawSink sink) { onRaw_ = std::move(sink); }

    Format format() const { return format_; }
    size_t lines() const { return lineNo_; }
    size_t skipped() const { return skipped_; }

private:
    void FeedPlain(std::string_view text);
    void FeedViewerPiece(std::string_view piece, std::optional<int64_t> viewerTime);
    void FeedViewerMessage(TraceLine& line, std::optional<int64_t> viewerTime);
    std::optional<int64_t> ViewerClock(std::string_view text);
    bool Split(std::string_view text, TraceLine& out);
    void Emit(TraceLine& line);
    void Problem(size_t line, std::string_view text, std::string reason);
    void DropPending(std::string reason);
    void DetectEncoding();
    void EndOfLine();

    Format format_;
    LineSink onLine_;
    ProblemSink onProblem_;
    RawSink onRaw_;
    size_t lineNo_ = 0;
    size_t skipped_ = 0;
    std::set<std::string, std::greater<>> trailers_;  // longest first among those sharing a start

    // The pieces of a viewer's trace line so far: its stamp, then the pieces
    // that may be its trailer (another program's text may come between).
    struct Piece {
        size_t line = 0;
        std::string text;
    };
    struct Pending {
        std::optional<Piece> stamp;
        std::optional<int64_t> stampUs;
        std::vector<Piece> loose;
        bool active() const { return stamp || !loose.empty(); }
    } pending_;
    std::set<std::string, std::less<>> placedTrailers_;  // trailers seen in a line that could be told

    // The viewer's clock time wraps at midnight: a day is added when it goes back by more than half a day.
    std::optional<int64_t> lastClockUs_;
    int64_t clockDaysUs_ = 0;

    enum class Encoding { Unknown, Bytes, Utf16Le, Utf16Be } encoding_ = Encoding::Unknown;
    std::string head_;     // the first bytes, until the encoding is known
    std::string partial_;  // the line so far
    int oddByte_ = -1;     // UTF-16: the first byte of a code unit
    char16_t highSurrogate_ = 0;
};

}  // namespace zklog
