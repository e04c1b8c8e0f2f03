// Arbitrary-precision integers, comparison, additive arithmetic, shifts and
// division: see include/vlong.h for the contract.
#include "vlong_internal.h"

#include <bit>

using namespace bmcrypto_vlong;

namespace {

// |acc| = |acc| + |b| (magnitudes only).
int32_t add_magnitudes(vlong* acc, const vlong* b) {
    const u32 na = acc->numUnitsUsed;
    const u32 nb = b->numUnitsUsed;
    const u32 n = na > nb ? na : nb;
    if (const int32_t s = grow_keep(acc, n + 1); s < 0) return s;
    // acc may alias b: read b's units through its pointer after the growth.
    const u32* bu = (b == acc) ? acc->units : b->units;
    for (u32 i = na; i < n + 1; ++i) acc->units[i] = 0;
    const u32 c = add_n(acc->units, acc->units, bu, nb);
    // Two magnitudes of at most n units sum within n + 1: nothing carries
    // out of the top unit.
    add_carry(acc->units + nb, n + 1 - nb, c);
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

// Digits twice as wide, for the steps of long division.
template <class D> struct Double;
template <> struct Double<u32> { using type = u64; };
#ifdef VLONG_WIDE_LIMBS
template <> struct Double<u64> { using type = u128; };
#endif

// Schoolbook long division of u by v on digits of type D, each quotient
// digit estimated from the top two digits: q[0 .. nu - nv] = u / v and
// u[0 .. nv) = u mod v, where u has nu + 1 digits (the top one 0), v has nv
// digits with the top one not zero, and nu >= nv. v is changed (normalised).
template <class D>
void long_divide(D* q, D* u, u32 nu, D* v, u32 nv) {
    using DD = typename Double<D>::type;
    constexpr u32 B = 8 * sizeof(D);
    if (nv == 1) {
        const DD d = v[0];
        DD rem = 0;
        for (u32 i = nu; i-- > 0;) {
            const DD cur = (rem << B) | u[i];
            q[i] = static_cast<D>(cur / d);
            rem = cur - static_cast<DD>(q[i]) * d;
        }
        u[0] = static_cast<D>(rem);
        return;
    }
    // Normalise so that v's top digit has its highest bit set; the quotient
    // estimate from two digits is then at most two too large.
    const u32 s = static_cast<u32>(std::countl_zero(v[nv - 1]));
    if (s != 0) {
        for (u32 i = nv - 1; i > 0; --i) v[i] = static_cast<D>((v[i] << s) | (v[i - 1] >> (B - s)));
        v[0] = static_cast<D>(v[0] << s);
        u[nu] = static_cast<D>(u[nu - 1] >> (B - s));
        for (u32 i = nu - 1; i > 0; --i) u[i] = static_cast<D>((u[i] << s) | (u[i - 1] >> (B - s)));
        u[0] = static_cast<D>(u[0] << s);
    }
    const DD base = static_cast<DD>(1) << B;
    const DD vtop = v[nv - 1];
    const DD vnext = v[nv - 2];
    for (u32 j = nu - nv + 1; j-- > 0;) {
        const DD num = (static_cast<DD>(u[j + nv]) << B) | u[j + nv - 1];
        DD qhat = num / vtop;
        DD rhat = num - qhat * vtop;
        while (qhat >= base || qhat * vnext > ((rhat << B) | u[j + nv - 2])) {
            --qhat;
            rhat += vtop;
            if (rhat >= base) break;
        }
        // u[j .. j + nv] -= qhat * v. The borrows of each step join the
        // high digit of its product, so one digit carries all three.
        const D qd = static_cast<D>(qhat);  // below base now
        D* const uj = u + j;
        D carry = 0;
        for (u32 i = 0; i < nv; ++i) {
            const DD p = static_cast<DD>(qd) * v[i];
            const D pl = static_cast<D>(p);
            const D x = uj[i];
            const D d = static_cast<D>(x - pl);
            uj[i] = static_cast<D>(d - carry);
            carry = static_cast<D>(static_cast<D>(p >> B) + (x < pl) + (d < carry));
        }
        const D top = uj[nv];
        uj[nv] = static_cast<D>(top - carry);
        q[j] = qd;
        if (top < carry) {
            // The estimate was one too large: add the divisor back.
            --q[j];
            D c = 0;
            for (u32 i = 0; i < nv; ++i) {
                const DD sum = static_cast<DD>(uj[i]) + v[i] + c;
                uj[i] = static_cast<D>(sum);
                c = static_cast<D>(sum >> B);
            }
            uj[nv] = static_cast<D>(uj[nv] + c);
        }
    }
    if (s != 0) {
        for (u32 i = 0; i + 1 < nv; ++i) u[i] = static_cast<D>((u[i] >> s) | (u[i + 1] << (B - s)));
        u[nv - 1] = static_cast<D>(u[nv - 1] >> s);
    }
}

}  // namespace

extern "C" {

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
    // On limbs: the dividend (lu + 1 limbs), the divisor (lv) and the
    // quotient (lu - lv + 1). Top units are not zero, so neither are the top
    // limbs.
    const u32 lu = limbs_for(nu);
    const u32 lv = limbs_for(nv);
    Scratch<Wide> work(lu + 1 + lv + (lu - lv + 1));
    if (work.p == nullptr) return VLONG_ERR_NO_MEMORY;
    Wide* un = work.p;
    Wide* vn = un + lu + 1;
    Wide* q = vn + lv;
    pack(un, dividend->units, nu, lu);
    un[lu] = 0;
    pack(vn, divisor->units, nv, lv);
    long_divide(q, un, lu, vn, lv);
    if (quotient != nullptr) {
        const u32 nq = nu - nv + 1;  // the quotient is below 2^(32 nq)
        if (const int32_t st = grow_discard(quotient, nq); st < 0) return st;
        unpack(quotient->units, q, nq);
        quotient->numUnitsUsed = nq;
        normalise(quotient);
    }
    if (remainder != nullptr) {
        if (const int32_t st = grow_discard(remainder, nv); st < 0) return st;
        unpack(remainder->units, un, nv);
        remainder->numUnitsUsed = nv;
        normalise(remainder);
    }
    return 0;
}

}  // extern "C"
