// Writing a file with a percentage display on the console.
#pragma once

#include <cstddef>
#include <cstdint>

// Creates `path` and writes `len` bytes of `data` in pieces of at most 64 KiB,
// printing the percentage (in 256-byte units) whenever it changes and a
// closing "100%". Returns 1 when every byte was written, 0 otherwise (a
// failed write reports the counts; a file that cannot be created says so;
// the partial file stays).
int write_file_with_progress(const char* path, const std::uint8_t* data, std::size_t len);
