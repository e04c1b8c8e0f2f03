// Internal to the crypto library: what the big-integer files share. Not a
// public header; only the vlong sources include it.
//   vlong.cpp         records, pools, conversion to and from bytes, bits
//   vlong_arith.cpp   comparison, addition, subtraction, shifts, division
//   vlong_mul.cpp     multiplication: column kernels, unrolled base cases,
//                     Karatsuba
//   vlong_modexp.cpp  modular inverse and exponentiation (Barrett, Montgomery)
#ifndef BMCRYPTO_VLONG_INTERNAL_H
#define BMCRYPTO_VLONG_INTERNAL_H

#if defined(__GNUC__) && !defined(__clang__)
// The fixed-size Karatsuba levels and column loops gain from full unrolling.
#pragma GCC optimize("O3")
#endif

#include <cstdint>
#include <limits>
#ifdef __x86_64__
#include <x86intrin.h>
#endif

#include "crypto_platform.h"
#include "vlong.h"

namespace bmcrypto_vlong {

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
inline void MAC(Acc& c, u32 x, u32 y) { c.v += static_cast<unsigned __int128>(static_cast<u64>(x) * y); }
inline void MAC2(Acc& c, u32 x, u32 y) {
    c.v += static_cast<unsigned __int128>(static_cast<u64>(x) * y) << 1;
}
inline void ADD(Acc& c, u32 x) { c.v += x; }
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
inline void ADD(Acc& c, u32 x) {
    c.lo += x;
    c.hi += (c.lo < x);
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
inline void ADD(Acc64& c, u64 x) { c.hi += __builtin_add_overflow(c.v, static_cast<u128>(x), &c.v); }
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
inline u64 add_n<u64>(u64* r, const u64* a, const u64* b, u32 n) {
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
inline u64 sub_n<u64>(u64* r, const u64* a, const u64* b, u32 n) {
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
// 32-bit units held in one limb of type L.
template <class L>
inline constexpr u32 kUnitsPer = std::numeric_limits<L>::digits / 32;
constexpr u32 kUnitsPerLimb = kUnitsPer<Wide>;

inline u32 limbs_for(u32 units) { return (units + kUnitsPerLimb - 1) / kUnitsPerLimb; }

// Units [0, nu) of src into nl limbs, zero-padded.
template <class L>
void pack(L* dst, const u32* src, u32 nu, u32 nl) {
    constexpr u32 per = kUnitsPer<L>;
    for (u32 i = 0; i < nl; ++i) {
        L v = 0;
        for (u32 j = per; j-- > 0;) {
            const u32 idx = i * per + j;
            v = static_cast<L>(v << 16 << 16) | (idx < nu ? src[idx] : 0u);
        }
        dst[i] = v;
    }
}

// The first nu units held in src.
template <class L>
void unpack(u32* dst, const L* src, u32 nu) {
    constexpr u32 per = kUnitsPer<L>;
    for (u32 i = 0; i < nu; ++i) dst[i] = static_cast<u32>(src[i / per] >> (32 * (i % per)));
}

// ---------------------------------------------------------------- records
// (vlong.cpp)

void normalise(vlong* v);

// Growth that keeps the value: capacity n + 3, old units copied.
int32_t grow_keep(vlong* v, u32 n);

// Growth for a value about to be overwritten: capacity n + 1, length 0.
int32_t grow_discard(vlong* v, u32 n);

void set_zero(vlong* v);

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

// Makes each temporary in turn: 0, or the status of the first that failed
// (the rest are left unmade).
template <class... Temps>
int32_t make_all(Temps&... temps) {
    int32_t s = 0;
    const bool made = (((s = temps.make()) >= 0) && ...);
    return made ? 0 : s;
}

// ---------------------------------------------------------------- products
// (vlong_mul.cpp, instantiated for Wide limbs)

// Unit counts that take the unrolled (8) or Karatsuba (power of two >= 16)
// routines for a full product of equal-length operands.
bool karatsuba_size(u32 n);

// Product scanning over the columns [0, ncols) of a*b.
template <class L>
void mul_cols(L* r, const L* a, u32 na, const L* b, u32 nb, u32 ncols);

// Squaring by product scanning over the columns [0, ncols) of a*a.
template <class L>
void sqr_cols(L* r, const L* a, u32 na, u32 ncols);

// Columns [c0, na + nb) of a*b into r[0 .. na + nb - c0), ignoring whatever
// the columns below c0 would carry in: the result is the high part of a*b
// less the (unknown) carry out of the dropped columns.
template <class L>
void mul_cols_high(L* r, const L* a, u32 na, const L* b, u32 nb, u32 c0);

// Karatsuba on n limbs (the base case or a power of two above it) into
// r[0..2n); t holds at least 4n limbs of scratch.
template <class L>
void kara_mul(L* r, const L* a, const L* b, u32 n, L* t);

template <class L>
void kara_sqr(L* r, const L* a, u32 n, L* t);

// Montgomery reduction by product scanning: r[0..n) = t * B^-n mod m for
// t < m * B^n (2n limbs; B the limb base), with m0inv = -m^-1 mod B and u
// n limbs of scratch.
template <class L>
void redc_cols(L* r, const L* t, const L* m, u32 n, L m0inv, L* u);

}  // namespace bmcrypto_vlong

#endif
