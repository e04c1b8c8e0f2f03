// SHA-1 (FIPS 180-4 section 6.1).
#include "sha1.h"

#include <cstring>

#include "byteorder.h"
#include "md_block.h"

namespace {

constexpr uint32_t H0[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(uint32_t h[5], const uint8_t *p, size_t nblocks) {
    uint32_t w[80];
    while (nblocks--) {
        for (size_t i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
        for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) { f = d ^ (b & (c ^ d)); k = 0x5a827999; }
            else if (i < 40) { f = b ^ c ^ d; k = 0x6ed9eba1; }
            else if (i < 60) { f = (b & c) | (d & (b | c)); k = 0x8f1bbcdc; }
            else { f = b ^ c ^ d; k = 0xca62c1d6; }
            const uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d; d = c; c = rotl(b, 30); b = a; a = t;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e;
        p += 64;
    }
}

using Sha1Engine = bmcrypto_md::Engine<SHA1_BLOCK_SIZE, 8, bmcrypto_md::Order::big, transform>;

}  // namespace

extern "C" {

MSTATUS SHA1_allocCtx(Sha1Ctx **ctx) { return bmcrypto_md::alloc_ctx(ctx); }
MSTATUS SHA1_freeCtx(Sha1Ctx **ctx) { return bmcrypto_md::free_ctx(ctx); }
MSTATUS SHA1_init(Sha1Ctx *ctx) { return bmcrypto_md::load_iv(ctx, H0); }

MSTATUS SHA1_update(Sha1Ctx *ctx, const uint8_t *data, uint32_t len) {
    return Sha1Engine::update(ctx, data, len);
}

MSTATUS SHA1_final(Sha1Ctx *ctx, uint8_t *out) { return Sha1Engine::finish(ctx, out, 5); }

MSTATUS SHA1_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out) {
    return bmcrypto_md::hash_buffer(SHA1_init, SHA1_update, SHA1_final, data, len, out);
}

MSTATUS SHA1_G(const uint8_t *in, uint8_t *out) {
    if (!in || !out) return ERR_NULL_POINTER;
    uint32_t h[5];
    std::memcpy(h, H0, sizeof h);
    transform(h, in, 1);
    bmcrypto_md::store_words<bmcrypto_md::Order::big>(out, h, 5);
    CRYPTO_secureZero(h, sizeof h);
    return CRYPTO_OK;
}

}  // extern "C"
