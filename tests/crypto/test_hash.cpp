// Digests against the NIST SHAVS files and RFC 1321, streaming in pieces,
// the hash-suite table, digests by type and the image digest.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest.h"
#include "md5.h"
#include "sha1.h"
#include "sha256.h"
#include "sha512.h"
#include "vector_file.h"

namespace {

struct HashCase {
    const char *name;
    const char *prefix;  // vector file prefix, or nullptr
    int32_t type;
    uint32_t size;
};

const HashCase kHashes[] = {
    {"SHA1", "sha/SHA1", HASH_SHA1, 20},       {"SHA224", "sha/SHA224", HASH_SHA224, 28},
    {"SHA256", "sha/SHA256", HASH_SHA256, 32}, {"SHA384", "sha/SHA384", HASH_SHA384, 48},
    {"SHA512", "sha/SHA512", HASH_SHA512, 64},
};

std::vector<uint8_t> digest_of(int32_t type, const std::vector<uint8_t> &msg) {
    uint8_t out[64];
    uint32_t len = 0;
    static const uint8_t empty = 0;
    EXPECT_EQ(0, CRYPTO_digestByType(msg.empty() ? &empty : msg.data(), static_cast<uint32_t>(msg.size()),
                                     out, &len, type));
    return std::vector<uint8_t>(out, out + len);
}

const char *const kTransformNames[] = {"portable", "portable_bmi2", "sha_ext"};

// Runs every file on each SHA-256 transform this CPU has (the baseline
// portable build always); the other hashes have one transform.
class HashVectors : public ::testing::TestWithParam<std::tuple<HashCase, int>> {
protected:
    void SetUp() override {
        const int kind = std::get<1>(GetParam());
        const int32_t type = std::get<0>(GetParam()).type;
        if (kind != SHA256_TRANSFORM_PORTABLE && type != HASH_SHA256 && type != HASH_SHA224)
            GTEST_SKIP() << "only SHA-224/256 have several transforms";
        if (!SHA256_transformAvailable(kind)) GTEST_SKIP() << "transform not available on this CPU";
        ASSERT_EQ(kind, SHA256_selectTransform(kind));
    }
    void TearDown() override { SHA256_useHardware(1); }
};

void check_msg_file(const HashCase &hc, const std::string &file, int stride) {
    auto recs = read_vector_file(file);
    ASSERT_GT(recs.size(), 10u) << file;
    int checked = 0;
    for (size_t i = 0; i < recs.size(); i += static_cast<size_t>(stride)) {
        const auto &r = recs[i];
        const auto *len = r.get("Len");
        ASSERT_TRUE(len && r.get("Msg") && r.get("MD")) << file << " record " << i;
        auto msg = unhex(*r.get("Msg"));
        msg.resize(std::stoul(*len) / 8);
        EXPECT_EQ(*r.get("MD"), tohex(digest_of(hc.type, msg))) << file << " Len=" << *len;
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST_P(HashVectors, ShortMessages) {
    const auto &hc = std::get<0>(GetParam());
    check_msg_file(hc, std::string(hc.prefix) + "ShortMsg.rsp", 1);
}

TEST_P(HashVectors, LongMessages) {
    const auto &hc = std::get<0>(GetParam());
    check_msg_file(hc, std::string(hc.prefix) + "LongMsg.rsp", kVectorStride);
}

// SHAVS Monte Carlo: each checkpoint hashes the last three digests 1000 times.
TEST_P(HashVectors, MonteCarlo) {
    const auto &hc = std::get<0>(GetParam());
    auto recs = read_vector_file(std::string(hc.prefix) + "Monte.rsp");
    ASSERT_FALSE(recs.empty());
    ASSERT_TRUE(recs[0].get("Seed"));
    std::vector<uint8_t> seed = unhex(*recs[0].get("Seed"));
    size_t checkpoints = 0;
    const size_t limit = kVectorStride == 1 ? 100 : 10;
    for (size_t r = 1; r < recs.size() && checkpoints < limit; ++r) {
        const auto *md = recs[r].get("MD");
        ASSERT_TRUE(md);
        std::vector<uint8_t> m0 = seed, m1 = seed, m2 = seed, buf;
        for (int i = 0; i < 1000; ++i) {
            buf = m0;
            buf.insert(buf.end(), m1.begin(), m1.end());
            buf.insert(buf.end(), m2.begin(), m2.end());
            m0 = m1;
            m1 = m2;
            m2 = digest_of(hc.type, buf);
        }
        seed = m2;
        EXPECT_EQ(*md, tohex(seed)) << hc.name << " checkpoint " << checkpoints;
        ++checkpoints;
    }
    EXPECT_EQ(limit, checkpoints);
}

INSTANTIATE_TEST_SUITE_P(All, HashVectors,
                         ::testing::Combine(::testing::ValuesIn(kHashes),
                                            ::testing::Values(SHA256_TRANSFORM_PORTABLE, SHA256_TRANSFORM_PORTABLE_BMI2,
                                                              SHA256_TRANSFORM_SHA_EXTENSIONS)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    kTransformNames[std::get<1>(info.param)];
                         });

TEST(Md5, Rfc1321Suite) {
    auto recs = read_vector_file("md5/rfc-1321.txt");
    ASSERT_EQ(7u, recs.size());
    for (const auto &r : recs) {
        auto msg = unhex(*r.get("Msg"));
        msg.resize(std::stoul(*r.get("Len")) / 8);
        EXPECT_EQ(*r.get("MD"), tohex(digest_of(HASH_MD5, msg))) << "Len=" << *r.get("Len");
    }
}

// Every suite row, fed in pieces of assorted sizes, must match its one-shot
// digest; also exercises the table's alloc/free.
TEST(HashSuiteTable, PiecesMatchOneShot) {
    const struct { int32_t type; uint32_t digest, block; } rows[] = {
        {HASH_MD5, 16, 64},     {HASH_SHA1, 20, 64},     {HASH_SHA256, 32, 64},
        {HASH_SHA384, 48, 128}, {HASH_SHA512, 64, 128}, {HASH_SHA224, 28, 64},
    };
    const std::vector<std::vector<uint32_t>> splits = {
        {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {63, 1}, {64, 64, 1}, {127, 2}, {128, 128, 1}, {0, 55}, {56}, {111}, {112}, {300, 0, 17, 200},
    };
    std::mt19937 rng(1234);
    for (const auto &row : rows) {
        const HashSuite *s = nullptr;
        ASSERT_EQ(0, CRYPTO_hashSuiteByType(row.type, &s));
        EXPECT_EQ(row.digest, s->digestSize);
        EXPECT_EQ(row.block, s->blockSize);
        for (const auto &split : splits) {
            std::vector<uint8_t> msg;
            for (uint32_t n : split)
                for (uint32_t i = 0; i < n; ++i) msg.push_back(static_cast<uint8_t>(rng()));
            void *ctx = nullptr;
            ASSERT_EQ(0, s->allocCtx(&ctx));
            ASSERT_EQ(0, s->initCtx(ctx));
            size_t off = 0;
            for (uint32_t n : split) {
                ASSERT_EQ(0, s->update(ctx, msg.data() + off, n));
                off += n;
            }
            uint8_t out[64];
            ASSERT_EQ(0, s->final(ctx, out));
            EXPECT_EQ(tohex(digest_of(row.type, msg)), tohex(out, s->digestSize))
                << "type " << row.type << " total " << msg.size();
            ASSERT_EQ(0, s->freeCtx(&ctx));
            EXPECT_EQ(nullptr, ctx);
        }
    }
    const HashSuite *s = nullptr;
    EXPECT_EQ(ERR_INVALID_SWITCH, CRYPTO_hashSuiteByType(7, &s));
    EXPECT_EQ(ERR_INVALID_SWITCH, CRYPTO_hashSuiteByType(0, &s));
}

// A context reused for a second message gives that message's digest.
TEST(Sha256, ContextReuseAndFree) {
    Sha256Ctx *ctx = nullptr;
    ASSERT_EQ(0, SHA256_allocCtx(&ctx));
    const uint8_t abc[] = {'a', 'b', 'c'};
    uint8_t out[32];
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, SHA256_init(ctx));
        ASSERT_EQ(0, SHA256_update(ctx, abc, 3));
        ASSERT_EQ(0, SHA256_final(ctx, out));
        EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", tohex(out, 32));
    }
    EXPECT_EQ(0, SHA256_freeCtx(&ctx));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_freeCtx(&ctx));
}

// A byte count past 2^32 carries into countHigh and the final block holds
// the full 64-bit bit length.
TEST(Sha256, ByteCountCarriesIntoHighWord) {
    for (int kind = 0; kind < 3; ++kind) {
        if (!SHA256_transformAvailable(kind)) continue;
        SHA256_selectTransform(kind);
        Sha256Ctx ctx;
        SHA256_init(&ctx);
        ctx.countLow = 0xFFFFFFC0u;  // as if 2^32 - 64 bytes had been absorbed
        uint8_t data[64 + 5] = {};
        ASSERT_EQ(0, SHA256_update(&ctx, data, sizeof data));
        EXPECT_EQ(1u, ctx.countHigh);
        EXPECT_EQ(5u, ctx.countLow);
        uint8_t out[32];
        ASSERT_EQ(0, SHA256_final(&ctx, out));
        const uint8_t expectLen[8] = {0, 0, 0, 0x08, 0, 0, 0, 0x28};
        EXPECT_EQ(0, std::memcmp(ctx.block + 56, expectLen, 8));
    }
    SHA256_useHardware(1);

    Sha512Ctx c5;
    SHA512_init(&c5);
    c5.countLow = ~uint64_t{0} - 127;
    uint8_t data[130] = {};
    ASSERT_EQ(0, SHA512_update(&c5, data, sizeof data));
    EXPECT_EQ(1u, c5.countHigh);
    EXPECT_EQ(2u, c5.countLow);
    uint8_t out[64];
    ASSERT_EQ(0, SHA512_final(&c5, out));
    EXPECT_EQ(0x08u, c5.block[119]);  // 2^64 bytes = 2^67 bits: 8 in the high 64-bit word
    EXPECT_EQ(0x10u, c5.block[127]);  // 2 bytes = 16 bits
}

TEST(DigestByType, WritesSizeAndZeroesTail) {
    const uint8_t msg[] = "abc";
    const struct { int32_t type; uint32_t size; } cases[] = {
        {HASH_SHA256, 32}, {HASH_SHA224, 28}, {HASH_MD5, 16}, {HASH_SHA1, 20}, {HASH_SHA384, 48}, {HASH_SHA512, 64}};
    for (const auto &c : cases) {
        uint8_t out[64];
        std::memset(out, 0xAA, sizeof out);
        uint32_t len = 0;
        ASSERT_EQ(0, CRYPTO_digestByType(msg, 3, out, &len, c.type));
        EXPECT_EQ(c.size, len);
        for (uint32_t i = c.size; i < 64; ++i) EXPECT_EQ(0, out[i]) << "type " << c.type << " byte " << i;
    }
}

TEST(DigestByType, Failures) {
    const uint8_t msg[] = "abc";
    uint8_t out[64];
    uint32_t len = 77;
    EXPECT_EQ(ERR_HASH_UNSUPPORTED, CRYPTO_digestByType(msg, 3, out, &len, 7));
    EXPECT_EQ(77u, len);
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_digestByType(nullptr, 3, out, &len, HASH_SHA256));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_digestByType(msg, 3, nullptr, &len, HASH_SHA256));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_digestByType(msg, 3, out, nullptr, HASH_SHA256));

    EXPECT_EQ(ERR_INVALID_SWITCH, CRYPTO_setStrictMode(2));
    EXPECT_EQ(0, CRYPTO_strictMode());
    ASSERT_EQ(0, CRYPTO_setStrictMode(1));
    EXPECT_EQ(ERR_HASH_UNSUPPORTED, CRYPTO_digestByType(msg, 3, out, &len, HASH_MD5));
    EXPECT_EQ(ERR_HASH_UNSUPPORTED, CRYPTO_digestByType(msg, 3, out, &len, HASH_SHA1));
    EXPECT_EQ(0, CRYPTO_digestByType(msg, 3, out, &len, HASH_SHA256));
    EXPECT_EQ(0, CRYPTO_disableStrictMode());
    EXPECT_EQ(0, CRYPTO_digestByType(msg, 3, out, &len, HASH_MD5));
}

TEST(ImageDigest, ComputesSha256) {
    const std::string body(1000, 'a');
    uint8_t out[32];
    uint32_t len = 0;
    ASSERT_EQ(0, IMGSIGN_computeSHA256(reinterpret_cast<const uint8_t *>(body.data()),
                                       static_cast<uint32_t>(body.size()), out, &len));
    EXPECT_EQ(32u, len);
    EXPECT_EQ("41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3", tohex(out, 32));

    const uint8_t none = 0;
    ASSERT_EQ(0, IMGSIGN_computeSHA256(&none, 0, out, &len));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", tohex(out, 32));
}

TEST(ImageDigest, NullArgumentsWriteNothing) {
    const uint8_t msg[] = "abc";
    uint8_t out[32];
    std::memset(out, 0x5A, sizeof out);
    uint32_t len = 99;
    EXPECT_EQ(ERR_NULL_POINTER, IMGSIGN_computeSHA256(nullptr, 3, out, &len));
    EXPECT_EQ(99u, len);
    EXPECT_EQ(ERR_NULL_POINTER, IMGSIGN_computeSHA256(msg, 3, nullptr, &len));
    EXPECT_EQ(ERR_NULL_POINTER, IMGSIGN_computeSHA256(msg, 3, out, nullptr));
    for (uint8_t b : out) EXPECT_EQ(0x5A, b);
}

}  // namespace
