// Installed-version lookups against the board's slot files and partitions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "board/mtd.h"
#include "byteorder.h"
#include "image/format.h"
#include "image/versions.h"

namespace {

void basic(std::uint8_t out[16], std::uint32_t crc, std::uint32_t len, std::uint32_t magic,
           std::uint32_t id) {
    store_be32(out, crc);
    store_be32(out + 4, len);
    store_be32(out + 8, magic);
    store_be32(out + 12, id);
}

class Versions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mtd_open_all();
        ::mkdir("/user/images", 0755);
    }
};

TEST_F(Versions, ApplicationSlot) {
    std::remove("/user/images/image2");
    std::uint8_t hdr[16];
    basic(hdr, 0x11111111, 100, IMAGE_TYPE_APPLICATION, 0x01020304);
    // Nothing installed in slot 2: not the same, so it gets written.
    EXPECT_FALSE(image_same_version(hdr, 2));

    FILE* f = std::fopen("/user/images/image2", "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(hdr, 1, 16, f);
    std::fclose(f);
    EXPECT_TRUE(image_same_version(hdr, 2));
    hdr[3] ^= 1;  // another CRC is another build
    EXPECT_FALSE(image_same_version(hdr, 2));
}

TEST_F(Versions, BootLoaderIgnoresTheCrcWord) {
    std::uint8_t installed[16];
    basic(installed, 0xAAAAAAAA, 0x1000, IMAGE_TYPE_UBOOT, 0x02000001);
    ASSERT_EQ(mtd_write_partition(installed, mtd_handle(MTD_UBOOT), UBOOT_HEADER_OFFSET, 16, false),
              0);
    std::uint8_t hdr[16];
    basic(hdr, 0xBBBBBBBB, 0x1000, IMAGE_TYPE_UBOOT, 0x02000001);
    EXPECT_TRUE(image_same_version(hdr, 0));
    basic(hdr, 0xAAAAAAAA, 0x1000, IMAGE_TYPE_UBOOT, 0x02000002);
    EXPECT_FALSE(image_same_version(hdr, 0));
}

TEST_F(Versions, PartitionsByType) {
    struct Row {
        std::uint32_t type;
        MtdPartition part;
    };
    const Row rows[] = {{IMAGE_TYPE_KERNEL, MTD_KERNEL},
                        {IMAGE_TYPE_RFS, MTD_RFS},
                        {IMAGE_TYPE_DFT, MTD_DEVICETREE},
                        {IMAGE_TYPE_DIAGS, MTD_RESCUE}};
    for (const Row& r : rows) {
        std::uint8_t hdr[16];
        basic(hdr, 0x12345678 + r.type, 64, r.type | IMAGE_MAGIC_V2_FLAG, 0x03030303);
        ASSERT_EQ(mtd_write_partition(hdr, mtd_handle(r.part), 0, 16, false), 0);
        std::uint8_t got[16];
        EXPECT_EQ(image_read_installed_header(r.type, got, 0), 1);
        EXPECT_EQ(0, std::memcmp(got, hdr, 16)) << std::hex << r.type;
        EXPECT_TRUE(image_same_version(hdr, 0));
    }
}

TEST_F(Versions, UnknownTypeIsReported) {
    std::uint8_t got[16];
    std::memset(got, 0x55, sizeof got);
    testing::internal::CaptureStdout();
    EXPECT_EQ(image_read_installed_header(IMAGE_TYPE_VELTA, got, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x84c4144 \n");
    EXPECT_EQ(got[0], 0);
}

}  // namespace
