// The installer's component loop over a whole downloaded file, in a private
// world (private_mounts.h): the download is /tmp/image as the rescue
// downloads leave it; the flash partitions and the NVRAM are absent, so their
// writes fail as on a board whose devices fail, and no signature can pass
// without the vendor's private key. What can be installed here is the network
// application, whose payload goes to /tmp/vel-image.gz. The first input byte
// chooses the slot (bit 0: 1 or 2) and the same-version skip (bit 1); the
// rest is the file. Besides the sanitizers it checks, against an independent
// walk of the same bytes in memory:
// - the result is 0 or 1, and 1 only when something was installed;
// - /tmp/vel-image.gz, when written, holds exactly the payload of a network
//   application component whose CRC is right: nothing unchecked is written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image/format.h"
#include "image/installer.h"
#include "private_mounts.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool write_download(std::span<const std::uint8_t> file) {
    const int fd = ::open(INSTALL_DOWNLOAD_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size());
    return ::close(fd) == 0 && ok;
}

std::vector<std::uint8_t> read_velta_output(bool* present) {
    std::vector<std::uint8_t> out;
    const int fd = ::open(INSTALL_VELTA_PATH, O_RDONLY | O_CLOEXEC);
    *present = fd >= 0;
    if (fd < 0) return out;
    std::uint8_t buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    ::close(fd);
    return out;
}

// Whether `bytes` is the payload of a CRC-correct network application
// component of `file`.
bool is_checked_velta_payload(std::span<const std::uint8_t> file,
                              const std::vector<std::uint8_t>& bytes) {
    ImageWalk w = image_walk_begin(image_source_memory(file));
    ImageComponent c{};
    while (image_walk_next(w, &c) == IMAGE_WALK_COMPONENT) {
        if (c.type != IMAGE_TYPE_VELTA) continue;
        const auto comp = file.subspan(c.offset, c.header.total_length);
        if (!image_crc_ok(comp, c.header.total_length)) continue;
        const auto payload = comp.subspan(c.header.payload_offset);
        if (payload.size() == bytes.size() &&
            std::memcmp(payload.data(), bytes.data(), bytes.size()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_enter_private_mounts();
    // Operator messages are not what is fuzzed; no question may wait for an
    // answer.
    check(std::freopen("/dev/null", "w", stdout) != nullptr);
    check(std::freopen("/dev/null", "r", stdin) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int slot = 1 + (data[0] & 1);
    const bool skip_same_version = (data[0] & 2) != 0;
    const std::span<const std::uint8_t> file(data + 1, size - 1);
    ::unlink(INSTALL_VELTA_PATH);
    if (!write_download(file)) return 0;

    const int result = install_image(INSTALL_DOWNLOAD_PATH, skip_same_version, slot);
    std::fflush(stdout);

    check(result == 0 || result == 1);
    bool written = false;
    const std::vector<std::uint8_t> velta = read_velta_output(&written);
    if (result == 1) check(written);
    if (written) check(is_checked_velta_payload(file, velta));
    return 0;
}
