#include "image/file_writer.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "fd_io.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t kPiece = 65536;

// The directory part of `path` ("." when it has none).
std::string directory_of(const char* path) {
    const std::string p(path);
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

// Writes the pieces with the percentage display; false at the first failure.
bool write_pieces(int fd, const std::uint8_t* data, std::size_t len, bool progress) {
    if (progress) {
        std::fputs("    ", stdout);
        std::fflush(stdout);
    }
    for (std::size_t written = 0; written < len;) {
        const std::size_t piece = len - written < kPiece ? len - written : kPiece;
        if (!write_all(fd, data + written, piece)) return false;
        written += piece;
        if (progress) {
            // In 64 bits: on the 32-bit switch written * 100 would wrap at
            // 43 MB in size_t; no buffer in memory comes near 2^64 / 100.
            const int pct = static_cast<int>(static_cast<std::uint64_t>(written) * 100 / len);
            std::printf("\b\b\b\b%3.3d%c", pct, '%');
            std::fflush(stdout);
        }
    }
    if (progress) std::printf("\b\b\b\b100%c\n", '%');
    return true;
}

// The new file a durable write fills beside its target.
std::string fresh_name(const char* path) { return std::string(path) + ".new"; }

}  // namespace

void sync_directory(const char* dir) {
    UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

void discard_unfinished_write(const char* path) { ::unlink(fresh_name(path).c_str()); }

DurableWriteStatus write_file_durably(const char* path, const std::uint8_t* data, std::size_t len,
                                      bool progress) {
    const std::string fresh = fresh_name(path);
    // Whatever an interrupted earlier attempt left is not ours to append to.
    ::unlink(fresh.c_str());
    UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return DURABLE_WRITE_CREATE_FAILED;
    bool ok = write_pieces(fd.get(), data, len, progress) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(fresh.c_str(), path) == 0;
    if (!ok) {
        const int err = errno;
        ::unlink(fresh.c_str());
        errno = err;
        return DURABLE_WRITE_FAILED;
    }
    // The rename itself is on the medium only once the directory is synced.
    sync_directory(directory_of(path).c_str());
    return DURABLE_WRITE_OK;
}

int write_file_with_progress(const char* path, const std::uint8_t* data, std::size_t len) {
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::printf("File %s could not be created (err %d)\n", path, errno);
        return 0;
    }
    std::printf("    ");
    // Percentages are counted in 256-byte units; below one unit there is
    // only the closing 100%.
    const std::size_t units = len / 256;
    std::size_t written = 0;
    std::size_t shown = 0;
    while (written < len) {
        const std::size_t piece = len - written < kPiece ? len - written : kPiece;
        if (std::fwrite(data + written, 1, piece, f) != piece || std::fflush(f) != 0) {
            std::printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n",
                        path, errno, static_cast<int>(written), static_cast<int>(len),
                        static_cast<int>(piece));
            std::fclose(f);
            return 0;
        }
        written += piece;
        if (units > 0) {
            const std::size_t pct = (written / 256) * 100 / units;
            if (pct != shown) {
                std::printf("\b\b\b\b%3.3d%c", static_cast<int>(pct), '%');
                std::fflush(stdout);
                shown = pct;
            }
        }
    }
    std::printf("\b\b\b\b100%c\n", '%');
    if (std::fclose(f) != 0) {
        std::printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                    errno, static_cast<int>(written), static_cast<int>(len), 0);
        return 0;
    }
    return 1;
}
