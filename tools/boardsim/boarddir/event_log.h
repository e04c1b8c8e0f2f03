// The board's event log, DIR/events.log: one JSON object per line, appended.
// Every line has "t" (seconds since the current boardsim run started the
// board, from the monotonic clock, read with a raw system call so that a
// time-scaling preload library cannot distort it), "run" (the number of the
// boardsim run, counted on from the last "start" line of the log, 1 for the
// first), "boot" (boot number, 0 for "boardsim run") and "kind"; further
// fields depend on the kind. Each run begins with a "start" line that names
// its verb and carries the host's wall-clock time ("wall", UTC, ISO 8601).
// NVRAM addresses and flash offsets are strings of hex digits with 0x, as
// the command line takes them ("boardsim nvram DIR get 0x13a").
// Each line goes out in one write(2) on an O_APPEND descriptor, so lines from
// boardsim and from the stand-ins inside the sandbox never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct EventLog {
    int fd = -1;             // O_APPEND descriptor of events.log, owned
    std::int64_t t0_ns = 0;  // monotonic time of the board start
    int boot = 0;
    int run = 0;
};

// Raw monotonic clock in nanoseconds.
std::int64_t monotonic_ns();

// Opens (creating) the log at path. Returns false if it cannot be opened.
bool event_log_open(EventLog& log, const std::string& path, std::int64_t t0_ns, int boot);
void event_log_close(EventLog& log);

// The run number of the last "start" line in the log at path (read from its
// end), 0 when there is none or the log cannot be read.
int event_log_last_run(const std::string& path);

// Appends the run's "start" line: {"kind":"start","verb":VERB,"wall":"...Z"}.
void event_log_start(const EventLog& log, std::string_view verb);

// JSON helpers for building the extra fields.
std::string json_string(std::string_view s);
std::string json_string_array(const std::vector<std::string>& items);
// A flash offset or NVRAM address as a JSON string: "0x13a".
std::string json_hex(std::uint64_t value);

// Appends {"t":..,"run":..,"boot":..,"kind":"KIND"<fields>}. fields is either empty
// or starts with a comma, e.g. ",\"address\":256". Errors are ignored: the
// log is a record for tests, never a reason to disturb the board.
void event_log_write(const EventLog& log, std::string_view kind, const std::string& fields = {});
