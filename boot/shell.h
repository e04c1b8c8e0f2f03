// The one way the boot manager runs the board's shell and tools, and the one
// way it builds their command lines.
//
// Commands run synchronously through the system's command interpreter and
// inherit the console. Callers judge success from the files or state a
// command should leave, not from its exit status, unless nothing else can
// tell (see shell_succeeded).
#pragma once

#include <string>
#include <string_view>

// Flushes standard output (so the console shows our text before the
// command's), runs `command` with system() and returns its result: negative
// when the shell could not be run.
int shell_run(std::string_view command);

// True when `result` (of shell_run) says the command ran and exited with
// status 0. For the few commands whose exit status is the only sign of a
// failure that left something behind (an archive unpacked in part).
bool shell_succeeded(int result);

// printf-style construction of a command line. Every piece of text that
// comes from an operator, a file or the network must go through shell_quote
// before it is put into the format's arguments.
[[gnu::format(printf, 1, 2)]] std::string shell_format(const char* fmt, ...);

// `arg` as one shell word: wrapped in single quotes, with each single quote
// written as '\''. The result is safe for any byte except NUL, which cannot
// occur in a std::string_view taken from a C string.
std::string shell_quote(std::string_view arg);
