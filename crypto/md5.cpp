// MD5 (RFC 1321). Words are little-endian, unlike the SHA family.
#include "md5.h"

#include "byteorder.h"
#include "md_block.h"

namespace {

constexpr uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
constexpr uint32_t H0[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(uint32_t h[4], const uint8_t *p, size_t nblocks) {
    uint32_t x[16];
    while (nblocks--) {
        for (size_t i = 0; i < 16; ++i) x[i] = load_le32(p + 4 * i);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int k;
            const int round = i / 16;
            switch (round) {
                case 0: f = d ^ (b & (c ^ d)); k = i; break;
                case 1: f = c ^ (d & (b ^ c)); k = (5 * i + 1) & 15; break;
                case 2: f = b ^ c ^ d; k = (3 * i + 5) & 15; break;
                default: f = c ^ (b | ~d); k = (7 * i) & 15; break;
            }
            const uint32_t t = b + rotl(a + f + x[k] + T[i], S[round][i & 3]);
            a = d; d = c; c = b; b = t;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d;
        p += 64;
    }
}

using Md5Engine = bmcrypto_md::Engine<MD5_BLOCK_SIZE, 8, bmcrypto_md::Order::little, transform>;

}  // namespace

extern "C" {

MSTATUS MD5_allocCtx(Md5Ctx **ctx) { return bmcrypto_md::alloc_ctx(ctx); }
MSTATUS MD5_freeCtx(Md5Ctx **ctx) { return bmcrypto_md::free_ctx(ctx); }
MSTATUS MD5_init(Md5Ctx *ctx) { return bmcrypto_md::load_iv(ctx, H0); }

MSTATUS MD5_update(Md5Ctx *ctx, const uint8_t *data, uint32_t len) {
    return Md5Engine::update(ctx, data, len);
}

MSTATUS MD5_final(Md5Ctx *ctx, uint8_t *out) { return Md5Engine::finish(ctx, out, 4); }

MSTATUS MD5_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out) {
    return bmcrypto_md::hash_buffer(MD5_init, MD5_update, MD5_final, data, len, out);
}

}  // extern "C"
