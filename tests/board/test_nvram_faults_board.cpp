// NVRAM writes that fail: the board's EEPROM refuses writes to 0x10B (the
// fourth byte of slot 1's image timestamp).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "board/i2c.h"
#include "board/nvram.h"

namespace {

TEST(NvramFaults, TimestampStopsAtTheFailingByte) {
    ASSERT_EQ(i2c_open_buses(), 0);
    const std::uint8_t clock[7] = {0x05, 0x47, 0x09, 0x01, 0x07, 0x12, 0x26};

    testing::internal::CaptureStdout();
    EXPECT_EQ(nvram_set_image_timestamp(1, clock), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "I2C error when writing bus 0 offset 267: " + std::to_string(EIO) +
                  "\nError setting image timestamp at offset 0x108 byte 3\n");

    std::uint8_t got[7] = {};
    nvram_read(NVRAM_IMAGE1_TIMESTAMP, 7, got);
    const std::uint8_t expect[7] = {0x05, 0x47, 0x09, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(got[i], expect[i]) << i;

    // The other slot's timestamp is unaffected.
    EXPECT_EQ(nvram_set_image_timestamp(2, clock), 1);
}

}  // namespace
