#include "board/nvram.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "board/i2c.h"

namespace {

constexpr int kNvramBus = 0;
constexpr unsigned kWriteCycleMicros = 100000;

std::uint8_t read_byte(std::uint16_t addr) {
    std::uint8_t value = 0;
    return nvram_read(addr, 1, &value);
}

}  // namespace

bool nvram_read_checked(std::uint16_t addr, std::size_t count, std::uint8_t* buf) {
    i2c_mux_select(I2C_ADDR_MUX, kNvramBus, 0);
    const bool read = i2c_read_regs(kNvramBus, I2C_ADDR_NVRAM, addr, count, 2, buf);
    i2c_mux_deselect(I2C_ADDR_MUX, kNvramBus);
    return read;
}

std::uint8_t nvram_read(std::uint16_t addr, std::size_t count, std::uint8_t* buf) {
    nvram_read_checked(addr, count, buf);
    return buf[0];
}

int nvram_write_byte(std::uint16_t addr, std::uint8_t value) {
    i2c_mux_select(I2C_ADDR_MUX, kNvramBus, 0);
    int fd = i2c_bus_fd(kNvramBus);
    int result = i2c_select(fd, I2C_ADDR_NVRAM);
    if (result < 0) {
        std::printf("I2C error when setting bus %d: %d\n", kNvramBus, errno);
    } else {
        const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(addr >> 8),
                                       static_cast<std::uint8_t>(addr), value};
        ssize_t n = ::write(fd, bytes, sizeof bytes);
        int saved_errno = errno;
        ::usleep(kWriteCycleMicros);
        if (n != static_cast<ssize_t>(sizeof bytes)) {
            std::printf("I2C error when writing bus %d offset %d: %d\n", kNvramBus, addr,
                        n < 0 ? saved_errno : EIO);
            result = -1;
        } else {
            result = static_cast<int>(n);
        }
    }
    i2c_mux_deselect(I2C_ADDR_MUX, kNvramBus);
    return result;
}

std::uint8_t nvram_get_boot_slot() { return read_byte(NVRAM_BOOT_SLOT); }

int nvram_set_boot_slot(int slot) {
    return nvram_write_byte(NVRAM_BOOT_SLOT, static_cast<std::uint8_t>(slot));
}

int nvram_set_booted_image(int value) {
    return nvram_write_byte(NVRAM_BOOTED_IMAGE, static_cast<std::uint8_t>(value));
}

std::uint8_t nvram_get_usb_boot_enable() { return read_byte(NVRAM_USB_BOOT_ENABLE); }

bool nvram_read_serial_number(std::uint8_t serial[NVRAM_SERIAL_LEN]) {
    return nvram_read_checked(NVRAM_SERIAL_NUMBER, NVRAM_SERIAL_LEN, serial);
}

int nvram_set_image_timestamp(int slot, const std::uint8_t clock[RTC_REG_COUNT]) {
    std::uint16_t base;
    if (slot == 1) {
        base = NVRAM_IMAGE1_TIMESTAMP;
    } else if (slot == 2) {
        base = NVRAM_IMAGE2_TIMESTAMP;
    } else {
        return 0;
    }
    for (int i = 0; i < RTC_REG_COUNT; ++i) {
        if (nvram_write_byte(static_cast<std::uint16_t>(base + i), clock[i]) < 0) {
            std::printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}

int stamp_image_time(int slot) {
    std::uint8_t clock[RTC_REG_COUNT] = {};
    rtc_read(clock);
    ::sleep(1);
    return nvram_set_image_timestamp(slot, clock);
}
