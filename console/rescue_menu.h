// Rescue mode: the one-letter menu on the serial console, the diagnostics
// start and the report of the installed image versions.
#pragma once

// Prints "Entering Rescue Mode." and the menu, and carries out the letters
// (either case) until Exit or Reboot; the menu is printed again after every
// action. Listed: T TFTP download, X XMODEM download, P physical presence,
// R reboot, E exit; hidden: U USB file, V versions, M MAC address, K wipe
// keys, D diagnostics. An interrupt while a letter is awaited drops that
// letter; the interrupt flag is cleared after every action. Returns 1 for
// Exit, and also when the console's input has ended (a closed console
// leaves the menu as Exit would, so the boot road goes on instead of asking
// for ever). Reboot does not return.
int rescue_menu();

// Starts the diagnostics image of the rescue partition on a switch that runs
// developer-signed images or is in low security mode, after offering to
// erase and recreate the user file system. Returns 0 when the switch is
// secured (nothing started), 1 when the rescue partition held no usable
// image; does not return when the image starts.
int diags_start();

// Prints the version of the installed boot loader, root file system,
// kernel, device tree and both application slots ("0.0.0.0" for what cannot
// be read). Returns 0.
int show_installed_versions();
