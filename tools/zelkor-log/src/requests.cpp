#include "requests.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zklog {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex digits at text[p]; advances p. At most 16 digits.
std::optional<uint64_t> TakeHex(std::string_view text, size_t& p) {
    uint64_t value = 0;
    size_t start = p;
    while (p < text.size() && HexValue(text[p]) >= 0 && p - start < 16) {
        value = value * 16 + static_cast<uint64_t>(HexValue(text[p]));
        ++p;
    }
    if (p == start) return std::nullopt;
    return value;
}

// The number after "KEY0x" in text.
std::optional<uint64_t> HexAfter(std::string_view text, std::string_view key) {
    size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    size_t p = at + key.size();
    if (!text.substr(p).starts_with("0x")) return std::nullopt;
    p += 2;
    return TakeHex(text, p);
}

// "0x%X - " at the start of text, after "Irp: ": the address and what follows.
bool TakeIrp(std::string_view text, uint32_t& irp, std::string_view& rest) {
    if (!text.starts_with("0x")) return false;
    size_t p = 2;
    std::optional<uint64_t> value = TakeHex(text, p);
    if (!value || *value > 0xFFFFFFFF) return false;
    irp = static_cast<uint32_t>(*value);
    rest = text.substr(p);
    if (rest.starts_with(" - ")) {
        rest.remove_prefix(3);
    } else if (!rest.empty() && rest != ".") {
        return false;
    }
    return true;
}

// A leading symbolic name (IRP_MJ_READ, URB_FUNCTION_RESET_PIPE); nothing for a word like "Unknown".
std::string_view Token(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && (std::isalnum(static_cast<unsigned char>(text[n])) || text[n] == '_')) {
        if (std::islower(static_cast<unsigned char>(text[n]))) return {};
        ++n;
    }
    return text.substr(0, n);
}

std::string_view StripDot(std::string_view text) {
    if (text.ends_with('.')) text.remove_suffix(1);
    return text;
}

// Up to the first ". " or the closing dot.
std::string_view Sentence(std::string_view text) {
    size_t stop = text.find(". ");
    if (stop != std::string_view::npos) return text.substr(0, stop);
    return StripDot(text);
}

// "XX XX ... XX NAME": the 16 command bytes and the command's name.
bool TakeCdb(std::string_view text, std::vector<uint8_t>& cdb, std::string& name) {
    for (size_t k = 0; k < 16; ++k) {
        if (text.size() < 3 * k + 2) return false;
        int high = HexValue(text[3 * k]);
        int low = HexValue(text[3 * k + 1]);
        if (high < 0 || low < 0 || (text.size() > 3 * k + 2 && text[3 * k + 2] != ' ')) return false;
        cdb.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    name = text.size() > 48 ? std::string(text.substr(48)) : std::string();
    return true;
}

// The text between "KEY" and the next ", " or the end (closing dot removed).
std::string Field(std::string_view text, std::string_view key, std::string_view stop = ", ") {
    size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
    std::string_view value = text.substr(at + key.size());
    size_t end = value.find(stop);
    if (end != std::string_view::npos) value = value.substr(0, end);
    return std::string(StripDot(value));
}

bool Contains(std::initializer_list<std::string_view> names, std::string_view name) {
    for (std::string_view candidate : names) {
        if (candidate == name) return true;
    }
    return false;
}

// "URB_FUNCTION_X. Buffer: 0x5000, MDL: 0x0, Length: 0x4, ...": the function
// and the URB's fields after it.
void UrbHead(std::string_view function, Request& request) {
    request.kind = "urb";
    request.name = Token(function).empty() ? std::string(Sentence(function)) : std::string(Token(function));
    size_t fields = function.find(". ");
    request.detail =
        std::string(fields == std::string_view::npos ? Sentence(function) : StripDot(function.substr(fields + 2)));
    if (auto length = HexAfter(function, "Length: ")) request.length = static_cast<uint32_t>(*length);
    request.expectsCompletion = Contains({"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
                                          "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", "URB_FUNCTION_VENDOR_DEVICE"},
                                         request.name);
}

// "IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_X - ...": the detail level's
// line on the way down, where the standard lines have "URB_FUNCTION_X." or
// "URB_FUNCTION_X. Buffer: ...".
bool IsUrbDetail(std::string_view rest) {
    constexpr std::string_view kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB - ";
    if (!rest.starts_with(kSubmit)) return false;
    std::string_view function = rest.substr(kSubmit.size());
    std::string_view token = Token(function);
    return !token.empty() && function.substr(token.size()).starts_with(" - ");
}

// "STATUS - Buffer: 0x5000, MDL: 0x0, Length: 0x4, ...": the length on
// completion is what the URB moved.
void UrbCompletionFields(std::string_view fields, Request& request) {
    size_t dash = fields.find(" - ");
    fields = dash == std::string_view::npos ? std::string_view() : fields.substr(dash + 3);
    if (auto moved = HexAfter(fields, "Length: ")) request.transferred = static_cast<uint32_t>(*moved);
    if (!fields.empty() && request.detail.empty()) request.detail = std::string(StripDot(fields));
}

// "IRP_MJ_READ. Length: 0x%X, Offset: 0x%X, ...".
bool ReadWriteHead(std::string_view token, std::string_view after, Request& request) {
    request.kind = token == "IRP_MJ_READ" ? "read" : "write";
    request.name = token;
    auto length = HexAfter(after, "Length: ");
    auto offset = HexAfter(after, "Offset: ");
    if (!length || !offset) return false;
    request.length = static_cast<uint32_t>(*length);
    request.offset = *offset;
    request.expectsCompletion = true;
    return true;
}

// A control code by name: the storage query says which, the others only their name.
void IoctlHead(std::string_view token, std::string_view rest, std::string_view after, Request& request) {
    request.kind = "ioctl";
    if (token == "IOCTL_STORAGE_QUERY_PROPERTY") {
        request.name = token;
        request.detail = std::string(StripDot(after.starts_with(" - ") ? after.substr(3) : after));
        request.expectsCompletion = request.detail == "PropertyStandardQuery";
    } else {
        request.name = std::string(Sentence(rest));
        request.expectsCompletion = Contains(
            {"IOCTL_INTERNAL_USB_RESET_PORT", "IOCTL_INTERNAL_USB_GET_PORT_STATUS", "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
            request.name);
    }
}

// "IOCTL_1394_CLASS - REQUEST_X ..." or "IOCTL_1394_CLASS REQUEST_X ...".
void IrbHead(std::string_view after, Request& request) {
    request.kind = "irb";
    std::string_view function = after.starts_with(" - ") ? after.substr(3) : after.substr(after.empty() ? 0 : 1);
    while (function.starts_with(' '))
        function.remove_prefix(1);
    request.name = Token(function).empty() ? std::string(Sentence(function)) : std::string(Token(function));
    request.expectsCompletion =
        Contains({"REQUEST_ASYNC_READ", "REQUEST_ASYNC_WRITE", "REQUEST_GET_LOCAL_HOST_INFO"}, request.name);
}

// The kind, name and fields of the request a dispatch line ("Irp: 0x%X - "
// already taken) begins, and what its dumps show. False if it begins none.
bool DescribeDispatch(std::string_view rest, Request& request, std::string& what) {
    std::string_view token = Token(rest);
    std::string_view after = rest.substr(token.size());
    if (token == "IRP_MJ_READ" || token == "IRP_MJ_WRITE") {
        if (!ReadWriteHead(token, after, request)) return false;
    } else if (token == "SRB_FUNCTION_EXECUTE_SCSI" || token == "IOCTL_SCSI_PASS_THROUGH" ||
               token == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
        if (!after.starts_with(": ") || !TakeCdb(after.substr(2), request.cdb, request.name)) return false;
        request.kind = token == "SRB_FUNCTION_EXECUTE_SCSI" ? "srb" : "pass-through";
        request.detail = token;
        request.expectsCompletion = true;
    } else if (token.starts_with("SRB_FUNCTION_")) {
        request.kind = "srb";
        request.name = token;
        request.expectsCompletion = true;
    } else if (token == "IOCTL_INTERNAL_USB_SUBMIT_URB" && after.starts_with(" - ")) {
        UrbHead(after.substr(3), request);
    } else if (token == "IOCTL_1394_CLASS") {
        IrbHead(after, request);
    } else if (token.starts_with("IRP_MN_")) {
        request.kind = "pnp";
        request.name = token;
    } else if (token == "IRP_MJ_POWER" || token == "IRP_MJ_SYSTEM_CONTROL") {
        request.kind = token == "IRP_MJ_POWER" ? "power" : "wmi";
        std::string_view minor = after.starts_with(" - ") ? after.substr(3) : after;
        request.name = Token(minor).empty() ? std::string(Sentence(minor)) : std::string(Token(minor));
        what = "buffer";
    } else if (token.starts_with("IRP_MJ_")) {
        request.kind = "plain";
        request.name = token;
    } else if (token.starts_with("IOCTL_")) {
        IoctlHead(token, rest, after, request);
        what = "buffer";
    } else if (rest.starts_with("unknown device control IOCTL ") ||
               rest.starts_with("unknown internal device control IOCTL ")) {
        request.kind = "ioctl";
        request.name = std::string(Sentence(rest));
        request.expectsCompletion = rest.starts_with("unknown device control");
        what = "buffer";
    } else if (!token.empty()) {
        request.kind = "other";
        request.name = std::string(Sentence(rest));
    } else {
        return false;
    }
    if (request.detail.empty() && !after.empty() && request.kind != "ioctl") {
        std::string_view detail = after;
        while (!detail.empty() && (detail.front() == ':' || detail.front() == ' ' || detail.front() == '-')) {
            detail.remove_prefix(1);
        }
        if (request.cdb.empty()) request.detail = std::string(StripDot(detail));
    }
    return true;
}

}  // namespace

std::string DeviceName(std::string_view trailer) {
    while (!trailer.empty() && std::isspace(static_cast<unsigned char>(trailer.front())))
        trailer.remove_prefix(1);
    while (!trailer.empty() && std::isspace(static_cast<unsigned char>(trailer.back())))
        trailer.remove_suffix(1);
    return trailer.empty() ? std::string("(no trailer)") : std::string(trailer);
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

std::vector<uint8_t> Request::Bytes(std::string_view what) const {
    std::vector<uint8_t> bytes;
    for (const Dump& dump : dumps) {
        if (dump.what == what) bytes.insert(bytes.end(), dump.bytes.begin(), dump.bytes.end());
    }
    return bytes;
}

std::optional<int64_t> Request::LatencyUs() const {
    std::optional<int64_t> us;
    if (startViewerUs && endViewerUs) {
        us = *endViewerUs - *startViewerUs;
    } else if (startUs && endUs) {
        us = *endUs - *startUs;
    }
    if (us && *us < 0) return std::nullopt;
    return us;
}

std::string_view Request::LatencyClock() const {
    if (!LatencyUs()) return {};
    return startViewerUs && endViewerUs ? "viewer" : "driver";
}

void Tracker::Touch(Request& request, const TraceLine& line) {
    request.lastLine = line.line;
    for (size_t number : {line.stampLine, line.trailerLine, line.line}) {
        if (number != 0 && (request.lines.empty() || request.lines.back() < number)) request.lines.push_back(number);
    }
}

bool Request::DataTruncated() const {
    for (const Dump& dump : dumps) {
        if (dump.what != "data" || dump.bytes.size() != kDumpCap) continue;
        std::optional<uint32_t> moved = transferred ? transferred : length;
        if (!moved || *moved > kDumpCap) return true;
    }
    return false;
}

bool Tracker::Add(const TraceLine& line) {
    if (line.dump) {
        ++stats_.traceLines;
        AddDump(line);
        return true;
    }
    if (!Message(line)) {
        ++stats_.unreadable;
        return false;
    }
    ++stats_.traceLines;
    return true;
}

Request* Tracker::Find(uint32_t irp) {
    auto it = open_.find(irp);
    if (it == open_.end()) return nullptr;
    auto found = requests_.find(it->second);
    return found == requests_.end() ? nullptr : &found->second;
}

Request& Tracker::Open(const TraceLine& line, uint32_t irp) {
    if (Request* old = Find(irp); old && !old->completed && old->expectsCompletion) {
        // The address came back before its completion was seen.
        old->superseded = true;
        Release(old->id);
    }
    while (requests_.size() >= maxKept_) {
        ++stats_.givenUp;
        Release(requests_.begin()->first);
    }
    Request request;
    request.id = nextId_++;
    request.trailer = line.trailer;
    request.device = DeviceName(line.trailer);
    request.irp = irp;
    request.dispatched = true;
    request.startUs = line.stampUs;
    request.startViewerUs = line.viewerUs;
    request.firstLine = line.stampLine ? line.stampLine : line.line;
    Touch(request, line);
    open_[irp] = request.id;
    return requests_.emplace(request.id, std::move(request)).first->second;
}

Request& Tracker::ForCompletion(const TraceLine& line, uint32_t irp, std::string_view kind, std::string_view name) {
    if (Request* request = Find(irp); request && !request->completed) {
        return *request;
    }
    // A completion whose dispatch line is not in the capture.
    Request& request = Open(line, irp);
    request.dispatched = false;
    request.startUs.reset();
    request.startViewerUs.reset();
    request.kind = kind;
    request.name = name;
    request.expectsCompletion = true;
    return request;
}

void Tracker::Complete(Request& request, const TraceLine& line) {
    if (!request.completed) {
        request.completed = true;
        request.completionLine = line.line;
        request.endUs = line.stampUs;
        request.endViewerUs = line.viewerUs;
    }
    Touch(request, line);
}

bool Tracker::Ended(size_t index) const {
    auto found = requests_.find(index);
    if (found == requests_.end()) return true;
    const Request& request = found->second;
    return request.completed || !request.expectsCompletion || request.superseded;
}

void Tracker::Focus(const TraceLine& line, std::optional<size_t> index, std::string phase, std::string what) {
    DeviceState& state = devices_[line.trailer];
    if (state.current && state.current != index && Ended(*state.current)) {
        Release(*state.current);
    }
    state.current = index;
    state.phase = std::move(phase);
    state.what = std::move(what);
    state.segmentOpen = false;
    state.mdl = false;
    if (index && Alive(*index)) Touch(requests_.at(*index), line);
}

void Tracker::Release(size_t index) {
    auto found = requests_.find(index);
    if (found == requests_.end()) return;
    Request& request = found->second;
    if (request.sense) {
        for (auto dump = request.dumps.rbegin(); dump != request.dumps.rend(); ++dump) {
            if (dump->what != "sense") continue;
            if (auto code = SenseFromBytes(dump->bytes.data(), dump->bytes.size())) {
                request.sense->code = code;
                request.sense->fromBytes = true;
            }
            break;
        }
        if (!request.sense->fromBytes) request.sense->code = SenseFromDriverText(request.sense->driverText);
    }
    if (auto open = open_.find(request.irp); open != open_.end() && open->second == index) open_.erase(open);
    sink_(request);
    // Nothing is added to it any more: only the requests still under way are kept.
    requests_.erase(found);
}

void Tracker::Finish() {
    while (!requests_.empty())
        Release(requests_.begin()->first);
    devices_.clear();
}

void Tracker::ReleaseEnded() {
    std::vector<size_t> ended;
    for (const auto& [index, request] : requests_) {
        if (Ended(index)) ended.push_back(index);
    }
    for (size_t index : ended)
        Release(index);
}

void Tracker::AddDump(const TraceLine& line) {
    ++stats_.dumpLines;
    DeviceState& state = devices_[line.trailer];
    if (!state.current || state.what.empty() || !Alive(*state.current)) {
        ++stats_.strayDumpLines;
        return;
    }
    Request& request = requests_.at(*state.current);
    if (!state.segmentOpen) {
        request.dumps.push_back(Dump{state.phase, state.what, state.mdl, {}});
        state.segmentOpen = true;
    }
    request.dumps.back().bytes.insert(request.dumps.back().bytes.end(), line.bytes.begin(), line.bytes.end());
    Touch(request, line);
}

void Tracker::Note(const TraceLine& line) {
    DeviceState& state = devices_[line.trailer];
    if (state.current && Alive(*state.current)) {
        requests_.at(*state.current).notes.push_back(line.message);
        Touch(requests_.at(*state.current), line);
    } else {
        ++stats_.notes;
    }
}

bool Tracker::Head(const TraceLine& line, uint32_t irp, std::string_view rest) {
    Request request;  // what the line says, copied into the opened request below
    std::string what = "data";
    if (!DescribeDispatch(rest, request, what)) return false;
    Request& opened = Open(line, irp);
    opened.kind = std::move(request.kind);
    opened.name = std::move(request.name);
    opened.detail = std::move(request.detail);
    opened.cdb = std::move(request.cdb);
    opened.length = request.length;
    opened.offset = request.offset;
    opened.expectsCompletion = request.expectsCompletion;
    Focus(line, opened.id, "dispatch", what);
    return true;
}

// Each kind of line, known by how it starts, and the member that reads the
// rest of it. The first prefix that matches decides; a handler that cannot
// read its line makes the line unreadable.
const Tracker::LineHandler Tracker::kLineHandlers[] = {
    {"Irp: ", &Tracker::IrpLine},
    {"SrbCompletion: ", &Tracker::SrbCompletion},
    {"PassThroughCompletion: ", &Tracker::PassThroughCompletion},
    {"ZK_CompletionRoutineUrbSubmit: Irp: ", &Tracker::UrbCompletion},
    {"ZK_CompletionRoutineUrbDetail: Irp: ", &Tracker::UrbDetailCompletion},
    {"ZK_CompletionRoutineIrb: Irp: ", &Tracker::IrbCompletion},
    {"ZK_CompletionRoutineDeviceControl: Irp: ", &Tracker::ControlCompletion},
    {"ZK_CompletionRoutinePassThrough: Irp: ", &Tracker::ControlCompletion},
    {"ZK_IRP_InternalDeviceControl: Irp: ", &Tracker::InternalDispatch},
    {"ZK_IRP_Pass: unknown Major: ", &Tracker::UnknownFunction},
    {"ZK_IRP_PnP: Unknown irp minor ", &Tracker::UnknownFunction},
    {"Buffer: 0x", &Tracker::BufferLine},
    {"ZK_DumpMemory: MDL: ", &Tracker::MdlDump},
    {"ZK_DumpMemory: ", &Tracker::NoteLine},
    {"pWmiRegInfo->", &Tracker::NoteLine},
    {"ZK_CompletionRoutineIrb: ", &Tracker::NoteLine},
    {"ZK_CompletionRoutineDeviceControl: ", &Tracker::NoteLine},
    {"ZK_IRP_InternalDeviceControl: #", &Tracker::NoteLine},
    {"ZK_AddDevice: ", &Tracker::DeviceNote},
};

bool Tracker::Message(const TraceLine& line) {
    std::string_view m = line.message;
    for (const LineHandler& handler : kLineHandlers) {
        if (m.starts_with(handler.prefix)) return (this->*handler.read)(line, m.substr(handler.prefix.size()));
    }
    // The 1394 callback substitutes and other routines' own lines: about no request.
    ++stats_.notes;
    Focus(line, std::nullopt, "", "");
    return true;
}

// "Irp: 0x%X - ...": a dispatch line, the plain completion, the storage
// query's completion, or a line that goes on about a request.
bool Tracker::IrpLine(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    if (rest.starts_with("completed with Status: ")) {
        Request& request = ForCompletion(line, irp, "other", "");
        request.status = StripDot(rest.substr(23));
        request.statusValue = StatusValue(request.status);
        Complete(request, line);
        Focus(line, request.id, "completion", "");
        return true;
    }
    if (rest.starts_with("DeviceName: ")) {
        // The storage query's completion may have begun with a line of its own.
        Request* found = Find(irp);
        Request& request = found && found->name == "IOCTL_STORAGE_QUERY_PROPERTY"
                               ? *found
                               : ForCompletion(line, irp, "ioctl", "IOCTL_STORAGE_QUERY_PROPERTY");
        request.notes.push_back(std::string(rest));
        Complete(request, line);
        Focus(line, request.id, "completion", "descriptor");
        return true;
    }
    bool continuation =
        rest.starts_with("InputBufferLength: ") || rest.starts_with("IRP_MN_START_DEVICE - call IoCompleteRequest");
    if (Request* request = Find(irp); continuation && request) {
        request->notes.push_back(std::string(rest));
        Focus(line, request->id, "dispatch", request->kind == "pass-through" ? "data" : "");
        return true;
    }
    if (IsUrbDetail(rest)) return UrbDetail(line, irp, rest);
    return Head(line, irp, rest);
}

// A URB's detail line on the way down ("URB_FUNCTION_X - SetupPacket: ...").
// It goes on about the request the standard line began, if there is one;
// under the detail level every URB gets a completion routine.
bool Tracker::UrbDetail(const TraceLine& line, uint32_t irp, std::string_view rest) {
    Request* request = Find(irp);
    if (request && request->kind == "urb" && !request->completed && request->dispatched) {
        request->notes.push_back(std::string(rest));
        request->expectsCompletion = true;
        bool dumped = std::any_of(request->dumps.begin(), request->dumps.end(),
                                  [](const Dump& dump) { return dump.phase == "dispatch" && dump.what == "data"; });
        Focus(line, request->id, "dispatch", dumped ? "" : "data");
        return true;
    }
    if (!Head(line, irp, rest)) return false;
    if (Request* opened = Find(irp)) opened->expectsCompletion = true;
    return true;
}

bool Tracker::SrbCompletion(const TraceLine& line, std::string_view body) { return ScsiCompletion(line, body, true); }

bool Tracker::PassThroughCompletion(const TraceLine& line, std::string_view body) {
    return ScsiCompletion(line, body, false);
}

// The SRB and pass-through completions: a status line, a buffer line, the sense.
bool Tracker::ScsiCompletion(const TraceLine& line, std::string_view body, bool srb) {
    if (body.starts_with("Irp: ")) {
        uint32_t irp = 0;
        std::string_view rest;
        if (!TakeIrp(body.substr(5), irp, rest)) return false;
        std::string function = srb ? Field(rest, "Function: ") : "";
        Request& request = ForCompletion(line, irp, srb ? "srb" : "pass-through", function);
        request.status = Field(rest, "IrpStatus: ");
        request.statusValue = StatusValue(request.status);
        request.scsiStatus = Field(rest, "ScsiStatus: ");
        request.scsiStatusValue = ScsiStatusValue(request.scsiStatus);
        if (srb) request.srbStatus = Field(rest, "SrbStatus: ", ", ");
        Complete(request, line);
        Focus(line, request.id, "completion", "");
        return true;
    }
    bool data = body.starts_with("DataBuffer: "), sense = body.starts_with("SenseCode: ");
    if (!data && !sense) return false;
    DeviceState& state = devices_[line.trailer];
    std::optional<size_t> current = state.current;
    if (current && !Alive(*current)) current.reset();
    if (!current) {
        Note(line);
        return true;
    }
    if (data) {
        if (auto length = HexAfter(body, "DataTransferLength: ")) {
            requests_.at(*current).transferred = static_cast<uint32_t>(*length);
        }
        Focus(line, current, "completion", "data");
    } else {
        requests_.at(*current).sense = Sense{std::nullopt, std::string(StripDot(body.substr(11))), false};
        Focus(line, current, "completion", "sense");
    }
    return true;
}

bool Tracker::UrbCompletion(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    if (rest.find(" - Status: ") != std::string_view::npos) return UrbDetailCompletion(line, body);
    constexpr std::string_view kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB - ";
    std::string function = rest.starts_with(kSubmit) ? Field(rest.substr(kSubmit.size()), "", " - ") : "";
    Request& request = ForCompletion(line, irp, "urb", function);
    size_t status = rest.find(" - Status ");
    if (status != std::string_view::npos) {
        request.status = Field(rest.substr(status), " - Status ", " - ");
        request.statusValue = StatusValue(request.status);
        UrbCompletionFields(rest.substr(status + 10), request);
    } else {
        request.notes.push_back(std::string(rest));
    }
    Complete(request, line);
    Focus(line, request.id, "completion", status != std::string_view::npos ? "data" : "");
    return true;
}

// The detail level's completion lines: "... - Status: S, UsbdStatus: U,
// Length: L." (from either completion routine), then the selection's
// handles and pipes, the frame, the isochronous packets. They go on about
// the request their address names; a second status line for an address
// begins a request of its own.
bool Tracker::UrbDetailCompletion(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    constexpr std::string_view kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB - ";
    std::string function = rest.starts_with(kSubmit) ? Field(rest.substr(kSubmit.size()), "", " - ") : "";
    bool statusLine = rest.find(" - Status: ") != std::string_view::npos;
    Request* found = Find(irp);
    bool continuing = found && found->kind == "urb" && (!found->completed || !statusLine || !found->usbdTold);
    Request& request = continuing ? *found : ForCompletion(line, irp, "urb", function);
    if (statusLine) {
        request.usbdTold = true;
        request.usbdStatus = Field(rest.substr(rest.find(" - Status: ")), "UsbdStatus: ", ", ");
        request.detailDumps = std::none_of(request.dumps.begin(), request.dumps.end(), [](const Dump& dump) {
            return dump.phase == "completion" && dump.what == "data";
        });
        if (request.status.empty()) {
            request.status = Field(rest.substr(rest.find(" - Status: ")), " - Status: ", ", ");
            request.statusValue = StatusValue(request.status);
        }
        if (auto moved = HexAfter(rest, "Length: "); moved && !request.transferred) {
            request.transferred = static_cast<uint32_t>(*moved);
        }
    } else {
        request.notes.push_back(std::string(rest));
    }
    Complete(request, line);
    Focus(line, request.id, "completion", request.detailDumps ? "data" : "");
    return true;
}

bool Tracker::IrbCompletion(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    Request* found = Find(irp);
    bool continuing = found && found->completed && found->kind == "irb";
    Request& request = continuing ? *found : ForCompletion(line, irp, "irb", "");
    size_t status = rest.rfind(" Status ");
    if (rest.find("SystemBuffer: ") == std::string_view::npos && status != std::string_view::npos) {
        request.status = std::string(rest.substr(status + 8));
        request.statusValue = StatusValue(request.status);
        if (request.name.empty()) request.name = Field(rest, "IOCTL_1394_CLASS - ", " - ");
    } else if (rest.find("SystemBuffer: ") == std::string_view::npos) {
        request.notes.push_back(std::string(rest));
    }
    Complete(request, line);
    Focus(line, request.id, "completion", status != std::string_view::npos ? "data" : "");
    return true;
}

bool Tracker::ControlCompletion(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    Request& request = ForCompletion(line, irp, "ioctl", "");
    request.notes.push_back(line.message);
    Complete(request, line);
    Focus(line, request.id, "completion", "");
    return true;
}

bool Tracker::InternalDispatch(const TraceLine& line, std::string_view body) {
    uint32_t irp = 0;
    std::string_view rest;
    if (!TakeIrp(body, irp, rest)) return false;
    Request& request = Open(line, irp);
    request.kind = "srb";
    request.name = Field(rest, "", ", IOCTL code");
    request.detail = std::string(StripDot(rest));
    request.expectsCompletion = true;
    Focus(line, request.id, "dispatch", "data");
    return true;
}

// A major or minor function the driver does not know: "... Major: 0x%X ..." or "... minor 0x%X ...".
bool Tracker::UnknownFunction(const TraceLine& line, std::string_view) {
    std::string_view m = line.message;
    bool pass = m.starts_with("ZK_IRP_Pass");
    std::optional<uint64_t> address = HexAfter(m, "Irp: ");
    std::optional<uint64_t> code = HexAfter(m, pass ? "Major: " : "minor ");
    if (!address || !code) return false;
    Request& request = Open(line, static_cast<uint32_t>(*address));
    request.kind = pass ? "plain" : "pnp";
    request.name = (pass ? "unknown major " : "unknown minor ") + Hex(static_cast<uint32_t>(*code));
    request.detail = std::string(StripDot(m.substr(m.find(": ") + 2)));
    Focus(line, request.id, "dispatch", "");
    return true;
}

bool Tracker::BufferLine(const TraceLine& line, std::string_view) {
    DeviceState& state = devices_[line.trailer];
    Note(line);
    if (state.current && Alive(*state.current)) Focus(line, state.current, "completion", "buffer");
    return true;
}

bool Tracker::MdlDump(const TraceLine& line, std::string_view) {
    DeviceState& state = devices_[line.trailer];
    state.segmentOpen = false;
    state.mdl = true;
    return true;
}

bool Tracker::NoteLine(const TraceLine& line, std::string_view) {
    Note(line);
    return true;
}

bool Tracker::DeviceNote(const TraceLine&, std::string_view) {
    ++stats_.notes;
    return true;
}

}  // namespace zklog
