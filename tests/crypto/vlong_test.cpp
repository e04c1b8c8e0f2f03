// vlong behaviour that needs no oracle: byte strings, sizes, pools, the
// wipe, signed arithmetic, shifts, and agreement between the routines that
// must give the same value (Karatsuba and column products, Barrett and
// Montgomery). Runs natively and under qemu-ppc.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypto_test_util.h"
#include "vlong.h"

using namespace cryptotest;

namespace {

struct V {
    vlong* v = nullptr;
    V() = default;
    explicit V(const Bytes& b) { EXPECT_EQ(0, VLONG_fromBytes(b.data(), static_cast<int32_t>(b.size()), &v, nullptr)); }
    ~V() {
        if (v != nullptr) VLONG_release(&v, nullptr);
    }
    V(const V&) = delete;
    V& operator=(const V&) = delete;
};

Bytes bytes_of(const vlong* v) {
    int32_t len = 0;
    EXPECT_EQ(0, VLONG_byteStringFromVlong(v, nullptr, &len));
    Bytes b(static_cast<size_t>(len));
    if (len > 0) {
        EXPECT_EQ(0, VLONG_byteStringFromVlong(v, b.data(), &len));
    }
    return b;
}

// Deterministic bytes without a library generator, identical on every host.
Bytes pseudo(uint32_t seed, size_t n) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<uint8_t>(x >> 24);
    }
    if (n > 0) b[0] |= 0x80;
    return b;
}

TEST(VlongBytes, ByteStringLengthsAndPadding) {
    struct Row {
        const char* hex;
        int32_t bufferSize;
        int32_t status;
        const char* expected;
    } rows[] = {
        {"", 0, 0, ""},
        {"", 4, 0, "00000000"},
        {"01", 1, 0, "01"},
        {"0102", 2, 0, "0102"},
        {"0102", 1, -6007, ""},          // one byte short
        {"0102", 5, 0, "0000000102"},     // longer: zero-filled on the left
        {"0000ff", 1, 0, "ff"},           // leading zeros are not part of the value
        {"80000000", 4, 0, "80000000"},
        {"0100000000", 5, 0, "0100000000"},
        {"0100000000", 4, -6007, ""},
    };
    for (const auto& r : rows) {
        V v(from_hex(r.hex));
        Bytes buf(static_cast<size_t>(r.bufferSize) + 1, 0xEE);
        int32_t len = r.bufferSize;
        EXPECT_EQ(r.status, VLONG_byteStringFromVlong(v.v, buf.data(), &len)) << r.hex;
        EXPECT_EQ(r.bufferSize, len) << "the given length is left as it was";
        EXPECT_EQ(0xEE, buf[static_cast<size_t>(r.bufferSize)]) << "no write past the buffer";
        if (r.status == 0) {
            EXPECT_EQ(from_hex(r.expected), Bytes(buf.begin(), buf.begin() + r.bufferSize)) << r.hex;
        } else {
            EXPECT_EQ(Bytes(static_cast<size_t>(r.bufferSize), 0xEE), Bytes(buf.begin(), buf.begin() + r.bufferSize));
        }
    }
    V zero(Bytes{});
    int32_t len = 99;
    EXPECT_EQ(0, VLONG_byteStringFromVlong(zero.v, nullptr, &len));
    EXPECT_EQ(0, len);
    EXPECT_EQ(0u, zero.v->numUnitsUsed);
    EXPECT_EQ(VLONG_ERR_NULL, VLONG_byteStringFromVlong(nullptr, nullptr, &len));
}

TEST(VlongBytes, SizeLimits) {
    vlong* v = nullptr;
    EXPECT_EQ(VLONG_ERR_SIZE, VLONG_fromBytes(nullptr, -1, &v, nullptr));
    EXPECT_EQ(nullptr, v);
    Bytes big(4 * 8192, 0xFF);
    ASSERT_EQ(0, VLONG_fromBytes(big.data(), static_cast<int32_t>(big.size()), &v, nullptr));
    EXPECT_EQ(8192u, v->numUnitsUsed);
    EXPECT_EQ(VLONG_ERR_SIZE, VLONG_shl1(v)) << "8193 units";
    VLONG_release(&v, nullptr);
    big.insert(big.begin(), 1);
    EXPECT_EQ(VLONG_ERR_SIZE, VLONG_fromBytes(big.data(), static_cast<int32_t>(big.size()), &v, nullptr));
    ASSERT_EQ(0, VLONG_create(&v, nullptr));
    EXPECT_EQ(VLONG_ERR_SIZE, VLONG_setUnitAt(v, 8192, 1));
    EXPECT_EQ(VLONG_ERR_SIZE, VLONG_setBitAt(v, 8192 * 32));
    EXPECT_EQ(0, VLONG_setUnitAt(v, 8191, 1));
    EXPECT_EQ(8191u * 32 + 1, VLONG_bits(v));
    VLONG_release(&v, nullptr);
}

std::vector<uint32_t> g_wiped;
void observe(const uint32_t* units, uint32_t count) { g_wiped.assign(units, units + count); }

TEST(VlongPool, ReleaseWipesWithoutPoolAndKeepsWithPool) {
    VLONG_setWipeObserver(observe);
    g_wiped.clear();
    V a(from_hex("112233445566778899aabbccddeeff"));
    const uint32_t capacity = a.v->numUnitsAllocated;
    ASSERT_EQ(0, VLONG_release(&a.v, nullptr));
    EXPECT_EQ(nullptr, a.v);
    ASSERT_EQ(capacity, g_wiped.size());
    for (uint32_t u : g_wiped) EXPECT_EQ(0x67u, u);

    g_wiped.clear();
    vlong* pool = nullptr;
    V b(from_hex("0102030405060708"));
    vlong* record = b.v;
    uint32_t* units = b.v->units;
    ASSERT_EQ(0, VLONG_release(&b.v, &pool));
    EXPECT_EQ(nullptr, b.v);
    EXPECT_TRUE(g_wiped.empty()) << "pooling does not wipe";
    EXPECT_EQ(record, pool);
    EXPECT_EQ(0x05060708u, record->units[0]) << "the pooled record is kept as it was";
    vlong* again = nullptr;
    ASSERT_EQ(0, VLONG_create(&again, &pool));
    EXPECT_EQ(record, again) << "the pool's head is reused";
    EXPECT_EQ(units, again->units);
    EXPECT_EQ(0u, again->numUnitsUsed);
    EXPECT_EQ(nullptr, pool);
    ASSERT_EQ(0, VLONG_release(&again, &pool));
    V c(from_hex("01"));
    ASSERT_EQ(0, VLONG_release(&c.v, &pool));
    ASSERT_EQ(0, VLONG_drainPool(&pool));
    EXPECT_EQ(nullptr, pool);
    EXPECT_FALSE(g_wiped.empty()) << "draining wipes";
    VLONG_setWipeObserver(nullptr);
    EXPECT_EQ(VLONG_ERR_NULL, VLONG_release(nullptr, nullptr));
    vlong* none = nullptr;
    EXPECT_EQ(VLONG_ERR_NULL, VLONG_release(&none, nullptr));
}

// Small signed values against 64-bit arithmetic.
TEST(VlongArith, SignedAddSubAndCompare) {
    const int64_t values[] = {0, 1, -1, 5, -5, 0xFFFFFFFFll, -0xFFFFFFFFll, 0x100000000ll, -0x123456789ll, 42};
    auto make = [](int64_t x) {
        vlong* v = nullptr;
        const uint64_t m = static_cast<uint64_t>(x < 0 ? -x : x);
        Bytes b(8);
        for (int i = 0; i < 8; ++i) b[7 - i] = static_cast<uint8_t>(m >> (8 * i));
        EXPECT_EQ(0, VLONG_fromBytes(b.data(), 8, &v, nullptr));
        v->negative = (x < 0 && m != 0) ? 1 : 0;
        return v;
    };
    auto value = [](const vlong* v) {
        uint64_t m = 0;
        for (uint32_t i = v->numUnitsUsed; i-- > 0;) m = (m << 32) | v->units[i];
        return v->negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
    };
    for (int64_t a : values) {
        for (int64_t b : values) {
            vlong* x = make(a);
            vlong* y = make(b);
            EXPECT_EQ(a < b ? -1 : (a > b ? 1 : 0), VLONG_cmpSigned(x, y)) << a << " " << b;
            ASSERT_EQ(0, VLONG_add(x, y, nullptr));
            EXPECT_EQ(a + b, value(x)) << a << "+" << b;
            ASSERT_EQ(0, VLONG_sub(x, y, nullptr));
            ASSERT_EQ(0, VLONG_sub(x, y, nullptr));
            EXPECT_EQ(a - b, value(x)) << a << "-" << b;
            if (a - b == 0) {
                EXPECT_EQ(0u, x->negative) << "zero is never negative";
            }
            VLONG_release(&x, nullptr);
            VLONG_release(&y, nullptr);
        }
    }
}

TEST(VlongArith, ShiftsAndBits) {
    struct Row {
        const char* in;
        int shift;  // positive left, negative right
        const char* out;
    } rows[] = {
        {"01", 1, "02"},
        {"80000000", 1, "0100000000"},
        {"01", 64, "010000000000000000"},
        {"ffffffff", 4, "0ffffffff0"},
        {"0123456789abcdef", 36, "123456789abcdef000000000"},
        {"0123456789abcdef", -4, "00123456789abcde"},
        {"0123456789abcdef", -32, "01234567"},
        {"0123456789abcdef", -57, ""},
        {"0123456789abcdef", -200, ""},
        {"", 5, ""},
    };
    for (const auto& r : rows) {
        V v(from_hex(r.in));
        ASSERT_EQ(0, r.shift >= 0 ? VLONG_shl(v.v, static_cast<uint32_t>(r.shift))
                                  : VLONG_shr(v.v, static_cast<uint32_t>(-r.shift)));
        V want(from_hex(r.out));
        EXPECT_EQ(0, VLONG_cmpMagnitude(v.v, want.v)) << r.in << " by " << r.shift;
        if (v.v->numUnitsUsed > 0) {
            EXPECT_NE(0u, v.v->units[v.v->numUnitsUsed - 1]) << "normalised";
        }
    }
    V b(from_hex("0100000001"));
    EXPECT_EQ(33u, VLONG_bits(b.v));
    EXPECT_EQ(1u, VLONG_bit(b.v, 0));
    EXPECT_EQ(0u, VLONG_bit(b.v, 1));
    EXPECT_EQ(1u, VLONG_bit(b.v, 32));
    EXPECT_EQ(0u, VLONG_bit(b.v, 5000));
    ASSERT_EQ(0, VLONG_setUnitAt(b.v, 1, 0));
    EXPECT_EQ(1u, b.v->numUnitsUsed) << "a top unit set to 0 is stripped";
}

// The Karatsuba and unrolled routines run for full products of equal
// power-of-two lengths; one bit more forces the column routine.
TEST(VlongArith, KaratsubaAgreesWithColumns) {
    for (size_t units : {8u, 16u, 32u, 64u, 128u}) {
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            V a(pseudo(seed, 4 * units)), b(pseudo(seed + 100, 4 * units));
            if (seed == 3) {  // all-ones operands maximise every carry
                for (uint32_t i = 0; i < a.v->numUnitsUsed; ++i) a.v->units[i] = b.v->units[i] = 0xFFFFFFFFu;
            }
            V k, c, ks, cs;
            ASSERT_EQ(0, VLONG_create(&k.v, nullptr));
            ASSERT_EQ(0, VLONG_create(&c.v, nullptr));
            ASSERT_EQ(0, VLONG_create(&ks.v, nullptr));
            ASSERT_EQ(0, VLONG_create(&cs.v, nullptr));
            const uint32_t full = VLONG_bits(a.v) + VLONG_bits(b.v);
            ASSERT_EQ(0, VLONG_mulBits(k.v, a.v, b.v, full));
            ASSERT_EQ(0, VLONG_mulBits(c.v, a.v, b.v, full + 1));
            EXPECT_EQ(bytes_of(c.v), bytes_of(k.v)) << units << " units, seed " << seed;
            ASSERT_EQ(0, VLONG_sqrBits(ks.v, a.v, 2 * VLONG_bits(a.v)));
            ASSERT_EQ(0, VLONG_sqrBits(cs.v, a.v, 2 * VLONG_bits(a.v) + 1));
            EXPECT_EQ(bytes_of(cs.v), bytes_of(ks.v)) << units << " units, seed " << seed;
            ASSERT_EQ(0, VLONG_mulBits(c.v, a.v, a.v, 2 * VLONG_bits(a.v) + 1));
            EXPECT_EQ(bytes_of(c.v), bytes_of(ks.v)) << "square equals product with itself";
        }
    }
}

TEST(VlongArith, DivisionIdentityAndZeroDivisor) {
    for (size_t nu : {1u, 7u, 64u, 129u, 256u}) {
        for (size_t nv : {1u, 4u, 5u, 63u, 128u}) {
            V u(pseudo(static_cast<uint32_t>(nu), nu)), d(pseudo(static_cast<uint32_t>(nv * 7), nv));
            V q, r, back;
            ASSERT_EQ(0, VLONG_create(&q.v, nullptr));
            ASSERT_EQ(0, VLONG_create(&r.v, nullptr));
            ASSERT_EQ(0, VLONG_create(&back.v, nullptr));
            ASSERT_EQ(0, VLONG_divRem(q.v, u.v, d.v, r.v, nullptr));
            EXPECT_LT(VLONG_cmpMagnitude(r.v, d.v), 0);
            if (q.v->numUnitsUsed > 0) {
                ASSERT_EQ(0, VLONG_mulBits(back.v, q.v, d.v, VLONG_bits(q.v) + VLONG_bits(d.v)));
            }
            ASSERT_EQ(0, VLONG_add(back.v, r.v, nullptr));
            EXPECT_EQ(0, VLONG_cmpMagnitude(back.v, u.v)) << nu << "/" << nv;
        }
    }
    V one(from_hex("01")), zero(Bytes{});
    V q;
    ASSERT_EQ(0, VLONG_create(&q.v, nullptr));
    EXPECT_EQ(VLONG_ERR_DIV_BY_ZERO, VLONG_divRem(q.v, one.v, zero.v, nullptr, nullptr));
}

TEST(VlongPow, SmallKnownValuesAndArguments) {
    struct Row {
        const char* base;
        const char* exp;
        const char* mod;
        const char* result;
    } rows[] = {
        {"04", "0d", "01f1", "01bd"},              // 4^13 mod 497 = 445
        {"00", "05", "07", ""},                    // zero base
        {"05", "", "07", "01"},                    // zero exponent
        {"05", "03", "01", ""},                    // modulus one
        {"0a", "02", "06", "04"},                  // even modulus
        {"0123456789", "010001", "0fffffffffffffffc5", "0c0c61ad86bc516b82"},
    };
    for (const auto& r : rows) {
        V b(from_hex(r.base)), e(from_hex(r.exp)), m(from_hex(r.mod)), out;
        ASSERT_EQ(0, VLONG_powMod(b.v, e.v, m.v, &out.v, nullptr)) << r.base;
        V want(from_hex(r.result));
        EXPECT_EQ(0, VLONG_cmpMagnitude(out.v, want.v)) << r.base << "^" << r.exp << " mod " << r.mod;
    }
    V b(from_hex("02")), e(from_hex("03")), zero(Bytes{});
    vlong* out = reinterpret_cast<vlong*>(&b);
    EXPECT_EQ(VLONG_ERR_ZERO_MODULUS, VLONG_powMod(b.v, e.v, zero.v, &out, nullptr));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(VLONG_ERR_NULL, VLONG_powMod(nullptr, e.v, b.v, &out, nullptr));
}

TEST(VlongPow, WindowWidthTable) {
    const struct {
        uint32_t bits;
        uint32_t width;
    } rows[] = {{1, 0}, {23, 0}, {24, 3}, {79, 3}, {80, 4}, {239, 4}, {240, 5}, {671, 5}, {672, 6}, {4096, 6}};
    for (const auto& r : rows) EXPECT_EQ(r.width, VLONG_montgomeryWindowBits(r.bits)) << r.bits;
}

// Barrett and Montgomery must agree for every window width, and powMod
// must agree with both whichever path it picks.
TEST(VlongPow, BarrettAndMontgomeryAgree) {
    for (size_t mbytes : {8u, 64u, 256u}) {
        Bytes mb = pseudo(static_cast<uint32_t>(mbytes), mbytes);
        mb.back() |= 1;
        V m(mb), base(pseudo(77, mbytes + 1));
        MontgomeryCtx ctx;
        vlong* pool = nullptr;
        ASSERT_EQ(0, VLONG_makeMontgomeryCtx(&ctx, m.v, &pool));
        for (uint32_t ebits : {17u, 23u, 24u, 80u, 240u, 672u, 14u * 32 + 1}) {
            if (mbytes == 256 && ebits > 300 && ebits != 14 * 32 + 1) continue;  // keeps qemu runs short
            Bytes eb = pseudo(ebits, (ebits + 7) / 8);
            V e(eb);
            ASSERT_EQ(0, VLONG_shr(e.v, static_cast<uint32_t>(eb.size() * 8 - ebits)));
            ASSERT_EQ(ebits, VLONG_bits(e.v));
            V r1, r2, r3;
            ASSERT_EQ(0, VLONG_barrettPowMod(base.v, e.v, m.v, &r1.v, &pool));
            ASSERT_EQ(0, VLONG_montgomeryPowMod(&ctx, base.v, e.v, &r2.v, &pool));
            ASSERT_EQ(0, VLONG_powMod(base.v, e.v, m.v, &r3.v, &pool));
            EXPECT_EQ(bytes_of(r1.v), bytes_of(r2.v)) << mbytes << " bytes, " << ebits << " exponent bits";
            EXPECT_EQ(bytes_of(r1.v), bytes_of(r3.v));
        }
        VLONG_freeMontgomeryCtx(&ctx);
        VLONG_drainPool(&pool);
    }
}

TEST(VlongPow, MontgomeryConstants) {
    Bytes mb = pseudo(9, 64);
    mb.back() |= 1;
    V m(mb);
    MontgomeryCtx ctx;
    ASSERT_EQ(0, VLONG_makeMontgomeryCtx(&ctx, m.v, nullptr));
    EXPECT_EQ(VLONG_bits(m.v), ctx.rBits);
    V t, q, r;
    ASSERT_EQ(0, VLONG_create(&t.v, nullptr));
    ASSERT_EQ(0, VLONG_create(&r.v, nullptr));
    // R * R^-1 = 1 mod m
    ASSERT_EQ(0, VLONG_mulBits(t.v, ctx.r, ctx.rInverse, VLONG_bits(ctx.r) + VLONG_bits(ctx.rInverse)));
    ASSERT_EQ(0, VLONG_divRem(nullptr, t.v, m.v, r.v, nullptr));
    EXPECT_EQ(1u, r.v->numUnitsUsed);
    EXPECT_EQ(1u, r.v->units[0]);
    // m * mPrime = -1 mod R
    ASSERT_EQ(0, VLONG_mulBits(t.v, m.v, ctx.mPrime, ctx.rBits));
    ASSERT_EQ(0, VLONG_fromUnit(1, &q.v, nullptr));
    ASSERT_EQ(0, VLONG_add(t.v, q.v, nullptr));
    EXPECT_EQ(0, VLONG_cmpMagnitude(t.v, ctx.r));
    VLONG_freeMontgomeryCtx(&ctx);
    V even(from_hex("0100"));
    EXPECT_EQ(VLONG_ERR_NOT_INVERTIBLE, VLONG_makeMontgomeryCtx(&ctx, even.v, nullptr));
}

}  // namespace
