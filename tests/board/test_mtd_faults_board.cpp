// Flash writes that fail part-way on a board with injected faults: the
// write stops with its message at the failing block and the blocks before it
// hold the new data. The board has failing erases at block 2 of the kernel
// partition, failing writes at block 1 of the root file system partition and
// failing reads at block 3 of the rescue partition.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board/mtd.h"

namespace {

constexpr std::uint32_t kBlock = 64 * 1024;

struct FaultCase {
    const char* name;
    MtdPartition part;
    std::uint32_t failing_block;
    const char* message;
};

std::vector<std::uint8_t> read_back(MtdPartition part, std::uint32_t len) {
    std::vector<std::uint8_t> buf(len);
    // Reads of the rescue partition's block 3 fail: read block by block and
    // leave a failed block as zeros.
    for (std::uint32_t off = 0; off < len; off += kBlock) {
        mtd_read_partition(buf.data() + off, mtd_handle(part), off, kBlock);
    }
    return buf;
}

TEST(MtdFaults, WriteStopsAtTheFailingBlock) {
    mtd_open_all();
    const FaultCase cases[] = {
        {"erase", MTD_KERNEL, 2, "Flash Write mtd erase failed.\n\n"},
        {"write", MTD_RFS, 1, "Flash Write mtd write failed.\n\n"},
        {"read", MTD_RESCUE, 3, "Flash Write mtd read failed.\n\n"},
    };
    for (const FaultCase& c : cases) {
        const std::uint32_t len = 5 * kBlock;
        std::vector<std::uint8_t> data(len);
        for (std::uint32_t i = 0; i < len; ++i) data[i] = static_cast<std::uint8_t>(i / 7 + 1);

        testing::internal::CaptureStdout();
        EXPECT_EQ(mtd_write_partition(data.data(), mtd_handle(c.part), 0, len, false), -1) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message) << c.name;

        const std::vector<std::uint8_t> after = read_back(c.part, len);
        const std::uint32_t good = c.failing_block * kBlock;
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + good, data.begin())) << c.name;
        // Blocks behind the failing one were never touched: still erased.
        const std::uint32_t untouched = (c.failing_block + 1) * kBlock;
        EXPECT_TRUE(std::all_of(after.begin() + untouched, after.end(),
                                [](std::uint8_t b) { return b == 0xFF; }))
            << c.name;
    }
}

}  // namespace
