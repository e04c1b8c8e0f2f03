// AES (FIPS 197). The S-box and the round tables are computed at compile
// time into read-only data: Te* combine SubBytes, ShiftRows and MixColumns
// for one state byte, Td* the inverse steps for the equivalent inverse
// cipher (FIPS 197 section 5.3.5). State words are big-endian column words.
#include "aes.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "byteorder.h"

namespace {

constexpr uint8_t xtime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr std::array<uint8_t, 256> make_sbox() {
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        // Multiplicative inverse by x^254, then the affine transformation.
        uint8_t inv = 0;
        if (x) {
            uint8_t p = static_cast<uint8_t>(x), r = 1;
            for (int e = 254; e; e >>= 1) {
                if (e & 1) r = gmul(r, p);
                p = gmul(p, p);
            }
            inv = r;
        }
        uint8_t b = inv;
        uint8_t y = b;
        for (int i = 1; i <= 4; ++i) y ^= static_cast<uint8_t>((b << i) | (b >> (8 - i)));
        s[x] = static_cast<uint8_t>(y ^ 0x63);
    }
    return s;
}

constexpr std::array<uint8_t, 256> SBOX = make_sbox();

constexpr std::array<uint8_t, 256> make_inv_sbox() {
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) s[SBOX[x]] = static_cast<uint8_t>(x);
    return s;
}

constexpr std::array<uint8_t, 256> INV_SBOX = make_inv_sbox();

static_assert(SBOX[0x00] == 0x63 && SBOX[0x53] == 0xed && SBOX[0xff] == 0x16, "S-box");

constexpr uint32_t rotr8(uint32_t w, int n) { return (w >> n) | (w << (32 - n)); }

using Table = std::array<uint32_t, 256>;

constexpr Table make_te(int rot) {
    Table t{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = SBOX[x];
        const uint32_t w = (uint32_t{gmul(s, 2)} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) | gmul(s, 3);
        t[x] = rot ? rotr8(w, rot) : w;
    }
    return t;
}

constexpr Table make_td(int rot) {
    Table t{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = INV_SBOX[x];
        const uint32_t w = (uint32_t{gmul(s, 14)} << 24) | (uint32_t{gmul(s, 9)} << 16) |
                           (uint32_t{gmul(s, 13)} << 8) | gmul(s, 11);
        t[x] = rot ? rotr8(w, rot) : w;
    }
    return t;
}

alignas(64) constexpr Table TE0 = make_te(0);
alignas(64) constexpr Table TE1 = make_te(8);
alignas(64) constexpr Table TE2 = make_te(16);
alignas(64) constexpr Table TE3 = make_te(24);
alignas(64) constexpr Table TD0 = make_td(0);
alignas(64) constexpr Table TD1 = make_td(8);
alignas(64) constexpr Table TD2 = make_td(16);
alignas(64) constexpr Table TD3 = make_td(24);

constexpr uint32_t RCON[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                               0x20000000, 0x40000000, 0x80000000, 0x1b000000, 0x36000000};

inline uint32_t sub_word(uint32_t w) {
    return (uint32_t{SBOX[w >> 24]} << 24) | (uint32_t{SBOX[(w >> 16) & 0xff]} << 16) |
           (uint32_t{SBOX[(w >> 8) & 0xff]} << 8) | SBOX[w & 0xff];
}

// FIPS 197 section 5.2; returns the number of rounds.
uint32_t expand_enc(uint32_t *rk, const uint8_t *key, int nk) {
    const int total = 4 * (nk + 7);
    for (int i = 0; i < nk; ++i) rk[i] = load_be32(key + 4 * static_cast<size_t>(i));
    for (int i = nk; i < total; ++i) {
        uint32_t t = rk[i - 1];
        if (i % nk == 0) t = sub_word((t << 8) | (t >> 24)) ^ RCON[i / nk - 1];
        else if (nk > 6 && i % nk == 4) t = sub_word(t);
        rk[i] = rk[i - nk] ^ t;
    }
    return static_cast<uint32_t>(nk + 6);
}

// Equivalent inverse cipher schedule: round keys reversed, InvMixColumns on
// all but the first and last.
void expand_dec(uint32_t *dk, const uint32_t *ek, uint32_t rounds) {
    for (uint32_t r = 0; r <= rounds; ++r)
        for (int j = 0; j < 4; ++j) dk[4 * r + j] = ek[4 * (rounds - r) + j];
    for (uint32_t i = 4; i < 4 * rounds; ++i) {
        const uint32_t w = dk[i];
        dk[i] = TD0[SBOX[w >> 24]] ^ TD1[SBOX[(w >> 16) & 0xff]] ^ TD2[SBOX[(w >> 8) & 0xff]] ^ TD3[SBOX[w & 0xff]];
    }
}

inline void enc_words(const uint32_t *rk, uint32_t rounds, uint32_t &s0, uint32_t &s1, uint32_t &s2, uint32_t &s3) {
    s0 ^= rk[0]; s1 ^= rk[1]; s2 ^= rk[2]; s3 ^= rk[3];
    uint32_t t0, t1, t2, t3;
#pragma GCC unroll 2
    for (uint32_t r = 1; r < rounds; ++r) {
        rk += 4;
        t0 = TE0[s0 >> 24] ^ TE1[(s1 >> 16) & 0xff] ^ TE2[(s2 >> 8) & 0xff] ^ TE3[s3 & 0xff] ^ rk[0];
        t1 = TE0[s1 >> 24] ^ TE1[(s2 >> 16) & 0xff] ^ TE2[(s3 >> 8) & 0xff] ^ TE3[s0 & 0xff] ^ rk[1];
        t2 = TE0[s2 >> 24] ^ TE1[(s3 >> 16) & 0xff] ^ TE2[(s0 >> 8) & 0xff] ^ TE3[s1 & 0xff] ^ rk[2];
        t3 = TE0[s3 >> 24] ^ TE1[(s0 >> 16) & 0xff] ^ TE2[(s1 >> 8) & 0xff] ^ TE3[s2 & 0xff] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    t0 = (uint32_t{SBOX[s0 >> 24]} << 24) ^ (uint32_t{SBOX[(s1 >> 16) & 0xff]} << 16) ^
         (uint32_t{SBOX[(s2 >> 8) & 0xff]} << 8) ^ SBOX[s3 & 0xff] ^ rk[0];
    t1 = (uint32_t{SBOX[s1 >> 24]} << 24) ^ (uint32_t{SBOX[(s2 >> 16) & 0xff]} << 16) ^
         (uint32_t{SBOX[(s3 >> 8) & 0xff]} << 8) ^ SBOX[s0 & 0xff] ^ rk[1];
    t2 = (uint32_t{SBOX[s2 >> 24]} << 24) ^ (uint32_t{SBOX[(s3 >> 16) & 0xff]} << 16) ^
         (uint32_t{SBOX[(s0 >> 8) & 0xff]} << 8) ^ SBOX[s1 & 0xff] ^ rk[2];
    t3 = (uint32_t{SBOX[s3 >> 24]} << 24) ^ (uint32_t{SBOX[(s0 >> 16) & 0xff]} << 16) ^
         (uint32_t{SBOX[(s1 >> 8) & 0xff]} << 8) ^ SBOX[s2 & 0xff] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
}

inline void dec_words(const uint32_t *rk, uint32_t rounds, uint32_t &s0, uint32_t &s1, uint32_t &s2, uint32_t &s3) {
    s0 ^= rk[0]; s1 ^= rk[1]; s2 ^= rk[2]; s3 ^= rk[3];
    uint32_t t0, t1, t2, t3;
#pragma GCC unroll 2
    for (uint32_t r = 1; r < rounds; ++r) {
        rk += 4;
        t0 = TD0[s0 >> 24] ^ TD1[(s3 >> 16) & 0xff] ^ TD2[(s2 >> 8) & 0xff] ^ TD3[s1 & 0xff] ^ rk[0];
        t1 = TD0[s1 >> 24] ^ TD1[(s0 >> 16) & 0xff] ^ TD2[(s3 >> 8) & 0xff] ^ TD3[s2 & 0xff] ^ rk[1];
        t2 = TD0[s2 >> 24] ^ TD1[(s1 >> 16) & 0xff] ^ TD2[(s0 >> 8) & 0xff] ^ TD3[s3 & 0xff] ^ rk[2];
        t3 = TD0[s3 >> 24] ^ TD1[(s2 >> 16) & 0xff] ^ TD2[(s1 >> 8) & 0xff] ^ TD3[s0 & 0xff] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    t0 = (uint32_t{INV_SBOX[s0 >> 24]} << 24) ^ (uint32_t{INV_SBOX[(s3 >> 16) & 0xff]} << 16) ^
         (uint32_t{INV_SBOX[(s2 >> 8) & 0xff]} << 8) ^ INV_SBOX[s1 & 0xff] ^ rk[0];
    t1 = (uint32_t{INV_SBOX[s1 >> 24]} << 24) ^ (uint32_t{INV_SBOX[(s0 >> 16) & 0xff]} << 16) ^
         (uint32_t{INV_SBOX[(s3 >> 8) & 0xff]} << 8) ^ INV_SBOX[s2 & 0xff] ^ rk[1];
    t2 = (uint32_t{INV_SBOX[s2 >> 24]} << 24) ^ (uint32_t{INV_SBOX[(s1 >> 16) & 0xff]} << 16) ^
         (uint32_t{INV_SBOX[(s0 >> 8) & 0xff]} << 8) ^ INV_SBOX[s3 & 0xff] ^ rk[2];
    t3 = (uint32_t{INV_SBOX[s3 >> 24]} << 24) ^ (uint32_t{INV_SBOX[(s2 >> 16) & 0xff]} << 16) ^
         (uint32_t{INV_SBOX[(s1 >> 8) & 0xff]} << 8) ^ INV_SBOX[s0 & 0xff] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
}

// Block-count cores; lengths are in blocks so no bit count can overflow.
MSTATUS encrypt_blocks(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, size_t blocks, uint8_t *out) {
    if (ctx->mode == AES_MODE_ECB) {
        for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
            uint32_t s0 = load_be32(in), s1 = load_be32(in + 4), s2 = load_be32(in + 8), s3 = load_be32(in + 12);
            enc_words(ctx->roundKeys, ctx->rounds, s0, s1, s2, s3);
            store_be32(out, s0); store_be32(out + 4, s1); store_be32(out + 8, s2); store_be32(out + 12, s3);
        }
        return CRYPTO_OK;
    }
    if (ctx->mode != AES_MODE_CBC) return ERR_AES_BAD_MODE;
    if (blocks == 0) return CRYPTO_OK;
    if (!iv) return ERR_NULL_POINTER;
    uint32_t v0 = load_be32(iv), v1 = load_be32(iv + 4), v2 = load_be32(iv + 8), v3 = load_be32(iv + 12);
    for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
        v0 ^= load_be32(in); v1 ^= load_be32(in + 4); v2 ^= load_be32(in + 8); v3 ^= load_be32(in + 12);
        enc_words(ctx->roundKeys, ctx->rounds, v0, v1, v2, v3);
        store_be32(out, v0); store_be32(out + 4, v1); store_be32(out + 8, v2); store_be32(out + 12, v3);
    }
    store_be32(iv, v0); store_be32(iv + 4, v1); store_be32(iv + 8, v2); store_be32(iv + 12, v3);
    return CRYPTO_OK;
}

MSTATUS decrypt_blocks(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, size_t blocks, uint8_t *out) {
    if (ctx->mode == AES_MODE_ECB) {
        for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
            uint32_t s0 = load_be32(in), s1 = load_be32(in + 4), s2 = load_be32(in + 8), s3 = load_be32(in + 12);
            dec_words(ctx->roundKeys, ctx->rounds, s0, s1, s2, s3);
            store_be32(out, s0); store_be32(out + 4, s1); store_be32(out + 8, s2); store_be32(out + 12, s3);
        }
        return CRYPTO_OK;
    }
    if (ctx->mode != AES_MODE_CBC) return ERR_AES_BAD_DIRECTION;
    if (blocks == 0) return CRYPTO_OK;
    if (!iv) return ERR_NULL_POINTER;
    uint32_t v0 = load_be32(iv), v1 = load_be32(iv + 4), v2 = load_be32(iv + 8), v3 = load_be32(iv + 12);
    for (size_t b = 0; b < blocks; ++b, in += 16, out += 16) {
        // Read the ciphertext before writing: in and out may be the same.
        const uint32_t c0 = load_be32(in), c1 = load_be32(in + 4), c2 = load_be32(in + 8), c3 = load_be32(in + 12);
        uint32_t s0 = c0, s1 = c1, s2 = c2, s3 = c3;
        dec_words(ctx->roundKeys, ctx->rounds, s0, s1, s2, s3);
        store_be32(out, s0 ^ v0); store_be32(out + 4, s1 ^ v1); store_be32(out + 8, s2 ^ v2); store_be32(out + 12, s3 ^ v3);
        v0 = c0; v1 = c1; v2 = c2; v3 = c3;
    }
    store_be32(iv, v0); store_be32(iv + 4, v1); store_be32(iv + 8, v2); store_be32(iv + 12, v3);
    return CRYPTO_OK;
}

}  // namespace

extern "C" {

MSTATUS AES_initKey(AesCtx *ctx, const uint8_t *key, int32_t keyBits, int32_t encrypt, int32_t mode) {
    if (!ctx || !key) return ERR_NULL_POINTER;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return ERR_AES_BAD_KEY_LENGTH;
    ctx->encrypt = encrypt ? 1u : 0u;
    ctx->mode = static_cast<uint32_t>(mode);
    ctx->keyBits = static_cast<uint32_t>(keyBits);
    ctx->rounds = expand_enc(ctx->encRoundKeys, key, keyBits / 32);
    if (ctx->encrypt) std::memcpy(ctx->roundKeys, ctx->encRoundKeys, sizeof ctx->roundKeys);
    else expand_dec(ctx->roundKeys, ctx->encRoundKeys, ctx->rounds);
    return CRYPTO_OK;
}

MSTATUS AES_encrypt(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, int32_t bits,
                    uint8_t *out, int32_t *processedBits) {
    if (processedBits) *processedBits = 0;
    if (!ctx || !in) return ERR_NULL_POINTER;
    if (!ctx->encrypt) return ERR_AES_BAD_DIRECTION;
    if (bits < 1) return CRYPTO_OK;
    if (!out) return ERR_NULL_POINTER;
    const size_t blocks = static_cast<size_t>(bits) / 128;
    MSTATUS st = encrypt_blocks(ctx, iv, in, blocks, out);
    if (st == CRYPTO_OK && processedBits) *processedBits = static_cast<int32_t>(blocks * 128);
    return st;
}

MSTATUS AES_decrypt(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, int32_t bits,
                    uint8_t *out, int32_t *processedBits) {
    if (processedBits) *processedBits = 0;
    if (!ctx || !in) return ERR_NULL_POINTER;
    if (ctx->encrypt) return ERR_AES_BAD_DIRECTION;
    if (ctx->mode != AES_MODE_ECB && ctx->mode != AES_MODE_CBC) return ERR_AES_BAD_DIRECTION;
    if (bits < 1) return CRYPTO_OK;
    if (!out) return ERR_NULL_POINTER;
    const size_t blocks = static_cast<size_t>(bits) / 128;
    MSTATUS st = decrypt_blocks(ctx, iv, in, blocks, out);
    if (st == CRYPTO_OK && processedBits) *processedBits = static_cast<int32_t>(blocks * 128);
    return st;
}

void AES_encryptBlock(const AesCtx *ctx, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = load_be32(in), s1 = load_be32(in + 4), s2 = load_be32(in + 8), s3 = load_be32(in + 12);
    enc_words(ctx->encRoundKeys, ctx->rounds, s0, s1, s2, s3);
    store_be32(out, s0); store_be32(out + 4, s1); store_be32(out + 8, s2); store_be32(out + 12, s3);
}

AesCtx *CreateAESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt) {
    auto *ctx = static_cast<AesCtx *>(std::calloc(1, sizeof(AesCtx)));
    if (!ctx) return nullptr;
    if (keyLen < 0 || keyLen > 32 || AES_initKey(ctx, key, keyLen * 8, encrypt, AES_MODE_CBC) != CRYPTO_OK) {
        FreeAESCtx(&ctx);
        return nullptr;
    }
    return ctx;
}

MSTATUS DoAES(AesCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv) {
    MSTATUS st;
    if (len % AES_BLOCK_SIZE != 0) {
        st = ERR_AES_BAD_LENGTH;
    } else if (!ctx || (!data && len > 0)) {
        st = ERR_NULL_POINTER;
    } else if ((encrypt != 0) != (ctx->encrypt != 0)) {
        st = ERR_AES_BAD_DIRECTION;
    } else if (len <= 0) {
        st = CRYPTO_OK;
    } else {
        const size_t blocks = static_cast<size_t>(len) / AES_BLOCK_SIZE;
        if (ctx->mode == AES_MODE_CBC && !iv) st = ERR_NULL_POINTER;
        else st = encrypt ? encrypt_blocks(ctx, iv, data, blocks, data) : decrypt_blocks(ctx, iv, data, blocks, data);
        if (st == ERR_AES_BAD_MODE && !encrypt) st = ERR_AES_BAD_DIRECTION;
    }
    if (st < 0) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_CIPHER, "DoAES: cipher failed, error = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_CIPHER, st);
        DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_CIPHER, nullptr);
    }
    return st;
}

MSTATUS FreeAESCtx(AesCtx **ctx) {
    if (!ctx || !*ctx) return CRYPTO_OK;
    CRYPTO_secureZero(*ctx, sizeof(AesCtx));
    std::free(*ctx);
    *ctx = nullptr;
    return CRYPTO_OK;
}

}  // extern "C"
