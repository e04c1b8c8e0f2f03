// Flash partitions on the board's MTD devices: read-modify-write by erase
// block, the progress display, and failures that stop a write part-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "board/mtd.h"

namespace {

constexpr std::uint32_t kBlock = 64 * 1024;

class MtdBoard : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mtd_open_all(); }

    static std::vector<std::uint8_t> read(MtdPartition p, std::uint32_t off, std::uint32_t len) {
        std::vector<std::uint8_t> buf(len, 0xAA);
        EXPECT_EQ(mtd_read_partition(buf.data(), mtd_handle(p), off, len), 0);
        return buf;
    }

    static std::vector<std::uint8_t> pattern(std::uint32_t len, std::uint8_t seed) {
        std::vector<std::uint8_t> v(len);
        for (std::uint32_t i = 0; i < len; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
        return v;
    }
};

TEST_F(MtdBoard, GeometryOfThePartitions) {
    MtdInfo info{};
    ASSERT_TRUE(mtd_get_info(mtd_handle(MTD_RFS), &info));
    EXPECT_EQ(info.erase_size, kBlock);
    EXPECT_EQ(info.erase_shift, 16u);
    EXPECT_EQ(info.size, 10u * 1024 * 1024);
    EXPECT_EQ(info.blocks, 160u);
}

TEST_F(MtdBoard, SmallWriteKeepsTheRestOfTheBlock) {
    const auto before = pattern(2 * kBlock, 3);
    ASSERT_EQ(mtd_write_partition(before.data(), mtd_handle(MTD_RFS), 0, 2 * kBlock, false), 0);

    const std::uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    testing::internal::CaptureStdout();
    ASSERT_EQ(mtd_write_partition(ten, mtd_handle(MTD_RFS), 0, 10, true), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "     \b\b\b\b000%\b\b\b\b100%\n");

    auto after = read(MTD_RFS, 0, 2 * kBlock);
    EXPECT_EQ(0, std::memcmp(after.data(), ten, 10));
    EXPECT_TRUE(std::equal(after.begin() + 10, after.end(), before.begin() + 10));
}

TEST_F(MtdBoard, WriteAcrossABlockBoundary) {
    const auto base = pattern(3 * kBlock, 11);
    ASSERT_EQ(mtd_write_partition(base.data(), mtd_handle(MTD_KERNEL), 0, 3 * kBlock, false), 0);
    const auto data = pattern(200, 99);
    testing::internal::CaptureStdout();
    ASSERT_EQ(mtd_write_partition(data.data(), mtd_handle(MTD_KERNEL), kBlock - 100, 200, true),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "     \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n");

    auto after = read(MTD_KERNEL, 0, 3 * kBlock);
    std::vector<std::uint8_t> expect = base;
    std::copy(data.begin(), data.end(), expect.begin() + (kBlock - 100));
    EXPECT_TRUE(after == expect);
}

TEST_F(MtdBoard, LargeWriteReadsBack) {
    const std::uint32_t len = 5 * kBlock + 1234;
    const auto data = pattern(len, 42);
    ASSERT_EQ(mtd_write_partition(data.data(), mtd_handle(MTD_RESCUE), 777, len, false), 0);
    EXPECT_TRUE(read(MTD_RESCUE, 777, len) == data);
}

TEST_F(MtdBoard, RangeOutsideThePartitionIsRefused) {
    MtdInfo info{};
    ASSERT_TRUE(mtd_get_info(mtd_handle(MTD_ONIE), &info));
    const auto data = pattern(2 * kBlock, 1);
    const auto before = read(MTD_ONIE, info.size - kBlock, kBlock);
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtd_write_partition(data.data(), mtd_handle(MTD_ONIE), info.size - kBlock, 2 * kBlock,
                                  false),
              -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flash Write out of range.\n");
    EXPECT_TRUE(read(MTD_ONIE, info.size - kBlock, kBlock) == before);
    EXPECT_EQ(mtd_write_partition(data.data(), mtd_handle(MTD_ONIE), 0, 0, false), 0);
}

// The partition's last byte is the edge: a range may end on it, never
// beyond, for reads, writes and erases alike.
TEST_F(MtdBoard, RangesAtThePartitionsEnd) {
    MtdInfo info{};
    ASSERT_TRUE(mtd_get_info(mtd_handle(MTD_ONIE), &info));
    struct Range {
        std::uint32_t offset, len;
        bool inside;
    };
    const Range ranges[] = {
        {info.size - kBlock, kBlock, true},  {info.size - 1, 1, true},  {0, info.size, true},
        {info.size - 10, 11, false},         {info.size, 1, false},     {1, info.size, false},
    };
    for (const Range& r : ranges) {
        const auto data = pattern(r.len, 9);
        std::vector<std::uint8_t> back(r.len, 0);
        testing::internal::CaptureStdout();
        const int wrote = mtd_write_partition(data.data(), mtd_handle(MTD_ONIE), r.offset, r.len, false);
        const int read_back = mtd_read_partition(back.data(), mtd_handle(MTD_ONIE), r.offset, r.len);
        const int erased = mtd_erase_partition(mtd_handle(MTD_ONIE), r.offset, r.len);
        const std::string said = testing::internal::GetCapturedStdout();
        const int expect = r.inside ? 0 : -1;
        EXPECT_EQ(wrote, expect) << r.offset << "+" << r.len;
        EXPECT_EQ(read_back, expect) << r.offset << "+" << r.len;
        EXPECT_EQ(erased, expect) << r.offset << "+" << r.len;
        if (r.inside) {
            EXPECT_TRUE(back == data) << r.offset << "+" << r.len;
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find("out of range."), std::string::npos) << said;
        }
    }
}

TEST_F(MtdBoard, FailedHandleReportsOnUse) {
    std::uint8_t buf[4] = {9, 9, 9, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtd_read_partition(buf, -1, 0, 4), -1);
    EXPECT_EQ(mtd_write_partition(buf, -1, 0, 4, true), -1);
    EXPECT_EQ(mtd_erase_partition(-1, 0, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not get MTD device info \nCould not get MTD device info \n"
              "Could not get MTD device info \n");
    EXPECT_EQ(buf[0], 9);
}

TEST_F(MtdBoard, EraseSetsWholeBlocksToFF) {
    const auto data = pattern(2 * kBlock, 5);
    ASSERT_EQ(mtd_write_partition(data.data(), mtd_handle(MTD_DEVICETREE), 0, 2 * kBlock, false),
              0);
    ASSERT_EQ(mtd_erase_partition(mtd_handle(MTD_DEVICETREE), 10, 20), 0);
    const auto after = read(MTD_DEVICETREE, 0, 2 * kBlock);
    EXPECT_TRUE(std::all_of(after.begin(), after.begin() + kBlock, [](auto b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(after.begin() + kBlock, after.end(), data.begin() + kBlock));
}

}  // namespace
