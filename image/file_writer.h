// Writing files: with a percentage display on the console, and durably (the
// old contents stay whole until the new ones are complete on the medium).
#pragma once

#include <cstddef>
#include <cstdint>

// Creates `path` and writes `len` bytes of `data` in pieces of at most 64 KiB,
// printing the percentage (in 256-byte units) whenever it changes and a
// closing "100%". Returns 1 when every byte was written, 0 otherwise (a
// failed write reports the counts; a file that cannot be created says so;
// the partial file stays).
int write_file_with_progress(const char* path, const std::uint8_t* data, std::size_t len);

enum DurableWriteStatus {
    DURABLE_WRITE_OK = 0,
    DURABLE_WRITE_CREATE_FAILED,  // the new file beside the target could not be made
    DURABLE_WRITE_FAILED,         // a write, the sync, the close or the rename failed
};

// Replaces `path` with `len` bytes of `data` so that a power cut or a failed
// write at any moment leaves either the old file exactly as it was or the
// new one complete: the bytes go into "<path>.new" (created afresh, mode
// 0644), every write, the sync and the close are checked, then the new file
// is renamed over `path` and the directory is synced. On failure the new file
// is removed, errno says why and `path` is untouched. With `progress`, prints
// four blanks, "\b\b\b\b%3.3d%" with the share written after each piece of
// at most 64 KiB (bytes written x 100 / len, in 64-bit arithmetic), and
// "\b\b\b\b100%\n" when all bytes are written.
DurableWriteStatus write_file_durably(const char* path, const std::uint8_t* data, std::size_t len,
                                      bool progress);

// Removes the "<path>.new" that a write_file_durably cut short by a power
// cut left behind; `path` itself is untouched.
void discard_unfinished_write(const char* path);

// Syncs the directory `dir`, so that files created, renamed or removed in it
// stay so after a power cut. Best effort.
void sync_directory(const char* dir);
