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

struct PcapStats {
    size_t packets = 0;
    size_t devices = 0;
    size_t otherLines = 0;  // trace lines about other traffic (SRBs, 1394, IRPs), left out
    size_t inferredSetup = 0;  // setup packets built from the standard line, without the detail line
    size_t unknownEndpoint = 0;  // transfers on a pipe no selection line in the capture told of
};

class PcapExport {
public:
    // Takes the capture's trace lines in order.
    void Add(const TraceLine& line);
    // Writes the file: a section header, one interface, a packet each.
    void Write(std::ostream& out);
    const PcapStats& stats() const { return stats_; }

private:
    struct Packet {
        std::string device;
        uint32_t irp = 0;
        bool completion = false;
        int64_t us = 0;
        uint16_t function = 0xFFFF;
        uint32_t usbdStatus = 0;
        std::optional<uint32_t> pipe;
        std::optional<bool> in;  // from the transfer flags
        std::optional<std::vector<uint8_t>> setup;
        bool setupInferred = false;
        std::vector<uint8_t> data;
        bool segmentHasData = false;  // the data came after the packet's latest line
        std::string comment;
    };
    struct Pipe {
        uint8_t endpoint = 0;
        uint8_t type = 3;
    };
    struct Open {
        std::optional<size_t> submission, completion;
    };

    size_t For(const TraceLine& line, uint32_t irp, bool completion);
    void Detail(Packet& packet, std::string_view rest);

    std::vector<Packet> packets_;
    std::map<std::string, std::map<uint32_t, Open>> open_;
    std::map<std::string, std::optional<size_t>> current_;  // per device, the packet its dumps go to
    std::map<std::string, uint16_t> deviceNumbers_;
    std::map<std::pair<std::string, uint32_t>, Pipe> pipes_;
    int64_t lastUs_ = 0;
    PcapStats stats_;
};

}  // namespace zklog
