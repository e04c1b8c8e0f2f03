#include "board/i2c.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBusCount = 3;
int g_bus_fd[kBusCount] = {-1, -1, -1};

}  // namespace

int i2c_open_buses() {
    for (int bus = 0; bus < kBusCount; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        int fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
        g_bus_fd[bus] = fd;
    }
    return 0;
}

int i2c_close_buses() {
    for (int& fd : g_bus_fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    return 0;
}

int i2c_bus_fd(int bus) {
    if (bus < 0 || bus >= kBusCount) return -1;
    return g_bus_fd[bus];
}

int i2c_select(int fd, std::uint8_t addr8) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(addr8 >> 1));
}

bool i2c_read_regs(int bus, std::uint8_t addr8, std::uint16_t reg, std::size_t count,
                   int reg_width, std::uint8_t* dest) {
    std::uint8_t regbytes[2];
    std::size_t reglen;
    if (reg_width == 2) {
        regbytes[0] = static_cast<std::uint8_t>(reg >> 8);
        regbytes[1] = static_cast<std::uint8_t>(reg);
        reglen = 2;
    } else {
        regbytes[0] = static_cast<std::uint8_t>(reg);
        reglen = 1;
    }

    int fd = i2c_bus_fd(bus);
    if (i2c_select(fd, addr8) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, addr8, errno);
        return false;
    }
    if (::write(fd, regbytes, reglen) != static_cast<ssize_t>(reglen)) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", addr8, bus, reg,
                    errno);
        return false;
    }
    // Read into scratch space first: a short read must not leave part of the
    // caller's preset value overwritten.
    std::vector<std::uint8_t> scratch(count);
    ssize_t got = ::read(fd, scratch.data(), count);
    if (got != static_cast<ssize_t>(count)) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", addr8, reg,
                    static_cast<int>(count), errno);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) dest[i] = scratch[i];
    return true;
}

static void mux_write(std::uint8_t mux_addr8, int bus, std::uint8_t value) {
    int fd = i2c_bus_fd(bus);
    if (i2c_select(fd, mux_addr8) < 0) return;
    [[maybe_unused]] ssize_t n = ::write(fd, &value, 1);
}

void i2c_mux_select(std::uint8_t mux_addr8, int bus, int channel) {
    mux_write(mux_addr8, bus, static_cast<std::uint8_t>(1u << channel));
}

void i2c_mux_deselect(std::uint8_t mux_addr8, int bus) {
    mux_write(mux_addr8, bus, 0x00);
}
