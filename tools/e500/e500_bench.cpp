// The e500 benchmark's program inside the emulated switch (tools/e500/bench
// puts it in the application archive of a 10 MiB slot image, so it runs as
// the application the boot manager launched).
//
// Usage: e500_bench SLOT_IMAGE
// Times, best of three, on the slot image's first component:
//   - what the boot road does with it: read the file and check the CRC,
//     write the payload and unpack it with the shell's tar, and the
//     signature policy's check (RSA-2048 over SHA-256, as the installer runs
//     it; it prints its verdict each time);
//   - the portable image CRC-32 against zlib's crc32, and the portable
//     SHA-256 against mbedTLS's, on the component, after checking that each
//     pair gives the same result.
// Prints one "bench NAME SECONDS [MIB_PER_S]" line per measurement and
// "bench NAME-ratio OURS/PEER" lines (throughput ratios, above 1 = ours faster).
#include <mbedtls/sha256.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/i2c.h"
#include "board/mtd.h"
#include "crypto_platform.h"
#include "image/crc32.h"
#include "image/format.h"
#include "security/signature_policy.h"
#include "security/system_keys.h"
#include "sha256.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;
constexpr const char* kPayload = "/tmp/bench-payload.tgz";

template <typename Work>
double best_seconds(Work work) {
    double best = 1e30;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        work();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

std::vector<std::uint8_t> read_file(const char* path) {
    std::vector<std::uint8_t> out;
    FILE* f = std::fopen(path, "rb");
    if (!f) return out;
    std::uint8_t piece[65536];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) out.insert(out.end(), piece, piece + n);
    std::fclose(f);
    return out;
}

bool write_file(const char* path, const std::uint8_t* data, std::size_t len) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, len, f) == len;
    return std::fclose(f) == 0 && ok;
}

void report(const char* name, double seconds, std::size_t bytes) {
    if (bytes) {
        std::printf("bench %s %.4f %.1f\n", name, seconds, static_cast<double>(bytes) / (1 << 20) / seconds);
    } else {
        std::printf("bench %s %.4f\n", name, seconds);
    }
}

[[noreturn]] void fail(const char* what) {
    std::printf("bench failed: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: e500_bench SLOT_IMAGE\n", stderr);
        return 2;
    }
    const char* slot = argv[1];
    std::vector<std::uint8_t> file = read_file(slot);
    if (file.size() < IMAGE_PROBE_LEN) fail("cannot read the slot image");
    const ImageHeader h = image_classify_header(file.data());
    if (image_check_lengths(h, file.size()) != IMAGE_LENGTHS_OK) fail("the slot image's lengths");
    const std::span<const std::uint8_t> component(file.data(), h.total_length);
    const std::span<const std::uint8_t> payload(file.data() + h.payload_offset, h.payload_length);
    std::printf("bench component %llu bytes\n", static_cast<unsigned long long>(h.total_length));

    // The boot road's work on the component.
    report("boot-read-and-crc", best_seconds([&] {
               if (!image_crc_ok(read_file(slot), h.total_length)) fail("CRC");
           }), h.total_length);
    report("boot-unpack", best_seconds([&] {
               if (!write_file(kPayload, payload.data(), payload.size())) fail("writing the payload");
               if (std::system("rm -rf /tmp/bench-unpack && mkdir /tmp/bench-unpack && "
                               "cd /tmp/bench-unpack && tar mxzf /tmp/bench-payload.tgz") != 0)
                   fail("unpacking");
           }), h.payload_length);
    if (std::system("rm -rf /tmp/bench-unpack /tmp/bench-payload.tgz") != 0) fail("cleaning up");

    // The signature check as the installer runs it: keys from /user (written
    // by the boot manager at start-up), the switch's kind from the rfs
    // partition, the serial number from the NVRAM.
    i2c_open_buses();
    mtd_open_all();
    CRYPTO_libraryInit();
    if (!imgsign_load_system_keys()) fail("loading the system keys");
    bool verified = true;
    const double sig = best_seconds([&] { verified = imgsign_check_image(file.data(), h.total_length) && verified; });
    std::putchar('\n');  // the verdict has no line end of its own
    if (!verified) fail("the signature check");
    report("boot-signature-check", sig, h.payload_length);

    // Our portable code against the peers, on the same bytes.
    const std::uint32_t ours_crc = image_crc32_portable(component.data(), component.size(), IMAGE_CRC_INIT);
    const std::uint32_t zlib_crc = static_cast<std::uint32_t>(crc32(0, component.data(), component.size()));
    if (ours_crc != ~zlib_crc) fail("CRC-32 differs from zlib's");
    std::uint8_t ours_sha[32], peer_sha[32];
    SHA256_hashBuffer(component.data(), static_cast<std::uint32_t>(component.size()), ours_sha);
    mbedtls_sha256_ret(component.data(), component.size(), peer_sha, 0);
    if (std::memcmp(ours_sha, peer_sha, sizeof ours_sha) != 0) fail("SHA-256 differs from mbedTLS's");

    volatile std::uint32_t sink = 0;
    const double crc_ours = best_seconds([&] {
        sink = sink + image_crc32_portable(component.data(), component.size(), IMAGE_CRC_INIT);
    });
    const double crc_zlib = best_seconds([&] {
        sink = sink + static_cast<std::uint32_t>(crc32(0, component.data(), component.size()));
    });
    const double sha_ours = best_seconds([&] {
        SHA256_hashBuffer(component.data(), static_cast<std::uint32_t>(component.size()), ours_sha);
    });
    const double sha_mbedtls = best_seconds([&] {
        mbedtls_sha256_ret(component.data(), component.size(), peer_sha, 0);
    });
    report("crc32-ours", crc_ours, component.size());
    report("crc32-zlib", crc_zlib, component.size());
    report("sha256-ours", sha_ours, component.size());
    report("sha256-mbedtls", sha_mbedtls, component.size());
    std::printf("bench crc32-ratio %.2f\n", crc_zlib / crc_ours);
    std::printf("bench sha256-ratio %.2f\n", sha_mbedtls / sha_ours);
    return 0;
}
