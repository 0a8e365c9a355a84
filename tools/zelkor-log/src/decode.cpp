#include "decode.h"

#include <scsi/sg_lib.h>

#include <cctype>
#include <cstdio>

namespace zklog {
namespace {

uint64_t BigEndian(const std::vector<uint8_t>& bytes, size_t at, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count && at + i < bytes.size(); ++i)
        value = value << 8 | bytes[at + i];
    return value;
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Printable ASCII of an INQUIRY field, blanks at the end removed.
std::string Ascii(const std::vector<uint8_t>& bytes, size_t at, size_t count) {
    std::string text;
    for (size_t i = at; i < at + count && i < bytes.size(); ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string Transfer(uint64_t lba, uint64_t blocks) { return "LBA " + Number(lba) + ", blocks " + Number(blocks); }

std::string ModePage(uint8_t byte2) {
    static constexpr const char* kControl[] = {"current", "changeable", "default", "saved"};
    return "page " + Hex2(byte2 & 0x3F) + " (" + kControl[byte2 >> 6] + " values)";
}

}  // namespace

std::string CdbFields(const std::vector<uint8_t>& c) {
    if (c.size() < 16) return {};
    switch (c[0]) {
    case 0x00:
        return "";
    case 0x03:
        return "allocation length " + Number(c[4]);
    case 0x08:
    case 0x0A:  // READ (6), WRITE (6): 0 blocks means 256
        return Transfer(BigEndian(c, 1, 3) & 0x1FFFFF, c[4] == 0 ? 256 : c[4]);
    case 0x12:
        return (c[1] & 1 ? "VPD page " + Hex2(c[2]) + ", " : std::string()) + "allocation length " +
               Number(BigEndian(c, 3, 2));
    case 0x1A:
        return ModePage(c[2]) + ", allocation length " + Number(c[4]);
    case 0x5A:
        return ModePage(c[2]) + ", allocation length " + Number(BigEndian(c, 7, 2));
    case 0x1B:
        return std::string(c[4] & 1 ? "start" : "stop") + (c[4] & 2 ? ", eject" : "");
    case 0x28:
    case 0x2A:
    case 0x2F:
    case 0x35:
        return Transfer(BigEndian(c, 2, 4), BigEndian(c, 7, 2));
    case 0xA8:
    case 0xAA:
        return Transfer(BigEndian(c, 2, 4), BigEndian(c, 6, 4));
    case 0x88:
    case 0x8A:
    case 0x8F:
    case 0x91:
        return Transfer(BigEndian(c, 2, 8), BigEndian(c, 10, 4));
    case 0x9E:
        if ((c[1] & 0x1F) == 0x10) return "READ CAPACITY (16), allocation length " + Number(BigEndian(c, 10, 4));
        return {};
    case 0xBE:
        return Transfer(BigEndian(c, 2, 4), BigEndian(c, 6, 3));
    default:
        return {};
    }
}

std::vector<std::string> DecodeData(const std::vector<uint8_t>& c, const std::vector<uint8_t>& d) {
    std::vector<std::string> lines;
    if (c.empty()) return lines;
    if (c[0] == 0x12 && !(c.size() > 1 && (c[1] & 1)) && d.size() >= 36) {
        char type[64] = {};
        sg_get_pdt_str(d[0] & 0x1F, sizeof type, type);
        lines.push_back("device type: " + std::string(type) + (d[1] & 0x80 ? ", removable" : ""));
        lines.push_back("vendor: " + Ascii(d, 8, 8) + ", product: " + Ascii(d, 16, 16) +
                        ", revision: " + Ascii(d, 32, 4));
        lines.push_back("version: " + Hex2(d[2]) + ", response data format " + Number(d[3] & 0x0F));
    } else if (c[0] == 0x25 && d.size() >= 8) {
        uint64_t last = BigEndian(d, 0, 4), block = BigEndian(d, 4, 4);
        lines.push_back("last LBA " + Number(last) + ", block length " + Number(block) + ", capacity " +
                        Number((last + 1) * block) + " bytes");
    } else if (c[0] == 0x9E && (c[1] & 0x1F) == 0x10 && d.size() >= 12) {
        uint64_t last = BigEndian(d, 0, 8), block = BigEndian(d, 8, 4);
        lines.push_back("last LBA " + Number(last) + ", block length " + Number(block) + ", capacity " +
                        Number((last + 1) * block) + " bytes");
    } else if ((c[0] == 0x1A && d.size() >= 4) || (c[0] == 0x5A && d.size() >= 8)) {
        bool ten = c[0] == 0x5A;
        size_t header = ten ? 8 : 4;
        uint64_t modeLength = ten ? BigEndian(d, 0, 2) + 2 : d[0] + 1u;
        uint64_t blockDescriptors = ten ? BigEndian(d, 6, 2) : d[3];
        lines.push_back("mode data length " + Number(modeLength) + ", medium type " + Hex2(d[ten ? 2 : 1]) +
                        (d[ten ? 3 : 2] & 0x80 ? ", write protected" : "") + ", block descriptors " +
                        Number(blockDescriptors) + " bytes");
        size_t at = header + blockDescriptors;
        size_t end = std::min<size_t>(d.size(), modeLength);
        while (at + 2 <= end) {
            bool subpage = d[at] & 0x40;
            size_t length = subpage ? (at + 4 <= end ? BigEndian(d, at + 2, 2) + 4 : end) : d[at + 1] + 2u;
            lines.push_back("mode page " + Hex2(d[at] & 0x3F) + (subpage ? " subpage " + Hex2(d[at + 1]) : "") + ", " +
                            Number(length) + " bytes");
            at += length;
        }
    }
    return lines;
}

std::string DecodeSense(const std::vector<uint8_t>& sense) {
    char buffer[2048] = {};
    sg_get_sense_str(nullptr, sense.data(), static_cast<int>(sense.size()), false, sizeof buffer, buffer);
    std::string text = buffer;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    auto flush = [&] {
        if (digits.size() % 2 != 0) return false;
        for (size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
        }
        digits.clear();
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && digits.empty()) {
            ++i;
        } else if (std::isxdigit(static_cast<unsigned char>(ch))) {
            digits += ch;
        } else if (ch == ' ' || ch == ',' || ch == ':' || ch == '\t' || ch == '\n') {
            if (digits.size() == 1) digits.insert(digits.begin(), '0');
            if (!flush()) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (digits.size() == 1) digits.insert(digits.begin(), '0');
    if (!flush() || bytes.empty()) return std::nullopt;
    return bytes;
}

}  // namespace zklog
