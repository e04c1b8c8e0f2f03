// A bound on stopping a board. Between the end of a boot and the next one
// (or the end of boardsim) only steps run that must finish quickly: the
// board's last processes reaped, its network stopped, its file systems
// unmounted. A step that does not end (a process stuck in the kernel, a
// mount that does not let go) would otherwise hold the caller, a test run
// for instance, for ever; instead boardsim names the step on standard error
// ("boardsim: STEP did not end within N s; giving up.") and exits with
// status 2.
#pragma once

inline constexpr unsigned kStopWatchdogSeconds = 30;

// Starts (or restarts) the bound of `seconds` for `step`, a string literal
// such as "stopping the board's network". Uses SIGALRM.
void stop_watchdog_arm(const char* step, unsigned seconds = kStopWatchdogSeconds);

// Names the step now under way, keeping the running bound.
void stop_watchdog_step(const char* step);

// Ends the bound.
void stop_watchdog_disarm();
