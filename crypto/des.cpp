// DES (FIPS 46-3) with the round function's S-boxes and P permutation
// combined into eight 64-entry tables computed at compile time. Bit
// positions in the permutation tables count from 1 at the most significant
// bit, as the standard writes them.
#include "des.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "byteorder.h"

namespace {

constexpr uint8_t IP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                            62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                            57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                            61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t E[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                           12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                           22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr uint8_t P[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                           2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t PC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                             10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                             63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                             14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t PC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                             26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                             51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t SHIFTS[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t SBOX[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,   0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,   15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,   3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,   13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,   13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,   1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,   13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,   3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,   14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,   11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,   10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,   4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,   13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,   6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,   1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,   2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11},
};

// Each row of each S-box is a permutation of 0..15.
constexpr bool sboxes_well_formed() {
    for (int s = 0; s < 8; ++s)
        for (int row = 0; row < 4; ++row) {
            unsigned seen = 0;
            for (int c = 0; c < 16; ++c) seen |= 1u << SBOX[s][16 * row + c];
            if (seen != 0xFFFFu) return false;
        }
    return true;
}
static_assert(sboxes_well_formed(), "DES S-box rows must be permutations");

// Generic permutation: output bit i (from the MSB of an outBits-wide value)
// is input bit table[i] (from the MSB of an inBits-wide value).
constexpr uint64_t permute(uint64_t in, int inBits, const uint8_t *table, int outBits) {
    uint64_t out = 0;
    for (int i = 0; i < outBits; ++i) out = (out << 1) | ((in >> (inBits - table[i])) & 1u);
    return out;
}

// SP[s][v]: S-box s applied to the 6-bit value v (bits b1..b6 with b1 the
// MSB; row b1b6, column b2..b5), placed at its nibble and run through P.
constexpr std::array<std::array<uint32_t, 64>, 8> make_sp() {
    std::array<std::array<uint32_t, 64>, 8> sp{};
    for (int s = 0; s < 8; ++s)
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 15;
            const uint64_t nib = uint64_t{SBOX[s][16 * row + col]} << (28 - 4 * s);
            sp[s][v] = static_cast<uint32_t>(permute(nib, 32, P, 32));
        }
    return sp;
}
constexpr auto SP = make_sp();

constexpr std::array<uint8_t, 64> make_fp() {
    std::array<uint8_t, 64> fp{};
    for (int i = 0; i < 64; ++i) fp[IP[i] - 1] = static_cast<uint8_t>(i + 1);
    return fp;
}
constexpr auto FP = make_fp();

inline uint32_t feistel(uint32_t r, uint64_t k) {
    const uint64_t x = permute(r, 32, E, 48) ^ k;
    uint32_t out = 0;
    for (int s = 0; s < 8; ++s) out |= SP[s][(x >> (42 - 6 * s)) & 63];
    return out;
}

void crypt_block(const DesKey *ks, const uint8_t *in, uint8_t *out, bool decrypt) {
    const uint64_t v = permute(load_be64(in), 64, IP, 64);
    uint32_t l = static_cast<uint32_t>(v >> 32), r = static_cast<uint32_t>(v);
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = l ^ feistel(r, ks->subkeys[decrypt ? 15 - i : i]);
        l = r;
        r = t;
    }
    // The halves are swapped before the final permutation.
    const uint64_t pre = (uint64_t{r} << 32) | l;
    store_be64(out, permute(pre, 64, FP.data(), 64));
}

MSTATUS cbc(DesCbcCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv, bool triple) {
    if (len % DES_BLOCK_SIZE != 0) return ERR_DES_BAD_LENGTH;
    if (!ctx || (!data && len > 0) || !iv) return ERR_NULL_POINTER;
    if ((encrypt != 0) != (ctx->encrypt != 0) || (ctx->triple != 0) != triple) return ERR_DES_BAD_DIRECTION;
    for (int32_t off = 0; off + DES_BLOCK_SIZE <= len; off += DES_BLOCK_SIZE) {
        uint8_t *b = data + off;
        if (encrypt) {
            for (int i = 0; i < 8; ++i) b[i] ^= iv[i];
            if (triple) TDES_encryptBlock(&ctx->keys, b, b);
            else DES_encryptBlock(&ctx->keys.k[0], b, b);
            std::memcpy(iv, b, 8);
        } else {
            uint8_t c[8];
            std::memcpy(c, b, 8);
            if (triple) TDES_decryptBlock(&ctx->keys, b, b);
            else DES_decryptBlock(&ctx->keys.k[0], b, b);
            for (int i = 0; i < 8; ++i) b[i] ^= iv[i];
            std::memcpy(iv, c, 8);
        }
    }
    return CRYPTO_OK;
}

DesCbcCtx *create(const uint8_t *key, int32_t keyLen, int32_t encrypt, bool triple) {
    if (!key || keyLen != (triple ? 24 : 8)) return nullptr;
    auto *ctx = static_cast<DesCbcCtx *>(std::calloc(1, sizeof(DesCbcCtx)));
    if (!ctx) return nullptr;
    ctx->encrypt = encrypt ? 1u : 0u;
    ctx->triple = triple ? 1u : 0u;
    if (triple) TDES_initKey(&ctx->keys, key);
    else DES_initKey(&ctx->keys.k[0], key);
    return ctx;
}

MSTATUS destroy(DesCbcCtx **ctx) {
    if (!ctx || !*ctx) return CRYPTO_OK;
    CRYPTO_secureZero(*ctx, sizeof(DesCbcCtx));
    std::free(*ctx);
    *ctx = nullptr;
    return CRYPTO_OK;
}

}  // namespace

extern "C" {

MSTATUS DES_initKey(DesKey *ks, const uint8_t *key) {
    if (!ks || !key) return ERR_NULL_POINTER;
    const uint64_t cd = permute(load_be64(key), 64, PC1, 56);
    uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFFu;
    uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFFu;
    for (int i = 0; i < 16; ++i) {
        for (int s = 0; s < SHIFTS[i]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFFu;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFFu;
        }
        ks->subkeys[i] = permute((uint64_t{c} << 28) | d, 56, PC2, 48);
    }
    return CRYPTO_OK;
}

MSTATUS TDES_initKey(TdesKey *ks, const uint8_t *key) {
    if (!ks || !key) return ERR_NULL_POINTER;
    for (size_t i = 0; i < 3; ++i) DES_initKey(&ks->k[i], key + 8 * i);
    return CRYPTO_OK;
}

void DES_encryptBlock(const DesKey *ks, const uint8_t *in, uint8_t *out) { crypt_block(ks, in, out, false); }
void DES_decryptBlock(const DesKey *ks, const uint8_t *in, uint8_t *out) { crypt_block(ks, in, out, true); }

void TDES_encryptBlock(const TdesKey *ks, const uint8_t *in, uint8_t *out) {
    crypt_block(&ks->k[0], in, out, false);
    crypt_block(&ks->k[1], out, out, true);
    crypt_block(&ks->k[2], out, out, false);
}

void TDES_decryptBlock(const TdesKey *ks, const uint8_t *in, uint8_t *out) {
    crypt_block(&ks->k[2], in, out, true);
    crypt_block(&ks->k[1], out, out, false);
    crypt_block(&ks->k[0], out, out, true);
}

DesCbcCtx *CreateDESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt) { return create(key, keyLen, encrypt, false); }
DesCbcCtx *Create3DESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt) { return create(key, keyLen, encrypt, true); }
MSTATUS DoDES(DesCbcCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    return cbc(ctx, data, len, encrypt, iv, false);
}
MSTATUS Do3DES(DesCbcCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    return cbc(ctx, data, len, encrypt, iv, true);
}
MSTATUS FreeDESCtx(DesCbcCtx **ctx) { return destroy(ctx); }
MSTATUS Free3DESCtx(DesCbcCtx **ctx) { return destroy(ctx); }

}  // extern "C"
