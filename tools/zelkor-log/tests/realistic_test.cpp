// Captures as analysts bring them: a viewer log of a busy machine, saved as
// UTF-16, with clock times past midnight or seconds past ten hours; and the
// program's answers and errors on them.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "analyze.h"

namespace zklog::test {
namespace {

std::vector<size_t> Lines(const std::vector<Unreadable>& unreadable) {
    std::vector<size_t> lines;
    for (const Unreadable& problem : unreadable)
        lines.push_back(problem.line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Realistic, ABusyMachinesViewerLogIsPutTogetherOnlyWhereItBelongs) {
    // The same log as UTF-8 and as UTF-16 with its byte-order mark.
    for (const char* name : {"busy.viewer.log", "busy.viewer.utf16.log"}) {
        SCOPED_TRACE(name);
        Analysis busy = AnalyzeFile(name);
        // Other drivers' lines (between stamp and trailer, between trailer and
        // message, between lines) and the line whose trailer cannot be told
        // from them are reported, never joined to a message.
        EXPECT_EQ(Lines(busy.unreadable), (std::vector<size_t>{6, 9, 18, 22, 23, 24, 25}));
        ASSERT_EQ(busy.requests.size(), 4u);
        for (const Request& request : busy.requests) {
            EXPECT_TRUE(request.device == "disk0>" || request.device == "cd0>") << request.device;
        }
        // Timed by the viewer's finer clock across midnight (11:59:59.9952 PM
        // to 12:00:00.0011 AM), not by the stamps' 6 ms, and not by one of each.
        const Request* read = busy.Find("0x8A400040");
        EXPECT_EQ(read->LatencyUs(), 5900);
        EXPECT_EQ(RequestJson(*read)["clock"], "viewer");
        EXPECT_EQ(RequestJson(*read)["start"], "0:00:10.000");
        EXPECT_EQ(HexBytes(read->Bytes("data")).substr(0, 11), "00 00 00 04");
    }
    // Relative seconds past ten hours, UTF-16 big-endian without a mark; no driver stamps.
    Analysis seconds = AnalyzeFile("seconds.viewer.utf16.log");
    EXPECT_TRUE(seconds.unreadable.empty());
    ASSERT_EQ(seconds.requests.size(), 1u);
    nlohmann::ordered_json urb = RequestJson(seconds.requests[0]);
    EXPECT_EQ(urb["start"], "10:00:00.000010");
    EXPECT_EQ(urb["latency_ms"], 2.502);  // to the microsecond
    // The dump stopped at the driver's 2048 bytes of the 4096 moved.
    EXPECT_EQ(urb["transferred"], 4096);
    EXPECT_EQ(urb["detail"], "Buffer: 0x5000, MDL: 0x0, Length: 0x1000, Pipe:0x7000, Flags: 0x3");
    EXPECT_EQ(urb["data_truncated"], true);
    EXPECT_EQ((urb["data"].get<std::string>().size() + 1) / 3, 2048u);
}

struct Output {
    int status = -1;
    std::string out, err;
};

Output Zelkor(const std::string& arguments) {
    // A file of this process's own: the tests run side by side.
    std::string err = testing::TempDir() + "zelkor-log." + std::to_string(getpid()) + ".err";
    std::string command = std::string(ZELKOR_LOG_BINARY) + " " + arguments + " 2>" + err;
    Output result;
    FILE* pipe = popen(command.c_str(), "r");  // NOLINT(cert-env33-c): the tool, as a shell user runs it
    if (!pipe) return result;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(err);
    std::remove(err.c_str());
    return result;
}

std::string Data(const std::string& name) { return std::string(ZELKOR_LOG_DATA) + "/" + name; }

TEST(Realistic, NoSilentEmpties) {
    // Usage errors exit 2 and tell what exists.
    Output kind = Zelkor("requests " + Data("wide.txt") + " --kind reads");
    EXPECT_EQ(kind.status, 2);
    EXPECT_NE(kind.err.find("read, write, srb"), std::string::npos) << kind.err;
    Output device = Zelkor("summary " + Data("wide.txt") + " --device 'usb-storage-1>'");
    EXPECT_EQ(device.status, 2);
    EXPECT_NE(device.err.find("the devices are **, usb-storage-0>"), std::string::npos) << device.err;
    EXPECT_EQ(Zelkor("requests " + Data("wide.txt") + " --from 10:00:01 --to 10:00:00").status, 2);
    EXPECT_EQ(Zelkor("requests " + Data("wide.txt") + " --no-such-option").status, 2);
    EXPECT_EQ(Zelkor("summary").status, 2);
    // Nothing readable: an error, -q or not; -q hides the list, not the count.
    Output nothing = Zelkor("summary -q " + Data("make-captures.sh"));
    EXPECT_NE(nothing.status, 0);
    EXPECT_NE(nothing.err.find("no trace line could be read"), std::string::npos);
    Output quiet = Zelkor("summary -q " + Data("busy.viewer.log"));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_NE(quiet.out.find("4 requests, 7 unreadable lines\n\nDevice"), std::string::npos) << quiet.out;
    Output quietList = Zelkor("requests -q " + Data("busy.viewer.log"));
    EXPECT_EQ(quietList.err, "zelkor-log: " + Data("busy.viewer.log") + ": 7 unreadable lines\n");
}

TEST(Realistic, TheQuestionsAnalystsAsk) {
    // Columns stay aligned with a long trailer and stamps past ten hours.
    Output list = Zelkor("requests " + Data("wide.txt"));
    std::istringstream lines(list.out);
    std::set<size_t> irpColumns;
    for (std::string line; std::getline(lines, line);)
        irpColumns.insert(line.find(" 0x8A4"));
    EXPECT_EQ(irpColumns.size(), 1u) << list.out;
    EXPECT_NE(list.out.find("READ [10] (LBA 4096, blocks 8) -> STATUS_INVALID_DEVICE_REQUEST"), std::string::npos);

    Output slowest = Zelkor("requests " + Data("wide.txt") + " --sort latency --top 2 --csv");
    EXPECT_EQ(slowest.out.substr(0, slowest.out.find('\n')), CsvHeader());
    EXPECT_NE(slowest.out.find("\nusb-storage-0>,0x8A410040,srb,READ [10],28 00"), std::string::npos) << slowest.out;
    EXPECT_NE(slowest.out.find(",40.000,driver,STATUS_INVALID_DEVICE_REQUEST,true,"), std::string::npos) << slowest.out;
    EXPECT_NE(slowest.out.find("\nusb-storage-0>,0x8A410040,srb,MODE SENSE,"), std::string::npos) << slowest.out;

    nlohmann::json summary = nlohmann::json::parse(Zelkor("summary --json " + Data("wide.txt")).out);
    EXPECT_EQ(summary["requests"], 6);
    EXPECT_EQ(summary["devices"][1]["device"], "usb-storage-0>");
    EXPECT_EQ(summary["devices"][1]["latency"]["srb"]["max_ms"], 40.0);
    EXPECT_EQ(summary["devices"][1]["senses"][0]["name"], "Illegal Request: Invalid field in cdb");

    // One IRP, four requests: show asks which, then shows it whole, decoded.
    Output which = Zelkor("show " + Data("wide.txt") + " 0x8A410040");
    EXPECT_EQ(which.status, 2);
    EXPECT_NE(which.err.find("line 12: "), std::string::npos) << which.err;
    Output mode = Zelkor("show " + Data("wide.txt") + " 0x8A410040 12");
    EXPECT_NE(mode.out.find("command: page 0x3F (current values), allocation length 192\n"), std::string::npos)
        << mode.out;
    EXPECT_NE(mode.out.find("data: mode page 0x1C, 8 bytes\n"), std::string::npos) << mode.out;
    EXPECT_NE(mode.out.find("\n        16  10:00:00.009 usb-storage-0> 1C 06 00"), std::string::npos) << mode.out;
    Output inquiry = Zelkor("show " + Data("wide.txt") + " 5");
    EXPECT_NE(inquiry.out.find("data: vendor: Simbus, product: Virtual Disk, revision: 1.00\n"), std::string::npos);
    Output capacity = Zelkor("show " + Data("wide.txt") + " 8");
    EXPECT_NE(capacity.out.find("data: last LBA 4095, block length 512, capacity 2097152 bytes\n"), std::string::npos);
    Output sense = Zelkor("show " + Data("wide.txt") + " 0x8A410040 17");
    EXPECT_NE(sense.out.find("sense: Additional sense: Invalid field in cdb\n"), std::string::npos) << sense.out;
    Output cut = Zelkor("show " + Data("seconds.viewer.utf16.log") + " 0x8A500040");
    EXPECT_NE(cut.out.find("2048 bytes, cut at the driver's limit of 2048 bytes of 4096 moved"), std::string::npos)
        << cut.out;

    Output pasted = Zelkor("sense 72 0B 47 00 00 00 00 00");
    EXPECT_EQ(pasted.status, 0);
    EXPECT_NE(pasted.out.find("Aborted Command"), std::string::npos) << pasted.out;
    EXPECT_NE(pasted.out.find("SCSI parity error"), std::string::npos) << pasted.out;
    EXPECT_EQ(Zelkor("sense 7G").status, 2);
}

// Requests that never complete are kept up to a bound, and a line says when
// the oldest is given up; every request is still written.
TEST(Realistic, ALongCaptureKeepsABoundedNumberOfRequestsUnderWay) {
    std::string capture = testing::TempDir() + "zelkor-log." + std::to_string(getpid()) + ".long.txt";
    {
        std::ofstream out(capture);
        for (uint32_t k = 0; k <= 100; ++k) {
            out << "0:00:01.000 disk0> Irp: " << Hex(0x80000000u + 0x40 * k)
                << " - IRP_MJ_READ: Length: 0x200, Offset: 0x0\n";
        }
    }
    Output json = Zelkor("requests " + capture + " --json --under-way 100");
    std::remove(capture.c_str());
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 101);
    EXPECT_NE(json.err.find("more than 100 requests under way: gave up waiting for the completion of 1 (1 in all)"),
              std::string::npos)
        << json.err;
}

// A live capture on a pipe: a request that needs no completion is printed as
// its line arrives, while the writer keeps the pipe open.
TEST(Realistic, LiveInputPrintsARequestWhenItsLineArrives) {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[1]);
        close(out[0]);
        execl(ZELKOR_LOG_BINARY, "zelkor-log", "requests", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string line = "0:00:01.000 disk0> Irp: 0x8A402040 - IRP_MJ_CREATE.\n";
    ASSERT_EQ(write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    pollfd ready{out[0], POLLIN, 0};
    std::string printed;
    if (poll(&ready, 1, 10000) == 1) {
        char buffer[512];
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0) printed.assign(buffer, static_cast<size_t>(n));
    }
    close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_NE(printed.find("IRP_MJ_CREATE"), std::string::npos) << printed;
}

}  // namespace
}  // namespace zklog::test
