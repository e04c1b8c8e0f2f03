#include "image/file_writer.h"

#include <cerrno>
#include <cstdio>

namespace {

constexpr std::size_t kPiece = 65536;

}  // namespace

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
