// "boot --trace": the board's events (boarddir/event_log.h) shown on the
// console as they are logged, one dimmed line each, between the lines the
// board prints. Without --trace nothing here runs and the console carries
// the board's bytes alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One event line as read back: every field of the flat JSON object, strings
// decoded, numbers and booleans as written, arrays of strings joined by
// blanks. False for a line that is not such an object.
bool trace_parse_event(std::string_view line, std::map<std::string, std::string>& fields);

// The text shown for one event (without prefix, colour or line end), e.g.
// "nvram 0x13a bootedImage = 0x01". Empty for events not worth a line.
std::string trace_describe(const std::map<std::string, std::string>& event);

struct Trace {
    int fd = -1;            // events.log, read from where the run started; owned
    std::string partial;    // an unfinished last line
    bool color = true;      // ANSI dim; off with NO_COLOR in the environment
    // Consecutive flash writes (or erases) of one partition, each starting
    // where the last ended, are shown as one line once the run of them ends.
    std::map<std::string, std::string> held;
    std::uint64_t held_end = 0;
    int held_count = 0;
    std::int64_t t0_ns = 0;  // the log's time origin (EventLog::t0_ns), for `until_ns`
};

// Opens the log at path and starts at its current end; t0_ns is the time
// origin of the lines the run writes. Returns false when it cannot be opened
// (the trace then shows nothing).
bool trace_open(Trace& t, const std::string& path, std::int64_t t0_ns);
void trace_close(Trace& t);

// The lines to show for what was appended since the last call, each with
// its prefix and colour and ending in line_end: the events logged up to
// until_ns (monotonic_ns time; later ones wait for the next call, so that
// output the board made after them is shown first). A held run of flash
// writes is given out when nothing more arrived (or when flush is true).
std::string trace_take(Trace& t, const char* line_end, std::int64_t until_ns, bool flush = false);
