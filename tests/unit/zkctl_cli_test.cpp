// zkctl's command line as a Windows user types it, against one made-up
// instance: the help forms, any case, short options, the limits of a mask and
// a trailer, and JSON that stays UTF-8 whatever the trailer's code page.
#include <gtest/gtest.h>

#include "ioctl/request.h"
#include "tools/zkctl/zkctl.h"

namespace {

// An instance that answers get with its configuration and takes set.
class FakeInstance : public zkctl::Instance {
public:
    explicit FakeInstance(zkctl::Config* config) : config_(config) {}
    zkctl::Reply Request(const std::vector<uint8_t>& input, size_t outputLength) override {
        zkctl::Reply reply;
        reply.output.assign(input.begin(), input.begin() + ZK_REQUEST_SIZE);
        const unsigned operation = input[ZK_REQUEST_OPERATION_OFFSET];
        if (operation == ZK_REQUEST_SET_CONFIG) {
            config_->mask = input[12] | input[13] << 8 | input[14] << 16 | static_cast<uint32_t>(input[15]) << 24;
            config_->trailer = reinterpret_cast<const char*>(&input[16]);
            ++sets;
        } else if (operation == ZK_REQUEST_GET_CONFIG) {
            const auto data = zkctl::EncodeConfig(*config_);
            reply.output.insert(reply.output.end(), data.begin(), data.end());
        }
        reply.output.resize(outputLength);
        return reply;
    }
    static inline int sets = 0;

private:
    zkctl::Config* config_;
};

struct Tool {
    zkctl::Config config{0x10, "** "};
    bool present = true;
    zkctl::Result operator()(std::vector<std::string> args) {
        return zkctl::Run(args, [this](unsigned number, zkctl::Reply* failure) -> std::unique_ptr<zkctl::Instance> {
            if (number == 1 && present) return std::make_unique<FakeInstance>(&config);
            failure->failure = zkctl::Failure::NoInstance;
            failure->code = "error 2";
            return nullptr;
        });
    }
};

TEST(ZkctlCommandLine, HelpFormsCaseAndShortOptions) {
    Tool zkctl;
    for (const char* help : {"-?", "/?", "help", "--HELP", "-h"}) {
        const zkctl::Result result = zkctl({help});
        EXPECT_EQ(result.exitCode, zkctl::kExitOk) << help;
        EXPECT_EQ(result.out, zkctl::Usage()) << help;
    }
    EXPECT_EQ(zkctl({"SET", "zelkor1", "--MASK", "IO,Pnp", "-T", "a> "}).exitCode, zkctl::kExitOk);
    EXPECT_EQ(zkctl.config.mask, 0x11u);
    EXPECT_EQ(zkctl({"Get", "1", "-J"}).out,
              "{\"instance\": 1, \"mask\": 17, \"levels\": \"io,pnp\", \"trailer\": \"a> \"}\n");
    // 'all' is the nine standard bits; the bus detail level goes by name.
    EXPECT_EQ(zkctl({"set", "1", "-m", "ALL"}).exitCode, zkctl::kExitOk);
    EXPECT_EQ(zkctl.config.mask, 0x1FFu);
    EXPECT_EQ(zkctl({"set", "1", "-m", "internal,BUS"}).exitCode, zkctl::kExitOk);
    EXPECT_EQ(zkctl.config.mask, 0x202u);
    EXPECT_EQ(zkctl({"get", "1"}).out.find("internal,bus") != std::string::npos, true);
}

TEST(ZkctlCommandLine, RefusesWhatTheDriverWouldNotKeep) {
    Tool zkctl;
    const int setsBefore = FakeInstance::sets;
    // A bit no level uses, alone or beside known ones.
    for (const char* mask : {"0x400", "0x7FF", "io,1024"}) {
        const zkctl::Result result = zkctl({"set", "1", "--mask", mask});
        EXPECT_EQ(result.exitCode, zkctl::kExitBadArgument) << mask;
        EXPECT_NE(result.err.find("0x400, which no trace level uses"), std::string::npos) << result.err;
    }
    // 99 characters are kept; 100 are refused, and the message says so.
    EXPECT_EQ(zkctl({"set", "1", "--trailer", std::string(99, 'x')}).exitCode, zkctl::kExitOk);
    const zkctl::Result longer = zkctl({"set", "1", "--trailer", std::string(100, 'y')});
    EXPECT_EQ(longer.exitCode, zkctl::kExitBadArgument);
    EXPECT_NE(longer.err.find("has 100 characters, more than the 99 the driver holds: refused"), std::string::npos);
    EXPECT_EQ(zkctl.config.trailer, std::string(99, 'x'));
    EXPECT_EQ(FakeInstance::sets, setsBefore + 1);
}

TEST(ZkctlCommandLine, JsonIsUtf8AndVersionNeedsNoDriver) {
    Tool zkctl;
    zkctl.config.trailer = "\xDC\x80> ";  // "Ü€> " in Windows 1252
    EXPECT_EQ(zkctl({"get", "1", "--json"}).out,
              "{\"instance\": 1, \"mask\": 16, \"levels\": \"pnp\", \"trailer\": \"\xC3\x9C\xE2\x82\xAC> \"}\n");

    zkctl.present = false;
    for (const char* version : {"version", "--version", "VERSION"}) {
        const zkctl::Result result = zkctl({version});
        EXPECT_EQ(result.exitCode, zkctl::kExitOk) << version;
        EXPECT_EQ(result.out.rfind("zkctl " + zkctl::ToolVersion() + "\n", 0), 0u) << result.out;
    }
    // No driver at all is not the same as no such instance.
    EXPECT_EQ(zkctl({"get", "1"}).exitCode, zkctl::kExitNotLoaded);
    EXPECT_EQ(zkctl({"list"}).exitCode, zkctl::kExitNotLoaded);
}

}  // namespace
