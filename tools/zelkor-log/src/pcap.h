// Export of a capture's USB traffic as a pcapng file with the USBPcap link
// type (249), for Wireshark and tshark.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "capture.h"

namespace zklog {

// The packets' kinds, as `--kind` names them: by transfer type, and `other`
// for the URBs that move no data (selections, pipe resets, aborts).
const std::vector<std::string>& PcapKinds();

struct PcapFilter {
    std::vector<std::string> devices;  // trailers without the blanks around them; empty: every device
    std::vector<std::string> kinds;    // of PcapKinds(); empty: every kind
};

// A pipe whose endpoint no selection line told, matched to an endpoint of
// the device's configuration descriptor.
struct InferredPipe {
    std::string device;
    uint32_t handle = 0;
    uint8_t endpoint = 0;
    uint8_t type = 0;      // USBPcap's transfer type
    bool byOrder = false;  // several endpoints would do: matched in the order of the handles
};

struct PcapStats {
    size_t packets = 0;
    size_t devices = 0;
    size_t inferredSetup = 0;    // setup packets built from the standard line, without the detail line
    size_t inferredStatus = 0;   // completions whose USBD status follows from the request's status
    size_t unknownEndpoint = 0;  // transfers on a pipe neither a selection nor a descriptor told of
    std::vector<InferredPipe> inferredPipes;
};

class PcapExport {
public:
    explicit PcapExport(PcapFilter filter = {}) : filter_(std::move(filter)) {}
    // Takes the capture's trace lines in order.
    void Add(const TraceLine& line);
    // Writes the file: a section header, one interface, a packet each.
    void Write(std::ostream& out);
    const PcapStats& stats() const { return stats_; }

private:
    struct IsoPacket {
        uint32_t offset = 0, length = 0, status = 0;
        std::vector<uint8_t> data;
    };
    struct Isoch {
        uint32_t startFrame = 0, count = 0, errorCount = 0;
        std::vector<IsoPacket> packets;  // as the completion's lines told them
    };
    struct Packet {
        std::string device;
        uint32_t irp = 0;
        bool completion = false;
        bool alone = true;  // a submission, or a completion whose submission is not in the capture
        int64_t us = 0;
        uint16_t function = 0xFFFF;
        uint32_t usbdStatus = 0;
        bool usbdKnown = false;  // from a UsbdStatus field
        std::string status;      // the request's status, as the standard completion line names it
        std::optional<uint32_t> pipe;
        std::optional<bool> in;  // from the transfer flags
        std::optional<std::vector<uint8_t>> setup;
        bool setupInferred = false;
        std::vector<uint8_t> data;
        bool segmentHasData = false;  // the data came after the packet's latest line
        std::optional<Isoch> isoch;
        std::optional<size_t> isoSegment;  // the isochronous packet the next dump belongs to
        std::optional<size_t> partner;     // a submission's completion
        std::string comment;
    };
    struct Pipe {
        uint8_t endpoint = 0;
        uint8_t type = 3;
    };
    struct Open {
        std::optional<size_t> submission, completion;
    };
    struct Route {
        uint8_t endpoint = 0;
        uint8_t transfer = 0xFE;
        bool unknown = false;  // a transfer on a pipe neither a selection nor a descriptor told of
    };

    size_t For(const TraceLine& line, uint32_t irp, bool completion);
    void AddDump(Packet& packet, const std::vector<uint8_t>& bytes);
    void Detail(Packet& packet, std::string_view rest);
    void Setup(Packet& packet, std::string_view rest);
    void Isochronous(Packet& packet, std::string_view rest);
    void InferPipes();
    std::optional<Pipe> FindPipe(const std::string& device, uint32_t handle) const;
    Route RouteOf(const Packet& packet) const;
    uint32_t UsbdStatusOf(const Packet& packet);
    std::string IsochHeader(const Packet& packet, std::vector<uint8_t>& payload) const;
    std::string UsbPacket(const Packet& packet, const Route& route, uint16_t device);

    PcapFilter filter_;
    std::vector<Packet> packets_;
    std::map<std::string, std::map<uint32_t, Open>> open_;
    std::map<std::string, std::optional<size_t>> current_;       // per device, the packet its dumps go to
    std::map<std::pair<std::string, uint32_t>, Pipe> pipes_;     // from the selection lines
    std::map<std::pair<std::string, uint32_t>, Pipe> inferred_;  // from configuration descriptors
    int64_t lastUs_ = 0;
    PcapStats stats_;
};

}  // namespace zklog
