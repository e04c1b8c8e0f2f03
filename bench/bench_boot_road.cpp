// The boot road with a large application slot, run inside the emulated board
// (scripts/bench-boot): how long bootmgr takes from the start of the slot
// boot to the launcher, without its fixed sleeps, against the bare cost of
// the same work (read the file, compute its CRC, write the payload once),
// and its peak memory against the size of the component.
//
// Usage (inside the board): bench_boot_road ARCHIVE.tgz [PAYLOAD_MIB]
// The payload is the small archive followed by padding up to PAYLOAD_MIB
// (default 64); tar stops at the archive's end, so unpacking stays small.
// The archive's application writes /proc/uptime to /tmp/app-started when the
// launcher has started it; that is where the measured road ends.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/slot.h"
#include "image/format.h"
#include "image/slot_files.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds on the clock that /proc/uptime shows.
double uptime_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double read_uptime_file(const char* path) {
    FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    double up = -1;
    if (std::fscanf(f, "%lf", &up) != 1) up = -1;
    std::fclose(f);
    return up;
}

// The fixed waits on the road: one second before unpacking, and the 100 ms
// write cycle of the bootedImage byte.
constexpr double kFixedSleeps = 1.1;

std::vector<std::uint8_t> read_all(const char* path) {
    std::vector<std::uint8_t> out;
    FILE* f = std::fopen(path, "rb");
    if (!f) return out;
    std::fseek(f, 0, SEEK_END);
    out.resize(static_cast<std::size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
    std::fclose(f);
    return out;
}

bool write_all(const char* path, const std::uint8_t* data, std::size_t len) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, len, f) == len;
    return std::fclose(f) == 0 && ok;
}

// The bare work: read the slot file, CRC the component, write the payload.
double reference_seconds(const ImageHeader& h) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        const std::vector<std::uint8_t> file = read_all(SLOT_IMAGE1);
        const bool ok = image_crc_ok(file, h.total_length);
        write_all("/tmp/reference.bin", file.data() + h.payload_offset, h.payload_length);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!ok) std::fputs("reference: CRC mismatch\n", stderr);
        if (s < best) best = s;
        std::remove("/tmp/reference.bin");
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: bench_boot_road ARCHIVE.tgz [PAYLOAD_MIB]\n", stderr);
        return 2;
    }
    // The booting child is forked now, while this process is small, so its
    // peak memory is bootmgr's own; it starts when the parent writes a byte.
    int go[2];
    if (::pipe(go) != 0) return 2;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(go[1]);
        char byte;
        if (::read(go[0], &byte, 1) != 1) std::_Exit(98);
        // What main does after its start-up steps; the child ends as the
        // launcher and the application.
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        i2c_open_buses();
        mtd_open_all();
        boot_image_slot(1);
        std::_Exit(99);
    }
    ::close(go[0]);
    const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
    std::vector<std::uint8_t> payload = read_all(argv[1]);
    if (payload.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::size_t archive = payload.size();
    payload.resize(mib << 20);
    std::uint32_t x = 12345;
    for (std::size_t i = archive; i < payload.size(); ++i) {
        x = x * 1103515245u + 12345u;
        payload[i] = static_cast<std::uint8_t>(x >> 24);
    }

    ImageComponentDesc desc{IMAGE_TYPE_APPLICATION, 0x01000001, 3, {}, payload};
    std::uint64_t total = 0;
    image_build_size(desc, &total);
    std::vector<std::uint8_t> component(total);
    if (image_build_component(desc, component) != IMAGE_BUILD_OK) return 2;
    ::mkdir("/user/images", 0755);
    if (!write_all(SLOT_IMAGE1, component.data(), component.size())) return 2;
    const ImageHeader h = image_classify_header(component.data());
    component = {};
    payload = {};

    const double reference = reference_seconds(h);

    std::remove("/tmp/app-started");
    const double t0 = uptime_now();
    [[maybe_unused]] ssize_t n = ::write(go[1], "g", 1);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double started = read_uptime_file("/tmp/app-started");
    if (started < 0) {
        std::fputs("the application did not start\n", stderr);
        return 1;
    }
    const double road = started - t0 - kFixedSleeps;

    const double component_mib = static_cast<double>(h.total_length) / (1 << 20);
    const double peak_mib = static_cast<double>(usage.ru_maxrss) / 1024;
    std::printf("component            %8.1f MiB\n", component_mib);
    std::printf("reference (read+CRC+write) %8.3f s\n", reference);
    std::printf("boot road minus sleeps     %8.3f s\n", road);
    std::printf("ratio                      %8.2f (target <= 1.30)\n", road / reference);
    std::printf("peak memory                %8.1f MiB = component + %.1f MiB (target <= +16)\n",
                peak_mib, peak_mib - component_mib);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
