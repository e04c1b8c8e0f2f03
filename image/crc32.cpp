#include "image/crc32.h"

#include <array>

#include "byteorder.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr std::uint32_t kPoly = 0xEDB88320u;

// kTables[0] is the one-byte table; kTables[k][b] is the register change of
// byte b followed by k zero bytes, so sixteen bytes are folded per step.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr CrcTables make_tables() {
    CrcTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t r = b;
        for (int i = 0; i < 8; ++i) r = (r & 1u) ? (r >> 1) ^ kPoly : r >> 1;
        t[0][b] = r;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::uint32_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    return t;
}

constexpr CrcTables kTables = make_tables();

// Multiplies two polynomials modulo P, both bit-reflected (bit 31 holds x^0).
constexpr std::uint32_t mult_mod_p(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1u) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// x^(8n) mod P: what feeding n zero bytes multiplies the register by.
constexpr std::uint32_t zero_bytes_operator(std::size_t n) {
    std::uint32_t result = 1u << 31;  // x^0
    std::uint32_t square = 1u << 23;  // x^8
    for (; n != 0; n >>= 1) {
        if (n & 1u) result = mult_mod_p(square, result);
        square = mult_mod_p(square, square);
    }
    return result;
}

// Long inputs are cut into four lanes of kLaneBytes, each with its own
// register, so four table look-up chains run side by side instead of one;
// the lanes are joined by the linearity of the CRC:
//   crc(r, A B) = crc(r, A) * x^(8 |B|) mod P  xor  crc(0, B).
constexpr std::size_t kLaneBytes = 8192;
constexpr std::uint32_t kLaneShift = zero_bytes_operator(kLaneBytes);

inline std::uint32_t crc_word8(std::uint32_t crc, const std::uint8_t* p) {
    const auto& t = kTables;
    const std::uint32_t a = crc ^ load_le32(p);
    const std::uint32_t b = load_le32(p + 4);
    return t[7][a & 0xFFu] ^ t[6][(a >> 8) & 0xFFu] ^ t[5][(a >> 16) & 0xFFu] ^ t[4][a >> 24] ^
           t[3][b & 0xFFu] ^ t[2][(b >> 8) & 0xFFu] ^ t[1][(b >> 16) & 0xFFu] ^ t[0][b >> 24];
}

inline std::uint32_t crc_bytes(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
    for (std::size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ kTables[0][(crc ^ p[i]) & 0xFFu];
    return crc;
}

}  // namespace

std::uint32_t image_crc32_bitwise(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc ^ byte) & 1u) ? (crc >> 1) ^ kPoly : crc >> 1;
            byte >>= 1;
        }
    }
    return crc;
}

std::uint32_t image_crc32_portable(const std::uint8_t* data, std::size_t count,
                                   std::uint32_t crc) {
    while (count >= 4 * kLaneBytes) {
        std::uint32_t c0 = crc, c1 = 0, c2 = 0, c3 = 0;
        const std::uint8_t* p1 = data + kLaneBytes;
        const std::uint8_t* p2 = data + 2 * kLaneBytes;
        const std::uint8_t* p3 = data + 3 * kLaneBytes;
        for (std::size_t o = 0; o < kLaneBytes; o += 8) {
            c0 = crc_word8(c0, data + o);
            c1 = crc_word8(c1, p1 + o);
            c2 = crc_word8(c2, p2 + o);
            c3 = crc_word8(c3, p3 + o);
        }
        crc = mult_mod_p(kLaneShift, c0) ^ c1;
        crc = mult_mod_p(kLaneShift, crc) ^ c2;
        crc = mult_mod_p(kLaneShift, crc) ^ c3;
        data += 4 * kLaneBytes;
        count -= 4 * kLaneBytes;
    }
    const auto& t = kTables;
    // Words are assembled little-endian from bytes: the register is reflected,
    // so its low byte meets the first byte of the data on every processor.
    while (count >= 16) {
        const std::uint32_t a = crc ^ load_le32(data);
        const std::uint32_t b = load_le32(data + 4);
        const std::uint32_t c = load_le32(data + 8);
        const std::uint32_t d = load_le32(data + 12);
        crc = t[15][a & 0xFFu] ^ t[14][(a >> 8) & 0xFFu] ^ t[13][(a >> 16) & 0xFFu] ^
              t[12][a >> 24] ^ t[11][b & 0xFFu] ^ t[10][(b >> 8) & 0xFFu] ^
              t[9][(b >> 16) & 0xFFu] ^ t[8][b >> 24] ^ t[7][c & 0xFFu] ^
              t[6][(c >> 8) & 0xFFu] ^ t[5][(c >> 16) & 0xFFu] ^ t[4][c >> 24] ^
              t[3][d & 0xFFu] ^ t[2][(d >> 8) & 0xFFu] ^ t[1][(d >> 16) & 0xFFu] ^
              t[0][d >> 24];
        data += 16;
        count -= 16;
    }
    return crc_bytes(data, count, crc);
}

#if defined(__x86_64__)

namespace {

#define BM_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

BM_CLMUL_TARGET inline __m128i load(const std::uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// Carries the 128 bits of x forward over the distance whose constants k holds
// and adds the next 16 bytes.
BM_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folding constants, bit-reflected: carrying 128 bits forward over D bits
// multiplies the low half by x^(D+32) mod P and the high half by
// x^(D-32) mod P (D = 1024, 512, 128); then x^64 mod P for the last 32-bit
// step, and the Barrett pair: P itself and floor(x^64 / P).
BM_CLMUL_TARGET std::uint32_t clmul_blocks(const std::uint8_t* p, std::size_t n,
                                           std::uint32_t crc) {
    const __m128i fold8 = _mm_set_epi64x(0x14a7fe880LL, 0x1e88ef372LL);
    const __m128i fold4 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
    const __m128i fold1 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
    const __m128i fold32 = _mm_set_epi64x(0, 0x163cd6124LL);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641LL, 0x1db710641LL);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    n -= 64;

    // Eight independent lanes hide the multiply latency on long inputs.
    if (n >= 192) {
        __m128i x5 = load(p);
        __m128i x6 = load(p + 16);
        __m128i x7 = load(p + 32);
        __m128i x8 = load(p + 48);
        p += 64;
        n -= 64;
        while (n >= 128) {
            x1 = fold(x1, fold8, load(p));
            x2 = fold(x2, fold8, load(p + 16));
            x3 = fold(x3, fold8, load(p + 32));
            x4 = fold(x4, fold8, load(p + 48));
            x5 = fold(x5, fold8, load(p + 64));
            x6 = fold(x6, fold8, load(p + 80));
            x7 = fold(x7, fold8, load(p + 96));
            x8 = fold(x8, fold8, load(p + 112));
            p += 128;
            n -= 128;
        }
        x1 = fold(x1, fold4, x5);
        x2 = fold(x2, fold4, x6);
        x3 = fold(x3, fold4, x7);
        x4 = fold(x4, fold4, x8);
    }
    while (n >= 64) {
        x1 = fold(x1, fold4, load(p));
        x2 = fold(x2, fold4, load(p + 16));
        x3 = fold(x3, fold4, load(p + 32));
        x4 = fold(x4, fold4, load(p + 48));
        p += 64;
        n -= 64;
    }
    x1 = fold(x1, fold1, x2);
    x1 = fold(x1, fold1, x3);
    x1 = fold(x1, fold1, x4);
    while (n >= 16) {
        x1 = fold(x1, fold1, load(p));
        p += 16;
        n -= 16;
    }

    // 128 -> 64 bits, then 64 -> 32 bits, then Barrett reduction.
    __m128i t = _mm_clmulepi64_si128(x1, fold1, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), fold32, 0x00);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), t);
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool detect_clmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

}  // namespace

bool image_crc32_clmul_available() {
    static const bool available = detect_clmul();
    return available;
}

std::uint32_t image_crc32_clmul(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    if (count < 64 || !image_crc32_clmul_available()) return image_crc32_portable(data, count, crc);
    const std::size_t blocks = count & ~static_cast<std::size_t>(15);
    crc = clmul_blocks(data, blocks, crc);
    return image_crc32_portable(data + blocks, count - blocks, crc);
}

std::uint32_t image_crc32(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    if (image_crc32_clmul_available()) return image_crc32_clmul(data, count, crc);
    return image_crc32_portable(data, count, crc);
}

#else

bool image_crc32_clmul_available() { return false; }

std::uint32_t image_crc32_clmul(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    return image_crc32_portable(data, count, crc);
}

std::uint32_t image_crc32(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    return image_crc32_portable(data, count, crc);
}

#endif
