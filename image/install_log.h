// The install log: one line per successful installation, appended to
// /user/install.log and echoed on the console.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* INSTALL_LOG_PATH = "/user/install.log";

// Prints "Updating install log. File <file> installed from <source> at
// hh:mm:ss on d-m-20yy" and appends the same entry to the log, with the time
// from the real-time clock. Best effort: always returns 1. When the log
// cannot be opened it says so on the console and nothing is written.
int install_log_append(const char* file, const char* source);

// Appends "<text> at hh:mm:ss on d-m-20yy" to the log (not echoed: the
// caller has said it on the console), for events that are not installs.
void install_log_event(const char* text);

// The log line for one entry (with its line end), from the 7 clock
// registers: "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n"
// (day and month without a leading zero, the year always two digits).
std::string install_log_line(const char* file, const char* source, const std::uint8_t clock[7]);
