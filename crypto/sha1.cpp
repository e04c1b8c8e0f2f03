// SHA-1 (FIPS 180-4 section 6.1).
#include "sha1.h"

#include <cstdlib>
#include <cstring>

#include "byteorder.h"

namespace {

constexpr uint32_t H0[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(uint32_t h[5], const uint8_t *p, size_t nblocks) {
    uint32_t w[80];
    while (nblocks--) {
        for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
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

}  // namespace

extern "C" {

MSTATUS SHA1_allocCtx(Sha1Ctx **ctx) {
    if (!ctx) return ERR_NULL_POINTER;
    *ctx = static_cast<Sha1Ctx *>(std::calloc(1, sizeof(Sha1Ctx)));
    return *ctx ? CRYPTO_OK : ERR_MEM_ALLOC_FAIL;
}

MSTATUS SHA1_freeCtx(Sha1Ctx **ctx) {
    if (!ctx || !*ctx) return ERR_NULL_POINTER;
    CRYPTO_secureZero(*ctx, sizeof(Sha1Ctx));
    std::free(*ctx);
    *ctx = nullptr;
    return CRYPTO_OK;
}

MSTATUS SHA1_init(Sha1Ctx *ctx) {
    if (!ctx) return ERR_NULL_POINTER;
    std::memcpy(ctx->h, H0, sizeof ctx->h);
    ctx->countHigh = ctx->countLow = 0;
    ctx->bufferedBytes = 0;
    return CRYPTO_OK;
}

MSTATUS SHA1_update(Sha1Ctx *ctx, const uint8_t *data, uint32_t len) {
    if (!ctx || (!data && len > 0)) return ERR_NULL_POINTER;
    if (len == 0) return CRYPTO_OK;
    const uint32_t before = ctx->countLow;
    ctx->countLow += len;
    if (ctx->countLow < before) ++ctx->countHigh;
    if (ctx->bufferedBytes > 0) {
        uint32_t take = 64u - static_cast<uint32_t>(ctx->bufferedBytes);
        if (take > len) take = len;
        std::memcpy(ctx->block + ctx->bufferedBytes, data, take);
        ctx->bufferedBytes += static_cast<int32_t>(take);
        data += take;
        len -= take;
        if (ctx->bufferedBytes < 64) return CRYPTO_OK;
        transform(ctx->h, ctx->block, 1);
        ctx->bufferedBytes = 0;
    }
    if (len >= 64) {
        transform(ctx->h, data, len / 64);
        data += len & ~63u;
        len &= 63u;
    }
    if (len) {
        std::memcpy(ctx->block, data, len);
        ctx->bufferedBytes = static_cast<int32_t>(len);
    }
    return CRYPTO_OK;
}

MSTATUS SHA1_final(Sha1Ctx *ctx, uint8_t *out) {
    if (!ctx || !out) return ERR_NULL_POINTER;
    int pos = ctx->bufferedBytes;
    ctx->block[pos++] = 0x80;
    if (pos > 56) {
        std::memset(ctx->block + pos, 0, 64 - pos);
        transform(ctx->h, ctx->block, 1);
        pos = 0;
    }
    std::memset(ctx->block + pos, 0, 56 - pos);
    store_be32(ctx->block + 56, (ctx->countHigh << 3) | (ctx->countLow >> 29));
    store_be32(ctx->block + 60, ctx->countLow << 3);
    transform(ctx->h, ctx->block, 1);
    for (int i = 0; i < 5; ++i) store_be32(out + 4 * i, ctx->h[i]);
    return CRYPTO_OK;
}

MSTATUS SHA1_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out) {
    if (!out || (!data && len > 0)) return ERR_NULL_POINTER;
    Sha1Ctx ctx;
    SHA1_init(&ctx);
    MSTATUS st = SHA1_update(&ctx, data, len);
    if (st == CRYPTO_OK) st = SHA1_final(&ctx, out);
    CRYPTO_secureZero(&ctx, sizeof ctx);
    return st;
}

MSTATUS SHA1_G(const uint8_t *in, uint8_t *out) {
    if (!in || !out) return ERR_NULL_POINTER;
    uint32_t h[5];
    std::memcpy(h, H0, sizeof h);
    transform(h, in, 1);
    for (int i = 0; i < 5; ++i) store_be32(out + 4 * i, h[i]);
    CRYPTO_secureZero(h, sizeof h);
    return CRYPTO_OK;
}

}  // extern "C"
