// RSA verification against OpenSSL signatures: keys of 1024 to 4096 bits
// built from deterministic primes, random digests (host only).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <random>
#include <string>

#include "base64.h"
#include "crypto_test_util.h"
#include "imgsign_verify.h"

using namespace cryptotest;

namespace {

// The next prime at or above a random odd number of the given size, with
// its top two bits set so that p*q has exactly twice the bits.
BIGNUM* prime(std::mt19937& rng, int bits, BN_CTX* ctx) {
    Bytes b(static_cast<size_t>(bits / 8));
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    b[0] |= 0xC0;
    b.back() |= 1;
    BIGNUM* p = BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
    while (BN_check_prime(p, ctx, nullptr) != 1) BN_add_word(p, 2);
    return p;
}

TEST(RsaOracle, OpenSslSignaturesVerify) {
    ASSERT_EQ(0, BASE64_initializeContext());
    std::mt19937 rng(4242);
    BN_CTX* ctx = BN_CTX_new();
    for (int bits : {1024, 1536, 2048, 3072, 4096}) {
        BIGNUM* p = prime(rng, bits / 2, ctx);
        BIGNUM* q = prime(rng, bits / 2, ctx);
        BIGNUM* n = BN_new();
        BIGNUM* e = BN_new();
        BIGNUM* phi = BN_new();
        BIGNUM* d = BN_new();
        BN_mul(n, p, q, ctx);
        BN_set_word(e, 65537);
        BIGNUM* p1 = BN_dup(p);
        BIGNUM* q1 = BN_dup(q);
        BN_sub_word(p1, 1);
        BN_sub_word(q1, 1);
        BN_mul(phi, p1, q1, ctx);
        ASSERT_NE(nullptr, BN_mod_inverse(d, e, phi, ctx));
        RSA* rsa = RSA_new();
        RSA_set0_key(rsa, n, e, d);
        unsigned char* der = nullptr;
        const int derLen = i2d_RSA_PUBKEY(rsa, &der);
        ASSERT_GT(derLen, 0);
        const std::string key = pem(Bytes(der, der + derLen));
        OPENSSL_free(der);
        for (int i = 0; i < 6; ++i) {
            Bytes dg(32);
            for (auto& x : dg) x = static_cast<uint8_t>(rng());
            Bytes sig(static_cast<size_t>(RSA_size(rsa)));
            unsigned sigLen = 0;
            ASSERT_EQ(1, RSA_sign(NID_sha256, dg.data(), 32, sig.data(), &sigLen, rsa));
            sig.resize(sigLen);
            EXPECT_EQ(0, IMGSIGN_verifySignature(dg.data(), 32, sig.data(), sigLen, u8(key),
                                                 static_cast<uint32_t>(key.size())))
                << bits << " bits, digest " << i;
            Bytes other = dg;
            other[static_cast<size_t>(i)] ^= 0x80;
            EXPECT_EQ(-7711, IMGSIGN_verifySignature(other.data(), 32, sig.data(), sigLen, u8(key),
                                                     static_cast<uint32_t>(key.size())));
            sig[sig.size() / 2] ^= 1;
            EXPECT_LT(IMGSIGN_verifySignature(dg.data(), 32, sig.data(), sigLen, u8(key),
                                              static_cast<uint32_t>(key.size())),
                      0);
        }
        // A SHA-1 signature never matches a 32-byte digest, but gives its own 20 bytes.
        Bytes dg1(20, 0x5C);
        Bytes sig(static_cast<size_t>(RSA_size(rsa)));
        unsigned sigLen = 0;
        ASSERT_EQ(1, RSA_sign(NID_sha1, dg1.data(), 20, sig.data(), &sigLen, rsa));
        Bytes dg32 = cat({dg1, Bytes(12, 0)});
        EXPECT_EQ(-7711, IMGSIGN_verifySignature(dg32.data(), 32, sig.data(), sigLen, u8(key),
                                                 static_cast<uint32_t>(key.size())));
        EXPECT_EQ(0, IMGSIGN_verifySignature(dg1.data(), 20, sig.data(), sigLen, u8(key),
                                             static_cast<uint32_t>(key.size())));
        RSA_free(rsa);
        for (BIGNUM* x : {p, q, phi, p1, q1}) BN_free(x);
    }
    BN_CTX_free(ctx);
}

// A genuine signature by an exponent-3 key, made and verified by OpenSSL,
// is refused all the same with -7708: the key is refused before its
// signature is looked at.
TEST(RsaOracle, OpenSslExponentThreeSignatureIsRefused) {
    ASSERT_EQ(0, BASE64_initializeContext());
    RSA* rsa = RSA_new();
    BIGNUM* e = BN_new();
    BN_set_word(e, 3);
    ASSERT_EQ(1, RSA_generate_key_ex(rsa, 2048, e, nullptr));
    unsigned char* der = nullptr;
    const int derLen = i2d_RSA_PUBKEY(rsa, &der);
    ASSERT_GT(derLen, 0);
    const std::string key = pem(Bytes(der, der + derLen));
    OPENSSL_free(der);
    const Bytes dg(32, 0x3C);
    Bytes sig(static_cast<size_t>(RSA_size(rsa)));
    unsigned sigLen = 0;
    ASSERT_EQ(1, RSA_sign(NID_sha256, dg.data(), 32, sig.data(), &sigLen, rsa));
    ASSERT_EQ(1, RSA_verify(NID_sha256, dg.data(), 32, sig.data(), sigLen, rsa));
    EXPECT_EQ(-7708, IMGSIGN_verifySignature(dg.data(), 32, sig.data(), sigLen, u8(key),
                                             static_cast<uint32_t>(key.size())));
    RSA_free(rsa);
    BN_free(e);
}

}  // namespace
