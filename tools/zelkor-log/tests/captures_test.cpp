// The story scenario (data/story.scn) captured three ways: what zelkor-log
// makes of it must be what the scenario did.
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "analyze.h"
#include "pcap.h"
#include "request_json.h"

namespace zklog::test {
namespace {

// The fields that the README documents for a request object and its sense
// object, in order.
std::pair<std::vector<std::string>, std::vector<std::string>> DocumentedFields() {
    std::istringstream readme(ReadFile(std::string(ZELKOR_LOG_DATA) + "/../../README.md"));
    std::vector<std::string> fields, sense;
    std::vector<std::string>* table = nullptr;
    std::string line;
    std::regex name("`([a-z_]+)`");
    while (std::getline(readme, line)) {
        if (line.starts_with("## ")) table = line == "## JSON fields" ? &fields : nullptr;
        if (line == "`sense`:") table = &sense;
        if (!table || !line.starts_with("| `")) continue;
        std::string cell = line.substr(1, line.find('|', 1) - 1);
        for (std::sregex_iterator it(cell.begin(), cell.end(), name), end; it != end; ++it) {
            table->push_back((*it)[1]);
        }
    }
    return {fields, sense};
}

std::vector<std::string> Keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

size_t ByteCount(const nlohmann::ordered_json& bytes) { return (bytes.get<std::string>().size() + 1) / 3; }

// The summary of a capture with one unreadable line, less that line.
std::string SummaryWithout(const Analysis& analysis, size_t line, const std::string& text) {
    EXPECT_EQ(analysis.unreadable.size(), 1u);
    if (analysis.unreadable.size() != 1) return {};
    EXPECT_EQ(analysis.unreadable[0].line, line);
    EXPECT_EQ(analysis.unreadable[0].text, text);
    std::string summary = analysis.Summary();
    size_t header = summary.find(" 1 unreadable lines\n");
    EXPECT_NE(header, std::string::npos);
    if (header == std::string::npos) return {};
    summary.replace(header, summary.find('\n', header + 20) + 1 - header, " 0 unreadable lines\n");
    return summary;
}

TEST(Captures, EveryFormatTellsTheStoryOfTheScenario) {
    const std::string expected = ReadFile(std::string(ZELKOR_LOG_DATA) + "/story.summary");
    EXPECT_EQ(AnalyzeFile("story.txt").Summary(), expected);
    // The debugger's own line is reported by its number, its prompts are not.
    EXPECT_EQ(SummaryWithout(AnalyzeFile("story.debugger.log"), 22,
                             "Break instruction exception - code 80000003 (first chance)"),
              expected);
    // Pieces of one DbgPrint call each, put together again (the viewer's own
    // clock runs 3 s ahead: its time, finer, times the requests); the trailer
    // piece that lost its message is reported, and its line keeps its stamp.
    std::string viewer = SummaryWithout(AnalyzeFile("story.viewer.log"), 49, "cd0> ");
    for (size_t at; (at = viewer.find("the viewer's clock")) != std::string::npos;) {
        viewer.replace(at, 18, "the driver's stamps");
    }
    EXPECT_EQ(viewer, expected);
}

TEST(Captures, WithoutTheDriversStampsTheViewersClockTimesRequests) {
    Analysis viewer = AnalyzeText(
        "1\t22:13:39.100\tusb> \n"
        "2\t22:13:39.100\tIrp: 0x8A400040 - IRP_MJ_READ: Length: 0x200, Offset: 0x0\n"
        "3\t22:13:39.100\tusb> \n"
        "4\t22:13:39.100\tIrp: 0x8A402040 - IRP_MJ_CREATE.\n"
        "5\t22:13:39.125\tusb> \n"
        "6\t22:13:39.1255\tIrp: 0x8A400040 - completed with Status: STATUS_SUCCESS.\n");
    ASSERT_TRUE(viewer.unreadable.empty());
    ASSERT_EQ(viewer.requests.size(), 2u);
    EXPECT_EQ(viewer.requests[0].device, "usb>");
    EXPECT_EQ(viewer.requests[0].LatencyUs(), 25500);
    EXPECT_EQ(RequestJson(viewer.requests[0])["end"], "22:13:39.125500");
}

TEST(Captures, RequestsAsJsonSayWhatTheDevicesDid) {
    Analysis story = AnalyzeFile("story.txt");
    ASSERT_TRUE(story.unreadable.empty());
    auto [fields, senseFields] = DocumentedFields();
    ASSERT_EQ(fields.size(), 29u);
    for (const Request& request : story.requests) {
        nlohmann::ordered_json json = RequestJson(request);
        EXPECT_EQ(Keys(json), fields) << json.dump();
        if (!json["sense"].is_null()) EXPECT_EQ(Keys(json["sense"]), senseFields) << json.dump();
        std::string line;  // the fast writer the command uses, byte for byte the same
        AppendRequestJson(line, request);
        EXPECT_EQ(line, json.dump());
    }

    // The unreadable sector: a code the driver calls unknown, named from the sense bytes.
    nlohmann::ordered_json bad = RequestJson(*story.Find("0x8A414040"));
    EXPECT_EQ(bad["kind"], "srb");
    EXPECT_EQ(bad["name"], "READ [10]");
    EXPECT_EQ(bad["cdb"], "28 00 00 00 00 02 00 00 01 00 00 00 00 00 00 00");
    EXPECT_EQ(bad["start"], "0:01:00.011");
    EXPECT_EQ(bad["end"], "0:01:00.052");
    EXPECT_EQ(bad["latency_ms"], 41.0);
    EXPECT_EQ(bad["status_value"], "0xC0000185");
    EXPECT_EQ(bad["failed"], true);
    EXPECT_EQ(bad["scsi_status"], "SCSISTAT_CHECK_CONDITION");
    EXPECT_EQ(bad["sense"]["driver_text"], "unknown SenseCode 0x03 0x11 0x00 -> 0x031100");
    EXPECT_EQ(bad["sense"]["key_name"], "Medium Error");
    EXPECT_EQ(bad["sense"]["asc"], "11");
    EXPECT_EQ(bad["sense"]["asc_ascq_name"], "Unrecovered read error");
    EXPECT_EQ(bad["sense"]["from"], "bytes");
    EXPECT_EQ(bad["data"], nullptr);

    // Block 4 as it came back, all 512 bytes of it.
    nlohmann::ordered_json block = RequestJson(*story.Find("0x8A410040"));
    EXPECT_EQ(ByteCount(block["data"]), 512u);
    EXPECT_EQ(block["data"].get<std::string>().substr(0, 23), "00 00 00 04 5A 45 4C 4B");
    EXPECT_EQ(block["transferred"], 512);

    // Written data that reads like trace lines stays the write's data.
    nlohmann::ordered_json write = RequestJson(*story.Find("0x8A416040"));
    EXPECT_EQ(write["name"], "WRITE [10]");
    EXPECT_EQ(ByteCount(write["data"]), 512u);
    EXPECT_EQ(write["data"].get<std::string>().substr(0, 23), "49 72 70 3A 20 30 78 38");  // "Irp: 0x8"

    // The plain read that timed out.
    nlohmann::ordered_json timeout = RequestJson(*story.Find("0x8A424040"));
    EXPECT_EQ(timeout["kind"], "read");
    EXPECT_EQ(timeout["offset"], 0xA00);
    EXPECT_EQ(timeout["status"], "STATUS_IO_TIMEOUT");
    EXPECT_EQ(timeout["latency_ms"], 250.0);

    // Passed down without a completion routine: no completion to wait for.
    nlohmann::ordered_json create = RequestJson(*story.Find("0x8A41E040"));
    EXPECT_EQ(create["kind"], "plain");
    EXPECT_EQ(create["completed"], false);
    EXPECT_EQ(create["failed"], false);
}

TEST(Captures, FiltersPickDeviceKindFailuresAndTime) {
    Analysis story = AnalyzeFile("story.txt");
    auto count = [&](const Filter& filter) {
        return std::count_if(story.requests.begin(), story.requests.end(),
                             [&](const Request& request) { return filter.Accepts(request); });
    };
    EXPECT_EQ(count(Filter{{"cd0>"}, {}, true, {}, {}}), 2);
    EXPECT_EQ(count(Filter{{}, {"read"}, false, {}, {}}), 2);
    EXPECT_EQ(count(Filter{{}, {}, false, ParseTime("0:01:05.000"), ParseTime("65.999")}), 3);
    EXPECT_EQ(count(Filter{{"disk0>", "cd0>"}, {"srb", "read"}, true, {}, ParseTime("0:01:06")}), 4);
}

// Runs zelkor-log with a shell command line; its standard output and error, and its exit status.
std::pair<std::string, int> RunZelkorLog(const std::string& arguments) {
    // NOLINTNEXTLINE(cert-env33-c): the tool, as a shell user runs it.
    FILE* pipe = popen((std::string(ZELKOR_LOG_BINARY) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {"", -1};
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Captures, TheProgramFollowsStandardInput) {
    auto [output, status] =
        RunZelkorLog("requests - --json --kind srb -q < " + std::string(ZELKOR_LOG_DATA) + "/story.viewer.log");
    EXPECT_EQ(status, 0);
    std::istringstream lines(output);
    std::string line;
    std::vector<std::string> irps;
    while (std::getline(lines, line))  // the JSON lines; standard error's lines are mixed in
        if (line.starts_with("{")) irps.push_back(nlohmann::ordered_json::parse(line)["irp"]);
    EXPECT_EQ(irps.size(), 8u);
    EXPECT_NE(RunZelkorLog("summary /nonexistent").second, 0);
}

// The detail-level golden capture of three devices, stamped in microseconds:
// each device is told by its trailer, each stamp read to the microsecond,
// each URB one request though its detail lines repeat its address;
// exported from standard input with a device and a kind filter, the mouse's
// interrupt transfers alone remain, as device 1.
TEST(Captures, UsbAtTheDetailLevelAndItsExport) {
    const std::string golden = std::string(ZELKOR_LOG_DATA) + "/../../../../tests/golden/usb-wireshark.expected";
    std::ifstream in(golden, std::ios::binary);
    Analysis usb = Analyze(in);
    std::set<std::string> devices;
    for (const Request& request : usb.requests)
        devices.insert(request.device);
    EXPECT_EQ(devices, (std::set<std::string>{"stick>", "mouse>", "cam>"}));
    EXPECT_EQ(usb.requests.size(), 35u);
    for (const Request& request : usb.requests) {
        EXPECT_TRUE(request.completed && !request.superseded) << Hex(request.irp);
    }
    ASSERT_NE(usb.Find("0x8A414040"), nullptr);  // the READ CAPACITY command wrapper
    EXPECT_EQ(usb.Find("0x8A414040")->startUs, 10000410);
    EXPECT_EQ(HexBytes(usb.Find("0x8A416040")->Bytes("data")), "00 00 00 3F 00 00 02 00");  // dumped once
    const Request* stall = usb.Find("0x8A40A040");  // a descriptor the stick has not: completed by the detail line
    EXPECT_EQ(stall->status, "STATUS_UNSUCCESSFUL");
    EXPECT_EQ(RequestJson(*stall)["usbd_status"], "USBD_STATUS_STALL_PID");
    EXPECT_EQ(stall->notes.size(), 1u);                            // the setup packet
    EXPECT_EQ(usb.Find("0x8A460040")->Bytes("data").size(), 36u);  // three isochronous packets

    const std::string out = std::string(ZELKOR_LOG_BINARY_DIR) + "/mouse.pcapng";
    auto [told, status] = RunZelkorLog("pcap - -o " + out + " --device 'mouse>' --kind interrupt < " + golden);
    EXPECT_EQ(status, 0);
    EXPECT_NE(told.find("4 USB packets of 1 devices written"), std::string::npos) << told;
    const std::string file = ReadFile(out);
    size_t packets = 0;
    auto at = [&](size_t offset, int bytes) {
        uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = value << 8 | static_cast<uint8_t>(file[offset + i]);
        return value;
    };
    for (size_t block = 0; block + 12 <= file.size(); block += at(block + 4, 4)) {
        if (at(block, 4) != 6) continue;
        ++packets;
        size_t packet = block + 28;
        EXPECT_EQ(at(packet + 19, 2), 1u);     // device
        EXPECT_EQ(at(packet + 21, 1), 0x81u);  // endpoint
        EXPECT_EQ(at(packet + 22, 1), 1u);     // interrupt
    }
    EXPECT_EQ(packets, 4u);

    // Other traffic is counted by kind; an unknown kind is a usage error.
    auto [story, none] = RunZelkorLog("pcap " + std::string(ZELKOR_LOG_DATA) + "/story.txt -o " + out);
    EXPECT_EQ(none, 1);
    EXPECT_NE(story.find("0 USB packets of 0 devices written to " + out +
                         "; 17 requests of other traffic left out (plain 2, pnp 4, power 1, read 2, srb 8)"),
              std::string::npos)
        << story;
    EXPECT_EQ(RunZelkorLog("pcap - -o " + out + " --kind srb < " + golden).second, 2);
    // The mouse at 0x002: only its reads' completions, on a pipe nothing in the capture tells.
    auto [mouse, done] = RunZelkorLog("pcap " + golden.substr(0, golden.rfind('/')) + "/usb-mouse.expected -o " + out);
    EXPECT_EQ(done, 0);
    EXPECT_NE(mouse.find("\nzelkor-log: 3 transfers on pipes that no selection nor configuration descriptor"),
              std::string::npos)
        << mouse;

    // An isochronous packet whose offset lies past any buffer keeps its table entry, not its data.
    PcapExport exporter;
    CaptureReader reader(
        Format::Plain, [&](const TraceLine& line) { exporter.Add(line); }, [](const Unreadable&) {});
    std::istringstream corrupt(
        "** Irp: 0x8A440040 - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_ISOCH_TRANSFER - PipeHandle: 0x8A7D0100, "
        "TransferFlags: 0x7, StartFrame: 0x0, NumberOfPackets: 0x1.\n"
        "** ZK_CompletionRoutineUrbDetail: Irp: 0x8A440040 - IOCTL_INTERNAL_USB_SUBMIT_URB - "
        "URB_FUNCTION_ISOCH_TRANSFER"
        " - IsoPacket: 0, Offset: 0xFFFFFF00, Length: 0x4, UsbdStatus: USBD_STATUS_SUCCESS.\n"
        "** 02 80 00 01                                       ....            \n");
    reader.Read(corrupt);
    reader.Finish();
    std::ostringstream written;
    exporter.Write(written);
    EXPECT_EQ(exporter.stats().packets, 2u);
    EXPECT_LT(written.str().size(), 4096u);
}

}  // namespace
}  // namespace zklog::test
