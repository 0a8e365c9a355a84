#include "capture.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "simkernel/utf.h"

namespace zklog {
namespace {

// Windows-1252 to UTF-8; the five bytes the code page leaves undefined
// become the C1 controls of the same value, as Windows maps them.
std::string FromWindows1252(std::string_view text) {
    static constexpr uint16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        sim::AppendUtf8(&out, c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c);
    }
    return out;
}

constexpr size_t kDumpWidth = 66;   // the text of one dump line
constexpr size_t kCharColumn = 50;  // where the characters start
constexpr size_t kMaxTrailer = 99;  // the trailer field holds 100 bytes with its NUL

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits at the start of text; their count, or 0.
size_t Digits(std::string_view text, size_t from) {
    size_t n = 0;
    while (from + n < text.size() && IsDigit(text[from + n])) {
        ++n;
    }
    return n;
}

// The driver's stamp "%u:%02u:%02u.%03u " (or, at the detail level with
// stamps, "%u:%02u:%02u.%06u ") at the start of text: its length (blank
// included) and value.
std::optional<std::pair<size_t, int64_t>> LeadingStamp(std::string_view text) {
    size_t hours = Digits(text, 0);
    if (hours == 0 || hours > 9) return std::nullopt;
    size_t p = hours;
    auto two = [&](char before) {
        if (p + 3 > text.size() || text[p] != before || !IsDigit(text[p + 1]) || !IsDigit(text[p + 2])) {
            return false;
        }
        p += 3;
        return true;
    };
    if (!two(':') || !two(':') || p >= text.size() || text[p] != '.') return std::nullopt;
    size_t fraction = Digits(text, p + 1);
    if (fraction != 3 && fraction != 6) return std::nullopt;
    p += 1 + fraction;
    std::optional<int64_t> value = ParseTime(text.substr(0, p));
    if (!value) return std::nullopt;
    if (p < text.size() && text[p] == ' ') {
        ++p;
    } else if (p != text.size()) {
        return std::nullopt;
    }
    return std::pair{p, *value};
}

bool IsDebuggerChatter(std::string_view text) {
    size_t cpu = Digits(text, 0);
    std::string_view rest = text;
    if (cpu > 0 && text.substr(cpu).starts_with(": ")) {
        rest = text.substr(cpu + 2);
    }
    return rest.starts_with("kd> ") || rest == "kd>" || text.starts_with("Opened log file") ||
           text.starts_with("Closing open log file");
}

// "NUMBER<tab>TIME<tab>TEXT": the viewer's sequence number, its time, the text.
bool SplitViewerLine(std::string_view text, std::string_view& time, std::string_view& piece) {
    size_t number = Digits(text, 0);
    if (number == 0 || number >= text.size() || text[number] != '\t') return false;
    size_t tab = text.find('\t', number + 1);
    if (tab == std::string_view::npos) return false;
    time = text.substr(number + 1, tab - number - 1);
    piece = text.substr(tab + 1);
    return ParseViewerTime(time).has_value();
}

// A piece of unknown text that may stand alone as a trailer: the driver adds no
// blank between trailer and message, so a trailer ends with a blank or is one
// word ("disk0> ", "** ", "[usb]"); another program's line ("nvlddmkm: GPU
// power state 2") is neither.
bool MayBeTrailer(std::string_view piece) {
    return piece.size() <= kMaxTrailer && (piece.ends_with(' ') || piece.find(' ') == std::string_view::npos);
}

constexpr size_t kMaxLoosePieces = 8;      // pieces waiting for a message before the oldest is given up
constexpr size_t kMaxLineBytes = 1 << 16;  // a longer line is cut (it is no trace line anyway)
constexpr size_t kMaxTrailers = 4096;      // trailers remembered (one a device)
constexpr int64_t kDayUs = 86400LL * 1000000;

}  // namespace

std::optional<Format> ParseFormat(std::string_view name) {
    if (name == "auto") return Format::Auto;
    if (name == "plain" || name == "debugger") return Format::Plain;
    if (name == "viewer") return Format::Viewer;
    return std::nullopt;
}

std::optional<int64_t> ParseTime(std::string_view text) {
    int64_t seconds = 0;
    size_t p = 0;
    size_t fields = 0;
    // H:MM:SS or plain seconds, then an optional fraction.
    while (true) {
        size_t n = Digits(text, p);
        if (n == 0 || n > 12) return std::nullopt;
        int64_t value = 0;
        for (size_t i = 0; i < n; ++i)
            value = value * 10 + (text[p + i] - '0');
        if (fields > 0 && (n != 2 || value > 59)) return std::nullopt;
        seconds = seconds * 60 + value;
        p += n;
        ++fields;
        if (p < text.size() && text[p] == ':' && fields < 3) {
            ++p;
            continue;
        }
        break;
    }
    if (fields == 2) return std::nullopt;
    int64_t us = seconds * 1000000;
    if (p < text.size() && text[p] == '.') {
        size_t n = Digits(text, p + 1);
        if (n == 0) return std::nullopt;
        int64_t scale = 100000;
        for (size_t i = 0; i < n; ++i, scale /= 10)
            us += (text[p + 1 + i] - '0') * scale;
        p += 1 + n;
    }
    if (p != text.size()) return std::nullopt;
    return us;
}

std::optional<int64_t> ParseViewerTime(std::string_view text) {
    bool am = text.ends_with(" AM") || text.ends_with(" am");
    bool pm = text.ends_with(" PM") || text.ends_with(" pm");
    if (!am && !pm) return ParseTime(text);
    text.remove_suffix(3);
    if (text.find(':') == std::string_view::npos) return std::nullopt;
    std::optional<int64_t> us = ParseTime(text);
    if (!us) return std::nullopt;
    int64_t hourUs = 3600LL * 1000000;
    int64_t hours = *us / hourUs;
    if (hours < 1 || hours > 12) return std::nullopt;
    if (hours == 12) *us -= 12 * hourUs;  // 12:xx AM is just after midnight, 12:xx PM just after noon
    if (pm) *us += 12 * hourUs;
    return us;
}

std::string FormatTime(int64_t us) {
    char text[48];
    int64_t ms = us / 1000;
    int64_t s = ms / 1000;
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                  static_cast<long long>(ms % 1000));
    std::string result = text;
    if (us % 1000 != 0) {
        std::snprintf(text, sizeof text, "%03lld", static_cast<long long>(us % 1000));
        result += text;
    }
    return result;
}

std::optional<std::vector<uint8_t>> ParseDumpLine(std::string_view text) {
    // Bytes from 0x7F up are printed raw: a text tool may have turned each
    // into several bytes (UTF-8), which lengthens the line.
    if (text.size() > kDumpWidth + size_t{3} * 16 || text.size() < 4) return std::nullopt;
    std::string line(text);
    if (line.size() < kDumpWidth) line.resize(kDumpWidth, ' ');
    std::vector<uint8_t> bytes;
    std::string hexColumns(kCharColumn, ' ');
    for (size_t k = 0; k < 16; ++k) {
        size_t column = k < 8 ? 3 * k : 3 * k + 1;
        int high = HexDigit(line[column]);
        int low = HexDigit(line[column + 1]);
        if (high < 0 || low < 0) break;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        hexColumns[column] = line[column];
        hexColumns[column + 1] = line[column + 1];
    }
    if (bytes.empty() || line.compare(0, kCharColumn, hexColumns) != 0) return std::nullopt;
    bool raw = std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b >= 0x7F; });
    if (raw) {
        // Only the text's start can be checked: the bytes below 0x7F before the first raw one.
        for (size_t k = 0; k < bytes.size() && bytes[k] < 0x7F; ++k) {
            char c = line[kCharColumn + k];
            if (bytes[k] < 0x20 ? c != '.' : c != static_cast<char>(bytes[k])) return std::nullopt;
        }
        return bytes;
    }
    if (line.size() != kDumpWidth) return std::nullopt;
    for (size_t k = 0; k < 16; ++k) {
        char c = line[kCharColumn + k];
        if (k >= bytes.size()) {
            if (c != ' ') return std::nullopt;
        } else if (bytes[k] < 0x20 ? c != '.' : c != static_cast<char>(bytes[k])) {
            return std::nullopt;
        }
    }
    return bytes;
}

bool StartsWithMessage(std::string_view text) {
    if (text.starts_with("Irp: 0x") || text.starts_with("SrbCompletion: ") ||
        text.starts_with("PassThroughCompletion: ") || text.starts_with("Buffer: 0x") ||
        text.starts_with("pWmiRegInfo->")) {
        return true;
    }
    // A routine's own line: "ZK_Name: ".
    if (!text.starts_with("ZK_")) return false;
    size_t p = 3;
    while (p < text.size() && (std::isalnum(static_cast<unsigned char>(text[p])) || text[p] == '_'))
        ++p;
    return p > 3 && text.substr(p).starts_with(": ");
}

CaptureReader::CaptureReader(Format format, LineSink onLine, ProblemSink onProblem)
    : format_(format), onLine_(std::move(onLine)), onProblem_(std::move(onProblem)) {}

void CaptureReader::Read(std::istream& in) {
    std::string chunk(1 << 16, '\0');
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0) FeedBytes(std::string_view(chunk.data(), static_cast<size_t>(in.gcount())));
    }
    Finish();
}

void CaptureReader::DetectEncoding() {
    auto byte = [&](size_t i) { return i < head_.size() ? static_cast<unsigned char>(head_[i]) : -1; };
    size_t bom = 0;
    if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        encoding_ = Encoding::Bytes;
        bom = 3;
    } else if (byte(0) == 0xFF && byte(1) == 0xFE) {
        encoding_ = Encoding::Utf16Le;
        bom = 2;
    } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
        encoding_ = Encoding::Utf16Be;
        bom = 2;
    } else if (byte(0) > 0 && byte(1) == 0) {
        encoding_ = Encoding::Utf16Le;  // ASCII text in UTF-16 without its mark
    } else if (byte(0) == 0 && byte(1) > 0) {
        encoding_ = Encoding::Utf16Be;
    } else {
        encoding_ = Encoding::Bytes;
    }
    std::string head = std::move(head_);
    head_.clear();
    FeedBytes(std::string_view(head).substr(std::min(bom, head.size())));
}

void CaptureReader::EndOfLine() {
    std::string line = std::move(partial_);
    partial_.clear();
    Feed(line);
}

void CaptureReader::FeedBytes(std::string_view bytes) {
    if (encoding_ == Encoding::Unknown) {
        head_.append(bytes);
        if (head_.size() >= 4) DetectEncoding();
        return;
    }
    if (encoding_ == Encoding::Bytes) {
        while (!bytes.empty()) {
            size_t end = bytes.find('\n');
            std::string_view part = bytes.substr(0, end);
            partial_.append(part.substr(0, kMaxLineBytes - std::min(kMaxLineBytes, partial_.size())));
            if (end == std::string_view::npos) break;
            EndOfLine();
            bytes.remove_prefix(end + 1);
        }
        return;
    }
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (oddByte_ < 0) {
            oddByte_ = b;
            continue;
        }
        auto unit = static_cast<char16_t>(encoding_ == Encoding::Utf16Le ? (b << 8 | oddByte_) : (oddByte_ << 8 | b));
        oddByte_ = -1;
        if (highSurrogate_ != 0) {
            char16_t high = std::exchange(highSurrogate_, 0);
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                sim::AppendUtf8(&partial_, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
                continue;
            }
            sim::AppendUtf8(&partial_, 0xFFFD);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            highSurrogate_ = unit;
        } else if (unit == u'\n') {
            EndOfLine();
        } else if (partial_.size() < kMaxLineBytes) {
            sim::AppendUtf8(&partial_, unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }
}

void CaptureReader::Feed(std::string_view text) {
    ++lineNo_;
    if (text.ends_with('\r')) text.remove_suffix(1);
    // The driver prints its texts (a trailer, a product name) in the
    // system's ANSI code page; what is no UTF-8 is read as Windows-1252, so
    // that every text this tool shows or writes as JSON is UTF-8.
    std::string converted;
    if (!sim::ValidUtf8(text)) {
        converted = FromWindows1252(text);
        text = converted;
    }
    if (onRaw_) onRaw_(lineNo_, text);
    if (format_ == Format::Auto) {
        if (text.empty() || text.starts_with("#!")) {
            ++skipped_;
            return;
        }
        std::string_view time, piece;
        format_ = SplitViewerLine(text, time, piece) ? Format::Viewer : Format::Plain;
    }
    if (format_ == Format::Plain) {
        FeedPlain(text);
        return;
    }
    std::string_view time, piece;
    if (text.empty()) {
        ++skipped_;
    } else if (SplitViewerLine(text, time, piece)) {
        FeedViewerPiece(piece, ViewerClock(time));
    } else {
        Problem(lineNo_, text, "not a numbered, time-stamped line");
    }
}

std::optional<int64_t> CaptureReader::ViewerClock(std::string_view text) {
    std::optional<int64_t> us = ParseViewerTime(text);
    if (!us || text.find(':') == std::string_view::npos) return us;  // seconds since the viewer started
    *us += clockDaysUs_;
    if (lastClockUs_ && *us + kDayUs / 2 < *lastClockUs_) {
        clockDaysUs_ += kDayUs;  // past midnight
        *us += kDayUs;
    }
    lastClockUs_ = us;
    return us;
}

void CaptureReader::FeedPlain(std::string_view text) {
    if (text.empty() || text.starts_with("#!") || IsDebuggerChatter(text)) {
        ++skipped_;
        return;
    }
    TraceLine line;
    line.line = lineNo_;
    if (Split(text, line)) {
        Emit(line);
    } else {
        Problem(lineNo_, text, "no trace message in it");
    }
}

bool CaptureReader::Split(std::string_view text, TraceLine& out) {
    std::string_view rest = text;
    if (auto stamp = LeadingStamp(text)) {
        out.stampUs = stamp->second;
        rest.remove_prefix(stamp->first);
    }
    auto asDump = [&](size_t at) {
        if (at > kMaxTrailer) return false;
        auto bytes = ParseDumpLine(rest.substr(at));
        if (!bytes) return false;
        out.trailer = std::string(rest.substr(0, at));
        out.dump = true;
        out.bytes = std::move(*bytes);
        out.message.clear();
        return true;
    };
    if (rest.size() >= kDumpWidth && asDump(rest.size() - kDumpWidth)) return true;
    for (const std::string& trailer : trailers_) {
        if (rest.starts_with(trailer) && asDump(trailer.size())) return true;
    }
    if (asDump(0)) return true;
    for (size_t at = 0; at < rest.size() && at <= kMaxTrailer; ++at) {
        if (StartsWithMessage(rest.substr(at))) {
            out.trailer = std::string(rest.substr(0, at));
            out.message = std::string(rest.substr(at));
            return true;
        }
    }
    return false;
}

void CaptureReader::FeedViewerPiece(std::string_view piece, std::optional<int64_t> viewerTime) {
    if (piece.empty()) return;  // an empty trailer
    if (auto stamp = LeadingStamp(piece); stamp && stamp->first == piece.size()) {
        if (pending_.active()) {
            DropPending(pending_.stamp ? "a trace line without its message" : "a piece that belongs to no trace line");
        }
        pending_.stamp = Piece{lineNo_, std::string(piece)};
        pending_.stampUs = stamp->second;
        return;
    }
    TraceLine line;
    line.line = lineNo_;
    if (StartsWithMessage(piece) || ParseDumpLine(piece)) {
        if (auto bytes = ParseDumpLine(piece)) {
            line.dump = true;
            line.bytes = std::move(*bytes);
        } else {
            line.message = std::string(piece);
        }
        FeedViewerMessage(line, viewerTime);
        return;
    }
    if (Split(piece, line)) {
        // A viewer that joined the pieces of a line.
        if (pending_.active() && (!pending_.loose.empty() || line.stampUs)) {
            DropPending("a trace line without its message");
        }
        if (!line.stampUs) {
            line.stampUs = pending_.stampUs;
            line.stampLine = pending_.stamp ? pending_.stamp->line : 0;
        }
        line.viewerUs = viewerTime;
        pending_ = Pending{};
        if (placedTrailers_.size() < kMaxTrailers) placedTrailers_.insert(line.trailer);
        Emit(line);
        return;
    }
    if (piece.size() > kMaxTrailer) {
        Problem(lineNo_, piece, "no trace message in it");
        return;
    }
    pending_.loose.push_back(Piece{lineNo_, std::string(piece)});
    if (pending_.loose.size() > kMaxLoosePieces) {
        Problem(pending_.loose.front().line, pending_.loose.front().text, "a piece that belongs to no trace line");
        pending_.loose.erase(pending_.loose.begin());
    }
}

// The message piece ends a line: its trailer is the piece before it, or,
// where another program's text came between, the piece that is a trailer
// already seen. A piece that cannot be told from foreign text is never joined
// to the message; the pieces left over are reported.
void CaptureReader::FeedViewerMessage(TraceLine& line, std::optional<int64_t> viewerTime) {
    std::vector<Piece> loose = std::move(pending_.loose);
    std::optional<size_t> chosen;
    bool placed = loose.empty();  // no trailer piece: an empty trailer
    for (size_t i = loose.size(); i-- > 0 && !placed;) {
        if (placedTrailers_.contains(loose[i].text)) chosen = i, placed = true;
    }
    if (!placed && loose.size() == 1 && MayBeTrailer(loose[0].text)) chosen = 0, placed = true;
    if (!placed && placedTrailers_.contains("")) placed = true;  // all of it foreign, the trailer empty
    for (size_t i = 0; i < loose.size(); ++i) {
        if (i != chosen) Problem(loose[i].line, loose[i].text, "a piece that belongs to no trace line");
    }
    if (!placed) {
        if (pending_.stamp)
            Problem(pending_.stamp->line, pending_.stamp->text, "a trace line whose trailer cannot be told");
        Problem(line.line, line.dump ? std::string("(dump line)") : line.message,
                "a trace line whose trailer cannot be told");
        pending_ = Pending{};
        return;
    }
    line.trailer = chosen ? loose[*chosen].text : std::string();
    line.trailerLine = chosen ? loose[*chosen].line : 0;
    line.stampLine = pending_.stamp ? pending_.stamp->line : 0;
    line.stampUs = pending_.stampUs;
    line.viewerUs = viewerTime;
    pending_ = Pending{};
    if (!line.dump && placedTrailers_.size() < kMaxTrailers) placedTrailers_.insert(line.trailer);
    Emit(line);
}

void CaptureReader::DropPending(std::string reason) {
    std::string text;
    size_t first = 0;
    if (pending_.stamp) {
        text = pending_.stamp->text;
        first = pending_.stamp->line;
    }
    for (const Piece& piece : pending_.loose) {
        if (first == 0) first = piece.line;
        text += piece.text;
    }
    Problem(first, text, std::move(reason));
    pending_ = Pending{};
}

void CaptureReader::Finish() {
    if (encoding_ == Encoding::Unknown) DetectEncoding();
    if (highSurrogate_ != 0) {
        sim::AppendUtf8(&partial_, 0xFFFD);
        highSurrogate_ = 0;
    }
    if (!partial_.empty()) EndOfLine();
    if (pending_.active()) DropPending("a trace line without its message at the end");
}

void CaptureReader::Emit(TraceLine& line) {
    if (!line.dump && trailers_.size() < kMaxTrailers) trailers_.insert(line.trailer);
    onLine_(line);
}

void CaptureReader::Problem(size_t line, std::string_view text, std::string reason) {
    onProblem_(Unreadable{line, std::string(text), std::move(reason)});
}

}  // namespace zklog
