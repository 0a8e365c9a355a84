#include "request_json.h"

#include "capture.h"
#include "names.h"
#include "report.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace zklog {
namespace {

// Well-formed UTF-8 as RFC 3629 has it: no overlong forms, no surrogates,
// nothing past U+10FFFF. The JSON library refuses anything else.
bool WellFormed(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
        if (n == 0 || s.size() - i <= n) return false;
        auto c1 = static_cast<unsigned char>(s[i + 1]);
        unsigned lo = 0x80, hi = 0xBF;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        if (c1 < lo || c1 > hi) return false;
        for (size_t k = 2; k <= n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n + 1;
    }
    return true;
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    bool ok() const { return ok_; }

    void Key(std::string_view key) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }
    void Open(char bracket) {
        out_ += bracket;
        first_ = true;
    }
    void Close(char bracket) {
        out_ += bracket;
        first_ = false;
    }
    void Item() {
        if (!first_) out_ += ',';
        first_ = false;
    }
    void Null() { out_ += "null"; }
    void Bool(bool value) { out_ += value ? "true" : "false"; }
    void Unsigned(uint64_t value) { out_ += std::to_string(value); }
    void Signed(int64_t value) { out_ += std::to_string(value); }
    void Double(double value) {
        if (!std::isfinite(value)) return Null();
        char text[64];
        char* end = nlohmann::detail::to_chars(text, text + sizeof text, value);
        out_.append(text, end);
    }
    void String(std::string_view text);

private:
    std::string& out_;
    bool first_ = true;
    bool ok_ = true;
};

void Writer::String(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out_ += '"';
    bool wide = false;
    size_t run = 0;  // start of the bytes not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) wide = true;
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out_.append(text.data() + run, i - run);
        run = i + 1;
        out_ += '\\';
        switch (c) {
        case '\b':
            out_ += 'b';
            break;
        case '\t':
            out_ += 't';
            break;
        case '\n':
            out_ += 'n';
            break;
        case '\f':
            out_ += 'f';
            break;
        case '\r':
            out_ += 'r';
            break;
        case '"':
            out_ += '"';
            break;
        case '\\':
            out_ += '\\';
            break;
        default:
            out_ += "u00";
            out_ += kDigits[c >> 4];
            out_ += kDigits[c & 0xF];
        }
    }
    out_.append(text.data() + run, text.size() - run);
    out_ += '"';
    if (wide && !WellFormed(text)) ok_ = false;
}

void OptionalString(Writer& w, bool present, std::string_view text) {
    if (present) {
        w.String(text);
    } else {
        w.Null();
    }
}

void SenseObject(Writer& w, const Request& r) {
    if (!r.sense) return w.Null();
    w.Open('{');
    w.Key("driver_text");
    w.String(r.sense->driverText);
    if (const auto& code = r.sense->code) {
        char hex[3];
        static constexpr char kDigits[] = "0123456789ABCDEF";
        w.Key("key");
        w.Signed(code->Key());
        w.Key("key_name");
        w.String(SenseKeyName(code->Key()));
        w.Key("asc");
        hex[0] = kDigits[code->asc >> 4], hex[1] = kDigits[code->asc & 0xF], hex[2] = 0;
        w.String(hex);
        w.Key("ascq");
        hex[0] = kDigits[code->ascq >> 4], hex[1] = kDigits[code->ascq & 0xF];
        w.String(hex);
        w.Key("asc_ascq_name");
        w.String(AscAscqName(code->asc, code->ascq));
        w.Key("from");
        w.String(r.sense->fromBytes ? "bytes" : "text");
    }
    w.Close('}');
}

void Tail(Writer& w, const Request& r) {
    std::vector<uint8_t> data = r.Bytes("data");
    w.Key("data");
    OptionalString(w, !data.empty(), data.empty() ? std::string() : HexBytes(data));
    w.Key("data_truncated");
    if (data.empty()) {
        w.Null();
    } else {
        w.Bool(r.DataTruncated());
    }
    w.Key("dumps");
    w.Open('[');
    for (const Dump& dump : r.dumps) {
        w.Item();
        w.Open('{');
        w.Key("phase");
        w.String(dump.phase);
        w.Key("what");
        w.String(dump.what);
        w.Key("mdl");
        w.Bool(dump.mdl);
        w.Key("bytes");
        w.String(HexBytes(dump.bytes));
        w.Close('}');
    }
    w.Close(']');
    w.Key("notes");
    w.Open('[');
    for (const std::string& note : r.notes) {
        w.Item();
        w.String(note);
    }
    w.Close(']');
    w.Key("lines");
    w.Open('{');
    w.Key("first");
    w.Unsigned(r.firstLine);
    w.Key("completion");
    if (r.completed) {
        w.Unsigned(r.completionLine);
    } else {
        w.Null();
    }
    w.Key("last");
    w.Unsigned(r.lastLine);
    w.Close('}');
}

}  // namespace

void AppendRequestJson(std::string& out, const Request& r) {
    size_t start = out.size();
    Writer w(out);
    w.Open('{');
    w.Key("device");
    w.String(r.device);
    w.Key("trailer");
    w.String(r.trailer);
    w.Key("irp");
    w.String(Hex(r.irp));
    w.Key("kind");
    w.String(r.kind);
    w.Key("name");
    w.String(r.name);
    w.Key("detail");
    w.String(r.detail);
    w.Key("cdb");
    OptionalString(w, !r.cdb.empty(), r.cdb.empty() ? std::string() : HexBytes(r.cdb));
    w.Key("length");
    r.length ? w.Unsigned(*r.length) : w.Null();
    w.Key("offset");
    r.offset ? w.Unsigned(*r.offset) : w.Null();
    w.Key("dispatched");
    w.Bool(r.dispatched);
    w.Key("completed");
    w.Bool(r.completed);
    w.Key("superseded");
    w.Bool(r.superseded);
    std::optional<int64_t> start_us = r.ShownStartUs(), end_us = r.ShownEndUs(), latency = r.LatencyUs();
    w.Key("start");
    OptionalString(w, start_us.has_value(), start_us ? FormatTime(*start_us) : std::string());
    w.Key("end");
    OptionalString(w, end_us.has_value(), end_us ? FormatTime(*end_us) : std::string());
    w.Key("latency_ms");
    latency ? w.Double(static_cast<double>(*latency) / 1000.0) : w.Null();
    w.Key("clock");
    OptionalString(w, latency.has_value(), r.LatencyClock());
    w.Key("status");
    OptionalString(w, !r.status.empty(), r.status);
    w.Key("status_value");
    OptionalString(w, r.statusValue.has_value(), r.statusValue ? Hex(*r.statusValue) : std::string());
    w.Key("failed");
    w.Bool(r.Failed());
    w.Key("scsi_status");
    OptionalString(w, !r.scsiStatus.empty(), r.scsiStatus);
    w.Key("srb_status");
    OptionalString(w, !r.srbStatus.empty(), r.srbStatus);
    w.Key("usbd_status");
    OptionalString(w, !r.usbdStatus.empty(), r.usbdStatus);
    w.Key("transferred");
    r.transferred ? w.Unsigned(*r.transferred) : w.Null();
    w.Key("sense");
    SenseObject(w, r);
    Tail(w, r);
    w.Close('}');
    if (!w.ok()) {
        // Not well-formed UTF-8 somewhere: let the library say so as it always has.
        out.resize(start);
        out += RequestJson(r).dump();
    }
}

}  // namespace zklog
