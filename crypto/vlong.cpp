// Arbitrary-precision integers: see include/vlong.h for the contract.
#if defined(__GNUC__) && !defined(__clang__)
// The fixed-size Karatsuba levels and column loops gain from full unrolling.
#pragma GCC optimize("O3")
#endif
#include "vlong.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#ifdef __x86_64__
#include <x86intrin.h>
#endif

#include "crypto_platform.h"

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Column accumulator of the product-scanning multiplications: at least three
// units wide, so a column of up to 2^32 partial products never overflows.
// VLONG_NARROW_LIMBS builds the 32-bit board's kernels on any host, so the
// host's oracle tests can check them too.
#if defined(__SIZEOF_INT128__) && !defined(VLONG_NARROW_LIMBS)
struct Acc {
    unsigned __int128 v = 0;
    void emit(u32& out) {
        out = static_cast<u32>(v);
        v >>= 32;
    }
    u32 low() const { return static_cast<u32>(v); }
};
inline void MAC(Acc& c, u32 x, u32 y) { c.v += static_cast<u64>(x) * y; }
inline void MAC2(Acc& c, u32 x, u32 y) {
    c.v += static_cast<unsigned __int128>(static_cast<u64>(x) * y) << 1;
}
#else
struct Acc {
    u64 lo = 0;
    u32 hi = 0;
    void emit(u32& out) {
        out = static_cast<u32>(lo);
        lo = (lo >> 32) | (static_cast<u64>(hi) << 32);
        hi = 0;
    }
    u32 low() const { return static_cast<u32>(lo); }
};
inline void MAC(Acc& c, u32 x, u32 y) {
    const u64 p = static_cast<u64>(x) * y;
    c.lo += p;
    c.hi += (c.lo < p);
}
inline void MAC2(Acc& c, u32 x, u32 y) {
    u64 p = static_cast<u64>(x) * y;
    c.hi += static_cast<u32>(p >> 63);
    p <<= 1;
    c.lo += p;
    c.hi += (c.lo < p);
}
#endif


// ---------------------------------------------------------------- raw limbs
//
// The kernels work on arrays of limbs. Where the compiler has a 128-bit
// integer (x86-64) the 32-bit units are processed two at a time as 64-bit
// limbs, which halves the number of multiplications in every column; the
// algorithms are the same on both widths (product scanning, Karatsuba down to
// an unrolled 8-unit base case, truncated products). On the 32-bit board the
// limbs are the units themselves.

#if defined(__SIZEOF_INT128__) && !defined(VLONG_NARROW_LIMBS)
#define VLONG_WIDE_LIMBS 1
using u128 = unsigned __int128;
struct Acc64 {
    u128 v = 0;
    u64 hi = 0;
    void emit(u64& out) {
        out = static_cast<u64>(v);
        v = (v >> 64) | (static_cast<u128>(hi) << 64);
        hi = 0;
    }
    u64 low() const { return static_cast<u64>(v); }
};
inline void MAC(Acc64& c, u64 x, u64 y) {
    c.hi += __builtin_add_overflow(c.v, static_cast<u128>(x) * y, &c.v);
}
inline void MAC2(Acc64& c, u64 x, u64 y) {
    const u128 p = static_cast<u128>(x) * y;
    c.hi += static_cast<u64>(p >> 127);
    c.hi += __builtin_add_overflow(c.v, p << 1, &c.v);
}
#endif

template <class L> struct Limb;
template <> struct Limb<u32> {
    using A = Acc;
    [[maybe_unused]] static constexpr u32 kBase = 8;  // limbs in the unrolled base case
    [[maybe_unused]] static constexpr u32 kBits = 32;
};
#ifdef VLONG_WIDE_LIMBS
template <> struct Limb<u64> {
    using A = Acc64;
    static constexpr u32 kBase = 4;  // 4 limbs = 8 units
    static constexpr u32 kBits = 64;
};
#endif

template <class L>
int cmp_n(const L* a, const L* b, u32 n) {
    for (u32 i = n; i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// r = a + b over n limbs; returns the carry. r may alias a or b.
template <class L>
L add_n(L* r, const L* a, const L* b, u32 n) {
    L c = 0;
    for (u32 i = 0; i < n; ++i) {
        const L s = a[i] + c;
        c = s < c;
        const L t = s + b[i];
        c += t < s;
        r[i] = t;
    }
    return c;
}

// r = a - b over n limbs; returns the borrow. r may alias a or b.
template <class L>
L sub_n(L* r, const L* a, const L* b, u32 n) {
    L borrow = 0;
    for (u32 i = 0; i < n; ++i) {
        const L x = a[i];
        const L d = x - b[i];
        const L b1 = x < b[i];
        r[i] = d - borrow;
        borrow = b1 | (d < borrow);
    }
    return borrow;
}

#ifdef VLONG_WIDE_LIMBS
// The same on 64-bit limbs as carry chains.
template <>
u64 add_n<u64>(u64* r, const u64* a, const u64* b, u32 n) {
#ifdef __x86_64__
    unsigned char c = 0;
    for (u32 i = 0; i < n; ++i) {
        unsigned long long t;
        c = _addcarry_u64(c, a[i], b[i], &t);
        r[i] = t;
    }
    return c;
#else
    u128 c = 0;
    for (u32 i = 0; i < n; ++i) {
        c += static_cast<u128>(a[i]) + b[i];
        r[i] = static_cast<u64>(c);
        c >>= 64;
    }
    return static_cast<u64>(c);
#endif
}

template <>
u64 sub_n<u64>(u64* r, const u64* a, const u64* b, u32 n) {
#ifdef __x86_64__
    unsigned char c = 0;
    for (u32 i = 0; i < n; ++i) {
        unsigned long long t;
        c = _subborrow_u64(c, a[i], b[i], &t);
        r[i] = t;
    }
    return c;
#else
    u64 borrow = 0;
    for (u32 i = 0; i < n; ++i) {
        const u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
        r[i] = static_cast<u64>(d);
        borrow = static_cast<u64>(d >> 64) & 1;
    }
    return borrow;
#endif
}
#endif

// Adds c into r[0..n), returns what carries out.
template <class L>
L add_carry(L* r, u32 n, L c) {
    for (u32 i = 0; i < n && c != 0; ++i) {
        r[i] += c;
        c = r[i] < c;
    }
    return c;
}

template <class L>
L sub_borrow(L* r, u32 n, L b) {
    for (u32 i = 0; i < n && b != 0; ++i) {
        const L old = r[i];
        r[i] = old - b;
        b = old < b ? 1 : 0;
    }
    return b;
}

bool is_pow2(u32 n) { return n != 0 && (n & (n - 1)) == 0; }

// Unit counts that take the unrolled (8) or Karatsuba (power of two >= 16)
// routines for a full product of equal-length operands.
bool karatsuba_size(u32 n) { return n == 8 || (n >= 16 && is_pow2(n)); }

// One column: the sum of pa[i] * pb[-i] for i in [0, cnt), walking a up and
// b down by pointer, four products a step so the loop bookkeeping does not
// dominate the multiplications.
template <class L, class A>
inline void mac_column(A& c, const L* pa, const L* pb, u32 cnt) {
    for (; cnt >= 4; cnt -= 4, pa += 4, pb -= 4) {
        MAC(c, pa[0], pb[0]);
        MAC(c, pa[1], pb[-1]);
        MAC(c, pa[2], pb[-2]);
        MAC(c, pa[3], pb[-3]);
    }
    for (; cnt > 0; --cnt) MAC(c, *pa++, *pb--);
}

// Product scanning over the columns [0, ncols) of a*b.
template <class L>
void mul_cols(L* r, const L* a, u32 na, const L* b, u32 nb, u32 ncols) {
    typename Limb<L>::A c;
    for (u32 k = 0; k < ncols; ++k) {
        const u32 lo = k + 1 > nb ? k + 1 - nb : 0;
        const u32 hi = k < na - 1 ? k : na - 1;
        if (lo <= hi) mac_column(c, a + lo, b + (k - lo), hi - lo + 1);
        c.emit(r[k]);
    }
}

// Squaring by product scanning over the columns [0, ncols) of a*a.
template <class L>
void sqr_cols(L* r, const L* a, u32 na, u32 ncols) {
    typename Limb<L>::A c;
    for (u32 k = 0; k < ncols; ++k) {
        const u32 lo = k + 1 > na ? k + 1 - na : 0;
        u32 i = lo;
        u32 j = k - lo;
        for (; i < j; ++i, --j) MAC2(c, a[i], a[j]);
        if (i == j) MAC(c, a[i], a[i]);
        c.emit(r[k]);
    }
}

// The unrolled 8-unit base cases: 8 x 8 units, and 4 x 4 limbs of two units.
void mul8x8(uint32_t* r, const uint32_t* a, const uint32_t* b) {
    const uint32_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6], a7 = a[7];
    const uint32_t b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3], b4 = b[4], b5 = b[5], b6 = b[6], b7 = b[7];
    Acc c;
    MAC(c, a0, b0); c.emit(r[0]);
    MAC(c, a0, b1); MAC(c, a1, b0); c.emit(r[1]);
    MAC(c, a0, b2); MAC(c, a1, b1); MAC(c, a2, b0); c.emit(r[2]);
    MAC(c, a0, b3); MAC(c, a1, b2); MAC(c, a2, b1); MAC(c, a3, b0); c.emit(r[3]);
    MAC(c, a0, b4); MAC(c, a1, b3); MAC(c, a2, b2); MAC(c, a3, b1); MAC(c, a4, b0); c.emit(r[4]);
    MAC(c, a0, b5); MAC(c, a1, b4); MAC(c, a2, b3); MAC(c, a3, b2); MAC(c, a4, b1); MAC(c, a5, b0); c.emit(r[5]);
    MAC(c, a0, b6); MAC(c, a1, b5); MAC(c, a2, b4); MAC(c, a3, b3); MAC(c, a4, b2); MAC(c, a5, b1); MAC(c, a6, b0); c.emit(r[6]);
    MAC(c, a0, b7); MAC(c, a1, b6); MAC(c, a2, b5); MAC(c, a3, b4); MAC(c, a4, b3); MAC(c, a5, b2); MAC(c, a6, b1); MAC(c, a7, b0); c.emit(r[7]);
    MAC(c, a1, b7); MAC(c, a2, b6); MAC(c, a3, b5); MAC(c, a4, b4); MAC(c, a5, b3); MAC(c, a6, b2); MAC(c, a7, b1); c.emit(r[8]);
    MAC(c, a2, b7); MAC(c, a3, b6); MAC(c, a4, b5); MAC(c, a5, b4); MAC(c, a6, b3); MAC(c, a7, b2); c.emit(r[9]);
    MAC(c, a3, b7); MAC(c, a4, b6); MAC(c, a5, b5); MAC(c, a6, b4); MAC(c, a7, b3); c.emit(r[10]);
    MAC(c, a4, b7); MAC(c, a5, b6); MAC(c, a6, b5); MAC(c, a7, b4); c.emit(r[11]);
    MAC(c, a5, b7); MAC(c, a6, b6); MAC(c, a7, b5); c.emit(r[12]);
    MAC(c, a6, b7); MAC(c, a7, b6); c.emit(r[13]);
    MAC(c, a7, b7); c.emit(r[14]);
    r[15] = c.low();
}

void sqr8(uint32_t* r, const uint32_t* a) {
    const uint32_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6], a7 = a[7];
    Acc c;
    MAC(c, a0, a0); c.emit(r[0]);
    MAC2(c, a0, a1); c.emit(r[1]);
    MAC2(c, a0, a2); MAC(c, a1, a1); c.emit(r[2]);
    MAC2(c, a0, a3); MAC2(c, a1, a2); c.emit(r[3]);
    MAC2(c, a0, a4); MAC2(c, a1, a3); MAC(c, a2, a2); c.emit(r[4]);
    MAC2(c, a0, a5); MAC2(c, a1, a4); MAC2(c, a2, a3); c.emit(r[5]);
    MAC2(c, a0, a6); MAC2(c, a1, a5); MAC2(c, a2, a4); MAC(c, a3, a3); c.emit(r[6]);
    MAC2(c, a0, a7); MAC2(c, a1, a6); MAC2(c, a2, a5); MAC2(c, a3, a4); c.emit(r[7]);
    MAC2(c, a1, a7); MAC2(c, a2, a6); MAC2(c, a3, a5); MAC(c, a4, a4); c.emit(r[8]);
    MAC2(c, a2, a7); MAC2(c, a3, a6); MAC2(c, a4, a5); c.emit(r[9]);
    MAC2(c, a3, a7); MAC2(c, a4, a6); MAC(c, a5, a5); c.emit(r[10]);
    MAC2(c, a4, a7); MAC2(c, a5, a6); c.emit(r[11]);
    MAC2(c, a5, a7); MAC(c, a6, a6); c.emit(r[12]);
    MAC2(c, a6, a7); c.emit(r[13]);
    MAC(c, a7, a7); c.emit(r[14]);
    r[15] = c.low();
}

[[maybe_unused]] inline void base_mul(u32* r, const u32* a, const u32* b) { mul8x8(r, a, b); }
[[maybe_unused]] inline void base_sqr(u32* r, const u32* a) { sqr8(r, a); }
#ifdef VLONG_WIDE_LIMBS
void base_mul(u64* r, const u64* a, const u64* b) {
    const u64 a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const u64 b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
    Acc64 c;
    MAC(c, a0, b0); c.emit(r[0]);
    MAC(c, a0, b1); MAC(c, a1, b0); c.emit(r[1]);
    MAC(c, a0, b2); MAC(c, a1, b1); MAC(c, a2, b0); c.emit(r[2]);
    MAC(c, a0, b3); MAC(c, a1, b2); MAC(c, a2, b1); MAC(c, a3, b0); c.emit(r[3]);
    MAC(c, a1, b3); MAC(c, a2, b2); MAC(c, a3, b1); c.emit(r[4]);
    MAC(c, a2, b3); MAC(c, a3, b2); c.emit(r[5]);
    MAC(c, a3, b3); c.emit(r[6]);
    r[7] = c.low();
}

void base_sqr(u64* r, const u64* a) {
    const u64 a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    Acc64 c;
    MAC(c, a0, a0); c.emit(r[0]);
    MAC2(c, a0, a1); c.emit(r[1]);
    MAC2(c, a0, a2); MAC(c, a1, a1); c.emit(r[2]);
    MAC2(c, a0, a3); MAC2(c, a1, a2); c.emit(r[3]);
    MAC2(c, a1, a3); MAC(c, a2, a2); c.emit(r[4]);
    MAC2(c, a2, a3); c.emit(r[5]);
    MAC(c, a3, a3); c.emit(r[6]);
    r[7] = c.low();
}

#endif

// Karatsuba for a size known at compile time: the same steps as kara_mul
// and kara_sqr below, with every loop bound a constant so the compiler can
// unroll the additions that dominate the small levels.
template <class L, u32 N>
void kara_mul_fixed(L* r, const L* a, const L* b, L* t) {
    if constexpr (N == Limb<L>::kBase) {
        base_mul(r, a, b);
    } else {
        constexpr u32 h = N / 2;
        kara_mul_fixed<L, h>(r, a, b, t);
        kara_mul_fixed<L, h>(r + N, a + h, b + h, t);
        L* da = t;
        L* db = t + h;
        L* d = t + N;
        bool neg = false;
        if (cmp_n(a, a + h, h) >= 0) {
            sub_n(da, a, a + h, h);
        } else {
            sub_n(da, a + h, a, h);
            neg = true;
        }
        if (cmp_n(b + h, b, h) >= 0) {
            sub_n(db, b + h, b, h);
        } else {
            sub_n(db, b, b + h, h);
            neg = !neg;
        }
        kara_mul_fixed<L, h>(d, da, db, t + 2 * N);
        L* mid = t;
        L c = add_n(mid, r, r + N, N);
        if (neg) {
            c -= sub_n(mid, mid, d, N);
        } else {
            c += add_n(mid, mid, d, N);
        }
        c += add_n(r + h, r + h, mid, N);
        add_carry(r + N + h, h, c);
    }
}

template <class L, u32 N>
void kara_sqr_fixed(L* r, const L* a, L* t) {
    if constexpr (N == Limb<L>::kBase) {
        base_sqr(r, a);
    } else {
        constexpr u32 h = N / 2;
        kara_sqr_fixed<L, h>(r, a, t);
        kara_sqr_fixed<L, h>(r + N, a + h, t);
        L* da = t;
        L* d = t + N;
        if (cmp_n(a, a + h, h) >= 0) {
            sub_n(da, a, a + h, h);
        } else {
            sub_n(da, a + h, a, h);
        }
        kara_sqr_fixed<L, h>(d, da, t + 2 * N);
        L* mid = t;
        L c = add_n(mid, r, r + N, N);
        c -= sub_n(mid, mid, d, N);
        c += add_n(r + h, r + h, mid, N);
        add_carry(r + N + h, h, c);
    }
}

// Karatsuba on n limbs (the base case or a power of two above it) into
// r[0..2n); t holds at least 4n limbs of scratch.
template <class L>
void kara_mul(L* r, const L* a, const L* b, u32 n, L* t) {
    constexpr u32 B = Limb<L>::kBase;
    if (n == B) return kara_mul_fixed<L, B>(r, a, b, t);
    if (n == 2 * B) return kara_mul_fixed<L, 2 * B>(r, a, b, t);
    if (n == 4 * B) return kara_mul_fixed<L, 4 * B>(r, a, b, t);
    if (n == 8 * B) return kara_mul_fixed<L, 8 * B>(r, a, b, t);
    const u32 h = n / 2;
    kara_mul(r, a, b, h, t);
    kara_mul(r + n, a + h, b + h, h, t);
    // (a0 - a1)(b1 - b0) = a0*b1 + a1*b0 - a0*b0 - a1*b1, with magnitudes
    // and a sign so that no operand grows beyond h limbs.
    L* da = t;
    L* db = t + h;
    L* d = t + n;
    bool neg = false;
    if (cmp_n(a, a + h, h) >= 0) {
        sub_n(da, a, a + h, h);
    } else {
        sub_n(da, a + h, a, h);
        neg = !neg;
    }
    if (cmp_n(b + h, b, h) >= 0) {
        sub_n(db, b + h, b, h);
    } else {
        sub_n(db, b, b + h, h);
        neg = !neg;
    }
    kara_mul(d, da, db, h, t + 2 * n);
    L* mid = t;  // da and db are no longer needed
    L c = add_n(mid, r, r + n, n);
    if (neg) {
        c -= sub_n(mid, mid, d, n);
    } else {
        c += add_n(mid, mid, d, n);
    }
    c += add_n(r + h, r + h, mid, n);
    add_carry(r + n + h, h, c);
}

template <class L>
void kara_sqr(L* r, const L* a, u32 n, L* t) {
    constexpr u32 B = Limb<L>::kBase;
    if (n == B) return kara_sqr_fixed<L, B>(r, a, t);
    if (n == 2 * B) return kara_sqr_fixed<L, 2 * B>(r, a, t);
    if (n == 4 * B) return kara_sqr_fixed<L, 4 * B>(r, a, t);
    if (n == 8 * B) return kara_sqr_fixed<L, 8 * B>(r, a, t);
    const u32 h = n / 2;
    kara_sqr(r, a, h, t);
    kara_sqr(r + n, a + h, h, t);
    L* da = t;
    L* d = t + n;
    if (cmp_n(a, a + h, h) >= 0) {
        sub_n(da, a, a + h, h);
    } else {
        sub_n(da, a + h, a, h);
    }
    kara_sqr(d, da, h, t + 2 * n);
    L* mid = t;
    L c = add_n(mid, r, r + n, n);
    c -= sub_n(mid, mid, d, n);
    c += add_n(r + h, r + h, mid, n);
    add_carry(r + n + h, h, c);
}

// Scratch limbs from the heap, wiped before they are freed.
// Small requests (the RSA sizes) use a buffer inside the record instead.
template <class L>
struct Scratch {
    static constexpr u32 kLocal = 8192 / sizeof(L);
    L local[kLocal];
    L* p = nullptr;
    u32 n = 0;
    // cppcheck-suppress uninitMemberVar ; `local` is scratch space, written before it is read
    explicit Scratch(u32 count)
        : p(count <= kLocal ? local : static_cast<L*>(CRYPTO_malloc(count * sizeof(L)))), n(count) {}
    ~Scratch() {
        if (p != nullptr) {
            volatile L* q = p;
            for (u32 i = 0; i < n; ++i) q[i] = 0;
            if (p != local) CRYPTO_free(p);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

#ifdef VLONG_WIDE_LIMBS
using Wide = u64;
#else
using Wide = u32;
#endif
constexpr u32 kUnitsPerLimb = sizeof(Wide) / sizeof(u32);

u32 limbs_for(u32 units) { return (units + kUnitsPerLimb - 1) / kUnitsPerLimb; }

// Units [0, nu) of src into nl limbs, zero-padded.
void pack(Wide* dst, const u32* src, u32 nu, u32 nl) {
    for (u32 i = 0; i < nl; ++i) {
        Wide v = 0;
        for (u32 j = kUnitsPerLimb; j-- > 0;) {
            const u32 idx = i * kUnitsPerLimb + j;
            v = static_cast<Wide>(v << 16 << 16) | (idx < nu ? src[idx] : 0u);
        }
        dst[i] = v;
    }
}

// The first nu units held in src.
void unpack(u32* dst, const Wide* src, u32 nu) {
    for (u32 i = 0; i < nu; ++i) {
        dst[i] = static_cast<u32>(src[i / kUnitsPerLimb] >> (32 * (i % kUnitsPerLimb)));
    }
}

// Columns [0, ncols) of a*b into r; kara asks for the full product of
// equal-length operands by the unrolled or Karatsuba routine. Returns false
// when scratch memory is missing.
bool mul_units(u32* r, const u32* a, u32 na, const u32* b, u32 nb, u32 ncols, bool kara) {
    const u32 la = limbs_for(na);
    const u32 lb = limbs_for(nb);
    const u32 lc = limbs_for(ncols);
    Scratch<Wide> s(la + lb + 2 * (la + lb) + (kara ? 4 * la : 0));
    if (s.p == nullptr) return false;
    Wide* A = s.p;
    Wide* B = A + la;
    Wide* R = B + lb;
    pack(A, a, na, la);
    pack(B, b, nb, lb);
    if (kara) {
        kara_mul(R, A, B, la, R + 2 * (la + lb));
    } else {
        mul_cols(R, A, la, B, lb, lc);
    }
    unpack(r, R, ncols);
    return true;
}

bool sqr_units(u32* r, const u32* a, u32 na, u32 ncols, bool kara) {
    const u32 la = limbs_for(na);
    const u32 lc = limbs_for(ncols);
    Scratch<Wide> s(la + 2 * la + 1 + (kara ? 4 * la : 0));
    if (s.p == nullptr) return false;
    Wide* A = s.p;
    Wide* R = A + la;
    pack(A, a, na, la);
    if (kara) {
        kara_sqr(R, A, la, R + 2 * la + 1);
    } else {
        sqr_cols(R, A, la, lc);
    }
    unpack(r, R, ncols);
    return true;
}

// ---------------------------------------------------------------- records

VLONG_wipeObserver g_wipeObserver = nullptr;

void wipe_units(u32* p, u32 n) {
    volatile u32* q = p;
    for (u32 i = 0; i < n; ++i) q[i] = VLONG_WIPE_UNIT;
    if (g_wipeObserver != nullptr) g_wipeObserver(p, n);
}

void normalise(vlong* v) {
    while (v->numUnitsUsed > 0 && v->units[v->numUnitsUsed - 1] == 0) --v->numUnitsUsed;
    if (v->numUnitsUsed == 0) v->negative = 0;
}

// Growth that keeps the value: capacity n + 3, old units copied.
int32_t grow_keep(vlong* v, u32 n) {
    if (n > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (n <= v->numUnitsAllocated) return 0;
    const u32 cap = n + 3;
    u32* p = static_cast<u32*>(CRYPTO_malloc(cap * sizeof(u32)));
    if (p == nullptr) return VLONG_ERR_NO_MEMORY;
    if (v->numUnitsUsed > 0) std::memcpy(p, v->units, v->numUnitsUsed * sizeof(u32));
    std::memset(p + v->numUnitsUsed, 0, (cap - v->numUnitsUsed) * sizeof(u32));
    if (v->units != nullptr) {
        wipe_units(v->units, v->numUnitsAllocated);
        CRYPTO_free(v->units);
    }
    v->units = p;
    v->numUnitsAllocated = cap;
    return 0;
}

// Growth for a value about to be overwritten: capacity n + 1, length 0.
int32_t grow_discard(vlong* v, u32 n) {
    if (n > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    v->numUnitsUsed = 0;
    v->negative = 0;
    if (n <= v->numUnitsAllocated) return 0;
    const u32 cap = n + 1;
    u32* p = static_cast<u32*>(CRYPTO_malloc(cap * sizeof(u32)));
    if (p == nullptr) return VLONG_ERR_NO_MEMORY;
    if (v->units != nullptr) {
        wipe_units(v->units, v->numUnitsAllocated);
        CRYPTO_free(v->units);
    }
    v->units = p;
    v->numUnitsAllocated = cap;
    return 0;
}

void set_zero(vlong* v) {
    v->numUnitsUsed = 0;
    v->negative = 0;
}

// A temporary that goes back to the pool (or is wiped) on scope exit.
struct Temp {
    vlong* v = nullptr;
    vlong** pool;
    explicit Temp(vlong** p) : pool(p) {}
    int32_t make() { return VLONG_create(&v, pool); }
    ~Temp() {
        if (v != nullptr) VLONG_release(&v, pool);
    }
    vlong* take() {
        vlong* r = v;
        v = nullptr;
        return r;
    }
    Temp(const Temp&) = delete;
    Temp& operator=(const Temp&) = delete;
};

// |acc| = |acc| + |b| (magnitudes only).
int32_t add_magnitudes(vlong* acc, const vlong* b) {
    const u32 na = acc->numUnitsUsed;
    const u32 nb = b->numUnitsUsed;
    const u32 n = na > nb ? na : nb;
    if (const int32_t s = grow_keep(acc, n + 1); s < 0) return s;
    // acc may alias b: read b's units through its pointer after the growth.
    const u32* bu = (b == acc) ? acc->units : b->units;
    for (u32 i = na; i < n + 1; ++i) acc->units[i] = 0;
    u32 c = add_n(acc->units, acc->units, bu, nb);
    c = add_carry(acc->units + nb, n + 1 - nb, c);
    acc->numUnitsUsed = n + 1;
    normalise(acc);
    return 0;
}

// acc = | |acc| - |b| |, flipping acc's sign when |b| > |acc|.
int32_t sub_magnitudes(vlong* acc, const vlong* b) {
    const int32_t c = VLONG_cmpMagnitude(acc, b);
    if (c == 0) {
        set_zero(acc);
        return 0;
    }
    if (c > 0) {
        const u32 borrow = sub_n(acc->units, acc->units, b->units, b->numUnitsUsed);
        sub_borrow(acc->units + b->numUnitsUsed, acc->numUnitsUsed - b->numUnitsUsed, borrow);
        normalise(acc);
        return 0;
    }
    const u32 na = acc->numUnitsUsed;
    const u32 nb = b->numUnitsUsed;
    if (const int32_t s = grow_keep(acc, nb); s < 0) return s;
    for (u32 i = na; i < nb; ++i) acc->units[i] = 0;
    sub_n(acc->units, b->units, acc->units, nb);
    acc->numUnitsUsed = nb;
    acc->negative ^= 1;
    normalise(acc);
    return 0;
}

}  // namespace

extern "C" {

void VLONG_setWipeObserver(VLONG_wipeObserver observer) { g_wipeObserver = observer; }

int32_t VLONG_create(vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    vlong* v;
    if (pool != nullptr && *pool != nullptr) {
        v = *pool;
        *pool = v->nextFree;
    } else {
        v = static_cast<vlong*>(CRYPTO_malloc(sizeof(vlong)));
        if (v == nullptr) return VLONG_ERR_NO_MEMORY;
        v->units = nullptr;
        v->numUnitsAllocated = 0;
    }
    v->numUnitsUsed = 0;
    v->negative = 0;
    v->nextFree = nullptr;
    *out = v;
    return 0;
}

int32_t VLONG_release(vlong** v, vlong** pool) {
    if (v == nullptr || *v == nullptr) return VLONG_ERR_NULL;
    vlong* r = *v;
    if (pool != nullptr) {
        r->nextFree = *pool;
        *pool = r;
    } else {
        if (r->units != nullptr) {
            wipe_units(r->units, r->numUnitsAllocated);
            CRYPTO_free(r->units);
        }
        CRYPTO_free(r);
    }
    *v = nullptr;
    return 0;
}

int32_t VLONG_drainPool(vlong** pool) {
    if (pool == nullptr) return VLONG_ERR_NULL;
    while (*pool != nullptr) {
        vlong* v = *pool;
        *pool = v->nextFree;
        VLONG_release(&v, nullptr);
    }
    return 0;
}

int32_t VLONG_fromUnit(u32 unit, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    if (const int32_t s = grow_discard(t.v, 1); s < 0) return s;
    t.v->units[0] = unit;
    t.v->numUnitsUsed = unit != 0 ? 1 : 0;
    *out = t.take();
    return 0;
}

int32_t VLONG_fromBytes(const uint8_t* bytes, int32_t count, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (count < 0) return VLONG_ERR_SIZE;
    if (bytes == nullptr && count != 0) return VLONG_ERR_NULL;
    const u32 n = static_cast<u32>(count) / 4 + 1;
    if (n > VLONG_MAX_UNITS + 1) return VLONG_ERR_SIZE;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    // One unit more than the bytes can fill; the cap check applies to the
    // units actually used.
    const u32 need = (static_cast<u32>(count) + 3) / 4;
    if (need > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (const int32_t s = grow_discard(t.v, n > VLONG_MAX_UNITS ? VLONG_MAX_UNITS : n); s < 0) return s;
    u32 unit = 0;
    u32 shift = 0;
    u32 idx = 0;
    for (int32_t i = count; i-- > 0;) {
        unit |= static_cast<u32>(bytes[i]) << shift;
        shift += 8;
        if (shift == 32) {
            t.v->units[idx++] = unit;
            unit = 0;
            shift = 0;
        }
    }
    if (shift != 0) t.v->units[idx++] = unit;
    t.v->numUnitsUsed = idx;
    normalise(t.v);
    *out = t.take();
    return 0;
}

int32_t VLONG_byteStringFromVlong(const vlong* value, uint8_t* buffer, int32_t* length) {
    if (value == nullptr || length == nullptr) return VLONG_ERR_NULL;
    const int32_t needed = static_cast<int32_t>((VLONG_bits(value) + 7) / 8);
    if (buffer == nullptr) {
        *length = needed;
        return 0;
    }
    const int32_t size = *length;
    if (size < needed) return VLONG_ERR_BUFFER_SHORT;
    const int32_t pad = size - needed;
    std::memset(buffer, 0, static_cast<size_t>(pad));
    for (int32_t i = 0; i < needed; ++i) {
        const u32 byteIndex = static_cast<u32>(needed - 1 - i);
        buffer[pad + i] = static_cast<uint8_t>(value->units[byteIndex / 4] >> (8 * (byteIndex % 4)));
    }
    return 0;
}

int32_t VLONG_clone(const vlong* src, vlong** out, vlong** pool) {
    if (out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (src == nullptr) return VLONG_ERR_NULL;
    Temp t(pool);
    if (const int32_t s = t.make(); s < 0) return s;
    if (const int32_t s = VLONG_copyInto(t.v, src); s < 0) return s;
    *out = t.take();
    return 0;
}

int32_t VLONG_copyInto(vlong* dst, const vlong* src) {
    if (dst == nullptr || src == nullptr) return VLONG_ERR_NULL;
    if (dst == src) return 0;
    if (const int32_t s = grow_discard(dst, src->numUnitsUsed); s < 0) return s;
    if (src->numUnitsUsed > 0) std::memcpy(dst->units, src->units, src->numUnitsUsed * sizeof(u32));
    dst->numUnitsUsed = src->numUnitsUsed;
    dst->negative = src->negative;
    return 0;
}

uint32_t VLONG_bits(const vlong* v) {
    if (v == nullptr || v->numUnitsUsed == 0) return 0;
    const u32 top = v->units[v->numUnitsUsed - 1];
    return 32 * (v->numUnitsUsed - 1) + (32 - static_cast<u32>(__builtin_clz(top)));
}

uint32_t VLONG_bit(const vlong* v, uint32_t index) {
    if (v == nullptr || index / 32 >= v->numUnitsUsed) return 0;
    return (v->units[index / 32] >> (index % 32)) & 1u;
}

int32_t VLONG_setBitAt(vlong* v, uint32_t index) {
    if (v == nullptr) return VLONG_ERR_NULL;
    const u32 unit = index / 32;
    if (unit < v->numUnitsUsed) {
        v->units[unit] |= 1u << (index % 32);
        return 0;
    }
    return VLONG_setUnitAt(v, unit, 1u << (index % 32));
}

int32_t VLONG_setUnitAt(vlong* v, uint32_t index, uint32_t unit) {
    if (v == nullptr) return VLONG_ERR_NULL;
    if (index >= VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    if (index >= v->numUnitsUsed) {
        if (unit == 0) return 0;
        if (const int32_t s = grow_keep(v, index + 1); s < 0) return s;
        for (u32 i = v->numUnitsUsed; i < index; ++i) v->units[i] = 0;
        v->units[index] = unit;
        v->numUnitsUsed = index + 1;
        return 0;
    }
    v->units[index] = unit;
    normalise(v);
    return 0;
}

int32_t VLONG_cmpMagnitude(const vlong* a, const vlong* b) {
    if (a->numUnitsUsed != b->numUnitsUsed) return a->numUnitsUsed > b->numUnitsUsed ? 1 : -1;
    return cmp_n(a->units, b->units, a->numUnitsUsed);
}

int32_t VLONG_cmpSigned(const vlong* a, const vlong* b) {
    if (a->negative != b->negative) return a->negative ? -1 : 1;
    const int32_t c = VLONG_cmpMagnitude(a, b);
    return a->negative ? -c : c;
}

int32_t VLONG_add(vlong* acc, const vlong* addend, vlong** /*pool*/) {
    if (acc == nullptr || addend == nullptr) return VLONG_ERR_NULL;
    if (acc->negative == addend->negative) return add_magnitudes(acc, addend);
    return sub_magnitudes(acc, addend);
}

int32_t VLONG_sub(vlong* acc, const vlong* subtrahend, vlong** /*pool*/) {
    if (acc == nullptr || subtrahend == nullptr) return VLONG_ERR_NULL;
    if (acc->negative != subtrahend->negative) return add_magnitudes(acc, subtrahend);
    return sub_magnitudes(acc, subtrahend);
}

int32_t VLONG_shl(vlong* v, uint32_t bits) {
    if (v == nullptr) return VLONG_ERR_NULL;
    if (v->numUnitsUsed == 0 || bits == 0) return 0;
    const u64 newBits = static_cast<u64>(VLONG_bits(v)) + bits;
    if (newBits > 32ull * VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    const u32 us = bits / 32;
    const u32 bs = bits % 32;
    const u32 used = v->numUnitsUsed;
    const u32 target = static_cast<u32>((newBits + 31) / 32);
    if (const int32_t s = grow_keep(v, target); s < 0) return s;
    u32* u = v->units;
    if (bs == 0) {
        for (u32 i = used; i-- > 0;) u[i + us] = u[i];
    } else {
        if (target > used + us) u[used + us] = u[used - 1] >> (32 - bs);
        for (u32 i = used - 1; i > 0; --i) u[i + us] = (u[i] << bs) | (u[i - 1] >> (32 - bs));
        u[us] = u[0] << bs;
    }
    for (u32 i = 0; i < us; ++i) u[i] = 0;
    v->numUnitsUsed = target;
    normalise(v);
    return 0;
}

int32_t VLONG_shl1(vlong* v) { return VLONG_shl(v, 1); }

int32_t VLONG_shr(vlong* v, uint32_t bits) {
    if (v == nullptr) return VLONG_ERR_NULL;
    const u32 us = bits / 32;
    const u32 bs = bits % 32;
    if (us >= v->numUnitsUsed) {
        set_zero(v);
        return 0;
    }
    const u32 n = v->numUnitsUsed - us;
    u32* u = v->units;
    if (bs == 0) {
        for (u32 i = 0; i < n; ++i) u[i] = u[i + us];
    } else {
        for (u32 i = 0; i + 1 < n; ++i) u[i] = (u[i + us] >> bs) | (u[i + us + 1] << (32 - bs));
        u[n - 1] = u[n - 1 + us] >> bs;
    }
    v->numUnitsUsed = n;
    normalise(v);
    return 0;
}

int32_t VLONG_mulBits(vlong* product, const vlong* a, const vlong* b, uint32_t bitLimit) {
    if (product == nullptr || a == nullptr || b == nullptr) return VLONG_ERR_NULL;
    const u32 na = a->numUnitsUsed;
    const u32 nb = b->numUnitsUsed;
    if (na == 0 || nb == 0 || bitLimit == 0) {
        set_zero(product);
        return 0;
    }
    const u32 limitUnits = bitLimit / 32 + (bitLimit % 32 != 0);
    const u32 ncols = na + nb < limitUnits ? na + nb : limitUnits;
    if (ncols > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    const u32 sign = a->negative ^ b->negative;
    const bool full = bitLimit == VLONG_bits(a) + VLONG_bits(b);
    if (const int32_t s = grow_discard(product, ncols); s < 0) return s;
    const bool kara = full && na == nb && karatsuba_size(na);
    if (!mul_units(product->units, a->units, na, b->units, nb, ncols, kara)) return VLONG_ERR_NO_MEMORY;
    if (!kara && ncols == limitUnits && bitLimit % 32 != 0) product->units[ncols - 1] &= (1u << (bitLimit % 32)) - 1;
    product->numUnitsUsed = ncols;
    product->negative = sign;
    normalise(product);
    return 0;
}

int32_t VLONG_sqrBits(vlong* product, const vlong* a, uint32_t bitLimit) {
    if (product == nullptr || a == nullptr) return VLONG_ERR_NULL;
    const u32 na = a->numUnitsUsed;
    if (na == 0 || bitLimit == 0) {
        set_zero(product);
        return 0;
    }
    const u32 limitUnits = bitLimit / 32 + (bitLimit % 32 != 0);
    const u32 ncols = 2 * na < limitUnits ? 2 * na : limitUnits;
    if (ncols > VLONG_MAX_UNITS) return VLONG_ERR_SIZE;
    const bool full = bitLimit == 2 * VLONG_bits(a);
    if (const int32_t s = grow_discard(product, ncols); s < 0) return s;
    const bool kara = full && karatsuba_size(na);
    if (!sqr_units(product->units, a->units, na, ncols, kara)) return VLONG_ERR_NO_MEMORY;
    if (!kara && ncols == limitUnits && bitLimit % 32 != 0) product->units[ncols - 1] &= (1u << (bitLimit % 32)) - 1;
    product->numUnitsUsed = ncols;
    normalise(product);
    return 0;
}

}  // extern "C"

extern "C" {

int32_t VLONG_divRem(vlong* quotient, const vlong* dividend, const vlong* divisor, vlong* remainder,
                     vlong** /*pool*/) {
    if (dividend == nullptr || divisor == nullptr) return VLONG_ERR_NULL;
    if (divisor->numUnitsUsed == 0) return VLONG_ERR_DIV_BY_ZERO;
    const u32 nu = dividend->numUnitsUsed;
    const u32 nv = divisor->numUnitsUsed;
    if (VLONG_cmpMagnitude(dividend, divisor) < 0) {
        if (remainder != nullptr) {
            if (const int32_t s = VLONG_copyInto(remainder, dividend); s < 0) return s;
            remainder->negative = 0;
        }
        if (quotient != nullptr) set_zero(quotient);
        return 0;
    }
    const u32 nq = nu - nv + 1;
    // Working copies: the normalised dividend (nu + 1 units), divisor (nv)
    // and quotient (nq).
    Scratch<u32> work(nu + 1 + nv + nq);
    if (work.p == nullptr) return VLONG_ERR_NO_MEMORY;
    u32* un = work.p;
    u32* vn = un + nu + 1;
    u32* q = vn + nv;
    const u32* u = dividend->units;
    const u32* v = divisor->units;

    if (nv == 1) {
        const u64 d = v[0];
        u64 rem = 0;
        for (u32 i = nu; i-- > 0;) {
            const u64 cur = (rem << 32) | u[i];
            q[i] = static_cast<u32>(cur / d);
            rem = cur % d;
        }
        un[0] = static_cast<u32>(rem);
    } else {
        // Normalise so the divisor's top unit has its highest bit set; the
        // quotient estimate from two units is then at most two too large.
        const u32 s = static_cast<u32>(__builtin_clz(v[nv - 1]));
        if (s != 0) {
            for (u32 i = nv - 1; i > 0; --i) vn[i] = (v[i] << s) | (v[i - 1] >> (32 - s));
            vn[0] = v[0] << s;
            un[nu] = u[nu - 1] >> (32 - s);
            for (u32 i = nu - 1; i > 0; --i) un[i] = (u[i] << s) | (u[i - 1] >> (32 - s));
            un[0] = u[0] << s;
        } else {
            std::memcpy(vn, v, nv * sizeof(u32));
            std::memcpy(un, u, nu * sizeof(u32));
            un[nu] = 0;
        }
        const u64 base = 1ull << 32;
        const u64 vtop = vn[nv - 1];
        const u64 vnext = vn[nv - 2];
        for (u32 j = nq; j-- > 0;) {
            const u64 num = (static_cast<u64>(un[j + nv]) << 32) | un[j + nv - 1];
            u64 qhat = num / vtop;
            u64 rhat = num % vtop;
            while (qhat >= base || qhat * vnext > ((rhat << 32) | un[j + nv - 2])) {
                --qhat;
                rhat += vtop;
                if (rhat >= base) break;
            }
            // un[j .. j+nv] -= qhat * vn
#ifdef VLONG_WIDE_LIMBS
            // Two units at a time: qhat times a pair of units fits 96 bits.
            // The borrow of each step joins the carry of the next product,
            // so one chain carries both (below 2^32 + 2).
            u64 carry = 0;
            u32 i = 0;
            for (; i + 1 < nv; i += 2) {
                u64 v2, u2;
#ifdef __x86_64__
                // Little-endian: a pair of units is one 64-bit word in memory.
                std::memcpy(&v2, vn + i, sizeof v2);
                std::memcpy(&u2, un + i + j, sizeof u2);
#else
                v2 = (static_cast<u64>(vn[i + 1]) << 32) | vn[i];
                u2 = (static_cast<u64>(un[i + j + 1]) << 32) | un[i + j];
#endif
                const u128 p = static_cast<u128>(qhat) * v2 + carry;
                const u64 pl = static_cast<u64>(p);
                const u64 d = u2 - pl;
                carry = static_cast<u64>(p >> 64) + (u2 < pl);
#ifdef __x86_64__
                std::memcpy(un + i + j, &d, sizeof d);
#else
                un[i + j] = static_cast<u32>(d);
                un[i + j + 1] = static_cast<u32>(d >> 32);
#endif
            }
            if (i < nv) {
                const u64 p = qhat * vn[i] + carry;
                const u32 pl = static_cast<u32>(p);
                const u32 ui = un[i + j];
                un[i + j] = ui - pl;
                carry = (p >> 32) + (ui < pl);
            }
            const u64 top = un[j + nv];
            un[j + nv] = static_cast<u32>(top - carry);
            const bool negative = top < carry;
#else
            int64_t k = 0;
            int64_t t = 0;
            for (u32 i = 0; i < nv; ++i) {
                const u64 p = qhat * vn[i];
                t = static_cast<int64_t>(un[i + j]) - k - static_cast<int64_t>(p & 0xFFFFFFFFu);
                un[i + j] = static_cast<u32>(t);
                k = static_cast<int64_t>(p >> 32) - (t >> 32);
            }
            t = static_cast<int64_t>(un[j + nv]) - k;
            un[j + nv] = static_cast<u32>(t);
            const bool negative = t < 0;
#endif
            q[j] = static_cast<u32>(qhat);
            if (negative) {
                // The estimate was one too large: add the divisor back.
                --q[j];
                u64 c = 0;
                for (u32 i = 0; i < nv; ++i) {
                    c += static_cast<u64>(un[i + j]) + vn[i];
                    un[i + j] = static_cast<u32>(c);
                    c >>= 32;
                }
                un[j + nv] += static_cast<u32>(c);
            }
        }
        if (s != 0) {
            for (u32 i = 0; i + 1 < nv; ++i) un[i] = (un[i] >> s) | (un[i + 1] << (32 - s));
            un[nv - 1] >>= s;
        }
    }
    if (quotient != nullptr) {
        if (const int32_t st = grow_discard(quotient, nq); st < 0) return st;
        std::memcpy(quotient->units, q, nq * sizeof(u32));
        quotient->numUnitsUsed = nq;
        normalise(quotient);
    }
    if (remainder != nullptr) {
        if (const int32_t st = grow_discard(remainder, nv); st < 0) return st;
        std::memcpy(remainder->units, un, nv * sizeof(u32));
        remainder->numUnitsUsed = nv;
        normalise(remainder);
    }
    return 0;
}

}  // extern "C"

namespace {

// r = |a| mod m, as a non-negative value in [0, m); a negative a is mapped
// to m - (|a| mod m).
int32_t reduce_into(vlong* r, const vlong* a, const vlong* m, vlong** pool) {
    if (const int32_t s = VLONG_divRem(nullptr, a, m, r, pool); s < 0) return s;
    if (a->negative && r->numUnitsUsed != 0) {
        // r = m - r
        if (const int32_t s = VLONG_sub(r, m, pool); s < 0) return s;
        r->negative = 0;
    }
    return 0;
}

bool is_power_of_two(const vlong* v) {
    if (v->numUnitsUsed == 0) return false;
    for (u32 i = 0; i + 1 < v->numUnitsUsed; ++i) {
        if (v->units[i] != 0) return false;
    }
    const u32 top = v->units[v->numUnitsUsed - 1];
    return (top & (top - 1)) == 0;
}

// a^-1 mod 2^k for odd a by Newton's iteration x <- x(2 - a x), which
// doubles the number of correct low bits each round.
int32_t inv_mod_pow2(const vlong* a, u32 k, vlong** out, vlong** pool) {
    const u32 a0 = a->units[0];
    u32 x0 = a0;  // correct to 3 bits for odd a
    for (int i = 0; i < 4; ++i) x0 *= 2u - a0 * x0;
    Temp x(pool), t(pool), c(pool);
    if (int32_t s = x.make(); s < 0) return s;
    if (int32_t s = t.make(); s < 0) return s;
    if (int32_t s = c.make(); s < 0) return s;
    if (int32_t s = VLONG_setUnitAt(x.v, 0, x0); s < 0) return s;
    u32 prec = 32;
    while (prec < k) {
        prec = 2 * prec < k ? 2 * prec : k;
        if (int32_t s = VLONG_mulBits(t.v, a, x.v, prec); s < 0) return s;
        t.v->negative = 0;
        // c = 2^prec + 2 - t, which is (2 - a x) mod 2^prec
        set_zero(c.v);
        if (int32_t s = VLONG_setBitAt(c.v, prec); s < 0) return s;
        if (int32_t s = VLONG_setUnitAt(c.v, 0, 2); s < 0) return s;
        if (int32_t s = VLONG_sub(c.v, t.v, pool); s < 0) return s;
        if (int32_t s = VLONG_mulBits(t.v, x.v, c.v, prec); s < 0) return s;
        if (int32_t s = VLONG_copyInto(x.v, t.v); s < 0) return s;
    }
    // Reduce to k bits (k may be below 32).
    set_zero(c.v);
    if (int32_t s = VLONG_setUnitAt(c.v, 0, 1); s < 0) return s;
    if (int32_t s = VLONG_mulBits(t.v, x.v, c.v, k); s < 0) return s;
    t.v->negative = 0;
    *out = t.take();
    return 0;
}

}  // namespace

extern "C" {

int32_t VLONG_invMod(const vlong* a, const vlong* modulus, vlong** out, vlong** pool) {
    if (a == nullptr || modulus == nullptr || out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (modulus->numUnitsUsed == 0) return VLONG_ERR_NOT_INVERTIBLE;
    if (is_power_of_two(modulus) && modulus->numUnitsUsed > 0) {
        const u32 k = VLONG_bits(modulus) - 1;
        if (k == 0) return VLONG_fromUnit(0, out, pool);
        if (a->numUnitsUsed == 0 || (a->units[0] & 1u) == 0) return VLONG_ERR_NOT_INVERTIBLE;
        Temp x(pool);
        if (int32_t s = inv_mod_pow2(a, k, &x.v, pool); s < 0) return s;
        if (a->negative && x.v->numUnitsUsed != 0) {
            if (int32_t s = VLONG_sub(x.v, modulus, pool); s < 0) return s;
            x.v->negative = 0;
        }
        *out = x.take();
        return 0;
    }
    // Extended Euclid on (m, a mod m), keeping only the coefficient of a.
    Temp r0(pool), r1(pool), t0(pool), t1(pool), q(pool), r(pool), p(pool), mabs(pool);
    for (Temp* t : {&r0, &r1, &t0, &t1, &q, &r, &p, &mabs}) {
        if (int32_t s = t->make(); s < 0) return s;
    }
    if (int32_t s = VLONG_copyInto(mabs.v, modulus); s < 0) return s;
    mabs.v->negative = 0;
    if (int32_t s = VLONG_copyInto(r0.v, mabs.v); s < 0) return s;
    if (int32_t s = reduce_into(r1.v, a, r0.v, pool); s < 0) return s;
    if (int32_t s = VLONG_setUnitAt(t1.v, 0, 1); s < 0) return s;
    while (r1.v->numUnitsUsed != 0) {
        if (int32_t s = VLONG_divRem(q.v, r0.v, r1.v, r.v, pool); s < 0) return s;
        std::swap(r0.v, r1.v);
        std::swap(r1.v, r.v);
        // t0, t1 = t1, t0 - q t1
        if (int32_t s = VLONG_mulBits(p.v, q.v, t1.v, VLONG_bits(q.v) + VLONG_bits(t1.v)); s < 0) {
            return s;
        }
        if (int32_t s = VLONG_sub(t0.v, p.v, pool); s < 0) return s;
        std::swap(t0.v, t1.v);
    }
    if (r0.v->numUnitsUsed != 1 || r0.v->units[0] != 1) return VLONG_ERR_NOT_INVERTIBLE;
    if (t0.v->negative) {
        if (int32_t s = VLONG_add(t0.v, mabs.v, pool); s < 0) return s;
    }
    *out = t0.take();
    return 0;
}

}  // extern "C"

namespace {

int32_t make_one_mod(vlong* r, const vlong* m) {
    set_zero(r);
    if (m->numUnitsUsed == 1 && m->units[0] == 1) return 0;
    return VLONG_setUnitAt(r, 0, 1);
}

// Barrett reduction on fixed-width limb arrays. With n the modulus length in
// units and b = 2^32, a product x = a*b of two values below m is reduced as
//   q1 = floor(x / b^(n-1)), q2 = q1*mu, q3 = floor(q2 / b^(n+1)),
//   r = (x - q3*m) mod b^(n+1), then m is subtracted while r >= m.
// Only the columns of q1*mu that can reach q3 and only the low columns of
// q3*m are computed (see barrett_reduce).
template <class L>
struct BarrettK {
    u32 n;         // units of m
    u32 nl;        // limbs of m
    const L* m;    // nl limbs
    const L* mu;   // lmu limbs
    u32 lmu;
    u32 lq;        // limbs of q1 (n + 1 units)
    u32 lr;        // limbs covering the n + 1 low units
    u32 c0;        // first column of q1*mu that is computed
    L topMask;     // mask of the top limb of r to 32(n + 1) bits
    L* x;          // 2nl
    L* q1;         // lq
    L* q2;         // lq + lmu - c0
    L* q3;         // nl
    L* r2;         // lr
    L* scratch;    // 4nl for Karatsuba
    bool kara;
};

// dst[0..dn) = bits [off, off + dn*LB) of src[0..sn), zero beyond sn.
template <class L>
void shr_limbs(L* dst, u32 dn, const L* src, u32 sn, u32 off) {
    constexpr u32 LB = Limb<L>::kBits;
    const u32 lo = off / LB;
    const u32 bs = off % LB;
    for (u32 i = 0; i < dn; ++i) {
        const u32 j = lo + i;
        const L a = j < sn ? src[j] : 0;
        if (bs == 0) {
            dst[i] = a;
        } else {
            const L b = j + 1 < sn ? src[j + 1] : 0;
            dst[i] = static_cast<L>((a >> bs) | (b << (LB - bs)));
        }
    }
}

// Columns [c0, na + nb) of a*b into r[0 .. na + nb - c0), ignoring whatever
// the columns below c0 would carry in: the result is the high part of a*b
// less the (unknown) carry out of the dropped columns.
template <class L>
void mul_cols_high(L* r, const L* a, u32 na, const L* b, u32 nb, u32 c0) {
    typename Limb<L>::A c;
    const u32 last = na + nb - 1;
    for (u32 k = c0; k < last; ++k) {
        const u32 lo = k + 1 > nb ? k + 1 - nb : 0;
        const u32 hi = k < na - 1 ? k : na - 1;
        if (lo <= hi) mac_column(c, a + lo, b + (k - lo), hi - lo + 1);
        c.emit(r[k - c0]);
    }
    r[last - c0] = c.low();
}

// r = x mod m for the product x = a*b already in K.x (2nl limbs, x < m^2).
template <class L>
void barrett_reduce(BarrettK<L>& K, L* r) {
    const u32 nl = K.nl;
    const u32 n = K.n;
    L* x = K.x;
    bool high = false;
    for (u32 i = nl; i < 2 * nl; ++i) high |= x[i] != 0;
    if (!high && cmp_n(x, K.m, nl) < 0) {
        std::memcpy(r, x, nl * sizeof(L));
        return;
    }
    // q1 = x / b^(n-1), at most n + 1 units.
    shr_limbs(K.q1, K.lq, x, 2 * nl, 32 * (n - 1));
    // q3 = q1*mu / b^(n+1) from the high columns only. The dropped columns
    // below c0 are worth less than b^(n+1), so q3 is at most one below the
    // exact value, which itself is at most two below floor(x / m).
    mul_cols_high(K.q2, K.q1, K.lq, K.mu, K.lmu, K.c0);
    shr_limbs(K.q3, nl, K.q2, K.lq + K.lmu - K.c0, 32 * (n + 1) - Limb<L>::kBits * K.c0);
    // r2 = (q3*m) mod b^(n+1); r = (x - r2) mod b^(n+1), which is the exact
    // x - q3*m since that lies in [0, 4m) and 4m < b^(n+1).
    mul_cols(K.r2, K.q3, nl, K.m, nl, K.lr);
    L* rr = x;  // the low lr limbs of x become r
    sub_n(rr, x, K.r2, K.lr);
    rr[K.lr - 1] &= K.topMask;
    // At most three subtractions of m.
    while (true) {
        bool ge;
        if (K.lr > nl && rr[nl] != 0) {
            ge = true;
        } else {
            ge = cmp_n(rr, K.m, nl) >= 0;
        }
        if (!ge) break;
        const L borrow = sub_n(rr, rr, K.m, nl);
        if (K.lr > nl) rr[nl] -= borrow;
    }
    std::memcpy(r, rr, nl * sizeof(L));
}

template <class L>
void barrett_mul_limbs(BarrettK<L>& K, L* r, const L* a, const L* b) {
    const u32 nl = K.nl;
    if (a == b) {
        if (K.kara) kara_sqr(K.x, a, nl, K.scratch);
        else sqr_cols(K.x, a, nl, 2 * nl);
    } else {
        if (K.kara) kara_mul(K.x, a, b, nl, K.scratch);
        else mul_cols(K.x, a, nl, b, nl, 2 * nl);
    }
    barrett_reduce(K, r);
}

// Montgomery multiplication on fixed-width limb arrays of n limbs.
template <class L>
struct Mont {
    u32 n;
    u32 k;         // bits of R
    const L* m;    // modulus, n limbs
    L* mp;         // mPrime, n limbs
    L* t;          // 2n + 1
    L* u;          // n
    L* um;         // 2n
    L* tmp;        // n + 1
    L* scratch;    // 4n for Karatsuba
    bool kara;
};

// r = a*b*R^-1 mod m for a, b < m: t = a*b; u = (t mod R)*mPrime mod R;
// r = (t + u*m)/R, less m once if needed. r may alias a or b.
template <class L>
void mont_mul(Mont<L>& M, L* r, const L* a, const L* b) {
    constexpr u32 LB = Limb<L>::kBits;
    const u32 n = M.n;
    if (a == b) {
        if (M.kara) kara_sqr(M.t, a, n, M.scratch);
        else sqr_cols(M.t, a, n, 2 * n);
    } else {
        if (M.kara) kara_mul(M.t, a, b, n, M.scratch);
        else mul_cols(M.t, a, n, b, n, 2 * n);
    }
    // Only the low columns of (t mod R) * mPrime are computed.
    mul_cols(M.u, M.t, n, M.mp, n, n);
    for (u32 i = M.k / LB; i < n; ++i) {
        M.u[i] &= (i == M.k / LB && M.k % LB != 0) ? static_cast<L>((L(1) << (M.k % LB)) - 1) : L(0);
    }
    if (M.kara) kara_mul(M.um, M.u, M.m, n, M.scratch);
    else mul_cols(M.um, M.u, n, M.m, n, 2 * n);
    M.t[2 * n] = add_n(M.t, M.t, M.um, 2 * n);
    // tmp = (t + u m) / R, below 2m.
    const u32 ku = M.k / LB;
    const u32 bs = M.k % LB;
    for (u32 i = 0; i <= n; ++i) {
        const L lo = ku + i <= 2 * n ? M.t[ku + i] : 0;
        if (bs == 0) {
            M.tmp[i] = lo;
        } else {
            const L hi = ku + i + 1 <= 2 * n ? M.t[ku + i + 1] : 0;
            M.tmp[i] = static_cast<L>((lo >> bs) | (hi << (LB - bs)));
        }
    }
    if (M.tmp[n] != 0 || cmp_n(M.tmp, M.m, n) >= 0) sub_n(M.tmp, M.tmp, M.m, n);
    std::memcpy(r, M.tmp, n * sizeof(L));
}

template <class L>
void load_limbs(L* dst, const vlong* v, u32 n) {
    constexpr u32 per = sizeof(L) / sizeof(u32);
    for (u32 i = 0; i < n; ++i) {
        L x = 0;
        for (u32 j = per; j-- > 0;) {
            const u32 idx = i * per + j;
            x = static_cast<L>(x << 16 << 16) | (idx < v->numUnitsUsed ? v->units[idx] : 0u);
        }
        dst[i] = x;
    }
}

template <class L>
int32_t store_limbs(vlong* v, const L* src, u32 n) {
    constexpr u32 per = sizeof(L) / sizeof(u32);
    if (const int32_t s = grow_discard(v, n * per); s < 0) return s;
    for (u32 i = 0; i < n * per; ++i) v->units[i] = static_cast<u32>(src[i / per] >> (32 * (i % per)));
    v->numUnitsUsed = n * per;
    normalise(v);
    return 0;
}

// The exponentiation proper: x is the base in Montgomery form, one is R - m;
// the result (still in Montgomery form) replaces x.
template <class L>
int32_t mont_exp(const MontgomeryCtx* ctx, vlong* x, const vlong* one, const vlong* exponent) {
    constexpr u32 per = sizeof(L) / sizeof(u32);
    const vlong* m = ctx->modulus;
    const u32 units = m->numUnitsUsed;
    const u32 n = (units + per - 1) / per;
    const u32 ebits = VLONG_bits(exponent);
    const u32 w = VLONG_montgomeryWindowBits(ebits);
    const u32 tableSize = w == 0 ? 1 : (1u << (w - 1));
    const u32 total = tableSize * n + n + n + n + (2 * n + 1) + n + 2 * n + (n + 1) + 4 * n + n;
    Scratch<L> buf(total);
    if (buf.p == nullptr) return VLONG_ERR_NO_MEMORY;
    L* table = buf.p;
    L* acc = table + tableSize * n;
    L* mod = acc + n;
    Mont<L> M{};
    M.n = n;
    M.k = ctx->rBits;
    M.m = mod;
    M.mp = mod + n;
    M.t = M.mp + n;
    M.u = M.t + 2 * n + 1;
    M.um = M.u + n;
    M.tmp = M.um + 2 * n;
    M.scratch = M.tmp + n + 1;
    L* sq = M.scratch + 4 * n;
    // The unrolled and Karatsuba routines serve 8 units or a power of two of
    // at least 16 units, whatever the limb width.
    M.kara = karatsuba_size(units) && units % per == 0;
    load_limbs(mod, m, n);
    load_limbs(M.mp, ctx->mPrime, n);
    load_limbs(table, x, n);
    load_limbs(acc, one, n);

    if (w == 0) {
        // Right to left: the table's entry serves as the running power.
        L* power = table;
        for (u32 i = 0; i < ebits; ++i) {
            if (VLONG_bit(exponent, i)) mont_mul(M, acc, acc, power);
            if (i + 1 == ebits) break;
            mont_mul(M, power, power, power);
        }
    } else {
        // Odd powers g, g^3, ..., g^(2^w - 1).
        if (tableSize > 1) {
            mont_mul(M, sq, table, table);
            for (u32 i = 1; i < tableSize; ++i) mont_mul(M, table + i * n, table + (i - 1) * n, sq);
        }
        bool isOne = true;  // squaring one in Montgomery form gives one
        int64_t i = static_cast<int64_t>(ebits) - 1;
        while (i >= 0) {
            if (!VLONG_bit(exponent, static_cast<u32>(i))) {
                if (!isOne) mont_mul(M, acc, acc, acc);
                --i;
                continue;
            }
            // The longest run of at most w bits from here that ends in a one.
            int64_t l = i - static_cast<int64_t>(w) + 1;
            if (l < 0) l = 0;
            while (!VLONG_bit(exponent, static_cast<u32>(l))) ++l;
            u32 val = 0;
            for (int64_t j = i; j >= l; --j) {
                val = (val << 1) | VLONG_bit(exponent, static_cast<u32>(j));
                if (!isOne) mont_mul(M, acc, acc, acc);
            }
            if (isOne) {
                std::memcpy(acc, table + ((val - 1) / 2) * n, n * sizeof(L));
                isOne = false;
            } else {
                mont_mul(M, acc, acc, table + ((val - 1) / 2) * n);
            }
            i = l - 1;
        }
    }
    return store_limbs(x, acc, n);
}

// result = result * power^exponent mod m on limb arrays, scanning the
// exponent from its least significant bit: multiply the result by the power
// at every one bit, square the power between bits. result and power are
// below m on entry; mu = floor(b^(2n) / m).
template <class L>
int32_t barrett_exp(vlong* result, vlong* power, const vlong* m, const vlong* mu, const vlong* exponent) {
    constexpr u32 per = sizeof(L) / sizeof(u32);
    constexpr u32 LB = Limb<L>::kBits;
    const u32 n = m->numUnitsUsed;
    const u32 nl = (n + per - 1) / per;
    const u32 lmu = (mu->numUnitsUsed + per - 1) / per;
    const u32 lq = (n + 1 + per - 1) / per;
    const u32 lr = lq;
    // The dropped columns of q1*mu, below c0, add up to less than
    // 2 c0 B^(c0+1) for the limb base B; that stays below b^(n+1) = 2^S.
    const u32 S = 32 * (n + 1);
    const u32 sl = S / LB;
    u32 c0 = sl >= 2 ? sl - 2 : 0;
    if (sl >= 1 && S % LB >= 32) c0 = sl - 1;
    const u32 topBits = S - LB * (lr - 1);
    const u32 total = nl + lmu + nl + nl + 2 * nl + lq + (lq + lmu - c0) + nl + lr + 4 * nl;
    Scratch<L> buf(total);
    if (buf.p == nullptr) return VLONG_ERR_NO_MEMORY;
    BarrettK<L> K{};
    L* mod = buf.p;
    L* muL = mod + nl;
    L* acc = muL + lmu;
    L* pw = acc + nl;
    K.n = n;
    K.nl = nl;
    K.m = mod;
    K.mu = muL;
    K.lmu = lmu;
    K.lq = lq;
    K.lr = lr;
    K.c0 = c0;
    K.topMask = topBits >= LB ? static_cast<L>(~L(0)) : static_cast<L>((L(1) << topBits) - 1);
    K.x = pw + nl;
    K.q1 = K.x + 2 * nl;
    K.q2 = K.q1 + lq;
    K.q3 = K.q2 + (lq + lmu - c0);
    K.r2 = K.q3 + nl;
    K.scratch = K.r2 + lr;
    K.kara = karatsuba_size(n) && n % per == 0;
    load_limbs(mod, m, nl);
    load_limbs(muL, mu, lmu);
    load_limbs(acc, result, nl);
    load_limbs(pw, power, nl);
    const u32 ebits = VLONG_bits(exponent);
    for (u32 i = 0; i < ebits; ++i) {
        if (VLONG_bit(exponent, i)) barrett_mul_limbs(K, acc, acc, pw);
        if (i + 1 == ebits) break;
        barrett_mul_limbs(K, pw, pw, pw);
    }
    return store_limbs(result, acc, nl);
}

}  // namespace

extern "C" {

uint32_t VLONG_montgomeryWindowBits(uint32_t exponentBits) {
    if (exponentBits >= 672) return 6;
    if (exponentBits >= 240) return 5;
    if (exponentBits >= 80) return 4;
    if (exponentBits >= 24) return 3;
    return 0;
}

int32_t VLONG_makeMontgomeryCtx(MontgomeryCtx* ctx, const vlong* modulus, vlong** pool) {
    if (ctx == nullptr || modulus == nullptr) return VLONG_ERR_NULL;
    std::memset(ctx, 0, sizeof(*ctx));
    if (modulus->numUnitsUsed == 0 || (modulus->units[0] & 1u) == 0 ||
        (modulus->numUnitsUsed == 1 && modulus->units[0] == 1)) {
        return VLONG_ERR_NOT_INVERTIBLE;
    }
    MontgomeryCtx c{};
    struct Guard {
        MontgomeryCtx* c;
        ~Guard() {
            if (c != nullptr) VLONG_freeMontgomeryCtx(c);
        }
    } guard{&c};
    int32_t s;
    if ((s = VLONG_clone(modulus, &c.modulus, nullptr)) < 0) return s;
    c.modulus->negative = 0;
    // R grows bit by bit from 1 until it is not below m; for an odd m > 1
    // that is 2^bits(m).
    if ((s = VLONG_create(&c.r, nullptr)) < 0) return s;
    c.rBits = VLONG_bits(c.modulus);
    if ((s = VLONG_setBitAt(c.r, c.rBits)) < 0) return s;
    // mPrime = R - m^-1 mod R
    vlong* inv = nullptr;
    if ((s = VLONG_invMod(c.modulus, c.r, &inv, pool)) < 0) return s;
    if ((s = VLONG_clone(c.r, &c.mPrime, nullptr)) < 0) {
        VLONG_release(&inv, pool);
        return s;
    }
    s = VLONG_sub(c.mPrime, inv, pool);
    VLONG_release(&inv, pool);
    if (s < 0) return s;
    // rInverse = (1 + m mPrime) / R: exact, since m mPrime = -1 mod R, and
    // R rInverse = 1 + m mPrime = 1 mod m.
    if ((s = VLONG_create(&c.rInverse, nullptr)) < 0) return s;
    if ((s = VLONG_mulBits(c.rInverse, c.modulus, c.mPrime, VLONG_bits(c.modulus) + VLONG_bits(c.mPrime))) < 0) {
        return s;
    }
    vlong* one = nullptr;
    if ((s = VLONG_fromUnit(1, &one, pool)) < 0) return s;
    s = VLONG_add(c.rInverse, one, pool);
    VLONG_release(&one, pool);
    if (s < 0) return s;
    if ((s = VLONG_shr(c.rInverse, c.rBits)) < 0) return s;
    *ctx = c;
    guard.c = nullptr;
    return 0;
}

void VLONG_freeMontgomeryCtx(MontgomeryCtx* ctx) {
    if (ctx == nullptr) return;
    for (vlong** v : {&ctx->r, &ctx->rInverse, &ctx->modulus, &ctx->mPrime}) {
        if (*v != nullptr) VLONG_release(v, nullptr);
    }
    ctx->rBits = 0;
}

int32_t VLONG_montgomeryPowMod(const MontgomeryCtx* ctx, const vlong* base, const vlong* exponent, vlong** out,
                               vlong** pool) {
    if (ctx == nullptr || base == nullptr || exponent == nullptr || out == nullptr || ctx->modulus == nullptr) {
        return VLONG_ERR_NULL;
    }
    *out = nullptr;
    const vlong* m = ctx->modulus;
    Temp res(pool), x(pool);
    int32_t s;
    if ((s = res.make()) < 0) return s;
    if ((s = x.make()) < 0) return s;
    if (exponent->numUnitsUsed == 0) {
        if ((s = make_one_mod(res.v, m)) < 0) return s;
        *out = res.take();
        return 0;
    }
    if ((s = reduce_into(x.v, base, m, pool)) < 0) return s;
    if (x.v->numUnitsUsed == 0) {
        *out = res.take();
        return 0;
    }
    // Into Montgomery form: x R mod m.
    if ((s = VLONG_mulBits(res.v, x.v, ctx->r, VLONG_bits(x.v) + VLONG_bits(ctx->r))) < 0) return s;
    if ((s = VLONG_divRem(nullptr, res.v, m, x.v, pool)) < 0) return s;

    // The value one in Montgomery form, R - m.
    if ((s = VLONG_copyInto(res.v, ctx->r)) < 0) return s;
    if ((s = VLONG_sub(res.v, m, pool)) < 0) return s;
    if ((s = mont_exp<Wide>(ctx, x.v, res.v, exponent)) < 0) return s;
    // Out of Montgomery form: x R^-1 mod m.
    if ((s = VLONG_mulBits(res.v, x.v, ctx->rInverse, VLONG_bits(x.v) + VLONG_bits(ctx->rInverse))) < 0) {
        return s;
    }
    if ((s = VLONG_divRem(nullptr, res.v, m, x.v, pool)) < 0) return s;
    *out = x.take();
    return 0;
}

int32_t VLONG_barrettPowMod(const vlong* base, const vlong* exponent, const vlong* modulus, vlong** out,
                            vlong** pool) {
    if (base == nullptr || exponent == nullptr || modulus == nullptr || out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (modulus->numUnitsUsed == 0) return VLONG_ERR_ZERO_MODULUS;
    Temp m(pool), mu(pool), power(pool), result(pool), x(pool);
    for (Temp* t : {&m, &mu, &power, &result, &x}) {
        if (int32_t s = t->make(); s < 0) return s;
    }
    int32_t s;
    if ((s = VLONG_copyInto(m.v, modulus)) < 0) return s;
    m.v->negative = 0;
    if ((s = make_one_mod(result.v, m.v)) < 0) return s;
    if ((s = reduce_into(power.v, base, m.v, pool)) < 0) return s;
    if (power.v->numUnitsUsed == 0 && exponent->numUnitsUsed != 0) {
        set_zero(result.v);
        *out = result.take();
        return 0;
    }
    const u32 n = m.v->numUnitsUsed;
    // mu = floor(b^(2n) / m)
    if ((s = VLONG_setBitAt(x.v, 64 * n)) < 0) return s;
    if ((s = VLONG_divRem(mu.v, x.v, m.v, nullptr, pool)) < 0) return s;
    if ((s = barrett_exp<Wide>(result.v, power.v, m.v, mu.v, exponent)) < 0) return s;
    *out = result.take();
    return 0;
}

int32_t VLONG_powMod(const vlong* base, const vlong* exponent, const vlong* modulus, vlong** out, vlong** pool) {
    if (base == nullptr || exponent == nullptr || modulus == nullptr || out == nullptr) return VLONG_ERR_NULL;
    *out = nullptr;
    if (modulus->numUnitsUsed == 0) return VLONG_ERR_ZERO_MODULUS;
    if (base->numUnitsUsed == 0) {
        if (exponent->numUnitsUsed == 0) {
            Temp r(pool);
            if (int32_t s = r.make(); s < 0) return s;
            if (int32_t s = make_one_mod(r.v, modulus); s < 0) return s;
            *out = r.take();
            return 0;
        }
        return VLONG_create(out, pool);
    }
    const bool odd = (modulus->units[0] & 1u) != 0;
    const bool one = modulus->numUnitsUsed == 1 && modulus->units[0] == 1;
    if (odd && !one && exponent->numUnitsUsed > 13) {
        MontgomeryCtx ctx;
        if (int32_t s = VLONG_makeMontgomeryCtx(&ctx, modulus, pool); s < 0) return s;
        const int32_t s = VLONG_montgomeryPowMod(&ctx, base, exponent, out, pool);
        VLONG_freeMontgomeryCtx(&ctx);
        return s;
    }
    return VLONG_barrettPowMod(base, exponent, modulus, out, pool);
}

}  // extern "C"
