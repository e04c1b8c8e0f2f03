// The two verbs that start the sandbox: "boot" (the boot loop with the
// console relay) and "run" (one command, plain standard streams).
#pragma once

#include <string>
#include <vector>

#include "tools/boardsim/sandbox/session.h"

// Exit statuses of "boot".
inline constexpr int kBootLaunched = 0;
inline constexpr int kBootNoLaunch = 1;
inline constexpr int kBootSetupError = 2;
inline constexpr int kBootTimeout = 3;

struct BootOptions {
    std::string bootmgr;            // host path of the bootmgr binary
    int max_boots = 0;              // 0 = no limit
    double timeout_seconds = 0;     // 0 = none
    bool fast = false;
    bool trace = false;             // show the board's events on the console (console/trace.h)
    std::vector<std::string> ro_paths;
};

// Runs boots until a launch ended, max_boots boots ended, a boot ended
// without a reboot request, or the timeout. The console pseudo-terminal is
// relayed to standard input/output (raw when standard input is a terminal;
// Ctrl-] then stops the board). Prints a last line starting "boardsim:".
// Returns one of the statuses above.
int board_boot(Session& s, const BootOptions& opt);

// Runs command inside the sandbox with boardsim's standard streams; returns
// its exit status (128 + signal when killed), or 2 when it could not start.
int board_run(Session& s, const std::vector<std::string>& command, const std::vector<std::string>& ro_paths);
