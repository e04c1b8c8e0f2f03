// I2C bus access through the Linux i2c-dev character devices.
//
// Three process-wide bus handles (buses 0, 1 and 2, "/dev/i2c-N"), opened
// once at start-up and closed just before the application starts. Device
// addresses are given in their 8-bit form (the 7-bit address shifted left by
// one); each operation selects its device itself and messages print the
// 8-bit form. Failures are reported only by printed messages: readers leave
// the caller's buffer untouched, so callers preset it.
#pragma once

#include <cstddef>
#include <cstdint>

// 8-bit addresses of the devices the boot manager talks to.
inline constexpr std::uint8_t I2C_ADDR_MUX = 0xE2;     // bus 0, multiplexer
inline constexpr std::uint8_t I2C_ADDR_NVRAM = 0xA4;   // bus 0, behind mux channel 0
inline constexpr std::uint8_t I2C_ADDR_BOARD = 0xB0;   // bus 0, board control device
inline constexpr std::uint8_t I2C_ADDR_RTC = 0xD0;     // bus 2, real-time clock

// Opens buses 0, 1 and 2 in order. On the first failure prints
// "ERROR: driver /dev/i2c-N couldn't be opened" and returns -1, leaving that
// bus and the later ones not open. Returns 0 when all three are open.
int i2c_open_buses();

// Closes every open bus handle and marks it not open. Returns 0.
int i2c_close_buses();

// The descriptor of an open bus, or -1 when the bus is not open or the
// number is not 0..2. For the device Parts that write registers themselves.
int i2c_bus_fd(int bus);

// Selects the device with 8-bit address `addr8` on `fd` (I2C_SLAVE with the
// 7-bit address). Returns the ioctl result: 0 on success, negative with errno
// set on failure.
int i2c_select(int fd, std::uint8_t addr8);

// Reads `count` bytes starting at register `reg` of device `addr8` on `bus`.
// `reg_width` is 1 (low byte only) or 2 (high byte first). On any failure
// prints the message of the failing step and leaves `dest` untouched.
// Returns whether `dest` was filled; most callers rely on their preset value
// instead and ignore it.
bool i2c_read_regs(int bus, std::uint8_t addr8, std::uint16_t reg, std::size_t count,
                   int reg_width, std::uint8_t* dest);

// Connects downstream channel `channel` of the multiplexer `mux_addr8` on
// `bus` (writes the byte 1 << channel). Reports nothing.
void i2c_mux_select(std::uint8_t mux_addr8, int bus, int channel);

// Disconnects every channel of the multiplexer (writes 0x00). Reports nothing.
void i2c_mux_deselect(std::uint8_t mux_addr8, int bus);
