// Output files: opening one afresh, and whole writes to a file descriptor.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

// Opens `path` for writing, created (mode 0644) or emptied, not inherited
// by the programs bootmgr starts. -1 on failure, with errno saying why.
inline int open_for_writing(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// Writes all `len` bytes of `data` to `fd`, continuing after short counts and
// interrupted calls (the interrupt key must not cut a copy short). False at
// the first failed write, with errno saying why (EIO for a write that took
// nothing).
inline bool write_all(int fd, const void* data, std::uint64_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (len > 0) {
        const std::size_t chunk = len > (1u << 20) ? (1u << 20) : static_cast<std::size_t>(len);
        const ssize_t n = ::write(fd, p, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<std::uint64_t>(n);
    }
    return true;
}
