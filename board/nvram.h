// The board NVRAM: a byte-addressed EEPROM on I2C bus 0 (8-bit address 0xA4,
// 16-bit register addresses) behind channel 0 of the multiplexer at 0xE2.
// Every access connects channel 0 first and disconnects all channels right
// after, so no access depends on a channel state left by another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/rtc.h"

// The NVRAM map.
inline constexpr std::uint16_t NVRAM_SERIAL_NUMBER = 0x000D;  // 12 bytes
inline constexpr std::size_t NVRAM_SERIAL_LEN = 12;
inline constexpr std::uint16_t NVRAM_BOOT_SLOT = 0x0100;
inline constexpr std::uint16_t NVRAM_IMAGE1_TIMESTAMP = 0x0108;  // 7 clock bytes
inline constexpr std::uint16_t NVRAM_IMAGE2_TIMESTAMP = 0x0110;  // 7 clock bytes
inline constexpr std::uint16_t NVRAM_BOOTED_IMAGE = 0x013A;
inline constexpr std::uint16_t NVRAM_USB_BOOT_ENABLE = 0x013B;
inline constexpr std::uint8_t NVRAM_USB_BOOT_ENABLED = 0xD5;

// Reads `count` bytes from `addr` into `buf`. True when they were read; on
// failure (the bus layer prints the message) `buf` is left untouched.
bool nvram_read_checked(std::uint16_t addr, std::size_t count, std::uint8_t* buf);

// Reads `count` bytes from `addr` into `buf` and returns buf[0] afterwards,
// which is whatever the buffer held when the read failed (the bus layer
// prints the message and leaves the buffer untouched).
std::uint8_t nvram_read(std::uint16_t addr, std::size_t count, std::uint8_t* buf);

// Writes one byte, then waits 100 ms for the write cycle whatever the
// outcome. Returns a negative value on failure (after printing the message),
// a non-negative one on success.
int nvram_write_byte(std::uint16_t addr, std::uint8_t value);

// The byte at bootSlot, or 0 when it cannot be read.
std::uint8_t nvram_get_boot_slot();
// Writes the low 8 bits of `slot` to bootSlot. Returns nvram_write_byte's result.
int nvram_set_boot_slot(int slot);
// Writes `value` (1..4) to bootedImage. Returns nvram_write_byte's result.
int nvram_set_booted_image(int value);
// The byte at usbBootEnable, or 0 when it cannot be read.
std::uint8_t nvram_get_usb_boot_enable();
// Fills `serial` from the serial number field and returns true; on failure
// returns false and the caller's preset contents stay.
bool nvram_read_serial_number(std::uint8_t serial[NVRAM_SERIAL_LEN]);

// Writes the 7 clock bytes as the image timestamp of slot 1 or 2, one byte at
// a time. Returns 1 when all 7 were written; 0 for any other slot (nothing is
// written) or at the first failed byte (the bytes before it stay written).
int nvram_set_image_timestamp(int slot, const std::uint8_t clock[RTC_REG_COUNT]);

// Records the current clock as slot `slot`'s image timestamp: reads the
// clock, sleeps 1 second, writes the timestamp. When the clock cannot be read
// the timestamp is written as all zero bytes (an obviously unset time) rather
// than from uninitialised memory. Returns nvram_set_image_timestamp's result.
int stamp_image_time(int slot);
