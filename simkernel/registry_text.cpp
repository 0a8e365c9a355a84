// The .reg text of the simulated registry: names, paths, and the parser.
#include "simkernel/registry_text.h"

#include <algorithm>
#include <utility>

#include "simkernel/utf.h"

namespace sim::regtext {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view s, bool terminate) {
    std::vector<uint8_t> out;
    out.reserve((s.size() + 1) * 2);
    for (char16_t u : s) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

std::optional<std::u16string> BytesToUtf16(const std::vector<uint8_t>& data) {
    if (data.size() % 2 != 0) return std::nullopt;
    std::u16string out;
    out.reserve(data.size() / 2);
    for (size_t i = 0; i < data.size(); i += 2) {
        out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return out;
}

// Key and value names: valid UTF-8, and nothing that would break a line of
// .reg text.
bool ValidName(std::string_view name) {
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos && ValidUtf8(name);
}

bool SplitPath(std::string_view path, std::vector<std::string_view>* parts) {
    if (path.size() < 2 || path[0] != '\\') return false;
    size_t pos = 1;
    for (;;) {
        const size_t next = path.find('\\', pos);
        const std::string_view part =
            path.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
        if (part.empty() || !ValidName(part)) return false;
        parts->push_back(part);
        if (next == std::string_view::npos) return true;
        pos = next + 1;
    }
}

// \Registry, \Registry\Machine and \Registry\User.
bool IsFixedRoot(const std::vector<std::string_view>& parts) {
    if (parts.empty() || !NamesEqual(parts[0], "Registry")) return false;
    return parts.size() == 1 ||
           (parts.size() == 2 && (NamesEqual(parts[1], "Machine") || NamesEqual(parts[1], "User")));
}

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

// 1..maxDigits hex digits, nothing else.
bool ParseHexNumber(std::string_view s, size_t maxDigits, uint64_t* out) {
    if (s.empty() || s.size() > maxDigits) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

// ---------------------------------------------------------------------------
// .reg parsing

// Turns the raw file bytes into UTF-8 text without BOM.
bool DecodeText(std::string_view raw, std::string* text, int* line, std::string* reason) {
    auto lineAt = [](std::string_view s, size_t end) {
        return 1 + static_cast<int>(std::count(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
    };
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
        raw.remove_prefix(2);
        std::u16string units;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                  (static_cast<unsigned char>(raw[i + 1]) << 8)));
        }
        text->clear();
        char32_t cp;
        for (size_t i = 0; i < units.size();) {
            if (!DecodeUtf16(units, &i, &cp)) {
                *line = lineAt(*text, text->size());
                *reason = "invalid UTF-16 text";
                return false;
            }
            AppendUtf8(text, cp);
        }
        if (raw.size() % 2 != 0) {
            *line = lineAt(*text, text->size());
            *reason = "UTF-16 text with an odd number of bytes";
            return false;
        }
    } else if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE &&
               static_cast<unsigned char>(raw[1]) == 0xFF) {
        *line = 1;
        *reason = "big-endian UTF-16 text is not supported";
        return false;
    } else {
        if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
        char32_t cp;
        for (size_t i = 0; i < raw.size();) {
            const size_t at = i;
            if (!DecodeUtf8(raw, &i, &cp)) {
                *line = lineAt(raw, at);
                *reason = "invalid UTF-8 text";
                return false;
            }
        }
        text->assign(raw);
    }
    if (const size_t nul = text->find('\0'); nul != std::string::npos) {
        *line = lineAt(*text, nul);
        *reason = "NUL character in text";
        return false;
    }
    return true;
}

class RegParser {
public:
    explicit RegParser(std::string_view text) {
        size_t pos = 0;
        for (;;) {
            const size_t nl = text.find('\n', pos);
            std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            if (nl == std::string_view::npos) break;
            pos = nl + 1;
        }
    }

    bool Parse(std::vector<LoadOp>* ops) {
        ops_ = ops;
        size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i]).empty())
            ++i;
        if (i == lines_.size()) return Fail(static_cast<int>(i), "missing header");
        if (const auto h = Trim(lines_[i]); h != kHeader5 && h != kHeader4) {
            return Fail(static_cast<int>(i + 1), "missing header");
        }
        for (++i; i < lines_.size(); ++i) {
            const std::string_view t = Trim(lines_[i]);
            const int lineNo = static_cast<int>(i + 1);
            if (t.empty() || t.front() == ';') continue;
            if (t.front() == '[') {
                if (!ParseSection(t, lineNo)) return false;
            } else if (t.front() == '"' || t.front() == '@') {
                if (!ParseValue(t, &i)) return false;
            } else {
                return Fail(lineNo, "unrecognised line '" + std::string(t) + "'");
            }
        }
        return true;
    }

    int errorLine() const { return errorLine_; }
    const std::string& errorReason() const { return errorReason_; }

private:
    bool Fail(int line, std::string reason) {
        errorLine_ = line;
        errorReason_ = std::move(reason);
        return false;
    }

    bool ParseSection(std::string_view t, int lineNo) {
        if (t.size() < 2 || t.back() != ']') return Fail(lineNo, "missing ']' after key name");
        std::string_view inner = t.substr(1, t.size() - 2);
        const bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        if (inner.empty()) return Fail(lineNo, "missing key name");

        const size_t slash = inner.find('\\');
        const std::string_view root = inner.substr(0, slash);
        std::string path;
        if (NamesEqual(root, "HKEY_LOCAL_MACHINE") || NamesEqual(root, "HKLM")) {
            path = kMachinePath;
        } else if (NamesEqual(root, "HKEY_USERS") || NamesEqual(root, "HKU")) {
            path = kUserPath;
        } else {
            return Fail(lineNo, "unknown root key " + std::string(root));
        }
        if (slash != std::string_view::npos) path += inner.substr(slash);
        std::vector<std::string_view> parts;
        if (!SplitPath(path, &parts)) return Fail(lineNo, "bad key path '" + std::string(inner) + "'");
        if (parts.size() > kMaxKeyDepth)
            return Fail(lineNo, "key nested " + std::to_string(parts.size()) +
                                    " names deep; the registry holds at most " + std::to_string(kMaxKeyDepth));
        if (remove && IsFixedRoot(parts)) return Fail(lineNo, "cannot delete root key " + std::string(inner));

        ops_->push_back({remove ? LoadOp::Kind::kDeleteKey : LoadOp::Kind::kCreateKey, path, {}, {}});
        currentKey_ = std::move(path);
        haveKey_ = true;
        keyDeleted_ = remove;
        return true;
    }

    // t starts with '"'. Unescapes \\ and \" up to the closing quote; *used is
    // the length consumed including both quotes.
    bool ParseQuoted(std::string_view t, int lineNo, std::string* out, size_t* used) {
        out->clear();
        for (size_t i = 1; i < t.size();) {
            const char c = t[i];
            if (c == '"') {
                *used = i + 1;
                return true;
            }
            if (c != '\\') {
                out->push_back(c);
                ++i;
                continue;
            }
            if (i + 1 >= t.size()) break;
            const char n = t[i + 1];
            if (n != '\\' && n != '"') {
                size_t end = i + 1;
                char32_t cp;
                DecodeUtf8(t, &end, &cp);  // the text is valid UTF-8 already
                return Fail(lineNo, "bad escape '" + std::string(t.substr(i, end - i)) + "' in string");
            }
            out->push_back(n);
            i += 2;
        }
        return Fail(lineNo, "unterminated string");
    }

    bool ParseValue(std::string_view t, size_t* index) {
        const int lineNo = static_cast<int>(*index + 1);
        if (!haveKey_) return Fail(lineNo, "value outside any key");
        if (keyDeleted_) return Fail(lineNo, "value under a deleted key");

        LoadOp op{LoadOp::Kind::kSetValue, currentKey_, {}, {}};
        size_t used = 1;
        if (t.front() == '"' && !ParseQuoted(t, lineNo, &op.name, &used)) return false;
        std::string_view rest = TrimLeft(t.substr(used));
        if (rest.empty() || rest.front() != '=') return Fail(lineNo, "expected '=' after value name");
        rest = TrimLeft(rest.substr(1));

        if (rest.empty()) return Fail(lineNo, "missing value data");
        if (rest == "-") {
            op.kind = LoadOp::Kind::kDeleteValue;
        } else if (rest.front() == '"') {
            std::string s;
            if (!ParseQuoted(rest, lineNo, &s, &used)) return false;
            if (const auto after = TrimLeft(rest.substr(used)); !after.empty()) {
                return Fail(lineNo, "unexpected text after value: '" + std::string(after) + "'");
            }
            op.value.type = kRegSz;
            op.value.data = Utf16Bytes(*Utf8ToUtf16(s), true);
        } else if (StartsWithNoCase(rest, "dword:")) {
            const std::string_view digits = TrimLeft(rest.substr(6));
            uint64_t v;
            if (!ParseHexNumber(digits, 8, &v)) {
                return Fail(lineNo, "bad dword '" + std::string(digits) + "': expected 1 to 8 hex digits");
            }
            op.value.type = kRegDword;
            for (int b = 0; b < 4; ++b)
                op.value.data.push_back(static_cast<uint8_t>(v >> (8 * b)));
        } else if (StartsWithNoCase(rest, "hex:") || StartsWithNoCase(rest, "hex(")) {
            if (!ParseHex(rest, index, &op.value)) return false;
        } else {
            return Fail(lineNo, "unrecognised value data '" + std::string(rest) + "'");
        }
        ops_->push_back(std::move(op));
        return true;
    }

    // "hex:..." or "hex(N):...", a comma-separated byte list that a trailing
    // backslash continues on the next line. Advances *index past the lines used.
    bool ParseHex(std::string_view rest, size_t* index, RegValue* value) {
        int lineNo = static_cast<int>(*index + 1);
        size_t pos = 3;
        value->type = kRegBinary;
        if (rest[3] == '(') {
            const size_t close = rest.find(')', 4);
            uint64_t type;
            if (close == std::string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), 8, &type)) {
                const std::string_view shown =
                    rest.substr(0, close == std::string_view::npos ? rest.find(':') : close + 1);
                return Fail(lineNo, "bad value type '" + std::string(shown) + "'");
            }
            value->type = static_cast<uint32_t>(type);
            pos = close + 1;
            if (pos >= rest.size() || rest[pos] != ':') return Fail(lineNo, "expected ':' after value type");
        }
        std::string_view segment = rest.substr(pos + 1);
        for (;;) {
            segment = Trim(segment);
            const bool more = !segment.empty() && segment.back() == '\\';
            if (more) segment = TrimRight(segment.substr(0, segment.size() - 1));
            if (!segment.empty()) {
                size_t start = 0;
                for (;;) {
                    const size_t comma = segment.find(',', start);
                    const bool last = comma == std::string_view::npos;
                    const std::string_view tok =
                        Trim(segment.substr(start, last ? std::string_view::npos : comma - start));
                    uint64_t byte;
                    if (tok.empty()) {
                        // "01,02,\" leaves an empty item before the continuation.
                        if (!(last && more)) return Fail(lineNo, "missing hex byte");
                    } else if (!ParseHexNumber(tok, 2, &byte)) {
                        return Fail(lineNo, "bad hex byte '" + std::string(tok) + "'");
                    } else {
                        value->data.push_back(static_cast<uint8_t>(byte));
                    }
                    if (last) break;
                    start = comma + 1;
                }
            }
            if (!more) return true;
            if (*index + 1 >= lines_.size()) return Fail(lineNo, "continuation at end of file");
            segment = lines_[++*index];
            lineNo = static_cast<int>(*index + 1);
        }
    }

    std::vector<std::string_view> lines_;
    std::vector<LoadOp>* ops_ = nullptr;
    std::string currentKey_;
    bool haveKey_ = false;
    bool keyDeleted_ = false;
    int errorLine_ = 0;
    std::string errorReason_;
};

}  // namespace

bool ParseRegText(std::string_view raw, std::vector<LoadOp>* ops, int* line, std::string* reason) {
    std::string text;
    if (!DecodeText(raw, &text, line, reason)) return false;
    RegParser parser(text);
    if (parser.Parse(ops)) return true;
    *line = parser.errorLine();
    *reason = parser.errorReason();
    return false;
}

}  // namespace sim::regtext
