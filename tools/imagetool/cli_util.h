// Helpers shared by the imagetool verbs: usage messages, whole-file reads,
// and output files written under a temporary name and renamed into place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fd_io.h"
#include "unique_fd.h"

// Prints "imagetool VERB: " and fmt (with one %s for arg) on standard error,
// then a hint to --help. Returns IMAGETOOL_USAGE.
int usage_error(const char* verb, const char* fmt, const char* arg);

// True for "--help" and "-h".
bool is_help(std::string_view a);

// Reads a whole regular file (at most 4 GiB - 1) into a buffer allocated
// without throwing; *data and *size are set only on success. Prints its own
// message ("imagetool: ...") and returns false on failure.
bool read_file(const char* path, std::unique_ptr<std::uint8_t[]>* data, std::size_t* size);

// An output file written under a temporary name beside it and renamed into
// place by commit(): an input may be the output file itself, and a failed
// run leaves an existing file as it was. Without a path it writes to
// standard output. The temporary file is removed unless committed.
struct OutputFile {
    std::string path;
    std::string temp;
    int fd = -1;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Opens the temporary file for `target` (standard output when null).
    // Prints its own message on failure.
    bool open_for(const char* verb, const char* target);

    // Closes and renames into place. Prints its own message on failure.
    bool commit(const char* verb);
};

// Writes `bytes` to `target` (standard output when null) through an
// OutputFile. Prints its own message on failure.
bool write_output(const char* verb, const char* target, const std::uint8_t* bytes, std::size_t n);

