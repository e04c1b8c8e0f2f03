// BootSettings: the boot flags read from the boot-loader environment
// (boot/settings.h fills them) and the run-time boot state, shared by the
// boot road, the console, the installer and the security checks.
#pragma once

#include <csignal>
#include <cstdint>

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
inline BootSettings g_boot_settings;
