// The boot road: start-up order, slot choice with its fallbacks, and the
// final reboot.
#pragma once

#include <cstdint>
#include <string>

// Walks the whole start-up order and boot road. Never returns: it ends in
// the application launch or in reboot_board.
[[noreturn]] void boot_main();

// Sleeps 1 second, hands "reboot" to the shell and exits with status 0. When
// the shell cannot be run, first prints "System reboot failed, please
// power-cycle." on standard error.
[[noreturn]] void reboot_board();

// Builds the "date MMDDhhmm20YY.ss" command from the 7 clock registers
// (BCD, masked as the clock's bits are used), with its line end.
std::string rtc_date_command(const std::uint8_t regs[7]);
