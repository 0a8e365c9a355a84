// zkctl's logic: the control device's requests encoded and decoded, trace
// masks by number or by level names, and the commands of the tool. It knows
// nothing of how a request reaches an instance: the Windows program opens
// \\.\ZelkorN, the simulator sends the same requests to the real driver code
// in the simulated kernel.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zkctl {

// How a request (or the opening of an instance) went, as the tool tells it.
enum class Failure {
    None,
    NoInstance,    // nothing by that name, or its device is gone
    AccessDenied,  // the account may not do this
    Refused,       // the driver refused the request (code says why)
};

struct Reply {
    Failure failure = Failure::None;
    std::string code;             // the system's code for a failure, for messages
    std::vector<uint8_t> output;  // the output buffer, cut to what came back
};

// One open instance: sends IOCTL_ZK_REQUEST with the input and an output
// buffer of outputLength bytes.
class Instance {
public:
    virtual ~Instance() = default;
    virtual Reply Request(const std::vector<uint8_t>& input, size_t outputLength) = 0;
};

// Opens instance N (\\.\ZelkorN); nullptr with *failure when it cannot.
using Opener = std::function<std::unique_ptr<Instance>(unsigned number, Reply* failure)>;

// ---------------------------------------------------------------------------
// The requests, in the in-request form: the data area follows the record.

std::vector<uint8_t> EncodeRequest(unsigned operation, const std::vector<uint8_t>& data = {});
// The output buffer an operation's answer needs.
size_t OutputLength(unsigned operation);

struct DeviceInfo {
    std::string deviceName;
    int32_t storageType = -1;
    std::string lowerDriver;
};
struct Config {
    uint32_t mask = 0;
    std::string trailer;
};

// The longest trailer the driver keeps.
constexpr size_t kMaxTrailer = 99;

// nullopt when the answer is too short or malformed.
std::optional<uint32_t> DecodeVersion(const Reply& reply);
std::optional<DeviceInfo> DecodeDeviceInfo(const Reply& reply);
std::optional<Config> DecodeConfig(const Reply& reply);
// The data of ZK_REQUEST_SET_CONFIG.
std::vector<uint8_t> EncodeConfig(const Config& config);

// ---------------------------------------------------------------------------
// Trace masks: a number, or level names joined by commas (names and numbers
// may mix, names in any case): io, internal (srb), data (dumps), completion
// (sense), pnp, ioctl, unrecognised (unknown), detail, timestamp (time), bus
// (usb), all, none. A bit that no level uses is refused.
std::optional<uint32_t> ParseMask(const std::string& text, std::string* error);
// Every bit a level (or the time stamp) uses.
uint32_t KnownMaskBits();
// "io,internal,..." for the bits set, "none" for 0, unnamed bits in hex.
std::string MaskNames(uint32_t mask);

// ---------------------------------------------------------------------------
// The tool. Exit codes:
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the driver refused, or an answer was malformed
constexpr int kExitBadArgument = 2;
constexpr int kExitNoInstance = 3;
constexpr int kExitAccessDenied = 4;  // needs an elevated prompt
constexpr int kExitNotLoaded = 5;     // no instance at all: the driver is not loaded

struct Result {
    int exitCode = kExitOk;
    std::string out;
    std::string err;
};

// args without the program's name: "list", "info 1 --json", "set 2 --mask
// srb,sense --trailer \"D1: \"", ...
Result Run(const std::vector<std::string>& args, const Opener& open);
// The same, with the machine the installation commands work on (attach,
// detach, classes, devices, status, debug-output); without one they say that
// they work on Windows only.
class Machine;
Result Run(const std::vector<std::string>& args, const Opener& open, Machine* machine);

// Instances looked for by list and version: Zelkor1 to ZelkorN.
constexpr unsigned kHighestInstance = 64;

std::string Usage();

// A text as a JSON string, quotes included. Texts from the driver are in the
// ANSI code page (JsonText); the machine's (device IDs, descriptions) are
// UTF-8 already (JsonUtf8). JSON is UTF-8.
std::string JsonText(const std::string& text);
std::string JsonUtf8(const std::string& text);
// A JSON array of the texts, each as JsonUtf8 gives it.
std::string JsonList(const std::vector<std::string>& items);
// The ANSI code page's text as UTF-8. Windows 1252 unless the program sets
// the machine's own (the Windows program does).
using AnsiToUtf8 = std::string (*)(const std::string& text);
void SetAnsiCodePage(AnsiToUtf8 convert);
std::string Windows1252ToUtf8(const std::string& text);

// The tool's version, the same as the driver's and the INF's DriverVer.
std::string ToolVersion();

// Case-insensitive comparison of ASCII words.
bool SameWord(const std::string& a, const std::string& b);
std::string Lower(std::string word);

}  // namespace zkctl
