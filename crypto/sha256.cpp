// SHA-256 / SHA-224 (FIPS 180-4 section 6.2): portable transform with the
// message schedule kept in a 16-word ring, and on x86-64 a transform built
// on the SHA extensions, chosen once at run time.
#include "sha256.h"

#include "byteorder.h"
#include "md_block.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define BMCRYPTO_SHA_X86 1
#endif

namespace {

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t H256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint32_t H224[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                              0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// The rotation sums of FIPS 180-4 section 4.1.2, in two groupings. Where a
// rotate overwrites its operand (x86 without BMI2), every rotation of a
// value that is still needed costs a copy of it; nested, as in
// ROTR6(ROTR5(ROTR14(e) ^ e) ^ e) for Sigma1, one copy serves all three.
// With rotates that write elsewhere (PowerPC, x86 with BMI2) the rotations
// side by side need no copies and make a shorter chain.
template <bool Nested>
inline uint32_t big_sigma0(uint32_t v) {
    if constexpr (Nested) return rotr(rotr(rotr(v, 9) ^ v, 11) ^ v, 2);
    return rotr(v, 2) ^ rotr(v, 13) ^ rotr(v, 22);
}
template <bool Nested>
inline uint32_t big_sigma1(uint32_t v) {
    if constexpr (Nested) return rotr(rotr(rotr(v, 14) ^ v, 5) ^ v, 6);
    return rotr(v, 6) ^ rotr(v, 11) ^ rotr(v, 25);
}
template <bool Nested>
inline uint32_t small_sigma0(uint32_t v) {
    if constexpr (Nested) return rotr(rotr(v, 11) ^ v, 7) ^ (v >> 3);
    return rotr(v, 7) ^ rotr(v, 18) ^ (v >> 3);
}
template <bool Nested>
inline uint32_t small_sigma1(uint32_t v) {
    if constexpr (Nested) return rotr(rotr(v, 2) ^ v, 17) ^ (v >> 10);
    return rotr(v, 17) ^ rotr(v, 19) ^ (v >> 10);
}

#if defined(__x86_64__) || defined(__i386__)
constexpr bool kCopyingRotates = true;
#else
constexpr bool kCopyingRotates = false;
#endif

// Portable transform over nblocks consecutive 64-byte blocks. All 64
// rounds are unrolled with the working variables renamed instead of moved;
// the message schedule lives in a 16-word ring. Maj(a,b,c) is computed as
// b ^ ((a ^ b) & (b ^ c)), where b ^ c is the previous round's a ^ b, which
// saves one operation per round on the critical path.
template <bool Nested>
__attribute__((always_inline)) inline void transform_body(uint32_t h[8], const uint8_t *p, size_t nblocks) {
    uint32_t w[16];
    while (nblocks--) {
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        uint32_t e = h[4], f = h[5], g = h[6], hh = h[7];
        uint32_t x, y = b ^ c;

#define BM_S0(v) big_sigma0<Nested>(v)
#define BM_S1(v) big_sigma1<Nested>(v)
#define BM_s0(v) small_sigma0<Nested>(v)
#define BM_s1(v) small_sigma1<Nested>(v)
#define BM_ROUND(a, b, c, d, e, f, g, h, i, wi, ab, bc)                             \
    do {                                                                            \
        const uint32_t t1 = (h) + BM_S1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + K[i] + (wi); \
        (ab) = (a) ^ (b);                                                           \
        (d) += t1;                                                                  \
        (h) = t1 + BM_S0(a) + ((b) ^ ((ab) & (bc)));                                \
    } while (0)
#define BM_W(i) (w[(i) & 15] += BM_s1(w[((i) - 2) & 15]) + w[((i) - 7) & 15] + BM_s0(w[((i) - 15) & 15]))
#define BM_EIGHT(i, W)                                            \
    BM_ROUND(a, b, c, d, e, f, g, hh, (i) + 0, W((i) + 0), x, y); \
    BM_ROUND(hh, a, b, c, d, e, f, g, (i) + 1, W((i) + 1), y, x); \
    BM_ROUND(g, hh, a, b, c, d, e, f, (i) + 2, W((i) + 2), x, y); \
    BM_ROUND(f, g, hh, a, b, c, d, e, (i) + 3, W((i) + 3), y, x); \
    BM_ROUND(e, f, g, hh, a, b, c, d, (i) + 4, W((i) + 4), x, y); \
    BM_ROUND(d, e, f, g, hh, a, b, c, (i) + 5, W((i) + 5), y, x); \
    BM_ROUND(c, d, e, f, g, hh, a, b, (i) + 6, W((i) + 6), x, y); \
    BM_ROUND(b, c, d, e, f, g, hh, a, (i) + 7, W((i) + 7), y, x)
#define BM_LOAD(i) (w[i] = load_be32(p + 4 * static_cast<size_t>(i)))

        BM_EIGHT(0, BM_LOAD);
        BM_EIGHT(8, BM_LOAD);
        BM_EIGHT(16, BM_W);
        BM_EIGHT(24, BM_W);
        BM_EIGHT(32, BM_W);
        BM_EIGHT(40, BM_W);
        BM_EIGHT(48, BM_W);
        BM_EIGHT(56, BM_W);
#undef BM_S0
#undef BM_S1
#undef BM_s0
#undef BM_s1
#undef BM_ROUND
#undef BM_W
#undef BM_EIGHT
#undef BM_LOAD
        h[0] += a; h[1] += b; h[2] += c; h[3] += d;
        h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
        p += 64;
    }
}

void transform_portable(uint32_t h[8], const uint8_t *p, size_t nblocks) {
    transform_body<kCopyingRotates>(h, p, nblocks);
}

#ifdef BMCRYPTO_SHA_X86
// The same portable code compiled for CPUs with BMI2, whose non-destructive
// rotate (rorx) saves a register move per rotation, so the rotations go side
// by side.
__attribute__((target("bmi2"))) void transform_portable_bmi2(uint32_t h[8], const uint8_t *p, size_t nblocks) {
    transform_body<false>(h, p, nblocks);
}
#endif

#ifdef BMCRYPTO_SHA_X86
// Transform on the SHA extensions. The state is kept as the two vectors
// ABEF and CDGH that sha256rnds2 works on; the message schedule rotates
// through four vectors of four words each.
__attribute__((target("sha,sse4.1,ssse3")))
void transform_shani(uint32_t h[8], const uint8_t *p, size_t nblocks) {
    const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&h[0]));
    __m128i st1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&h[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);
    st1 = _mm_shuffle_epi32(st1, 0x1B);
    __m128i st0 = _mm_alignr_epi8(tmp, st1, 8);
    st1 = _mm_blend_epi16(st1, tmp, 0xF0);

    while (nblocks--) {
        const __m128i save0 = st0, save1 = st1;
        __m128i m[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4) {
                m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * static_cast<size_t>(g))), mask);
            }
            __m128i msg = _mm_add_epi32(m[g & 3], _mm_load_si128(reinterpret_cast<const __m128i *>(&K[4 * static_cast<size_t>(g)])));
            st1 = _mm_sha256rnds2_epu32(st1, st0, msg);
            if (g >= 3 && g <= 14) {
                __m128i t = _mm_alignr_epi8(m[g & 3], m[(g - 1) & 3], 4);
                m[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(g + 1) & 3], t), m[g & 3]);
            }
            msg = _mm_shuffle_epi32(msg, 0x0E);
            st0 = _mm_sha256rnds2_epu32(st0, st1, msg);
            if (g >= 1 && g <= 12) m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], m[g & 3]);
        }
        st0 = _mm_add_epi32(st0, save0);
        st1 = _mm_add_epi32(st1, save1);
        p += 64;
    }

    tmp = _mm_shuffle_epi32(st0, 0x1B);
    st1 = _mm_shuffle_epi32(st1, 0xB1);
    st0 = _mm_blend_epi16(tmp, st1, 0xF0);
    st1 = _mm_alignr_epi8(st1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&h[0]), st0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&h[4]), st1);
}

bool cpu_has_sha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
}

bool cpu_has_bmi2() {
    unsigned a, b, c, d;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return b & (1u << 8);
}
#endif

using TransformFn = void (*)(uint32_t *, const uint8_t *, size_t);

bool kind_available(int kind) noexcept {
    switch (kind) {
        case SHA256_TRANSFORM_PORTABLE: return true;
#ifdef BMCRYPTO_SHA_X86
        case SHA256_TRANSFORM_PORTABLE_BMI2: {
            static const bool has = cpu_has_bmi2();
            return has;
        }
        case SHA256_TRANSFORM_SHA_EXTENSIONS: {
            static const bool has = cpu_has_sha();
            return has;
        }
#endif
        default: return false;
    }
}

TransformFn transform_of(int kind) noexcept {
#ifdef BMCRYPTO_SHA_X86
    if (kind == SHA256_TRANSFORM_PORTABLE_BMI2) return transform_portable_bmi2;
    if (kind == SHA256_TRANSFORM_SHA_EXTENSIONS) return transform_shani;
#endif
    (void)kind;
    return transform_portable;
}

// The best transform this CPU has, or the best portable one.
int best_kind(bool allowHardware) noexcept {
    if (allowHardware && kind_available(SHA256_TRANSFORM_SHA_EXTENSIONS)) return SHA256_TRANSFORM_SHA_EXTENSIONS;
    if (kind_available(SHA256_TRANSFORM_PORTABLE_BMI2)) return SHA256_TRANSFORM_PORTABLE_BMI2;
    return SHA256_TRANSFORM_PORTABLE;
}

int g_kind = best_kind(true);
TransformFn g_transform = transform_of(g_kind);

// Calls whichever transform is selected now, so a later SHA256_useHardware
// takes effect on contexts already in use.
void transform_selected(uint32_t h[8], const uint8_t *p, size_t nblocks) { g_transform(h, p, nblocks); }

using Sha256Engine = bmcrypto_md::Engine<SHA256_BLOCK_SIZE, 8, bmcrypto_md::Order::big, transform_selected>;

}  // namespace

extern "C" {

MSTATUS SHA256_allocCtx(Sha256Ctx **ctx) { return bmcrypto_md::alloc_ctx(ctx); }
MSTATUS SHA256_freeCtx(Sha256Ctx **ctx) { return bmcrypto_md::free_ctx(ctx); }

MSTATUS SHA256_init(Sha256Ctx *ctx) { return bmcrypto_md::load_iv(ctx, H256); }
MSTATUS SHA224_init(Sha256Ctx *ctx) { return bmcrypto_md::load_iv(ctx, H224); }

MSTATUS SHA256_update(Sha256Ctx *ctx, const uint8_t *data, uint32_t len) {
    return Sha256Engine::update(ctx, data, len);
}

MSTATUS SHA256_final(Sha256Ctx *ctx, uint8_t *out) { return Sha256Engine::finish(ctx, out, SHA256_DIGEST_SIZE / 4); }
MSTATUS SHA224_final(Sha256Ctx *ctx, uint8_t *out) { return Sha256Engine::finish(ctx, out, SHA224_DIGEST_SIZE / 4); }

MSTATUS SHA256_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out) {
    return bmcrypto_md::hash_buffer(SHA256_init, SHA256_update, SHA256_final, data, len, out);
}

MSTATUS SHA224_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out) {
    return bmcrypto_md::hash_buffer(SHA224_init, SHA256_update, SHA224_final, data, len, out);
}

int SHA256_useHardware(int enable) {
    SHA256_selectTransform(best_kind(enable != 0));
    return g_kind == SHA256_TRANSFORM_SHA_EXTENSIONS;
}

int SHA256_hardwareAvailable(void) { return kind_available(SHA256_TRANSFORM_SHA_EXTENSIONS) ? 1 : 0; }

int SHA256_transformAvailable(int kind) { return kind_available(kind) ? 1 : 0; }

int SHA256_selectTransform(int kind) {
    if (kind_available(kind)) {
        g_kind = kind;
        g_transform = transform_of(kind);
    }
    return g_kind;
}

}  // extern "C"
