// Filling BootSettings from the boot-loader environment, and the interrupt
// handler that feeds its `interrupted` flag.
#pragma once

#include <cstddef>
#include <string_view>

#include "boot_settings.h"

// Number of environment bytes read, from byte 4 of the partition on.
inline constexpr std::size_t BOOTENV_TEXT_LEN = 8192;

// Applies the environment text (entries separated by blanks, as the reader
// prepares it) to the environment fields of `s`: plain substring search, first
// occurrence, values compared by prefix. Absent keys leave their fields.
void bootenv_apply(std::string_view text, BootSettings* s);

// Reads 8192 bytes from byte 4 of /dev/mtd-ubootenv (the checksum is not
// checked), turns NULs into blanks and applies the text to g_boot_settings.
// An unreadable partition leaves every default. Prints nothing.
void read_bootloader_env();

// Installs the SIGINT handler (empty mask, no SA_RESTART, so a blocking
// console read returns early); the handler only sets `interrupted`.
void install_interrupt_handler();
