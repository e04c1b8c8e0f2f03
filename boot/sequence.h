// The boot road: start-up order and slot choice with its fallbacks.
#pragma once

#include <cstdint>
#include <string>

// Walks the whole start-up order and boot road. Never returns: it ends in
// the application launch or in reboot_board.
[[noreturn]] void boot_main();

// Builds the "date MMDDhhmm20YY.ss" command from the 7 clock registers
// (BCD, masked as the clock's bits are used), with its line end.
std::string rtc_date_command(const std::uint8_t regs[7]);
