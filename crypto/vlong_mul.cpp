// Arbitrary-precision integers, multiplication: product-scanning column
// kernels, unrolled 8-unit base cases and Karatsuba. See include/vlong.h for
// the contract.
#include "vlong_internal.h"

using namespace bmcrypto_vlong;

namespace {

bool is_pow2(u32 n) { return n != 0 && (n & (n - 1)) == 0; }

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

}  // namespace

namespace bmcrypto_vlong {

bool karatsuba_size(u32 n) { return n == 8 || (n >= 16 && is_pow2(n)); }

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
        for (; i < j; ++i, --j) MAC2(c, a[i], a[j]);  // NOLINT(clang-analyzer-core.CallAndMessage): na >= 1 limbs packed
        if (i == j) MAC(c, a[i], a[i]);
        c.emit(r[k]);
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

// Column k below n adds t[k] to the products of the limbs u[0..k) already
// chosen and picks u[k] so that the column is 0 mod B; the columns from n on,
// which hold (t + u*m) / B^n < 2m, are the result, less m once if needed.
template <class L>
void redc_cols(L* r, const L* t, const L* m, u32 n, L m0inv, L* u) {
    typename Limb<L>::A c;
    for (u32 k = 0; k < n; ++k) {
        mac_column(c, u, m + k, k);
        ADD(c, t[k]);
        u[k] = static_cast<L>(c.low() * m0inv);
        MAC(c, u[k], m[0]);
        L cleared;
        c.emit(cleared);
    }
    for (u32 k = n; k < 2 * n; ++k) {
        mac_column(c, u + (k - n + 1), m + (n - 1), 2 * n - 1 - k);
        ADD(c, t[k]);
        c.emit(r[k - n]);
    }
    if (c.low() != 0 || cmp_n(r, m, n) >= 0) sub_n(r, r, m, n);
}

template void mul_cols<Wide>(Wide*, const Wide*, u32, const Wide*, u32, u32);
template void sqr_cols<Wide>(Wide*, const Wide*, u32, u32);
template void mul_cols_high<Wide>(Wide*, const Wide*, u32, const Wide*, u32, u32);
template void kara_mul<Wide>(Wide*, const Wide*, const Wide*, u32, Wide*);
template void kara_sqr<Wide>(Wide*, const Wide*, u32, Wide*);
template void redc_cols<Wide>(Wide*, const Wide*, const Wide*, u32, Wide, Wide*);

}  // namespace bmcrypto_vlong

namespace {

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
        kara_mul(R, A, B, la, R + 2 * static_cast<size_t>(la + lb));
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
        kara_sqr(R, A, la, R + 2 * static_cast<size_t>(la) + 1);
    } else {
        sqr_cols(R, A, la, lc);
    }
    unpack(r, R, ncols);
    return true;
}

}  // namespace

extern "C" {

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
