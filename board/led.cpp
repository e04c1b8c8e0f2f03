#include "board/led.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "board/i2c.h"

namespace {

constexpr int kBus = 0;
constexpr unsigned kWriteCycleMicros = 100000;

}  // namespace

std::uint8_t board_reg_read(std::uint8_t reg, std::uint8_t* value) {
    i2c_read_regs(kBus, I2C_ADDR_BOARD, reg, 1, 1, value);
    return *value;
}

int led_reg_write(std::uint8_t reg, std::uint8_t value) {
    const int fd = i2c_bus_fd(kBus);
    if (i2c_select(fd, I2C_ADDR_BOARD) < 0) {
        std::printf("I2C error when setting LED on bus %d: %d\n", kBus, errno);
        return -1;
    }
    const std::uint8_t bytes[2] = {reg, value};
    const ssize_t n = ::write(fd, bytes, sizeof bytes);
    const int saved_errno = n < 0 ? errno : EIO;
    ::usleep(kWriteCycleMicros);
    if (n != static_cast<ssize_t>(sizeof bytes)) {
        std::printf("I2C error when writing LED on bus %d offset %d: %d\n", kBus, reg,
                    saved_errno);
        return -1;
    }
    return static_cast<int>(n);
}
