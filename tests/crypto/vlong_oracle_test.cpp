// vlong arithmetic against OpenSSL's BIGNUM on random operands (host only).
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "vlong.h"

namespace {

struct BnCtx {
    BN_CTX* c = BN_CTX_new();
    ~BnCtx() { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
Bn bn() { return Bn(BN_new(), BN_free); }

struct V {
    vlong* v = nullptr;
    ~V() {
        if (v != nullptr) VLONG_release(&v, nullptr);
    }
};

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n, bool topBit) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    if (n > 0 && topBit) b[0] |= 0x80;
    return b;
}

vlong* to_vlong(const std::vector<uint8_t>& b) {
    vlong* v = nullptr;
    EXPECT_EQ(0, VLONG_fromBytes(b.data(), static_cast<int32_t>(b.size()), &v, nullptr));
    return v;
}

Bn to_bn(const std::vector<uint8_t>& b) {
    Bn r = bn();
    BN_bin2bn(b.data(), static_cast<int>(b.size()), r.get());
    return r;
}

std::vector<uint8_t> bytes_of(const vlong* v) {
    int32_t len = 0;
    EXPECT_EQ(0, VLONG_byteStringFromVlong(v, nullptr, &len));
    std::vector<uint8_t> b(static_cast<size_t>(len));
    if (len > 0) {
        EXPECT_EQ(0, VLONG_byteStringFromVlong(v, b.data(), &len));
    }
    return b;
}

std::vector<uint8_t> bytes_of(const BIGNUM* b) {
    std::vector<uint8_t> r(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, r.data());
    return r;
}

// Byte sizes chosen around the routine boundaries: the 8-unit base case,
// Karatsuba powers of two, and odd sizes just off them.
const size_t kMulSizes[] = {1, 3, 4, 5, 31, 32, 33, 63, 64, 65, 127, 128, 129, 256, 257, 512, 1024, 1000};

TEST(VlongOracle, MultiplyAndSquareMatchBignum) {
    std::mt19937 rng(1234);
    BnCtx ctx;
    for (size_t na : kMulSizes) {
        for (size_t nb : {na, na / 2 + 1, na + 4}) {
            for (bool top : {true, false}) {
                auto a = random_bytes(rng, na, top);
                auto b = random_bytes(rng, nb, top);
                V va{to_vlong(a)}, vb{to_vlong(b)}, p, s;
                ASSERT_EQ(0, VLONG_create(&p.v, nullptr));
                ASSERT_EQ(0, VLONG_create(&s.v, nullptr));
                ASSERT_EQ(0, VLONG_mulBits(p.v, va.v, vb.v, VLONG_bits(va.v) + VLONG_bits(vb.v)));
                ASSERT_EQ(0, VLONG_sqrBits(s.v, va.v, 2 * VLONG_bits(va.v)));
                Bn ba = to_bn(a), bb = to_bn(b), bp = bn(), bs = bn();
                BN_mul(bp.get(), ba.get(), bb.get(), ctx.c);
                BN_sqr(bs.get(), ba.get(), ctx.c);
                EXPECT_EQ(bytes_of(bp.get()), bytes_of(p.v)) << na << "x" << nb;
                EXPECT_EQ(bytes_of(bs.get()), bytes_of(s.v)) << na;
                // Truncated products: only the low bits survive.
                for (uint32_t limit : {1u, 31u, 32u, 33u, static_cast<uint32_t>(8 * na) - 1}) {
                    ASSERT_EQ(0, VLONG_mulBits(p.v, va.v, vb.v, limit));
                    ASSERT_EQ(0, VLONG_sqrBits(s.v, va.v, limit));
                    Bn t = bn();
                    BN_mul(t.get(), ba.get(), bb.get(), ctx.c);
                    BN_mask_bits(t.get(), static_cast<int>(limit));
                    EXPECT_EQ(bytes_of(t.get()), bytes_of(p.v)) << na << " limit " << limit;
                    BN_sqr(t.get(), ba.get(), ctx.c);
                    BN_mask_bits(t.get(), static_cast<int>(limit));
                    EXPECT_EQ(bytes_of(t.get()), bytes_of(s.v)) << na << " sqr limit " << limit;
                }
            }
        }
    }
}

TEST(VlongOracle, DivisionMatchesBignum) {
    std::mt19937 rng(99);
    BnCtx ctx;
    const size_t sizes[] = {1, 2, 4, 5, 8, 9, 17, 64, 100, 256, 513};
    for (size_t nu : sizes) {
        for (size_t nv : sizes) {
            for (int rep = 0; rep < 3; ++rep) {
                auto u = random_bytes(rng, nu, rep != 1);
                auto d = random_bytes(rng, nv, rep == 0);
                if (rep == 2 && nv > 1) d[1] = 0;  // sparse top: exercises the quotient correction
                Bn bu = to_bn(u), bd = to_bn(d);
                if (BN_is_zero(bd.get())) continue;
                V vu{to_vlong(u)}, vd{to_vlong(d)}, q, r;
                ASSERT_EQ(0, VLONG_create(&q.v, nullptr));
                ASSERT_EQ(0, VLONG_create(&r.v, nullptr));
                ASSERT_EQ(0, VLONG_divRem(q.v, vu.v, vd.v, r.v, nullptr));
                Bn bq = bn(), br = bn();
                BN_div(bq.get(), br.get(), bu.get(), bd.get(), ctx.c);
                EXPECT_EQ(bytes_of(bq.get()), bytes_of(q.v)) << nu << "/" << nv;
                EXPECT_EQ(bytes_of(br.get()), bytes_of(r.v)) << nu << "%" << nv;
            }
        }
    }
}

// Operands made of extreme units (0, 1, 2^31 - 1, 2^31, 2^32 - 2, 2^32 - 1)
// make the two-unit quotient estimate of the long division one too large
// often enough to reach the rare add-back step, with odd and even divisor
// lengths for the unit-pair steps.
TEST(VlongOracle, DivisionOfExtremeUnitsMatchesBignum) {
    std::mt19937 rng(4242);
    BnCtx ctx;
    const uint32_t kUnits[] = {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    auto extreme = [&](size_t units) {
        std::vector<uint8_t> b(4 * units);
        for (size_t i = 0; i < units; ++i) {
            const uint32_t u = kUnits[rng() % 6];
            for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<uint8_t>(u >> (24 - 8 * k));
        }
        return b;
    };
    for (int rep = 0; rep < 3000; ++rep) {
        const size_t nv = 2 + rng() % 8;
        const size_t nu = nv + rng() % 10;
        auto u = extreme(nu);
        auto d = extreme(nv);
        Bn bu = to_bn(u), bd = to_bn(d);
        if (BN_is_zero(bd.get())) continue;
        V vu{to_vlong(u)}, vd{to_vlong(d)}, q, r;
        ASSERT_EQ(0, VLONG_create(&q.v, nullptr));
        ASSERT_EQ(0, VLONG_create(&r.v, nullptr));
        ASSERT_EQ(0, VLONG_divRem(q.v, vu.v, vd.v, r.v, nullptr));
        Bn bq = bn(), br = bn();
        BN_div(bq.get(), br.get(), bu.get(), bd.get(), ctx.c);
        ASSERT_EQ(bytes_of(bq.get()), bytes_of(q.v)) << "case " << rep;
        ASSERT_EQ(bytes_of(br.get()), bytes_of(r.v)) << "case " << rep;
    }
}

TEST(VlongOracle, InverseMatchesBignum) {
    std::mt19937 rng(7);
    BnCtx ctx;
    for (size_t n : {1, 4, 16, 33, 128, 256, 512}) {
        for (int kind = 0; kind < 3; ++kind) {
            auto a = random_bytes(rng, n, false);
            auto m = random_bytes(rng, n, true);
            Bn bm = to_bn(m);
            if (kind == 0) BN_set_bit(bm.get(), 0);        // odd modulus
            if (kind == 1) BN_clear_bit(bm.get(), 0);      // even modulus
            if (kind == 2) {                               // power of two
                BN_zero(bm.get());
                BN_set_bit(bm.get(), static_cast<int>(8 * n - 3));
                a.back() |= 1;
            }
            Bn ba = to_bn(a), bi = bn();
            const bool exists = BN_mod_inverse(bi.get(), ba.get(), bm.get(), ctx.c) != nullptr;
            V va{to_vlong(a)}, vm{to_vlong(bytes_of(bm.get()))}, vi;
            const int32_t s = VLONG_invMod(va.v, vm.v, &vi.v, nullptr);
            if (!exists) {
                EXPECT_EQ(VLONG_ERR_NOT_INVERTIBLE, s) << n << " kind " << kind;
                EXPECT_EQ(nullptr, vi.v);
                continue;
            }
            ASSERT_EQ(0, s) << n << " kind " << kind;
            EXPECT_EQ(bytes_of(bi.get()), bytes_of(vi.v)) << n << " kind " << kind;
        }
    }
}

// Exponent sizes cover every window width of the Montgomery path (none, 3,
// 4, 5, 6) and its boundaries.
const uint32_t kExpBits[] = {1, 2, 17, 23, 24, 79, 80, 239, 240, 671, 672, 1024, 2048};

TEST(VlongOracle, PowModBothPathsMatchBignum) {
    std::mt19937 rng(2024);
    BnCtx ctx;
    for (size_t mbytes : {4, 12, 32, 64, 100, 128, 256, 384, 512}) {
        for (uint32_t ebits : kExpBits) {
            if (mbytes >= 384 && ebits > 700) continue;  // keeps the run short
            auto m = random_bytes(rng, mbytes, true);
            m.back() |= 1;
            auto b = random_bytes(rng, mbytes + (ebits % 3 == 0 ? 3 : 0), false);  // sometimes above m
            auto e = random_bytes(rng, (ebits + 7) / 8, false);
            Bn bm = to_bn(m), bb = to_bn(b), be = to_bn(e), br = bn();
            BN_mask_bits(be.get(), static_cast<int>(ebits));
            BN_set_bit(be.get(), static_cast<int>(ebits - 1));
            BN_mod_exp(br.get(), bb.get(), be.get(), bm.get(), ctx.c);
            const auto want = bytes_of(br.get());
            V vb{to_vlong(b)}, ve{to_vlong(bytes_of(be.get()))}, vm{to_vlong(m)}, r1, r2, r3;
            vlong* pool = nullptr;
            ASSERT_EQ(0, VLONG_barrettPowMod(vb.v, ve.v, vm.v, &r1.v, &pool));
            MontgomeryCtx mc;
            ASSERT_EQ(0, VLONG_makeMontgomeryCtx(&mc, vm.v, &pool));
            ASSERT_EQ(0, VLONG_montgomeryPowMod(&mc, vb.v, ve.v, &r2.v, &pool));
            VLONG_freeMontgomeryCtx(&mc);
            ASSERT_EQ(0, VLONG_powMod(vb.v, ve.v, vm.v, &r3.v, &pool));
            VLONG_drainPool(&pool);
            EXPECT_EQ(want, bytes_of(r1.v)) << "barrett m" << mbytes << " e" << ebits;
            EXPECT_EQ(want, bytes_of(r2.v)) << "montgomery m" << mbytes << " e" << ebits;
            EXPECT_EQ(want, bytes_of(r3.v)) << "powMod m" << mbytes << " e" << ebits;
        }
    }
}

TEST(VlongOracle, PowModEvenModulusUsesBarrettAndMatches) {
    std::mt19937 rng(5);
    BnCtx ctx;
    for (size_t mbytes : {8, 64, 256}) {
        auto m = random_bytes(rng, mbytes, true);
        m.back() &= 0xFE;
        auto b = random_bytes(rng, mbytes, false);
        auto e = random_bytes(rng, 64, true);  // 16 units: Montgomery if the modulus were odd
        Bn bm = to_bn(m), bb = to_bn(b), be = to_bn(e), br = bn();
        BN_mod_exp(br.get(), bb.get(), be.get(), bm.get(), ctx.c);
        V vb{to_vlong(b)}, ve{to_vlong(e)}, vm{to_vlong(m)}, r;
        ASSERT_EQ(0, VLONG_powMod(vb.v, ve.v, vm.v, &r.v, nullptr));
        EXPECT_EQ(bytes_of(br.get()), bytes_of(r.v)) << mbytes;
    }
}

// Moduli whose shape stresses the Barrett quotient estimate: exact powers of
// 2^32 (mu one unit longer than usual), a top unit of 1 or all ones, and
// values just around a power of 2^32; bases m - 1 and m - 2 give the largest
// products to reduce. Unit counts cover the narrow and wide limb layouts
// (odd and even), the 8-unit base case and Karatsuba sizes.
TEST(VlongOracle, BarrettAwkwardModuliMatchBignum) {
    std::mt19937 rng(77);
    BnCtx ctx;
    enum Shape { kPowerOfB, kPowerOfBPlusOne, kPowerOfBMinusOne, kTopUnitOne, kTopUnitAllOnes, kLowTopBit };
    for (uint32_t units : {1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 33u, 64u, 65u}) {
        for (Shape shape : {kPowerOfB, kPowerOfBPlusOne, kPowerOfBMinusOne, kTopUnitOne, kTopUnitAllOnes, kLowTopBit}) {
            Bn bm = bn(), one = bn();
            BN_one(one.get());
            switch (shape) {
                case kPowerOfB:  // b^(units-1): 1, 2^32, 2^64, ...
                    BN_lshift(bm.get(), one.get(), static_cast<int>(32 * (units - 1)));
                    break;
                case kPowerOfBPlusOne:
                    BN_lshift(bm.get(), one.get(), static_cast<int>(32 * (units - 1)));
                    BN_add_word(bm.get(), 1);
                    break;
                case kPowerOfBMinusOne:
                    BN_lshift(bm.get(), one.get(), static_cast<int>(32 * units));
                    BN_sub_word(bm.get(), 1);
                    break;
                case kTopUnitOne:
                case kTopUnitAllOnes:
                case kLowTopBit: {
                    auto raw = random_bytes(rng, 4 * units, false);
                    raw[0] = raw[1] = raw[2] = shape == kTopUnitAllOnes ? 0xFF : 0x00;
                    raw[3] = shape == kTopUnitAllOnes ? 0xFF : (shape == kTopUnitOne ? 0x01 : 0x00);
                    if (shape == kLowTopBit && units == 1) raw[3] = 0x03;
                    if (shape == kLowTopBit && units > 1) raw[4] |= 0x01;  // top unit 0, next unit small
                    bm = to_bn(raw);
                    break;
                }
            }
            if (BN_is_zero(bm.get())) continue;
            const auto m = bytes_of(bm.get());
            for (int which = 0; which < 3; ++which) {
                Bn bb = bn();
                if (which == 0) {
                    BN_sub(bb.get(), bm.get(), one.get());  // m - 1
                } else if (which == 1) {
                    BN_sub(bb.get(), bm.get(), one.get());
                    BN_sub_word(bb.get(), 1);  // m - 2 (may wrap negative for tiny m: skipped below)
                } else {
                    bb = to_bn(random_bytes(rng, m.size() + 5, false));  // above m
                }
                if (BN_is_negative(bb.get()) || BN_is_zero(bb.get())) continue;
                for (const char* eHex : {"10001", "3", "F0F0F0F0F1"}) {
                    BIGNUM* be = nullptr;
                    BN_hex2bn(&be, eHex);
                    Bn beOwn(be, BN_free), br = bn();
                    BN_mod_exp(br.get(), bb.get(), be, bm.get(), ctx.c);
                    V vb{to_vlong(bytes_of(bb.get()))}, ve{to_vlong(bytes_of(be))}, vm{to_vlong(m)}, r;
                    vlong* pool = nullptr;
                    ASSERT_EQ(0, VLONG_barrettPowMod(vb.v, ve.v, vm.v, &r.v, &pool));
                    VLONG_drainPool(&pool);
                    EXPECT_EQ(bytes_of(br.get()), bytes_of(r.v))
                        << "units " << units << " shape " << shape << " base " << which << " e " << eHex;
                }
            }
        }
    }
}

}  // namespace
