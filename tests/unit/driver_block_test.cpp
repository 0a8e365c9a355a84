// The guarded block copy: eight bytes a load and the last few one by one,
// never past the block's end, and only when the pages of both its ends are
// valid. A block that runs into an invalid page is refused before any read;
// one whose page is gone although the validity test still vouches for it
// faults inside the guarded region and leaves a zeroed copy.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "simkernel/core.h"
#include "simkernel/memory.h"
#include "trace/block.h"

namespace {

class BlockRead : public ::testing::Test {
protected:
    void TearDown() override { sim::ResetKernel(); }
};

TEST_F(BlockRead, EveryLengthAndAlignmentUpToAnInvalidPage) {
    // One page of data, then the buffer's no-access guard page.
    sim::SimBuffer buffer = sim::AllocateBuffer(sim::kPageSize);
    uint8_t* end = buffer.address + sim::kPageSize;
    for (size_t i = 0; i < sim::kPageSize; ++i)
        buffer.address[i] = static_cast<uint8_t>(i * 7 + 3);
    const int faults = sim::CaughtFaults();

    // Each length, ending on the page's last byte or up to seven before it:
    // a load past the end would touch the guard page and fail the read.
    for (ULONG length = 1; length <= 40; ++length) {
        for (size_t before = 0; before < 8; ++before) {
            const uint8_t* source = end - before - length;
            std::vector<uint8_t> copy(length + 1, 0xEE);
            ASSERT_TRUE(ZK_ReadBlock(source, copy.data(), length))
                << length << " bytes, " << before << " before the end";
            EXPECT_EQ(std::memcmp(copy.data(), source, length), 0)
                << length << " bytes, " << before << " before the end";
            EXPECT_EQ(copy[length], 0xEE) << "written past the copy: " << length << " bytes";
        }
    }

    // One byte into the guard page: refused by the validity test, nothing read.
    for (ULONG length : {2u, 9u, 17u, 664u}) {
        std::vector<uint8_t> copy(length, 0xEE);
        EXPECT_FALSE(ZK_ReadBlock(end - length + 1, copy.data(), length)) << length << " bytes";
        EXPECT_EQ(copy, std::vector<uint8_t>(length, 0)) << length << " bytes";
    }
    EXPECT_EQ(sim::CaughtFaults(), faults);

    // The guard page vouched for, as a page freed between the test and the
    // read: the copy faults in its guarded region, and what it read is cleared.
    sim::VouchForPage(end);
    for (ULONG length : {9u, 664u}) {
        std::vector<uint8_t> copy(length, 0xEE);
        EXPECT_FALSE(ZK_ReadBlock(end - length + 1, copy.data(), length)) << length << " bytes";
        EXPECT_EQ(copy, std::vector<uint8_t>(length, 0)) << length << " bytes";
    }
    sim::VouchForPage(end, false);
    EXPECT_EQ(sim::CaughtFaults(), faults + 2);
    sim::FreeBuffer(buffer);
}

}  // namespace
