// imagetool: builds, examines, extracts, signs and verifies image files on
// the host.
//
//   imagetool create  -o OUT [component options] --payload FILE ...
//   imagetool info    FILE [--json]
//   imagetool extract FILE --type T [-o OUT]
//   imagetool sign    FILE --key PRIVATE.pem [--component N|--type T] [-o OUT]
//   imagetool digest  FILE [--component N|--type T] [--binary|--digestinfo] [-o OUT]
//   imagetool attach  FILE --signature SIG --key PUBLIC.pem [--component N|--type T] [-o OUT]
//   imagetool verify  FILE --key PUBLIC.pem [--key ...] [--component N|--type T]
// (the signing verbs are described in sign_verbs.h)
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
