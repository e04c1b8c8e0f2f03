// Arbitrary-precision integers, comparison, additive arithmetic, shifts and
// division: see include/vlong.h for the contract.
#include "vlong_internal.h"

#include <cstring>

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
