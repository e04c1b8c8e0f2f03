// The application launch: unpack the archive written to
// /tmp/runosimage.tar.gz, let the image prepare itself, offer the optional
// shell and start the application in the mode the boot flags select.
#pragma once

inline constexpr const char* LAUNCH_ARCHIVE = "/tmp/runosimage.tar.gz";

// Sleeps 1 second, then unpacks LAUNCH_ARCHIVE into /tmp, after removing
// what an earlier unpack may have left there (/tmp/home,
// /tmp/mpdiag.elf.strip), and removes the archive. Returns true only when
// tar unpacked the whole archive: garbage, a truncated archive or a full
// /tmp make it false, and nothing of it may then be started. When the
// shell cannot be run at all, prints "Failed to gunzip Application OS." on
// standard error and reboots.
bool launch_unpack();

// Starts what launch_unpack unpacked. Never returns: it replaces the process
// with /bin/backtrace (normal mode) or waits for a debugger, debug-server or
// memory-checker run and reboots. `diags` is true when the archive held the
// diagnostics program (mpdiag.elf.strip at its top level), which is then
// moved into the application's place.
[[noreturn]] void launch_start(bool diags);

// launch_unpack, then launch_start, for callers with no other image to turn
// to: a failed unpack prints "Failed to unpack Application OS." on standard
// error and reboots.
[[noreturn]] void launch_application(bool diags);

// Reads whitespace-separated word pairs (name, value; at most 511 characters
// each) from `path` and sets each as a process environment variable,
// overwriting. A final name without a value is set to "". A word longer than
// 511 characters is dropped whole together with its partner, so no piece of
// a long value can become a name. A file that cannot be opened is skipped.
// Returns the number of variables set.
int launch_apply_env_file(const char* path);

// The launch modes, in the order the flags are tested.
enum LaunchMode {
    LAUNCH_GDBSERVER,         // remote debug server
    LAUNCH_GDBSERVER_MEMCHK,  // remote debug server with the memory checker
    LAUNCH_GDB,               // debugger (falls back to normal without /tmp/gdb)
    LAUNCH_MEMCHK,            // memory checker
    LAUNCH_NORMAL,
};

struct BootSettings;
LaunchMode launch_mode(const BootSettings& s);
