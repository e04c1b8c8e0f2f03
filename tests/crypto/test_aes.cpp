// AES against the NIST KAT and MMT files (ECB and CBC, all key sizes) and
// the contracts of CreateAESCtx / DoAES / FreeAESCtx.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "aes.h"
#include "vector_file.h"

namespace {

struct AesFile {
    std::string name;
    bool cbc;
};

std::vector<AesFile> all_files() {
    std::vector<AesFile> out;
    for (const char *mode : {"ECB", "CBC"})
        for (const char *kind : {"GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"})
            for (const char *bits : {"128", "192", "256"})
                out.push_back({std::string(mode) + kind + bits, std::string(mode) == "CBC"});
    return out;
}

class AesVectors : public ::testing::TestWithParam<AesFile> {};

// Every ENCRYPT and DECRYPT record; CBC runs through DoAES in place, ECB
// through the routines on an ECB-keyed context.
TEST_P(AesVectors, File) {
    const auto &f = GetParam();
    auto recs = read_vector_file("aes/" + f.name + ".rsp");
    ASSERT_GT(recs.size(), 4u) << f.name;
    int enc = 0, dec = 0;
    for (const auto &r : recs) {
        const bool encrypt = r.has_section("ENCRYPT");
        ASSERT_TRUE(encrypt || r.has_section("DECRYPT"));
        auto key = unhex(*r.get("KEY"));
        auto pt = unhex(*r.get("PLAINTEXT"));
        auto ct = unhex(*r.get("CIPHERTEXT"));
        ASSERT_EQ(pt.size(), ct.size());
        std::vector<uint8_t> data = encrypt ? pt : ct;
        const std::vector<uint8_t> &want = encrypt ? ct : pt;
        if (f.cbc) {
            auto iv = unhex(*r.get("IV"));
            AesCtx *ctx = CreateAESCtx(key.data(), static_cast<int32_t>(key.size()), encrypt);
            ASSERT_NE(nullptr, ctx);
            ASSERT_EQ(0, DoAES(ctx, data.data(), static_cast<int32_t>(data.size()), encrypt, iv.data()));
            // The IV buffer ends holding the last ciphertext block.
            EXPECT_EQ(tohex(ct.data() + ct.size() - 16, 16), tohex(iv));
            FreeAESCtx(&ctx);
        } else {
            AesCtx ctx;
            ASSERT_EQ(0, AES_initKey(&ctx, key.data(), static_cast<int32_t>(key.size() * 8), encrypt, AES_MODE_ECB));
            int32_t done = -1;
            const int32_t bits = static_cast<int32_t>(data.size() * 8);
            ASSERT_EQ(0, encrypt ? AES_encrypt(&ctx, nullptr, data.data(), bits, data.data(), &done)
                                 : AES_decrypt(&ctx, nullptr, data.data(), bits, data.data(), &done));
            EXPECT_EQ(bits, done);
        }
        EXPECT_EQ(tohex(want), tohex(data)) << f.name << " " << (encrypt ? "ENCRYPT " : "DECRYPT ") << *r.get("COUNT");
        (encrypt ? enc : dec)++;
    }
    EXPECT_GT(enc, 0);
    EXPECT_GT(dec, 0);
}

INSTANTIATE_TEST_SUITE_P(Nist, AesVectors, ::testing::ValuesIn(all_files()),
                         [](const auto &info) { return info.param.name; });

// FIPS 197 appendix C examples, one per key size.
TEST(Aes, Fips197Examples) {
    const struct { const char *key, *ct; } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto &c : cases) {
        auto key = unhex(c.key);
        auto block = unhex("00112233445566778899aabbccddeeff");
        AesCtx ctx;
        ASSERT_EQ(0, AES_initKey(&ctx, key.data(), static_cast<int32_t>(key.size() * 8), 1, AES_MODE_ECB));
        EXPECT_EQ(static_cast<uint32_t>(key.size() / 4 + 6), ctx.rounds);
        uint8_t out[16];
        AES_encryptBlock(&ctx, block.data(), out);
        EXPECT_EQ(c.ct, tohex(out, 16));
    }
}

// SP 800-38A F.2.1: two CBC blocks in one call equal two one-block calls
// that share the IV buffer.
TEST(Aes, CbcChainsAcrossCalls) {
    auto key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    auto pt = unhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    const std::string want = "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2";
    AesCtx *ctx = CreateAESCtx(key.data(), 16, 1);
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(1u, ctx->encrypt);
    EXPECT_EQ(static_cast<uint32_t>(AES_MODE_CBC), ctx->mode);
    EXPECT_EQ(128u, ctx->keyBits);

    auto one = pt;
    auto iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(0, DoAES(ctx, one.data(), 32, 1, iv.data()));
    EXPECT_EQ(want, tohex(one));

    auto two = pt;
    iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(0, DoAES(ctx, two.data(), 16, 1, iv.data()));
    ASSERT_EQ(0, DoAES(ctx, two.data() + 16, 16, 1, iv.data()));
    EXPECT_EQ(want, tohex(two));
    FreeAESCtx(&ctx);

    // Decrypting in place restores the plaintext, also in two calls.
    AesCtx *dctx = CreateAESCtx(key.data(), 16, 0);
    ASSERT_NE(nullptr, dctx);
    iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(0, DoAES(dctx, two.data(), 16, 0, iv.data()));
    ASSERT_EQ(0, DoAES(dctx, two.data() + 16, 16, 0, iv.data()));
    EXPECT_EQ(tohex(pt), tohex(two));
    FreeAESCtx(&dctx);
}

TEST(Aes, LengthsOtherThanWholeBlocksLeaveDataAlone) {
    auto key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    AesCtx *ctx = CreateAESCtx(key.data(), 16, 1);
    ASSERT_NE(nullptr, ctx);
    for (int32_t len : {15, 17, 1, 31, -1}) {
        std::vector<uint8_t> data(48, 0x3C);
        uint8_t iv[16] = {7};
        EXPECT_EQ(ERR_AES_BAD_LENGTH, DoAES(ctx, data.data(), len, 1, iv)) << len;
        EXPECT_EQ(std::vector<uint8_t>(48, 0x3C), data) << len;
        EXPECT_EQ(7, iv[0]);
    }
    std::vector<uint8_t> data(16, 0x3C);
    uint8_t iv[16] = {7};
    EXPECT_EQ(0, DoAES(ctx, data.data(), 0, 1, iv));
    EXPECT_EQ(std::vector<uint8_t>(16, 0x3C), data);
    EXPECT_EQ(7, iv[0]);
    FreeAESCtx(&ctx);
}

TEST(Aes, WrongDirectionAndNulls) {
    auto key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    AesCtx *enc = CreateAESCtx(key.data(), 16, 1);
    AesCtx *dec = CreateAESCtx(key.data(), 16, 0);
    ASSERT_TRUE(enc && dec);
    std::vector<uint8_t> data(32, 0x11);
    uint8_t iv[16] = {};
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, DoAES(enc, data.data(), 32, 0, iv));
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, DoAES(dec, data.data(), 32, 1, iv));
    EXPECT_EQ(std::vector<uint8_t>(32, 0x11), data);
    EXPECT_EQ(ERR_NULL_POINTER, DoAES(nullptr, data.data(), 32, 1, iv));
    EXPECT_EQ(ERR_NULL_POINTER, DoAES(enc, nullptr, 32, 1, iv));
    EXPECT_EQ(ERR_NULL_POINTER, DoAES(enc, data.data(), 32, 1, nullptr));

    int32_t done = 5;
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_encrypt(dec, iv, data.data(), 256, data.data(), &done));
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_decrypt(enc, iv, data.data(), 256, data.data(), &done));
    EXPECT_EQ(ERR_NULL_POINTER, AES_encrypt(nullptr, iv, data.data(), 256, data.data(), &done));
    // A partial block counts as not processed.
    ASSERT_EQ(0, AES_encrypt(enc, iv, data.data(), 200, data.data(), &done));
    EXPECT_EQ(128, done);
    ASSERT_EQ(0, AES_encrypt(enc, iv, data.data(), 0, data.data(), &done));
    EXPECT_EQ(0, done);

    AesCtx bad = *enc;
    bad.mode = 3;
    EXPECT_EQ(ERR_AES_BAD_MODE, AES_encrypt(&bad, iv, data.data(), 128, data.data(), &done));
    bad.encrypt = 0;
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_decrypt(&bad, iv, data.data(), 128, data.data(), &done));
    FreeAESCtx(&enc);
    FreeAESCtx(&dec);
}

TEST(Aes, CreateRejectsBadKeysAndFreeClears) {
    uint8_t key[40] = {};
    for (int32_t len : {0, 8, 15, 20, 31, 33, 40, -16}) EXPECT_EQ(nullptr, CreateAESCtx(key, len, 1)) << len;
    EXPECT_EQ(nullptr, CreateAESCtx(nullptr, 16, 1));
    for (int32_t len : {16, 24, 32}) {
        AesCtx *ctx = CreateAESCtx(key, len, 0);
        ASSERT_NE(nullptr, ctx) << len;
        EXPECT_EQ(static_cast<uint32_t>(len * 8), ctx->keyBits);
        EXPECT_EQ(0u, ctx->encrypt);
        EXPECT_EQ(0, FreeAESCtx(&ctx));
        EXPECT_EQ(nullptr, ctx);
        EXPECT_EQ(0, FreeAESCtx(&ctx));
    }
    EXPECT_EQ(0, FreeAESCtx(nullptr));
    AesCtx st;
    EXPECT_EQ(ERR_AES_BAD_KEY_LENGTH, AES_initKey(&st, key, 160, 1, AES_MODE_CBC));
    EXPECT_EQ(ERR_NULL_POINTER, AES_initKey(&st, nullptr, 128, 1, AES_MODE_CBC));
}

// Unaligned buffers give the same result as aligned ones.
TEST(Aes, UnalignedBuffers) {
    auto key = unhex("000102030405060708090a0b0c0d0e0f1011121314151617");
    alignas(16) uint8_t aligned[64 + 16];
    for (int i = 0; i < 64; ++i) aligned[i] = static_cast<uint8_t>(i * 7);
    AesCtx *ctx = CreateAESCtx(key.data(), 24, 1);
    ASSERT_NE(nullptr, ctx);
    uint8_t iv1[17] = {}, ivbuf[17] = {};
    std::vector<uint8_t> ref(aligned, aligned + 64);
    ASSERT_EQ(0, DoAES(ctx, ref.data(), 64, 1, iv1));
    for (int off = 1; off < 4; ++off) {
        uint8_t buf[64 + 8];
        std::memcpy(buf + off, aligned, 64);
        std::memset(ivbuf, 0, sizeof ivbuf);
        ASSERT_EQ(0, DoAES(ctx, buf + off, 64, 1, ivbuf + 1));
        EXPECT_EQ(tohex(ref), tohex(buf + off, 64)) << off;
    }
    FreeAESCtx(&ctx);
}

}  // namespace
