// The board's reboot: where every road of the boot manager that gives up
// ends (the boot road, the installer, the rescue menu, the security checks).
#pragma once

// Sleeps 1 second, hands "reboot" to the shell and exits with status 0. When
// the shell cannot be run, first prints "System reboot failed, please
// power-cycle." on standard error.
[[noreturn]] void reboot_board();
