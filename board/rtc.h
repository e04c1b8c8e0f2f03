// The real-time clock on I2C bus 2 (8-bit address 0xD0): seven BCD registers,
// 0 seconds, 1 minutes, 2 hours (24-hour), 3 day of week, 4 date, 5 month,
// 6 year within the century (20xx). The boot manager never writes it.
#pragma once

#include <cstdint>

inline constexpr int RTC_REG_COUNT = 7;

// Fills `regs` with clock registers 0 to 6. On failure prints the bus
// layer's message, leaves `regs` as it was and returns false.
bool rtc_read(std::uint8_t regs[RTC_REG_COUNT]);
