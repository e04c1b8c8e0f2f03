// The board control device on I2C bus 0 (8-bit address 0xB0, not behind the
// multiplexer) and its LED register, which drives the blue location LED.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t LED_REGISTER = 0x11;

// Reads one register into `*value` and returns it; a failed read leaves the
// caller's preset value (the bus layer prints why).
std::uint8_t board_reg_read(std::uint8_t reg, std::uint8_t* value);

// Writes one register, then waits 100 ms whatever the outcome. Returns a
// negative value on failure (after its message), non-negative on success.
int led_reg_write(std::uint8_t reg, std::uint8_t value);

// The two LED values derived from the register byte `r` read at the start:
// at rest the blink bit (0x40) is set, blinking clears it; bit 7 is always 0.
inline std::uint8_t led_rest_value(std::uint8_t r) { return (r & 0x3F) | 0x40; }
inline std::uint8_t led_blink_value(std::uint8_t r) { return r & 0x3F; }
