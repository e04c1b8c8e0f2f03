// Image CRC-32 against zlib's crc32, in the same run, on a 64 MiB buffer (the
// size of a large slot file) and on a 64 KiB buffer that stays in cache.
// Prints the ratio of each implementation's throughput to zlib's at the end;
// run with --benchmark_repetitions=N on a busy machine.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>

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

void BM_zlib(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(zlib_as_image(buffer(), n));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void BM_portable(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(image_crc32_portable(buffer(), n, IMAGE_CRC_INIT));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void BM_clmul(benchmark::State& state) {
    if (!image_crc32_clmul_available()) {
        state.SkipWithError("no carry-less multiply on this processor");
        return;
    }
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(image_crc32_clmul(buffer(), n, IMAGE_CRC_INIT));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void BM_dispatch(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(image_crc32(buffer(), n, IMAGE_CRC_INIT));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

BENCHMARK(BM_zlib)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_portable)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_clmul)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dispatch)->Arg(kLarge)->Arg(kSmall)->Unit(benchmark::kMillisecond);

// Keeps the fastest repetition of every benchmark so the ratios can be
// printed at the end. The machine is shared; the fastest run is the one
// least disturbed by others, so it is the fairest comparison.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            if (r.error_occurred || r.run_type == Run::RT_Aggregate) continue;
            const std::string name = r.run_name.str();
            const double t = r.GetAdjustedRealTime();
            const auto it = times.find(name);
            if (it == times.end() || t < it->second) times[name] = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

bool results_agree() {
    const std::size_t lengths[] = {0, 1, 63, 64, 255, 4097, kSmall + 3, kLarge};
    for (std::size_t n : lengths) {
        const std::uint32_t z = zlib_as_image(buffer(), n);
        if (image_crc32_portable(buffer(), n, IMAGE_CRC_INIT) != z ||
            image_crc32_clmul(buffer(), n, IMAGE_CRC_INIT) != z ||
            image_crc32(buffer(), n, IMAGE_CRC_INIT) != z) {
            std::fprintf(stderr, "bench_crc32: results differ from zlib at length %zu\n", n);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!results_agree()) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nthroughput relative to zlib crc32, fastest repetition of each "
                "(higher is faster):\n");
    for (const char* size : {"67108864", "65536"}) {
        const auto zlib = reporter.times.find(std::string("BM_zlib/") + size);
        if (zlib == reporter.times.end()) continue;
        for (const char* name : {"portable", "clmul", "dispatch"}) {
            const auto t = reporter.times.find(std::string("BM_") + name + "/" + size);
            if (t == reporter.times.end() || t->second <= 0) continue;
            std::printf("  %-8s %8s bytes: %.2fx\n", name, size, zlib->second / t->second);
        }
    }
    return 0;
}
