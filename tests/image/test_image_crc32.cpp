// The image CRC: known values, and every implementation agreeing with the
// bit-at-a-time definition on all lengths, alignments and split points.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/crc32.h"

namespace {

using CrcFn = std::uint32_t (*)(const std::uint8_t*, std::size_t, std::uint32_t);

struct Impl {
    const char* name;
    CrcFn fn;
};

const Impl kImpls[] = {
    {"dispatch", image_crc32},
    {"portable", image_crc32_portable},
    {"clmul", image_crc32_clmul},
    {"bitwise", image_crc32_bitwise},
};

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(gen());
    return v;
}

TEST(ImageCrc32, KnownValues) {
    struct Case {
        const char* text;
        std::uint32_t init;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"", IMAGE_CRC_INIT, 0xFFFFFFFFu},
        {"abc", IMAGE_CRC_INIT, 0xCADBBE3Du},        // complement of 0x352441C2
        {"123456789", IMAGE_CRC_INIT, 0x340BC6D9u},  // complement of 0xCBF43926
        {"a", 0u, 0x3AB551CEu},                      // register started at 0
    };
    for (const auto& impl : kImpls) {
        for (const auto& c : cases) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(c.text);
            EXPECT_EQ(impl.fn(p, std::strlen(c.text), c.init), c.expected)
                << impl.name << " \"" << c.text << "\"";
        }
    }
}

TEST(ImageCrc32, AllImplementationsMatchDefinition) {
    const auto data = random_bytes(3 * 32768 + 80, 7);
    // Every length around the block sizes of the fast paths (16, 64, 128,
    // 256), then around the portable code's four-lane rounds of 32 KiB.
    std::vector<std::size_t> lengths;
    for (std::size_t len = 0; len <= 1100; len += (len < 300 ? 1 : 37)) lengths.push_back(len);
    for (std::size_t len : {32767, 32768, 32769, 32768 + 15, 65536 + 17, 3 * 32768 + 63})
        lengths.push_back(len);
    for (std::size_t len : lengths) {
        for (std::size_t align = 0; align < 8; align += 3) {
            const std::uint32_t init = 0x9E3779B9u ^ static_cast<std::uint32_t>(len);
            const std::uint32_t ref = image_crc32_bitwise(data.data() + align, len, init);
            for (const auto& impl : kImpls)
                ASSERT_EQ(impl.fn(data.data() + align, len, init), ref)
                    << impl.name << " len " << len << " align " << align;
        }
    }
}

TEST(ImageCrc32, LargeBufferAndSplitFeeding) {
    const auto data = random_bytes(3 * 65536 + 123, 11);
    const std::uint32_t whole = image_crc32_bitwise(data.data(), data.size(), IMAGE_CRC_INIT);
    const std::size_t splits[] = {0, 1, 15, 64, 1000, 65536, data.size() - 5, data.size()};
    for (const auto& impl : kImpls) {
        EXPECT_EQ(impl.fn(data.data(), data.size(), IMAGE_CRC_INIT), whole) << impl.name;
        for (std::size_t s : splits) {
            std::uint32_t crc = impl.fn(data.data(), s, IMAGE_CRC_INIT);
            crc = impl.fn(data.data() + s, data.size() - s, crc);
            EXPECT_EQ(crc, whole) << impl.name << " split at " << s;
        }
    }
}

}  // namespace
