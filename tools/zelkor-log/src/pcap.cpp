// The USBPcap packet header (little-endian, packed): header length, IRP id,
// USBD status, URB function, info (bit 0: on its way back up), bus, device,
// endpoint, transfer type, data length; control transfers add the stage,
// isochronous ones the start frame, the count of packets, the error count
// and per packet its offset in the data, its length and its USBD status.
#include "pcap.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <string_view>
#include <tuple>

#include "requests.h"

namespace zklog {
namespace {

struct Named {
    std::string_view name;
    uint32_t value;
};

constexpr Named kFunctions[] = {
    {"URB_FUNCTION_SELECT_CONFIGURATION", 0x0000},
    {"URB_FUNCTION_SELECT_INTERFACE", 0x0001},
    {"URB_FUNCTION_ABORT_PIPE", 0x0002},
    {"URB_FUNCTION_GET_CURRENT_FRAME_NUMBER", 0x0007},
    {"URB_FUNCTION_CONTROL_TRANSFER", 0x0008},
    {"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER", 0x0009},
    {"URB_FUNCTION_ISOCH_TRANSFER", 0x000A},
    {"URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", 0x000B},
    {"URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE", 0x000C},
    {"URB_FUNCTION_SET_FEATURE_TO_DEVICE", 0x000D},
    {"URB_FUNCTION_SET_FEATURE_TO_INTERFACE", 0x000E},
    {"URB_FUNCTION_SET_FEATURE_TO_ENDPOINT", 0x000F},
    {"URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE", 0x0010},
    {"URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE", 0x0011},
    {"URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT", 0x0012},
    {"URB_FUNCTION_GET_STATUS_FROM_DEVICE", 0x0013},
    {"URB_FUNCTION_GET_STATUS_FROM_INTERFACE", 0x0014},
    {"URB_FUNCTION_GET_STATUS_FROM_ENDPOINT", 0x0015},
    {"URB_FUNCTION_VENDOR_DEVICE", 0x0017},
    {"URB_FUNCTION_VENDOR_INTERFACE", 0x0018},
    {"URB_FUNCTION_VENDOR_ENDPOINT", 0x0019},
    {"URB_FUNCTION_CLASS_DEVICE", 0x001A},
    {"URB_FUNCTION_CLASS_INTERFACE", 0x001B},
    {"URB_FUNCTION_CLASS_ENDPOINT", 0x001C},
    {"URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL", 0x001E},
    {"URB_FUNCTION_RESET_PIPE", 0x001E},
    {"URB_FUNCTION_CLASS_OTHER", 0x001F},
    {"URB_FUNCTION_VENDOR_OTHER", 0x0020},
    {"URB_FUNCTION_GET_STATUS_FROM_OTHER", 0x0021},
    {"URB_FUNCTION_CLEAR_FEATURE_TO_OTHER", 0x0022},
    {"URB_FUNCTION_SET_FEATURE_TO_OTHER", 0x0023},
    {"URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT", 0x0024},
    {"URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT", 0x0025},
    {"URB_FUNCTION_GET_CONFIGURATION", 0x0026},
    {"URB_FUNCTION_GET_INTERFACE", 0x0027},
    {"URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE", 0x0028},
    {"URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE", 0x0029},
    {"URB_FUNCTION_SYNC_RESET_PIPE", 0x0030},
    {"URB_FUNCTION_SYNC_CLEAR_STALL", 0x0031},
};

constexpr Named kUsbdStatus[] = {
    {"USBD_STATUS_SUCCESS", 0x00000000},
    {"USBD_STATUS_PENDING", 0x40000000},
    {"USBD_STATUS_STALL_PID", 0xC0000004},
    {"USBD_STATUS_ENDPOINT_HALTED", 0xC0000030},
    {"USBD_STATUS_INVALID_URB_FUNCTION", 0x80000200},
    {"USBD_STATUS_INVALID_PARAMETER", 0x80000300},
    {"USBD_STATUS_INVALID_PIPE_HANDLE", 0x80000600},
    {"USBD_STATUS_BUFFER_TOO_SMALL", 0xC0003000},
    {"USBD_STATUS_CRC", 0xC0000001},
    {"USBD_STATUS_BTSTUFF", 0xC0000002},
    {"USBD_STATUS_DATA_TOGGLE_MISMATCH", 0xC0000003},
    {"USBD_STATUS_DEV_NOT_RESPONDING", 0xC0000005},
    {"USBD_STATUS_PID_CHECK_FAILURE", 0xC0000006},
    {"USBD_STATUS_UNEXPECTED_PID", 0xC0000007},
    {"USBD_STATUS_DATA_OVERRUN", 0xC0000008},
    {"USBD_STATUS_DATA_UNDERRUN", 0xC0000009},
    {"USBD_STATUS_BUFFER_OVERRUN", 0xC000000C},
    {"USBD_STATUS_BUFFER_UNDERRUN", 0xC000000D},
    {"USBD_STATUS_NOT_ACCESSED", 0xC000000F},
    {"USBD_STATUS_FIFO", 0xC0000010},
    {"USBD_STATUS_XACT_ERROR", 0xC0000011},
    {"USBD_STATUS_BABBLE_DETECTED", 0xC0000012},
    {"USBD_STATUS_DATA_BUFFER_ERROR", 0xC0000013},
    {"USBD_STATUS_NO_PING_RESPONSE", 0xC0000014},
    {"USBD_STATUS_INVALID_STREAM_TYPE", 0xC0000015},
    {"USBD_STATUS_INVALID_STREAM_ID", 0xC0000016},
    {"USBD_STATUS_NO_MEMORY", 0x80000100},
    {"USBD_STATUS_ERROR_BUSY", 0x80000400},
    {"USBD_STATUS_REQUEST_FAILED", 0x80000500},
    {"USBD_STATUS_NO_BANDWIDTH", 0x80000700},
    {"USBD_STATUS_INTERNAL_HC_ERROR", 0x80000800},
    {"USBD_STATUS_ERROR_SHORT_TRANSFER", 0x80000900},
    {"USBD_STATUS_BAD_START_FRAME", 0xC0000A00},
    {"USBD_STATUS_ISOCH_REQUEST_FAILED", 0xC0000B00},
    {"USBD_STATUS_FRAME_CONTROL_OWNED", 0xC0000C00},
    {"USBD_STATUS_FRAME_CONTROL_NOT_OWNED", 0xC0000D00},
    {"USBD_STATUS_NOT_SUPPORTED", 0xC0000E00},
    {"USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR", 0xC0000F00},
    {"USBD_STATUS_INSUFFICIENT_RESOURCES", 0xC0001000},
    {"USBD_STATUS_SET_CONFIG_FAILED", 0xC0002000},
    {"USBD_STATUS_INTERFACE_NOT_FOUND", 0xC0004000},
    {"USBD_STATUS_INAVLID_PIPE_FLAGS", 0xC0005000},
    {"USBD_STATUS_TIMEOUT", 0xC0006000},
    {"USBD_STATUS_DEVICE_GONE", 0xC0007000},
    {"USBD_STATUS_STATUS_NOT_MAPPED", 0xC0008000},
    {"USBD_STATUS_HUB_INTERNAL_ERROR", 0xC0009000},
    {"USBD_STATUS_CANCELED", 0xC0010000},
    {"USBD_STATUS_ISO_NOT_ACCESSED_BY_HW", 0xC0020000},
    {"USBD_STATUS_ISO_TD_ERROR", 0xC0030000},
    {"USBD_STATUS_ISO_NA_LATE_USBPORT", 0xC0040000},
    {"USBD_STATUS_ISO_NOT_ACCESSED_LATE", 0xC0050000},
    {"USBD_STATUS_BAD_DESCRIPTOR", 0xC0100000},
    {"USBD_STATUS_BAD_DESCRIPTOR_BLEN", 0xC0100001},
    {"USBD_STATUS_BAD_DESCRIPTOR_TYPE", 0xC0100002},
    {"USBD_STATUS_BAD_INTERFACE_DESCRIPTOR", 0xC0100003},
    {"USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR", 0xC0100004},
    {"USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR", 0xC0100005},
    {"USBD_STATUS_BAD_CONFIG_DESC_LENGTH", 0xC0100006},
    {"USBD_STATUS_BAD_NUMBER_OF_INTERFACES", 0xC0100007},
    {"USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS", 0xC0100008},
    {"USBD_STATUS_BAD_ENDPOINT_ADDRESS", 0xC0100009},
};

constexpr std::string_view kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB - ";
constexpr uint8_t kControl = 2, kBulk = 3, kInterrupt = 1, kIsoch = 0;
constexpr uint8_t kStageSetup = 0, kStageComplete = 3;

std::optional<uint32_t> Number(std::string_view text, int base = 16) {
    while (text.starts_with(' '))
        text.remove_prefix(1);
    if (base == 16 && text.starts_with("0x")) text.remove_prefix(2);
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end == text.data()) return std::nullopt;
    return value;
}

// The value after "key" up to the next ',', ' ' or '.', as a number.
std::optional<uint32_t> Field(std::string_view text, std::string_view key, int base = 16) {
    size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    return Number(text.substr(at + key.size()), base);
}

std::string_view Word(std::string_view text, std::string_view key) {
    size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
    text.remove_prefix(at + key.size());
    return text.substr(0, text.find_first_of(" ,.-"));
}

std::optional<uint32_t> Lookup(const auto& table, std::string_view name) {
    for (const Named& entry : table)
        if (entry.name == name) return entry.value;
    return Number(name);
}

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void Pad(std::string& out) {
    while (out.size() % 4)
        out.push_back('\0');
}

void Block(std::ostream& out, uint32_t type, const std::string& body) {
    std::string block;
    uint32_t total = static_cast<uint32_t>(12 + body.size());
    Put(block, type, 4);
    Put(block, total, 4);
    block += body;
    Put(block, total, 4);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// An option holds at most 65535 bytes: a longer value is cut there.
void Option(std::string& body, uint16_t code, std::string_view value) {
    value = value.substr(0, 0xFFFF);
    Put(body, code, 2);
    Put(body, value.size(), 2);
    body += value;
    Pad(body);
}

// An endpoint of a configuration descriptor: its address and USBPcap's
// transfer type for its bmAttributes.
struct DescribedEndpoint {
    uint8_t address;
    uint8_t type;
};

uint8_t TransferType(uint8_t attributes) {
    constexpr uint8_t kByAttributes[] = {kControl, kIsoch, kBulk, kInterrupt};
    return kByAttributes[attributes & 3];
}

// The endpoints a configuration descriptor (with its interfaces) lists,
// each once, in its order; empty for any other data.
std::vector<DescribedEndpoint> Endpoints(const std::vector<uint8_t>& data) {
    std::vector<DescribedEndpoint> endpoints;
    if (data.size() < 9 || data[0] < 9 || data[1] != 2) return endpoints;
    size_t end = std::min<size_t>(data.size(), data[2] | (data[3] << 8));
    for (size_t at = 0; at + 2 <= end && data[at] >= 2; at += data[at]) {
        if (data[at + 1] != 5 || data[at] < 7 || at + 7 > end) continue;
        uint8_t address = data[at + 2];
        bool seen =
            std::any_of(endpoints.begin(), endpoints.end(), [&](const auto& e) { return e.address == address; });
        if (!seen) endpoints.push_back({address, TransferType(data[at + 3])});
    }
    return endpoints;
}

std::string_view KindOf(uint8_t transfer) {
    switch (transfer) {
    case kControl:
        return "control";
    case kBulk:
        return "bulk";
    case kInterrupt:
        return "interrupt";
    case kIsoch:
        return "isochronous";
    default:
        return "other";
    }
}

constexpr uint16_t kBulkOrInterrupt = 0x0009, kIsochTransfer = 0x000A;
constexpr uint32_t kUsbdCanceled = 0xC0010000, kUsbdRequestFailed = 0x80000500;
constexpr size_t kMaxIsochBuffer = 16 << 20;  // 1024 packets of 3 x 1024 bytes fit many times

}  // namespace

const std::vector<std::string>& PcapKinds() {
    static const std::vector<std::string> kinds = {"control", "bulk", "interrupt", "isochronous", "other"};
    return kinds;
}

size_t PcapExport::For(const TraceLine& line, uint32_t irp, bool completion) {
    Open& open = open_[line.trailer][irp];
    std::optional<size_t>& slot = completion ? open.completion : open.submission;
    if (!completion && open.completion) open = Open{};  // the address comes again: a new request
    if (!slot) {
        slot = packets_.size();
        Packet packet;
        packet.device = line.trailer;
        packet.irp = irp;
        packet.completion = completion;
        packet.us = line.stampUs.value_or(lastUs_);
        if (completion && open.submission) {
            Packet& down = packets_[*open.submission];
            down.partner = *slot;
            packet.alone = false;
            packet.function = down.function;
            packet.pipe = down.pipe;
            packet.in = down.in;
            packet.setup = down.setup;
            packet.setupInferred = down.setupInferred;
        }
        packets_.push_back(std::move(packet));
    }
    return *slot;
}

void PcapExport::Add(const TraceLine& line) {
    if (line.stampUs) lastUs_ = *line.stampUs;
    if (!filter_.devices.empty() &&
        std::find(filter_.devices.begin(), filter_.devices.end(), DeviceName(line.trailer)) == filter_.devices.end())
        return;
    std::optional<size_t>& current = current_[line.trailer];
    if (line.dump) {
        if (current) AddDump(packets_[*current], line.bytes);
        return;
    }
    current.reset();
    std::string_view message = line.message;
    bool completion = message.starts_with("ZK_CompletionRoutineUrbSubmit: ") ||
                      message.starts_with("ZK_CompletionRoutineUrbDetail: ");
    if (completion) message.remove_prefix(message.find(": ") + 2);
    size_t submit = message.find(kSubmit);
    std::optional<uint32_t> irp = Field(message, "Irp: ");
    if (!message.starts_with("Irp: ") || submit == std::string_view::npos || !irp) return;
    std::string_view rest = message.substr(submit + kSubmit.size());
    size_t index = For(line, *irp, completion);
    Packet& packet = packets_[index];
    current = index;
    packet.segmentHasData = false;
    packet.isoSegment.reset();
    if (line.stampUs) packet.us = *line.stampUs;
    packet.comment += (packet.comment.empty() ? "" : "\n") + line.message;
    Detail(packet, rest);
}

// A dump belongs to the packet's latest line: a new line's data replaces
// what an earlier line of the same packet dumped; an isochronous packet's
// goes to that packet.
void PcapExport::AddDump(Packet& packet, const std::vector<uint8_t>& bytes) {
    if (packet.isoSegment && packet.isoch) {
        std::vector<uint8_t>& data = packet.isoch->packets[*packet.isoSegment].data;
        data.insert(data.end(), bytes.begin(), bytes.end());
        return;
    }
    if (!packet.segmentHasData) packet.data.clear();
    packet.segmentHasData = true;
    packet.data.insert(packet.data.end(), bytes.begin(), bytes.end());
}

void PcapExport::Detail(Packet& packet, std::string_view rest) {
    std::string_view name = rest.substr(0, rest.find_first_of(" ."));
    if (auto function = Lookup(kFunctions, name)) packet.function = static_cast<uint16_t>(*function);
    if (auto unknown = Field(rest, "Unknown urb function ")) packet.function = static_cast<uint16_t>(*unknown);
    bool isochFields =
        rest.find("StartFrame: ") != std::string_view::npos || rest.find("IsoPacket: ") != std::string_view::npos;
    if (packet.function == kIsochTransfer && isochFields) {
        Isochronous(packet, rest);
        if (rest.find("IsoPacket: ") != std::string_view::npos) return;  // its status is the packet's own
    }
    if (auto usbd = Word(rest, "UsbdStatus: "); !usbd.empty()) {
        if (auto value = Lookup(kUsbdStatus, usbd)) {
            packet.usbdStatus = *value;
            packet.usbdKnown = true;
        }
    }
    if (auto status = Word(rest, "- Status "); !status.empty()) packet.status = status;
    Setup(packet, rest);
    if (auto pipe = Field(rest, "Pipe:0x")) packet.pipe = *pipe;
    if (auto flags = Field(rest, "Flags: ")) packet.in = (*flags & 1) != 0;
    if (auto handle = Field(rest, "PipeHandle: ")) {
        if (rest.find("EndpointAddress: ") == std::string_view::npos) {
            packet.pipe = *handle;  // a pipe request or an isochronous transfer
        } else {
            Pipe pipe;
            pipe.endpoint = static_cast<uint8_t>(Field(rest, "EndpointAddress: ").value_or(0));
            std::string_view type = Word(rest, "PipeType: UsbdPipeType");
            pipe.type = type == "Control"       ? kControl
                        : type == "Isochronous" ? kIsoch
                        : type == "Interrupt"   ? kInterrupt
                                                : kBulk;
            pipes_[{packet.device, *handle}] = pipe;
        }
    }
}

// The setup packet from the detail line; without it, a descriptor or vendor
// request's follows from the standard line (language id 0).
void PcapExport::Setup(Packet& packet, std::string_view rest) {
    if (size_t at = rest.find("SetupPacket: "); at != std::string_view::npos) {
        std::vector<uint8_t> setup;
        std::string_view hex = rest.substr(at + 13);
        for (int i = 0; i < 8 && hex.size() >= 2; ++i, hex.remove_prefix(std::min<size_t>(3, hex.size()))) {
            if (auto byte = Number(hex.substr(0, 2))) setup.push_back(static_cast<uint8_t>(*byte));
        }
        if (setup.size() == 8) {
            packet.setup = setup;
            packet.setupInferred = false;
            packet.in = (setup[0] & 0x80) != 0;
        }
    }
    if (packet.setup) return;
    auto infer = [&](uint8_t type, uint8_t request, uint32_t value, uint32_t index) {
        uint32_t length = Field(rest, "Length: ").value_or(0);
        packet.setup = std::vector<uint8_t>{type,
                                            request,
                                            static_cast<uint8_t>(value),
                                            static_cast<uint8_t>(value >> 8),
                                            static_cast<uint8_t>(index),
                                            static_cast<uint8_t>(index >> 8),
                                            static_cast<uint8_t>(length),
                                            static_cast<uint8_t>(length >> 8)};
        packet.setupInferred = true;
        packet.in = (type & 0x80) != 0;
    };
    if (packet.function == 0x000B && rest.find("DescriptorType: ") != std::string_view::npos) {
        uint32_t index = Field(rest, "Index:").value_or(0), type = Field(rest, "DescriptorType: ").value_or(0);
        infer(0x80, 6, (type << 8) | (index & 0xFF), 0);
    } else if (packet.function == 0x0017 && rest.find("Request: ") != std::string_view::npos) {
        bool in = (Field(rest, "Flags: ").value_or(0) & 1) != 0;
        infer(in ? 0xC0 : 0x40, static_cast<uint8_t>(Field(rest, "Request: ").value_or(0)),
              Field(rest, "Value: ").value_or(0), Field(rest, "Index: ").value_or(0));
    }
}

// "StartFrame: F, NumberOfPackets: N[, ErrorCount: E]" and
// "IsoPacket: I, Offset: O, Length: L, UsbdStatus: S".
void PcapExport::Isochronous(Packet& packet, std::string_view rest) {
    if (!packet.isoch) packet.isoch = Isoch{};
    Isoch& isoch = *packet.isoch;
    if (auto index = Field(rest, "IsoPacket: ", 10)) {
        if (*index > 0xFFFF) return;
        if (isoch.packets.size() <= *index) isoch.packets.resize(*index + 1);
        IsoPacket& iso = isoch.packets[*index];
        iso.offset = Field(rest, "Offset: ").value_or(0);
        iso.length = Field(rest, "Length: ").value_or(0);
        iso.status = Lookup(kUsbdStatus, Word(rest, "UsbdStatus: ")).value_or(0);
        iso.data.clear();
        packet.isoSegment = *index;
        return;
    }
    isoch.startFrame = Field(rest, "StartFrame: ").value_or(0);
    isoch.count = Field(rest, "NumberOfPackets: ").value_or(0);
    isoch.errorCount = Field(rest, "ErrorCount: ").value_or(0);
}

std::optional<PcapExport::Pipe> PcapExport::FindPipe(const std::string& device, uint32_t handle) const {
    if (auto known = pipes_.find({device, handle}); known != pipes_.end()) return known->second;
    if (auto guessed = inferred_.find({device, handle}); guessed != inferred_.end()) return guessed->second;
    return std::nullopt;
}

// The pipes no selection line told of, matched to the endpoints of the
// device's configuration descriptor by direction and kind (isochronous or
// not); where several endpoints would do, in the order of the handles.
void PcapExport::InferPipes() {
    std::map<std::string, std::vector<DescribedEndpoint>> described;
    for (const Packet& packet : packets_) {
        bool configuration = packet.completion && packet.setup && (*packet.setup)[1] == 6 && (*packet.setup)[3] == 2;
        if (!configuration) continue;
        std::vector<DescribedEndpoint> endpoints = Endpoints(packet.data);
        if (!endpoints.empty()) described[packet.device] = endpoints;
    }
    // Per device and group (direction, isochronous), the unknown handles in order.
    std::map<std::tuple<std::string, bool, bool>, std::set<uint32_t>> handles;
    for (const Packet& packet : packets_) {
        bool transfer = packet.function == kBulkOrInterrupt || packet.function == kIsochTransfer;
        if (!transfer || !packet.pipe || !packet.in || pipes_.contains({packet.device, *packet.pipe})) continue;
        handles[{packet.device, *packet.in, packet.function == kIsochTransfer}].insert(*packet.pipe);
    }
    inferred_.clear();
    stats_.inferredPipes.clear();
    for (const auto& [group, set] : handles) {
        const std::string& device = std::get<0>(group);
        bool in = std::get<1>(group), isoch = std::get<2>(group);
        std::vector<DescribedEndpoint> candidates;
        for (const DescribedEndpoint& e : described[device]) {
            bool taken = std::any_of(pipes_.begin(), pipes_.end(), [&](const auto& p) {
                return p.first.first == device && p.second.endpoint == e.address;
            });
            if (!taken && ((e.address & 0x80) != 0) == in && (e.type == kIsoch) == isoch && e.type != kControl)
                candidates.push_back(e);
        }
        if (candidates.empty()) continue;
        size_t i = 0;
        for (uint32_t handle : set) {
            const DescribedEndpoint& e = candidates[std::min(i++, candidates.size() - 1)];
            inferred_[{device, handle}] = Pipe{e.address, e.type};
            stats_.inferredPipes.push_back({device, handle, e.address, e.type, candidates.size() > 1});
        }
    }
}

PcapExport::Route PcapExport::RouteOf(const Packet& packet) const {
    Route route;
    if (packet.setup) {
        route.transfer = kControl;
        route.endpoint = packet.in.value_or(false) ? 0x80 : 0x00;
        return route;
    }
    std::optional<Pipe> pipe = packet.pipe ? FindPipe(packet.device, *packet.pipe) : std::nullopt;
    if (pipe) route.endpoint = pipe->endpoint;
    if (packet.function == kBulkOrInterrupt || packet.function == kIsochTransfer) {
        if (pipe) {
            route.transfer = pipe->type;
        } else {
            route.transfer = packet.function == kIsochTransfer ? kIsoch : kBulk;
            route.endpoint = packet.in.value_or(false) ? 0x80 : 0x00;
            route.unknown = true;
        }
    }
    return route;
}

// The USBD status as printed; without the detail line, as the request's
// status tells it: success, cancelled, or a failure of no known kind.
uint32_t PcapExport::UsbdStatusOf(const Packet& packet) {
    if (!packet.completion) return 0;
    if (packet.usbdKnown) return packet.usbdStatus;
    if (packet.status.empty()) return 0;
    ++stats_.inferredStatus;
    if (packet.status == "STATUS_SUCCESS") return 0;
    return packet.status == "STATUS_CANCELLED" ? kUsbdCanceled : kUsbdRequestFailed;
}

// The isochronous header's tail: start frame, packets, errors and the
// packet table where the completion's lines told the packets (a submission
// takes their offsets from its completion), and the data laid out at their
// offsets. Without those lines the table is empty.
std::string PcapExport::IsochHeader(const Packet& packet, std::vector<uint8_t>& payload) const {
    static const Isoch kNone;
    const Isoch* told = packet.isoch && !packet.isoch->packets.empty() ? &*packet.isoch : nullptr;
    if (!told && packet.partner) {
        const Packet& up = packets_[*packet.partner];
        if (up.isoch && !up.isoch->packets.empty()) told = &*up.isoch;
    }
    bool own = told != nullptr && told == (packet.isoch ? &*packet.isoch : nullptr);
    if (!told) told = &kNone;
    std::string header;
    Put(header, packet.isoch ? packet.isoch->startFrame : 0, 4);
    Put(header, told->packets.size(), 4);
    Put(header, own ? told->errorCount : 0, 4);
    bool carries = packet.completion && own;
    if (carries) payload.clear();
    for (const IsoPacket& iso : told->packets) {
        Put(header, iso.offset, 4);
        Put(header, own ? iso.length : 0, 4);
        Put(header, own ? iso.status : 0, 4);
        // An offset past any real transfer buffer (a corrupt line) gets no data.
        if (!carries || iso.data.empty() || iso.data.size() > kMaxIsochBuffer ||
            iso.offset > kMaxIsochBuffer - iso.data.size())
            continue;
        if (payload.size() < iso.offset + iso.data.size()) payload.resize(iso.offset + iso.data.size());
        std::copy(iso.data.begin(), iso.data.end(), payload.begin() + iso.offset);
    }
    return header;
}

// One packet's USBPcap header and data.
std::string PcapExport::UsbPacket(const Packet& packet, const Route& route, uint16_t device) {
    bool control = route.transfer == kControl;
    bool in = route.transfer == 0xFE ? packet.in.value_or(false) : (route.endpoint & 0x80) != 0;
    std::vector<uint8_t> payload;
    if (control && !packet.completion) payload = *packet.setup;
    if (route.transfer == 0xFE || packet.completion == in)
        payload.insert(payload.end(), packet.data.begin(), packet.data.end());
    std::string isoch = route.transfer == kIsoch ? IsochHeader(packet, payload) : std::string();

    std::string usb;
    Put(usb, (control ? 28 : 27) + isoch.size(), 2);
    Put(usb, packet.irp, 8);
    Put(usb, UsbdStatusOf(packet), 4);
    Put(usb, packet.function, 2);
    Put(usb, packet.completion ? 1 : 0, 1);
    Put(usb, 1, 2);  // bus
    Put(usb, device, 2);
    Put(usb, route.endpoint, 1);
    Put(usb, route.transfer, 1);
    Put(usb, payload.size(), 4);
    if (control) Put(usb, packet.completion ? kStageComplete : kStageSetup, 1);
    usb += isoch;
    usb.append(payload.begin(), payload.end());
    return usb;
}

void PcapExport::Write(std::ostream& out) {
    std::string section;
    Put(section, 0x1A2B3C4D, 4);  // byte-order magic
    Put(section, 1, 2);
    Put(section, 0, 2);
    Put(section, UINT64_MAX, 8);       // section length unknown
    Option(section, 4, "zelkor-log");  // shb_userappl
    Put(section, 0, 4);
    Block(out, 0x0A0D0D0A, section);
    std::string interface;
    Put(interface, 249, 2);  // LINKTYPE_USBPCAP
    Put(interface, 0, 2);
    Put(interface, 0, 4);      // no snap length
    Block(out, 1, interface);  // microseconds, the default resolution

    stats_ = PcapStats{};
    InferPipes();
    std::map<std::string, uint16_t> numbers;  // per device written, in the order they first appear
    for (const Packet& packet : packets_) {
        Route route = RouteOf(packet);
        std::string_view kind = KindOf(route.transfer);
        if (!filter_.kinds.empty() &&
            std::find(filter_.kinds.begin(), filter_.kinds.end(), kind) == filter_.kinds.end())
            continue;
        // Each request is counted once: by its submission, else by its completion.
        if (packet.alone && route.unknown) ++stats_.unknownEndpoint;
        if (packet.alone && route.transfer == kControl && packet.setupInferred) ++stats_.inferredSetup;
        uint16_t device = numbers.emplace(packet.device, numbers.size() + 1).first->second;
        std::string usb = UsbPacket(packet, route, device);
        std::string body;
        uint64_t stamp = static_cast<uint64_t>(std::max<int64_t>(packet.us, 0));
        Put(body, 0, 4);  // interface
        Put(body, stamp >> 32, 4);
        Put(body, stamp & 0xFFFFFFFF, 4);
        Put(body, usb.size(), 4);
        Put(body, usb.size(), 4);
        body += usb;
        Pad(body);
        Option(body, 1, packet.comment);  // opt_comment
        Put(body, 0, 4);
        Block(out, 6, body);
        ++stats_.packets;
    }
    stats_.devices = numbers.size();
}

}  // namespace zklog
