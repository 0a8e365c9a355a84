// The result and command decoders against the texts the trace format
// promises. The expected texts are written out here on their own, not taken
// from the driver's tables, so a slip in either shows up as a mismatch.
#include "trace/decode.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace {

struct Row {
    uint32_t code;
    const char* text;
};

using Names = std::map<uint32_t, std::string>;

Names ToMap(const std::vector<Row>& rows) {
    Names names;
    for (const Row& row : rows)
        names.emplace(row.code, row.text);
    return names;
}

std::string Format(const char* format, unsigned value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Runs a decoder into a buffer of the size callers reserve and returns its
// text, checking that it wrote one NUL-terminated text no longer than its
// promised size (NUL included) and nothing after that NUL.
std::string Decoded(const std::function<void(PCHAR)>& decode, size_t promisedSize) {
    constexpr unsigned char kUntouched = 0xA5;
    char buffer[ZK_NAME_BUFFER];
    std::memset(buffer, kUntouched, sizeof buffer);
    decode(buffer);
    const void* nul = std::memchr(buffer, '\0', sizeof buffer);
    if (nul == nullptr) {
        ADD_FAILURE() << "no NUL within " << sizeof buffer << " bytes";
        return {};
    }
    const size_t length = static_cast<size_t>(static_cast<const char*>(nul) - buffer);
    EXPECT_LE(length + 1, promisedSize) << buffer;
    for (size_t i = length + 1; i < sizeof buffer; ++i) {
        if (static_cast<unsigned char>(buffer[i]) != kUntouched) {
            ADD_FAILURE() << "byte " << i << " written after the NUL of \"" << buffer << "\"";
            break;
        }
    }
    return std::string(buffer, length);
}

std::string StatusName(uint32_t v) {
    return Decoded([&](PCHAR b) { ZK_StatusName(static_cast<NTSTATUS>(v), b); }, 29);
}
std::string SrbFunctionName(uint32_t v) {
    return Decoded([&](PCHAR b) { ZK_SrbFunctionName(v, b); }, 26);
}
std::string SrbStatusName(uint32_t v) {
    return Decoded([&](PCHAR b) { ZK_SrbStatusName(v, b); }, 87);
}
std::string ScsiStatusName(uint32_t v) {
    return Decoded([&](PCHAR b) { ZK_ScsiStatusName(v, b); }, 31);
}

// Bytes that end right where the guard page of a simulated buffer begins,
// so that a decoder reading one byte more than it may faults.
class EdgeBuffer {
public:
    explicit EdgeBuffer(const std::vector<UCHAR>& bytes)
        : buffer_(sim::AllocateBuffer(bytes.size(), sim::kPageSize - bytes.size())) {
        std::memcpy(buffer_.address, bytes.data(), bytes.size());
    }
    ~EdgeBuffer() { sim::FreeBuffer(buffer_); }
    EdgeBuffer(const EdgeBuffer&) = delete;
    EdgeBuffer& operator=(const EdgeBuffer&) = delete;
    UCHAR* get() const { return buffer_.address; }

private:
    sim::SimBuffer buffer_;
};

std::string SenseName(PVOID sense) {
    return Decoded([&](PCHAR b) { ZK_SenseCodeName(sense, b); }, 55);
}

// Fixed-format sense data cut after ASCQ, the last byte the decoder may read.
std::string SenseName(UCHAR key, UCHAR asc, UCHAR ascq, UCHAR responseCode = 0x70) {
    std::vector<UCHAR> bytes(14);
    bytes[0] = responseCode;
    bytes[2] = key;
    bytes[7] = 0x0A;  // the additional length of a full fixed-format block
    bytes[12] = asc;
    bytes[13] = ascq;
    EdgeBuffer sense(bytes);
    return SenseName(sense.get());
}

std::string BadSenseText(const void* address) {
    char text[64];
    std::snprintf(text, sizeof text, "Bad sense buffer 0x%016" PRIX64,
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

std::string CdbName(const std::vector<UCHAR>& bytes) {
    EdgeBuffer cdb(bytes);
    return Decoded([&](PCHAR b) { ZK_CdbName(cdb.get(), b); }, 29);
}

const std::vector<Row> kStatusNames = {
    {0x0, "STATUS_SUCCESS"},
    {0x103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC00000AF, "STATUS_ILLEGAL_FUNCTION"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
};

const std::vector<Row> kSrbFunctionNames = {
    {0x00, "SRB_FUNCTION_EXECUTE_SCSI"}, {0x01, "SRB_FUNCTION_CLAIM_DEVICE"}, {0x12, "SRB_FUNCTION_RESET_BUS"},
    {0x15, "SRB_FUNCTION_FLUSH_QUEUE"},  {0x18, "SRB_FUNCTION_LOCK_QUEUE"},   {0x19, "SRB_FUNCTION_UNLOCK_QUEUE"},
};

const std::vector<Row> kSrbStatusBaseNames = {
    {0x00, "SRB_STATUS_PENDING"},
    {0x01, "SRB_STATUS_SUCCESS"},
    {0x02, "SRB_STATUS_ABORTED"},
    {0x04, "SRB_STATUS_ERROR"},
    {0x09, "SRB_STATUS_TIMEOUT"},
    {0x0E, "SRB_STATUS_BUS_RESET"},
    {0x10, "SRB_STATUS_REQUEST_SENSE_FAILED"},
    {0x12, "SRB_STATUS_DATA_OVERRUN"},
    {0x16, "SRB_STATUS_REQUEST_FLUSHED"},
};

const std::vector<Row> kScsiStatusNames = {
    {0x00, "SCSISTAT_GOOD"},
    {0x02, "SCSISTAT_CHECK_CONDITION"},
    {0x04, "SCSISTAT_CONDITION_MET"},
    {0x08, "SCSISTAT_BUSY"},
    {0x10, "SCSISTAT_INTERMEDIATE"},
    {0x14, "SCSISTAT_INTERMEDIATE_COND_MET"},
    {0x18, "SCSISTAT_RESERVATION_CONFLICT"},
    {0x22, "SCSISTAT_COMMAND_TERMINATED"},
    {0x28, "SCSISTAT_QUEUE_FULL"},
};

const std::vector<Row> kCdbNames = {
    {0x00, "TEST UNIT READY"},
    {0x01, "REZERO UNIT"},
    {0x03, "REQUEST SENSE"},
    {0x08, "READ [Tape]"},
    {0x11, "SPACE"},
    {0x12, "INQUIRY"},
    {0x1A, "MODE SENSE [6]"},
    {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT/ALLOW MEDIUM REMOVAL"},
    {0x25, "READ CD-ROM CAPACITY"},
    {0x28, "READ [10]"},
    {0x2A, "WRITE [10]"},
    {0x2B, "SEEK"},
    {0x42, "READ SUB-CHANNEL"},
    {0x43, "READ TOC"},
    {0x44, "READ HEADER"},
    {0x45, "PLAY AUDIO"},
    {0x46, "GET CONFIGURATION"},
    {0x47, "PLAY AUDIO MSF"},
    {0x4A, "GET EVENT NOTIFICATION"},
    {0x4B, "PAUSE/RESUME"},
    {0x4E, "STOP PLAY / SCAN"},
    {0x55, "MODE SELECT [10]"},
    {0x5A, "MODE SENSE [10]"},
    {0xA6, "LOAD/UNLOAD CD"},
    {0xA8, "READ [12]"},
    {0xAD, "READ DVD STRUCTURE"},
    {0xB9, "READ CD MSF"},
    {0xBA, "SCAN"},
    {0xBB, "SET CD SPEED"},
    {0xBC, "PLAY CD"},
    {0xBD, "MECHANISM STATUS"},
    {0xBE, "READ CD"},
};

// Bits above the low byte that a caller may leave in a widened argument.
constexpr uint32_t kHighJunk = 0xABCDEF00;

TEST(StatusName, KnownCodesAndHexFallback) {
    std::vector<Row> cases = kStatusNames;
    cases.insert(cases.end(), {
                                  {0x1, "0x1"},
                                  {0x102, "0x102"},
                                  {0xC0000010, "0xC0000010"},
                                  {0x80000006, "0x80000006"},
                                  {0xFFFFFFFF, "0xFFFFFFFF"},
                              });
    for (const Row& c : cases)
        EXPECT_EQ(StatusName(c.code), c.text) << std::hex << c.code;
}

// The byte decoders are walked over every byte value: a row the driver has
// and the trace format lacks shows up as a wrong fallback.
TEST(SrbFunctionName, EveryByteIgnoringHighBits) {
    const Names names = ToMap(kSrbFunctionNames);
    for (uint32_t v = 0; v <= 0xFF; ++v) {
        const auto row = names.find(v);
        const std::string expected = row != names.end() ? row->second : Format("0x%X", v);
        EXPECT_EQ(SrbFunctionName(v), expected) << std::hex << v;
        EXPECT_EQ(SrbFunctionName(v | kHighJunk), expected) << std::hex << v;
    }
    EXPECT_EQ(SrbFunctionName(0x20), "0x20");
}

TEST(ScsiStatusName, EveryByteIgnoringHighBits) {
    const Names names = ToMap(kScsiStatusNames);
    for (uint32_t v = 0; v <= 0xFF; ++v) {
        const auto row = names.find(v);
        const std::string expected = row != names.end() ? row->second : Format("unknown 0x%X", v);
        EXPECT_EQ(ScsiStatusName(v), expected) << std::hex << v;
        EXPECT_EQ(ScsiStatusName(v | kHighJunk), expected) << std::hex << v;
    }
    EXPECT_EQ(ScsiStatusName(0x02), "SCSISTAT_CHECK_CONDITION");
    EXPECT_EQ(ScsiStatusName(0x30), "unknown 0x30");
}

TEST(SrbStatusName, EveryByteWithFlagSuffixesInOrder) {
    const Names names = ToMap(kSrbStatusBaseNames);
    for (uint32_t v = 0; v <= 0xFF; ++v) {
        const auto row = names.find(v & 0x3F);
        std::string expected = row != names.end() ? row->second : Format("0x%X", v);
        if (v & 0x40) expected += " | SRB_STATUS_QUEUE_FROZEN";
        if (v & 0x80) expected += " | SRB_STATUS_AUTOSENSE_VALID";
        EXPECT_EQ(SrbStatusName(v), expected) << std::hex << v;
        EXPECT_EQ(SrbStatusName(v | kHighJunk), expected) << std::hex << v;
    }
}

TEST(SrbStatusName, SpelledOutCases) {
    const std::vector<Row> cases = {
        {0x01, "SRB_STATUS_SUCCESS"},
        {0x84, "SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID"},
        {0xC4, "SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID"},
        {0x43, "0x43 | SRB_STATUS_QUEUE_FROZEN"},
        {0xBF, "0xBF | SRB_STATUS_AUTOSENSE_VALID"},
        // The longest text any decoder writes: 86 characters and the NUL.
        {0xD0, "SRB_STATUS_REQUEST_SENSE_FAILED | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID"},
    };
    for (const Row& c : cases)
        EXPECT_EQ(SrbStatusName(c.code), c.text) << std::hex << c.code;
}

TEST(SenseCodeName, KnownCodes) {
    struct Case {
        UCHAR key, asc, ascq;
        const char* text;
    };
    const std::vector<Case> cases = {
        {0x00, 0x00, 0x00, "READY"},
        {0x02, 0x04, 0x01, "LOGICAL UNIT NOT READY - IN PROGESS OF BECOMING READY"},
        {0x02, 0x3A, 0x00, "MEDIUM NOT PRESENT"},
        {0x02, 0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
        {0x05, 0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
        {0x05, 0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {0x05, 0x24, 0x00, "INVALID FIELD IN CDB"},
        {0x05, 0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
        {0x05, 0x26, 0x01, "PARAMETER NOT SUPPORTED"},
        {0x05, 0x26, 0x02, "PARAMETER VALUE INVALID"},
        {0x06, 0x00, 0x00, "READY"},
        {0x06, 0x28, 0x00, "NOT READY TO READY TRANSITION, MEDIUM MAY HAVE CHANGED"},
        {0x06, 0x29, 0x00, "POWER ON, RESET OR BUS DEVICE RESET OCCURED"},
        {0x06, 0x29, 0x01, "POWER ON OCCURRED"},
        {0x06, 0x2E, 0x00, "INSUFFICIENT TIME FOR OPERATION"},
        {0x08, 0x00, 0x00, "BLANK CHECK."},
        {0x08, 0x00, 0x05, "NO DATA DETECTED"},
        {0x80, 0x00, 0x01, "FILEMARK DETECTED"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SenseName(c.key, c.asc, c.ascq), c.text) << std::hex << +c.key << " " << +c.asc << " " << +c.ascq;
}

// The key byte is compared whole: ILI, EOM or FILEMARK beside a known key
// must not borrow that key's text.
TEST(SenseCodeName, FlagBitsInKeyByteAreNotMasked) {
    EXPECT_EQ(SenseName(0x25, 0x24, 0x00), "unknown SenseCode 0x25 0x24 0x00 -> 0x252400");
    EXPECT_EQ(SenseName(0x46, 0x28, 0x00), "unknown SenseCode 0x46 0x28 0x00 -> 0x462800");
    EXPECT_EQ(SenseName(0x80, 0x00, 0x00), "unknown SenseCode 0x80 0x00 0x00 -> 0x800000");
    EXPECT_EQ(SenseName(0x00, 0x01, 0x02), "unknown SenseCode 0x00 0x01 0x02 -> 0x000102");
    EXPECT_EQ(SenseName(0xFF, 0xFF, 0xFF), "unknown SenseCode 0xFF 0xFF 0xFF -> 0xFFFFFF");
}

TEST(SenseCodeName, ResponseCodeIsNotConsulted) {
    EXPECT_EQ(SenseName(0x00, 0x00, 0x00, 0x00), "READY");  // all zeroes
    EXPECT_EQ(SenseName(0x06, 0x28, 0x00, 0x72), "NOT READY TO READY TRANSITION, MEDIUM MAY HAVE CHANGED");
}

TEST(SenseCodeName, InvalidBufferPrintsFullWidthAddress) {
    EXPECT_EQ(SenseName(reinterpret_cast<PVOID>(0x10)), "Bad sense buffer 0x0000000000000010");
    EXPECT_EQ(SenseName(nullptr), "Bad sense buffer 0x0000000000000000");
    const void* kernel = sim::InvalidKernelAddress();
    EXPECT_EQ(SenseName(const_cast<void*>(kernel)), BadSenseText(kernel));
}

// A completion routine at DISPATCH_LEVEL may be handed a sense buffer that
// was freed or paged out; touching it there would bug check.
TEST(SenseCodeName, StaleBufferAtDispatchIsNotTouched) {
    EdgeBuffer freed(std::vector<UCHAR>(18));
    EdgeBuffer pagedOut(std::vector<UCHAR>(18));
    sim::InvalidatePage(freed.get());
    sim::PageOut(pagedOut.get());
    sim::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(SenseName(freed.get()), BadSenseText(freed.get()));
    EXPECT_EQ(SenseName(pagedOut.get()), BadSenseText(pagedOut.get()));
}

// Every opcode but 0xCC is decoded from a one-byte CDB, so a decoder that
// peeks further than the operation code faults.
TEST(CdbName, OrdinaryOpcodeReadsOnlyByteZero) {
    const Names names = ToMap(kCdbNames);
    for (uint32_t op = 0; op <= 0xFF; ++op) {
        if (op == 0xCC) continue;
        const auto row = names.find(op);
        const std::string expected = row != names.end() ? row->second : "unknown command";
        EXPECT_EQ(CdbName({static_cast<UCHAR>(op)}), expected) << std::hex << op;
    }
    EXPECT_EQ(CdbName({0x88}), "unknown command");
}

TEST(CdbName, AtaPassThroughCarriesCommandByte) {
    // Nine bytes exactly; bytes 1 to 7 are noise that must not show.
    const auto ata = [](UCHAR command) { return CdbName({0xCC, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, command}); };
    EXPECT_EQ(ata(0xEC), "ATA PASSTHROUGH 0xEC");
    EXPECT_EQ(ata(0x05), "ATA PASSTHROUGH 0x05");
    EXPECT_EQ(ata(0x00), "ATA PASSTHROUGH 0x00");
}

}  // namespace
