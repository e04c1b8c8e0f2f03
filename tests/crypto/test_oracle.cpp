// OpenSSL as an independent oracle (host only): digests of random messages,
// AES-CBC, triple DES, and CTR_DRBG outputs where OpenSSL can produce them
// (AES with and without derivation function through its CTR-DRBG; triple
// DES through a reference generator built on OpenSSL's des-ede3).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "aes.h"
#include "ctr_drbg.h"
#include "des.h"
#include "digest.h"
#include "oracle_openssl.h"
#include "sha256.h"
#include "vector_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

TEST(OracleDigest, RandomMessagesAllTypes) {
    const struct { int32_t type; ossl::Md md; } rows[] = {
        {HASH_MD5, ossl::Md::md5},       {HASH_SHA1, ossl::Md::sha1},     {HASH_SHA224, ossl::Md::sha224},
        {HASH_SHA256, ossl::Md::sha256}, {HASH_SHA384, ossl::Md::sha384}, {HASH_SHA512, ossl::Md::sha512},
    };
    std::mt19937 rng(99);
    for (int kind = 0; kind < 3; ++kind) {
        if (!SHA256_transformAvailable(kind)) continue;
        SHA256_selectTransform(kind);
        for (int n = 0; n < 300; ++n) {
            const size_t len = n < 260 ? static_cast<size_t>(n) : rng() % 20000;
            Bytes msg = random_bytes(rng, len);
            msg.reserve(1);  // a non-null pointer also for the empty message
            for (const auto &row : rows) {
                uint8_t out[64];
                uint32_t outLen = 0;
                ASSERT_EQ(0, CRYPTO_digestByType(msg.data(), static_cast<uint32_t>(len), out, &outLen, row.type));
                EXPECT_EQ(tohex(ossl::digest(row.md, msg)), tohex(out, outLen)) << "type " << row.type << " len " << len;
            }
        }
    }
    SHA256_useHardware(1);
}

TEST(OracleAes, CbcRandomKeysAndLengths) {
    std::mt19937 rng(5);
    const struct { int keyLen; ossl::Cipher c; } kinds[] = {
        {16, ossl::Cipher::aes128cbc}, {24, ossl::Cipher::aes192cbc}, {32, ossl::Cipher::aes256cbc}};
    for (const auto &k : kinds) {
        for (int n = 0; n < 100; ++n) {
            Bytes key = random_bytes(rng, static_cast<size_t>(k.keyLen));
            Bytes iv = random_bytes(rng, 16);
            Bytes pt = random_bytes(rng, 16 * (rng() % 65));
            Bytes want = ossl::cipher(k.c, key, iv, pt, true);

            AesCtx *enc = CreateAESCtx(key.data(), k.keyLen, 1);
            ASSERT_NE(nullptr, enc);
            Bytes data = pt, ivb = iv;
            ASSERT_EQ(0, DoAES(enc, data.data(), static_cast<int32_t>(data.size()), 1, ivb.data()));
            EXPECT_EQ(tohex(want), tohex(data));
            FreeAESCtx(&enc);

            AesCtx *dec = CreateAESCtx(key.data(), k.keyLen, 0);
            ASSERT_NE(nullptr, dec);
            ivb = iv;
            ASSERT_EQ(0, DoAES(dec, data.data(), static_cast<int32_t>(data.size()), 0, ivb.data()));
            EXPECT_EQ(tohex(pt), tohex(data));
            FreeAESCtx(&dec);
        }
    }
}

TEST(OracleTripleDes, EcbAndCbcAgainstDesEde3) {
    std::mt19937 rng(11);
    for (int n = 0; n < 200; ++n) {
        Bytes key = random_bytes(rng, 24);
        Bytes pt = random_bytes(rng, 8 * (1 + rng() % 16));
        TdesKey ks;
        ASSERT_EQ(0, TDES_initKey(&ks, key.data()));
        Bytes ecb = ossl::cipher(ossl::Cipher::desede3ecb, key, {}, pt, true);
        for (size_t off = 0; off < pt.size(); off += 8) {
            uint8_t out[8], back[8];
            TDES_encryptBlock(&ks, pt.data() + off, out);
            ASSERT_EQ(tohex(ecb.data() + off, 8), tohex(out, 8));
            TDES_decryptBlock(&ks, out, back);
            ASSERT_EQ(tohex(pt.data() + off, 8), tohex(back, 8));
        }
        Bytes iv = random_bytes(rng, 8), ivb = iv, data = pt;
        DesCbcCtx *ctx = Create3DESCtx(key.data(), 24, 1);
        ASSERT_EQ(0, Do3DES(ctx, data.data(), static_cast<int32_t>(data.size()), 1, ivb.data()));
        EXPECT_EQ(tohex(ossl::cipher(ossl::Cipher::desede3cbc, key, iv, pt, true)), tohex(data));
        Free3DESCtx(&ctx);
    }
}

// Reference CTR_DRBG without derivation function over OpenSSL's des-ede3
// (SP 800-90A 10.2.1; the 168-bit key gets a parity bit after every 7 bits).
struct RefTdesDrbg {
    uint8_t key[21] = {}, v[8] = {};

    static Bytes expand(const uint8_t *k21) {
        Bytes k24(24);
        for (int j = 0; j < 24; ++j) {
            unsigned b = 0;
            for (int k = 0; k < 7; ++k) {
                const int bit = 7 * j + k;
                b = (b << 1) | ((k21[bit / 8] >> (7 - bit % 8)) & 1u);
            }
            k24[j] = static_cast<uint8_t>(b << 1);
        }
        return k24;
    }
    void encrypt(const uint8_t *in, uint8_t *out) const {
        Bytes k24 = expand(key);
        Bytes r = ossl::cipher(ossl::Cipher::desede3ecb, k24, {}, Bytes(in, in + 8), true);
        std::memcpy(out, r.data(), 8);
    }
    void inc() {
        for (int i = 7; i >= 0; --i)
            if (++v[i]) break;
    }
    void update(const Bytes &provided) {
        uint8_t temp[32];
        for (int off = 0; off < 29; off += 8) {
            inc();
            encrypt(v, temp + off);
        }
        for (int i = 0; i < 29; ++i) temp[i] ^= provided[i];
        std::memcpy(key, temp, 21);
        std::memcpy(v, temp + 21, 8);
    }
    static Bytes pad(const Bytes &b) {
        Bytes p(29, 0);
        if (!b.empty()) std::memcpy(p.data(), b.data(), std::min<size_t>(b.size(), 29));
        return p;
    }
    void instantiate(const Bytes &entropy, const Bytes &pers) {
        Bytes seed = entropy;
        Bytes p = pad(pers);
        for (int i = 0; i < 29; ++i) seed[i] ^= p[i];
        update(seed);
    }
    Bytes generate(size_t bytes, const Bytes &add) {
        Bytes a = pad(add);
        if (!add.empty()) update(a);
        Bytes out;
        while (out.size() < bytes) {
            inc();
            uint8_t b[8];
            encrypt(v, b);
            out.insert(out.end(), b, b + 8);
        }
        out.resize(bytes);
        update(a);
        return out;
    }
};

TEST(OracleCtrDrbg, TripleDesAgainstDesEde3Reference) {
    std::mt19937 rng(21);
    for (int n = 0; n < 40; ++n) {
        Bytes entropy = random_bytes(rng, 29);
        Bytes pers = random_bytes(rng, rng() % 30);
        RandomCtx *ctx = nullptr;
        ASSERT_EQ(0, CTR_DRBG_new(&ctx, entropy.data(), 29, 21, 8, pers.data(), static_cast<uint32_t>(pers.size())));
        RefTdesDrbg ref;
        ref.instantiate(entropy, pers);
        for (int call = 0; call < 3; ++call) {
            Bytes add = random_bytes(rng, call == 1 ? 0 : rng() % 30);
            const size_t bytes = 1 + rng() % 100;
            Bytes out(bytes);
            ASSERT_EQ(0, CTR_DRBG_generate(ctx, add.empty() ? nullptr : add.data(), static_cast<uint32_t>(add.size()),
                                           out.data(), static_cast<uint32_t>(bytes * 8)));
            EXPECT_EQ(tohex(ref.generate(bytes, add)), tohex(out)) << "case " << n << " call " << call;
        }
        RANDOM_free(&ctx);
    }
}

struct OsslDrbg {
    ossl::Drbg *d;
    bool ok;
    OsslDrbg(const char *cipher, int useDf, const Bytes &entropy, const Bytes &nonce, const Bytes &pers, unsigned strength)
        : d(ossl::drbg_new(cipher, useDf, entropy, nonce, pers, strength)), ok(d != nullptr) {}
    ~OsslDrbg() { ossl::drbg_free(d); }
    Bytes generate(size_t n, const Bytes &add, unsigned strength) { return ossl::drbg_generate(d, n, add, strength); }
};

TEST(OracleCtrDrbg, AesWithAndWithoutDerivationFunction) {
    std::mt19937 rng(33);
    const struct { const char *cipher; uint32_t keyLen; unsigned strength; } kinds[] = {
        {"AES-128-CTR", 16, 128}, {"AES-192-CTR", 24, 192}, {"AES-256-CTR", 32, 256}};
    int compared = 0;
    for (const auto &k : kinds) {
        for (int useDf = 0; useDf <= 1; ++useDf) {
            for (int n = 0; n < 10; ++n) {
                // Without df OpenSSL takes seed-length entropy; with df the
                // key length of entropy and a nonce of half of it.
                Bytes entropy = random_bytes(rng, useDf ? k.keyLen : k.keyLen + 16);
                Bytes nonce = useDf ? random_bytes(rng, k.keyLen / 2) : Bytes{};
                // OpenSSL substitutes its own string for an empty
                // personalisation, so the comparison always passes one.
                Bytes pers = random_bytes(rng, 1 + (useDf ? rng() % 60 : rng() % (k.keyLen + 16)));
                OsslDrbg ref(k.cipher, useDf, entropy, nonce, pers, k.strength);
                ASSERT_TRUE(ref.ok) << k.cipher << " df=" << useDf;
                RandomCtx *ctx = nullptr;
                if (useDf)
                    ASSERT_EQ(0, CTR_DRBG_newDf(&ctx, entropy.data(), static_cast<uint32_t>(entropy.size()), nonce.data(),
                                                static_cast<uint32_t>(nonce.size()), k.keyLen, 16,
                                                pers.empty() ? nullptr : pers.data(), static_cast<uint32_t>(pers.size())));
                else
                    ASSERT_EQ(0, CTR_DRBG_new(&ctx, entropy.data(), static_cast<uint32_t>(entropy.size()), k.keyLen, 16,
                                              pers.empty() ? nullptr : pers.data(), static_cast<uint32_t>(pers.size())));
                for (int call = 0; call < 3; ++call) {
                    Bytes add = random_bytes(rng, call == 0 ? 0 : rng() % (useDf ? 70 : k.keyLen + 17));
                    const size_t bytes = 1 + rng() % 200;
                    Bytes want = ref.generate(bytes, add, k.strength);
                    ASSERT_EQ(bytes, want.size());
                    Bytes out(bytes);
                    ASSERT_EQ(0, CTR_DRBG_generate(ctx, add.empty() ? nullptr : add.data(),
                                                   static_cast<uint32_t>(add.size()), out.data(),
                                                   static_cast<uint32_t>(bytes * 8)));
                    EXPECT_EQ(tohex(want), tohex(out)) << k.cipher << " df=" << useDf << " case " << n << " call " << call;
                    ++compared;
                }
                RANDOM_free(&ctx);
            }
        }
    }
    EXPECT_EQ(180, compared);
}

}  // namespace
