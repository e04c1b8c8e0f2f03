// Installing a root file system component and a large application on the
// emulated board (scripts/bench-install): the installer's time per MiB
// against the bare cost of the same writes (the flash's own erase and write
// of the component; cp and sync of the slot file), and its peak memory
// against the component's size.
//
// Usage (inside the board): bench_install RFS.img APP.img
// Both images hold one signed component each (the script makes them).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "board/i2c.h"
#include "board/mtd.h"
#include "crypto_platform.h"
#include "image/installer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds;
    double peak_mib;
    bool ok;
};

// Runs `work` in a child of its own (so the peak memory is the work's own),
// with the console's output thrown away.
template <typename Work>
Run measure(Work work) {
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        std::_Exit(work() ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {std::chrono::duration<double>(Clock::now() - t0).count(),
            static_cast<double>(usage.ru_maxrss) / 1024,
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

double file_mib(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? static_cast<double>(st.st_size) / (1 << 20) : 0;
}

// The flash's own cost for `path`'s bytes: erase the blocks, write them in
// erase-block pieces, nothing else.
bool raw_flash_write(const char* path) {
    std::vector<std::uint8_t> data;
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::uint8_t piece[65536];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) data.insert(data.end(), piece, piece + n);
    std::fclose(f);
    const int fd = mtd_handle(MTD_RFS);
    MtdInfo info{};
    if (!mtd_get_info(fd, &info) || !flash_erase(fd, static_cast<std::uint32_t>(data.size()), 0, info)) {
        return false;
    }
    for (std::size_t at = 0; at < data.size(); at += info.erase_size) {
        const std::size_t len = data.size() - at < info.erase_size ? data.size() - at : info.erase_size;
        if (!mtd_write(fd, static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(len), data.data() + at)) {
            return false;
        }
    }
    return true;
}

// The fixed waits of an application install, which are no work: the image
// timestamp's one-second pause and eight NVRAM write cycles of 100 ms
// (bootSlot and the seven timestamp bytes).
constexpr double kAppFixedWaits = 1.0 + 8 * 0.1;

void report(const char* what, const char* path, Run ours, const Run& bare, const char* bare_name,
            double fixed_waits) {
    const double mib = file_mib(path);
    std::printf("%s: %.1f MiB component\n", what, mib);
    if (fixed_waits > 0) {
        std::printf("  installer, all       %7.3f s (with %.1f s of fixed waits)\n", ours.seconds,
                    fixed_waits);
        ours.seconds -= fixed_waits;
    }
    std::printf("  installer            %7.3f s  %6.3f s/MiB%s\n", ours.seconds, ours.seconds / mib,
                ours.ok ? "" : "  (FAILED)");
    std::printf("  %-20s %7.3f s  %6.3f s/MiB%s\n", bare_name, bare.seconds, bare.seconds / mib,
                bare.ok ? "" : "  (FAILED)");
    std::printf("  ratio                %7.2f (target <= 1.30)\n", ours.seconds / bare.seconds);
    std::printf("  peak memory          %7.1f MiB = component + %.1f MiB (target <= +16)\n",
                ours.peak_mib, ours.peak_mib - mib);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: bench_install RFS.img APP.img\n", stderr);
        return 2;
    }
    const char* rfs = argv[1];
    const char* app = argv[2];
    i2c_open_buses();
    mtd_open_all();
    CRYPTO_libraryInit();
    ::mkdir("/user/images", 0755);

    const Run rfs_bare = measure([&] { return raw_flash_write(rfs); });
    const Run rfs_ours = measure([&] { return install_image(rfs, false, 0) == 1; });
    report("root file system", rfs, rfs_ours, rfs_bare, "erase + write", 0);

    const Run app_bare = measure([&] {
        return std::system((std::string("cp ") + app + " /user/images/reference && sync").c_str()) == 0;
    });
    std::remove("/user/images/reference");
    const Run app_ours = measure([&] { return install_image(app, false, 1) == 1; });
    report("application", app, app_ours, app_bare, "cp + sync", kAppFixedWaits);
    return rfs_ours.ok && app_ours.ok ? 0 : 1;
}
