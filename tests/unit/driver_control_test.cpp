// The control device's request where a scenario cannot reach: a removal that
// races a request already inside the driver, and the tool's mask names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>

#include "filtered_stack.h"
#include "ioctl/request.h"
#include "simkernel/arena.h"
#include "simkernel/caller.h"
#include "simkernel/memory.h"
#include "simkernel/registry.h"
#include "simkernel/registry_store.h"
#include "tools/zkctl/zkctl.h"

namespace {

class ControlRequestTest : public FilteredStackTest {
protected:
    void TearDown() override {
        sim::ResetKernel();
        sim::UseDeterministicAddresses(false);
    }
};

// A program changes the configuration through its own memory; once the
// driver has probed that memory, the Plug and Play manager removes the
// device on another processor. The removal must wait until the request is
// done with the filter's record: freed objects' pages become inaccessible,
// so a late touch faults.
TEST_F(ControlRequestTest, RemovalWaitsForARequestThatHoldsTheFiltersRecord) {
    sim::UseDeterministicAddresses(true);
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor1");
    ASSERT_NE(opened.handle, nullptr);

    uint8_t* area = sim::LowUserArea(sim::kPageSize);
    const uint8_t config[] = {0x50, 0x00, 0x00, 0x00, 'r', 'a', 'c', 'e', '>', ' ', 0};
    std::memcpy(area, config, sizeof(config));
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area));
    std::vector<uint8_t> input(ZK_REQUEST_SIZE);
    const uint32_t record[] = {ZK_REQUEST_MAGIC, ZK_REQUEST_SET_CONFIG, address};
    std::memcpy(input.data(), record, sizeof(record));
    std::vector<uint8_t> output(ZK_REQUEST_SIZE);

    std::future<sim::IoResult> removal;
    bool removedWhileInside = false;
    sim::RunAfterNextProbe([&] {
        removal = std::async(std::launch::async, [&] { return sim::PnpRemoveDevice(pdo_->Device()); });
        removedWhileInside = removal.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
    });
    sim::IoResult result;
    {
        sim::ActingAs administrator(sim::Account::Administrator);
        result = sim::DeviceIoControl(opened.handle, ZK_REQUEST_CODE, input, output);
    }
    ASSERT_TRUE(removal.valid());
    EXPECT_EQ(removal.get().final, STATUS_SUCCESS);
    EXPECT_FALSE(removedWhileInside);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    std::string parameters = std::string(sim::kServicesRoot) + "\\zelkor\\Parameters";
    EXPECT_EQ(sim::Registry().GetDword(parameters, "00000062_Config"), std::optional<uint32_t>(0x50));

    // The handle outlives the instance: its requests now find none.
    std::vector<uint8_t> get = zkctl::EncodeRequest(ZK_REQUEST_GET_CONFIG);
    std::vector<uint8_t> answer(zkctl::OutputLength(ZK_REQUEST_GET_CONFIG));
    EXPECT_EQ(sim::DeviceIoControl(opened.handle, ZK_REQUEST_CODE, get, answer).final, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(sim::CloseFile(opened.handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::OpenSubjectContexts(), 0);
}

// A kernel-mode sender names a data area that runs from its page into one
// freed under the driver (the validity test still vouches for it): each
// operation that writes fails with STATUS_ACCESS_VIOLATION, and not one byte
// of the area changed, the device information's split fields included.
TEST_F(ControlRequestTest, AnAreaRunningIntoAFreedPageIsWrittenAllOrNothing) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    uint8_t* page = sim::LowUserArea(sim::kPageSize);
    sim::VouchForPage(page + sim::kPageSize);  // the gap after the area
    const struct {
        unsigned operation;
        size_t before;
    } cases[] = {{ZK_REQUEST_VERSION, 2}, {ZK_REQUEST_GET_CONFIG, 3}, {ZK_REQUEST_DEVICE_INFO, 300}};
    for (const auto& c : cases) {
        SCOPED_TRACE("operation " + std::to_string(c.operation));
        std::memset(page, 0xEE, sim::kPageSize);
        uint8_t* area = page + sim::kPageSize - c.before;
        const uint32_t record[] = {ZK_REQUEST_MAGIC, c.operation,
                                   static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area))};
        uint8_t output[ZK_REQUEST_SIZE] = {};
        const int faults = sim::CaughtFaults();
        sim::IoResult result = sim::Send(
            control_, sim::Request::DeviceControl(ZK_REQUEST_CODE, record, sizeof(record), output, sizeof(output)));
        EXPECT_EQ(result.final, STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(sim::CaughtFaults(), faults + 1);
        for (size_t i = 0; i < c.before; ++i)
            ASSERT_EQ(area[i], 0xEE) << "byte " << i << " was written";
    }
}

// A kernel-mode sender's DataAddress is not probed: 0xFFFFFC00 sign-extends
// to a kernel address that is not mapped, which the driver may not touch at
// all (there a fault stops the machine, it raises nothing). It checks the
// area first and refuses the request.
TEST_F(ControlRequestTest, AKernelSendersUnmappedKernelAddressIsCheckedBeforeItIsTouched) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor1", KernelMode);
    ASSERT_NE(opened.handle, nullptr);
    for (uint32_t operation = ZK_REQUEST_VERSION; operation <= ZK_REQUEST_SET_CONFIG; ++operation) {
        std::vector<uint8_t> input(ZK_REQUEST_SIZE);
        const uint32_t record[] = {ZK_REQUEST_MAGIC, operation, 0xFFFFFC00u};
        std::memcpy(input.data(), record, sizeof(record));
        std::vector<uint8_t> output(ZK_REQUEST_SIZE);
        EXPECT_EQ(sim::DeviceIoControl(opened.handle, ZK_REQUEST_CODE, input, output).final, STATUS_ACCESS_VIOLATION)
            << operation;
    }
    EXPECT_EQ(sim::CloseFile(opened.handle), STATUS_SUCCESS);
}

TEST(ZkctlMaskTest, NamesAliasesAndNumbersMixAndUnknownWordsAreRefused) {
    std::string error;
    EXPECT_EQ(zkctl::ParseMask("srb,sense,dumps", &error), std::optional<uint32_t>(0x00E));
    EXPECT_EQ(zkctl::ParseMask("io,0x100", &error), std::optional<uint32_t>(0x101));
    EXPECT_EQ(zkctl::ParseMask("all", &error), std::optional<uint32_t>(0x1FF));
    EXPECT_EQ(zkctl::MaskNames(0x80000104), "data,timestamp,0x80000000");
    for (const char* bad : {"", "srb,,io", "0x", "-1", "0x100000000", "sens"})
        EXPECT_FALSE(zkctl::ParseMask(bad, &error)) << bad;
    EXPECT_NE(error.find("unknown trace level 'sens'"), std::string::npos);
}

}  // namespace
