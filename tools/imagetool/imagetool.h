// imagetool: builds, examines and extracts image files on the host.
//
//   imagetool create  -o OUT [component options] --payload FILE ...
//   imagetool info    FILE [--json]
//   imagetool extract FILE --type T [-o OUT]
//   imagetool sign | digest | attach | verify   (reserved, not available yet)
//
// Every verb takes --help. Errors go to standard error. Exit status:
// IMAGETOOL_OK on success, IMAGETOOL_FAILED when the image is invalid, a
// check failed or a file could not be read or written, IMAGETOOL_USAGE for a
// command line that cannot be understood.
#pragma once

inline constexpr int IMAGETOOL_OK = 0;
inline constexpr int IMAGETOOL_FAILED = 1;
inline constexpr int IMAGETOOL_USAGE = 2;

// Runs one imagetool command line (argv[0] is the program name, argv[1] the
// verb). Writes to standard output and standard error; returns the exit
// status above. Does not take ownership of argv.
int imagetool_main(int argc, char** argv);
