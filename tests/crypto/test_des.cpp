// DES and triple DES: published known answers, round trips and the CBC
// context contracts; the bulk cipher table rows. (The OpenSSL comparison lives in the host-only oracle
// test.)
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "aes.h"
#include "bulk_cipher.h"
#include "des.h"
#include "vector_file.h"

namespace {

TEST(Des, KnownAnswers) {
    const struct { const char *key, *pt, *ct; } cases[] = {
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},  // "Now is t"
        {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
        {"0101010101010101", "95f8a5e5dd31d900", "8000000000000000"},  // variable-plaintext table, first entry
        {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable-key table, first entry
    };
    for (const auto &c : cases) {
        auto key = unhex(c.key), pt = unhex(c.pt);
        DesKey ks;
        ASSERT_EQ(0, DES_initKey(&ks, key.data()));
        uint8_t out[8], back[8];
        DES_encryptBlock(&ks, pt.data(), out);
        EXPECT_EQ(c.ct, tohex(out, 8)) << c.key;
        DES_decryptBlock(&ks, out, back);
        EXPECT_EQ(c.pt, tohex(back, 8)) << c.key;
    }
}

// With k1 = k2 = k3 triple DES collapses to single DES; with k1 = k2 it
// collapses to E(k3).
TEST(TripleDes, DegenerateKeysMatchSingleDes) {
    std::mt19937 rng(7);
    for (int n = 0; n < 50; ++n) {
        uint8_t k[24], pt[8], single[8], triple[8];
        for (auto &b : k) b = static_cast<uint8_t>(rng());
        for (auto &b : pt) b = static_cast<uint8_t>(rng());
        std::memcpy(k + 8, k, 8);  // k2 = k1
        TdesKey t;
        ASSERT_EQ(0, TDES_initKey(&t, k));
        DesKey s;
        DES_initKey(&s, k + 16);
        TDES_encryptBlock(&t, pt, triple);
        DES_encryptBlock(&s, pt, single);
        EXPECT_EQ(tohex(single, 8), tohex(triple, 8));
        uint8_t back[8];
        TDES_decryptBlock(&t, triple, back);
        EXPECT_EQ(tohex(pt, 8), tohex(back, 8));
    }
}

// Parity bits (the low bit of each key byte) do not change the cipher.
TEST(Des, ParityBitsIgnored) {
    auto key = unhex("133457799bbcdff1");
    auto flipped = key;
    for (auto &b : flipped) b ^= 1;
    DesKey a, b;
    DES_initKey(&a, key.data());
    DES_initKey(&b, flipped.data());
    EXPECT_EQ(0, std::memcmp(a.subkeys, b.subkeys, sizeof a.subkeys));
}

TEST(TripleDes, CbcContexts) {
    auto key = unhex("0123456789abcdef23456789abcdef01456789abcdef0123");
    std::vector<uint8_t> pt(40);
    for (size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<uint8_t>(i * 13);
    DesCbcCtx *enc = Create3DESCtx(key.data(), 24, 1);
    DesCbcCtx *dec = Create3DESCtx(key.data(), 24, 0);
    ASSERT_TRUE(enc && dec);

    auto whole = pt;
    uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, Do3DES(enc, whole.data(), 40, 1, iv));
    auto parts = pt;
    uint8_t iv2[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, Do3DES(enc, parts.data(), 16, 1, iv2));
    ASSERT_EQ(0, Do3DES(enc, parts.data() + 16, 24, 1, iv2));
    EXPECT_EQ(tohex(whole), tohex(parts));
    EXPECT_EQ(0, std::memcmp(iv, iv2, 8));
    EXPECT_EQ(0, std::memcmp(iv, whole.data() + 32, 8));

    uint8_t iv3[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, Do3DES(dec, whole.data(), 40, 0, iv3));
    EXPECT_EQ(tohex(pt), tohex(whole));

    auto keep = pt;
    EXPECT_EQ(ERR_DES_BAD_LENGTH, Do3DES(enc, keep.data(), 7, 1, iv));
    EXPECT_EQ(ERR_DES_BAD_LENGTH, Do3DES(enc, keep.data(), 9, 1, iv));
    EXPECT_EQ(tohex(pt), tohex(keep));
    EXPECT_EQ(ERR_DES_BAD_DIRECTION, Do3DES(enc, keep.data(), 8, 0, iv));
    EXPECT_EQ(ERR_DES_BAD_DIRECTION, DoDES(enc, keep.data(), 8, 1, iv));
    EXPECT_EQ(ERR_NULL_POINTER, Do3DES(enc, keep.data(), 8, 1, nullptr));

    EXPECT_EQ(nullptr, Create3DESCtx(key.data(), 21, 1));
    EXPECT_EQ(nullptr, Create3DESCtx(nullptr, 24, 1));
    EXPECT_EQ(nullptr, CreateDESCtx(key.data(), 24, 1));
    EXPECT_EQ(0, Free3DESCtx(&enc));
    EXPECT_EQ(nullptr, enc);
    EXPECT_EQ(0, Free3DESCtx(&enc));
    EXPECT_EQ(0, FreeDESCtx(&dec));
}

}  // namespace

namespace {

// Each table row round-trips through its function pointers and matches the
// direct calls.
TEST(BulkCipherTable, RowsMatchDirectCalls) {
    const struct { const CipherSuite *suite; uint32_t block; int32_t keyLen; } rows[] = {
        {&CRYPTO_aesSuite, 16, 16}, {&CRYPTO_aesSuite, 16, 32}, {&CRYPTO_desSuite, 8, 8}, {&CRYPTO_tdesSuite, 8, 24}};
    for (const auto &row : rows) {
        EXPECT_EQ(row.block, row.suite->blockSize);
        std::vector<uint8_t> key(static_cast<size_t>(row.keyLen));
        for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x30 + i);
        std::vector<uint8_t> pt(row.block * 3);
        for (size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<uint8_t>(i);
        void *enc = row.suite->createCtx(key.data(), row.keyLen, 1);
        void *dec = row.suite->createCtx(key.data(), row.keyLen, 0);
        ASSERT_TRUE(enc && dec);
        std::vector<uint8_t> data = pt, direct = pt;
        uint8_t iv[16] = {}, iv2[16] = {};
        ASSERT_EQ(0, row.suite->cipher(enc, data.data(), static_cast<int32_t>(data.size()), 1, iv));
        if (row.block == 16) {
            AesCtx *a = CreateAESCtx(key.data(), row.keyLen, 1);
            ASSERT_EQ(0, DoAES(a, direct.data(), static_cast<int32_t>(direct.size()), 1, iv2));
            FreeAESCtx(&a);
        } else {
            DesCbcCtx *d = row.keyLen == 8 ? CreateDESCtx(key.data(), 8, 1) : Create3DESCtx(key.data(), 24, 1);
            ASSERT_EQ(0, (row.keyLen == 8 ? DoDES : Do3DES)(d, direct.data(), static_cast<int32_t>(direct.size()), 1, iv2));
            FreeDESCtx(&d);
        }
        EXPECT_EQ(tohex(direct), tohex(data));
        std::memset(iv, 0, sizeof iv);
        ASSERT_EQ(0, row.suite->cipher(dec, data.data(), static_cast<int32_t>(data.size()), 0, iv));
        EXPECT_EQ(tohex(pt), tohex(data));
        EXPECT_EQ(row.block == 16 ? MSTATUS{ERR_AES_BAD_LENGTH} : MSTATUS{ERR_DES_BAD_LENGTH},
                  row.suite->cipher(enc, data.data(), static_cast<int32_t>(row.block) - 1, 1, iv));
        EXPECT_EQ(0, row.suite->freeCtx(&enc));
        EXPECT_EQ(nullptr, enc);
        EXPECT_EQ(0, row.suite->freeCtx(&dec));
        EXPECT_EQ(nullptr, row.suite->createCtx(key.data(), row.keyLen + 1, 1));
    }
}

}  // namespace
