// Arbitrary-precision integers, modular inverse and exponentiation by
// Barrett reduction or Montgomery multiplication: see include/vlong.h for the
// contract.
#include "vlong_internal.h"

#include <cstring>
#include <initializer_list>
#include <utility>

using namespace bmcrypto_vlong;

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

// a^-1 mod 2^bits of L for an odd a by Newton's iteration x <- x(2 - a x),
// which doubles the number of correct low bits each round from the three
// that x = a has.
template <class L>
L inverse_limb(L a) {
    L x = a;
    for (u32 bits = 3; bits < Limb<L>::kBits; bits *= 2) x = static_cast<L>(x * (2 - a * x));
    return x;
}

// a^-1 mod 2^k for odd a by the same iteration on values, from the inverse
// of the low unit.
int32_t inv_mod_pow2(const vlong* a, u32 k, vlong** out, vlong** pool) {
    const u32 x0 = inverse_limb(a->units[0]);
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
    if (int32_t s = make_all(r0, r1, t0, t1, q, r, p, mabs); s < 0) return s;
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

// t[0..2n) = a*b, a square when a == b: by Karatsuba when kara (n limbs of a
// size it serves, scratch of 4n limbs), else by columns.
template <class L>
void product(L* t, const L* a, const L* b, u32 n, bool kara, L* scratch) {
    if (a == b) {
        if (kara) kara_sqr(t, a, n, scratch);
        else sqr_cols(t, a, n, 2 * n);
    } else {
        if (kara) kara_mul(t, a, b, n, scratch);
        else mul_cols(t, a, n, b, n, 2 * n);
    }
}

template <class L>
void barrett_mul_limbs(BarrettK<L>& K, L* r, const L* a, const L* b) {
    product(K.x, a, b, K.nl, K.kara, K.scratch);
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
    product(M.t, a, b, n, M.kara, M.scratch);
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
    pack(dst, v->units, v->numUnitsUsed, n);
}

template <class L>
int32_t store_limbs(vlong* v, const L* src, u32 n) {
    constexpr u32 per = kUnitsPer<L>;
    if (const int32_t s = grow_discard(v, n * per); s < 0) return s;
    unpack(v->units, src, n * per);
    v->numUnitsUsed = n * per;
    normalise(v);
    return 0;
}

// The exponentiation proper: x is the base in Montgomery form, one is R - m;
// the result (still in Montgomery form) replaces x.
template <class L>
int32_t mont_exp(const MontgomeryCtx* ctx, vlong* x, const vlong* one, const vlong* exponent) {
    constexpr u32 per = kUnitsPer<L>;
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

// power^exponent mod m into result for an odd m > 1, power below m and an
// exponent that is not zero, by Montgomery multiplication with R = B^n (B
// the limb base, n the limbs of m) and reduction column by column. Besides
// m this needs one limb, -m^-1 mod B, and one division, for power * R mod m:
// no MontgomeryCtx, which suits a short exponent such as a public key's.
// The exponent is scanned from its most significant bit.
template <class L>
int32_t mont_words_exp(vlong* result, const vlong* power, const vlong* m, const vlong* exponent, vlong** pool) {
    constexpr u32 per = kUnitsPer<L>;
    const u32 units = m->numUnitsUsed;
    const u32 n = (units + per - 1) / per;
    Temp x(pool);
    int32_t s;
    if ((s = x.make()) < 0) return s;
    if ((s = VLONG_copyInto(x.v, power)) < 0) return s;
    if ((s = VLONG_shl(x.v, Limb<L>::kBits * n)) < 0) return s;
    if ((s = VLONG_divRem(nullptr, x.v, m, result, pool)) < 0) return s;
    Scratch<L> buf(n + n + n + n + 2 * n + n + 4 * n);
    if (buf.p == nullptr) return VLONG_ERR_NO_MEMORY;
    L* mod = buf.p;
    L* plain = mod + n;
    L* g = plain + n;  // power in Montgomery form
    L* acc = g + n;
    L* t = acc + n;
    L* u = t + 2 * n;
    L* scratch = u + n;
    load_limbs(mod, m, n);
    load_limbs(plain, power, n);
    load_limbs(g, result, n);
    const L m0inv = static_cast<L>(0 - inverse_limb(mod[0]));  // NOLINT(clang-analyzer-core.CallAndMessage): n >= 1 limbs loaded
    const bool kara = karatsuba_size(units) && units % per == 0;
    std::memcpy(acc, g, n * sizeof(L));
    // A last multiplication (an odd exponent) takes the power itself, not its
    // Montgomery form, and so leaves the form; otherwise acc * 1 does.
    bool inForm = true;
    for (u32 i = VLONG_bits(exponent) - 1; i-- > 0;) {
        product(t, acc, acc, n, kara, scratch);
        redc_cols(acc, t, mod, n, m0inv, u);
        if (VLONG_bit(exponent, i)) {
            inForm = i != 0;
            product(t, acc, inForm ? g : plain, n, kara, scratch);
            redc_cols(acc, t, mod, n, m0inv, u);
        }
    }
    if (inForm) {
        std::memcpy(t, acc, n * sizeof(L));
        std::memset(t + n, 0, n * sizeof(L));
        redc_cols(acc, t, mod, n, m0inv, u);
    }
    return store_limbs(result, acc, n);
}

// result = result * power^exponent mod m on limb arrays, scanning the
// exponent from its least significant bit: multiply the result by the power
// at every one bit, square the power between bits. result and power are
// below m on entry; mu = floor(b^(2n) / m).
template <class L>
int32_t barrett_exp(vlong* result, vlong* power, const vlong* m, const vlong* mu, const vlong* exponent) {
    constexpr u32 per = kUnitsPer<L>;
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

// base^exponent mod an odd modulus above 1 by mont_words_exp, with the cases
// it leaves out: a zero exponent, a base that reduces to zero.
int32_t mont_words_pow_mod(const vlong* base, const vlong* exponent, const vlong* modulus, vlong** out,
                           vlong** pool) {
    Temp m(pool), power(pool), result(pool);
    if (int32_t s = make_all(m, power, result); s < 0) return s;
    int32_t s;
    if ((s = VLONG_copyInto(m.v, modulus)) < 0) return s;
    m.v->negative = 0;
    if (exponent->numUnitsUsed == 0) {
        if ((s = make_one_mod(result.v, m.v)) < 0) return s;
    } else {
        if ((s = reduce_into(power.v, base, m.v, pool)) < 0) return s;
        if (power.v->numUnitsUsed != 0) {
            if ((s = mont_words_exp<Wide>(result.v, power.v, m.v, exponent, pool)) < 0) return s;
        }
    }
    *out = result.take();
    return 0;
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
    if (int32_t s = make_all(m, mu, power, result, x); s < 0) return s;
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
    if (!odd || one) return VLONG_barrettPowMod(base, exponent, modulus, out, pool);
    if (exponent->numUnitsUsed <= 13) return mont_words_pow_mod(base, exponent, modulus, out, pool);
    MontgomeryCtx ctx;
    if (int32_t s = VLONG_makeMontgomeryCtx(&ctx, modulus, pool); s < 0) return s;
    const int32_t s = VLONG_montgomeryPowMod(&ctx, base, exponent, out, pool);
    VLONG_freeMontgomeryCtx(&ctx);
    return s;
}

}  // extern "C"
