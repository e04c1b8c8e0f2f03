// Image CRC-32 against zlib's crc32, in the same run, on a 64 MiB buffer (the
// size of a large slot file) and on a 64 KiB buffer that stays in cache.
// The peer is named peer_zlib: scripts/bench prints every benchmark's
// throughput relative to it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>

#include "image/crc32.h"

namespace {

constexpr std::size_t kLarge = 64u << 20;
constexpr std::size_t kSmall = 64u << 10;

const std::uint8_t* buffer() {
    static const std::unique_ptr<std::uint8_t[]> data = [] {
        std::unique_ptr<std::uint8_t[]> d(new (std::nothrow) std::uint8_t[kLarge]);
        if (!d) {
            std::fprintf(stderr, "bench_crc32: cannot allocate %zu bytes\n", kLarge);
            std::exit(1);
        }
        std::mt19937_64 gen(42);
        for (std::size_t i = 0; i < kLarge; i += 8) {
            const std::uint64_t v = gen();
            for (int b = 0; b < 8; ++b) d[i + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
        return d;
    }();
    return data.get();
}

std::uint32_t zlib_as_image(const std::uint8_t* p, std::size_t n) {
    // zlib's crc32 inverts before and after; the image CRC does neither.
    std::uint32_t crc = 0;
    while (n > 0) {
        const uInt piece = n > (1u << 30) ? (1u << 30) : static_cast<uInt>(n);
        crc = static_cast<std::uint32_t>(crc32(crc, p, piece));
        p += piece;
        n -= piece;
    }
    return ~crc;
}

using CrcFn = std::uint32_t (*)(const std::uint8_t*, std::size_t, std::uint32_t);

// Times `fn` over the first range(0) bytes of the buffer, after checking
// that it gives zlib's result there (a fast wrong answer is not measured).
void run(benchmark::State& state, CrcFn fn) {
    const auto n = static_cast<std::size_t>(state.range(0));
    if (fn(buffer(), n, IMAGE_CRC_INIT) != zlib_as_image(buffer(), n)) {
        state.SkipWithError("result differs from zlib");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(fn(buffer(), n, IMAGE_CRC_INIT));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(n));
}

void peer_zlib(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(zlib_as_image(buffer(), n));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(n));
}

void portable(benchmark::State& state) { run(state, image_crc32_portable); }

void clmul(benchmark::State& state) {
    if (!image_crc32_clmul_available()) {
        state.SkipWithError("no carry-less multiply on this processor");
        return;
    }
    run(state, image_crc32_clmul);
}

void dispatch(benchmark::State& state) { run(state, image_crc32); }

BENCHMARK(peer_zlib)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(portable)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(clmul)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(dispatch)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
