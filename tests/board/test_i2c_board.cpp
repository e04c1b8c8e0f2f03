// I2C buses, the NVRAM behind its multiplexer and the real-time clock on the
// board's i2c-dev devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include "board/i2c.h"
#include "board/nvram.h"
#include "board/rtc.h"

namespace {

class I2cBoard : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(i2c_open_buses(), 0); }
    static void TearDownTestSuite() { i2c_close_buses(); }
};

bool bcd_ok(std::uint8_t v, int max) {
    return (v & 0x0F) <= 9 && (v >> 4) <= 9 && ((v >> 4) * 10 + (v & 0x0F)) <= max;
}

TEST_F(I2cBoard, FreshEepromReadsErased) {
    EXPECT_EQ(nvram_get_boot_slot(), 0xFF);
    EXPECT_EQ(nvram_get_usb_boot_enable(), 0xFF);
}

TEST_F(I2cBoard, BootSlotRoundTrip) {
    for (int slot : {2, 1, 0x1FE}) {
        ASSERT_GE(nvram_set_boot_slot(slot), 0);
        EXPECT_EQ(nvram_get_boot_slot(), slot & 0xFF);
    }
}

TEST_F(I2cBoard, SerialNumberIsReadWhole) {
    std::uint8_t serial[NVRAM_SERIAL_LEN];
    std::memset(serial, 0, sizeof serial);
    nvram_read_serial_number(serial);
    const std::string text(reinterpret_cast<char*>(serial), sizeof serial);
    EXPECT_EQ(text.size(), 12u);
    EXPECT_EQ(text.find('\xff'), std::string::npos) << "serial not set on the board";
}

TEST_F(I2cBoard, TimestampOnlyForSlotsOneAndTwo) {
    const std::uint8_t clock[7] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    std::uint8_t before[16];
    nvram_read(NVRAM_IMAGE1_TIMESTAMP, sizeof before, before);
    EXPECT_EQ(nvram_set_image_timestamp(3, clock), 0);
    EXPECT_EQ(nvram_set_image_timestamp(0, clock), 0);
    std::uint8_t after[16];
    nvram_read(NVRAM_IMAGE1_TIMESTAMP, sizeof after, after);
    EXPECT_EQ(0, std::memcmp(before, after, sizeof before));

    EXPECT_EQ(nvram_set_image_timestamp(2, clock), 1);
    std::uint8_t got[7] = {};
    nvram_read(NVRAM_IMAGE2_TIMESTAMP, 7, got);
    EXPECT_EQ(0, std::memcmp(got, clock, 7));
}

TEST_F(I2cBoard, StampWritesTheCurrentClock) {
    ASSERT_EQ(stamp_image_time(1), 1);
    std::uint8_t got[7] = {};
    nvram_read(NVRAM_IMAGE1_TIMESTAMP, 7, got);
    EXPECT_TRUE(bcd_ok(got[0] & 0x7F, 59));
    EXPECT_TRUE(bcd_ok(got[5] & 0x1F, 12));
}

TEST_F(I2cBoard, MultiplexerIsReleasedAfterEveryAccess) {
    // With channel 0 disconnected the NVRAM does not answer; after each
    // accessor it must be disconnected again.
    const int fd = i2c_bus_fd(0);
    const std::uint8_t addr[2] = {0x01, 0x00};
    std::uint8_t value = 0;
    nvram_read(NVRAM_BOOT_SLOT, 1, &value);
    ASSERT_EQ(i2c_select(fd, I2C_ADDR_NVRAM), 0);
    errno = 0;
    EXPECT_LT(::write(fd, addr, 2), 0);
    EXPECT_EQ(errno, ENXIO);

    nvram_write_byte(0x0200, 0x5A);
    ASSERT_EQ(i2c_select(fd, I2C_ADDR_NVRAM), 0);
    EXPECT_LT(::write(fd, addr, 2), 0);

    // And the accessors select it themselves: a direct read works after a
    // manual select.
    i2c_mux_select(I2C_ADDR_MUX, 0, 0);
    std::uint8_t direct = 0;
    i2c_read_regs(0, I2C_ADDR_NVRAM, 0x0200, 1, 2, &direct);
    i2c_mux_deselect(I2C_ADDR_MUX, 0);
    EXPECT_EQ(direct, 0x5A);
}

TEST_F(I2cBoard, AbsentDeviceLeavesBufferAndSaysWhy) {
    std::uint8_t buf[3] = {7, 7, 7};
    testing::internal::CaptureStdout();
    i2c_read_regs(0, 0x40, 5, 3, 1, buf);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "I2C error - device 0x40 writing bus 0 offset 5: " + std::to_string(ENXIO) + "\n");
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[2], 7);
}

TEST_F(I2cBoard, ClockRegistersAreBcd) {
    std::uint8_t regs[7];
    std::memset(regs, 0xEE, sizeof regs);
    ASSERT_TRUE(rtc_read(regs));
    EXPECT_TRUE(bcd_ok(regs[0] & 0x7F, 59));
    EXPECT_TRUE(bcd_ok(regs[1] & 0x7F, 59));
    EXPECT_TRUE(bcd_ok(regs[2] & 0x3F, 23));
    EXPECT_TRUE(bcd_ok(regs[4] & 0x3F, 31));
    EXPECT_TRUE(bcd_ok(regs[5] & 0x1F, 12));
    EXPECT_TRUE(bcd_ok(regs[6], 99));
}

TEST(I2cClosed, OperationsOnClosedBusesFailAtSelection) {
    i2c_close_buses();
    std::uint8_t regs[7] = {1, 2, 3, 4, 5, 6, 7};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(rtc_read(regs));
    EXPECT_LT(nvram_write_byte(0x0100, 1), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "I2C error when setting bus 2, device 0xd0: " + std::to_string(EBADF) +
                       "\nI2C error when setting bus 0: " + std::to_string(EBADF) + "\n");
    EXPECT_EQ(regs[6], 7);
}

}  // namespace
