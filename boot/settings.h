// BootSettings: the boot flags read from the boot-loader environment and the
// run-time boot state shared by the boot road, and the interrupt handler
// that feeds its `interrupted` flag.
#pragma once

#include <csignal>
#include <cstdint>
#include <string_view>

struct BootSettings {
    std::int32_t gdb = 0;               // launch under the debugger
    std::int32_t gdbserver = 0;         // launch under the remote debug server
    std::int32_t gdbport = 1234;        // TCP port of the remote debug server
    std::uint8_t shell = 0;             // shell before the launch and after fatal failures
    std::uint8_t memchk = 0;            // preload the memory checker
    std::int32_t rescue = 0;            // rescue menu at start-up
    std::int32_t diags = 0;             // diagnostics start at start-up
    std::int32_t lowsecAuthorised = 0;  // the boot loader grants low security mode
    std::uint8_t usbPresent = 0;        // USB media enabled and the stick mounted
    std::uint8_t secondAttempt = 0;     // on the second, last slot attempt
    volatile std::sig_atomic_t interrupted = 0;  // set by SIGINT, cleared by the rescue menu
};

// The one process-wide record.
extern BootSettings g_boot_settings;

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
