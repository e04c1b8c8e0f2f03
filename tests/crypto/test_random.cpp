// Random generation: CTR_DRBG against the NIST CAVP AES-256 no-df records,
// its argument checks and limits, the entropy depot, the 384-bit reseed
// path and the FIPS 186-2 generator; the depot's kernel sources at early
// boot and the generators after a fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ctr_drbg.h"
#include "random.h"
#include "vector_file.h"

namespace {

struct DrbgDeleter {
    void operator()(RandomCtx *c) const { RANDOM_free(&c); }
};
using DrbgPtr = std::unique_ptr<RandomCtx, DrbgDeleter>;

TEST(CtrDrbg, NistAes256NoDf) {
    auto recs = read_vector_file("drbg/CTR_DRBG_AES-256_no_df.rsp");
    ASSERT_EQ(240u, recs.size());
    size_t checked = 0;
    for (size_t i = 0; i < recs.size(); i += static_cast<size_t>(kVectorStride)) {
        const auto &r = recs[i];
        auto entropy = unhex(*r.get("EntropyInput"));
        auto pers = unhex(*r.get("PersonalizationString"));
        auto add1 = unhex(*r.get("AdditionalInput", 0));
        auto add2 = unhex(*r.get("AdditionalInput", 1));
        const std::string want = *r.get("ReturnedBits");
        RandomCtx *raw = nullptr;
        ASSERT_EQ(0, CTR_DRBG_new(&raw, entropy.data(), static_cast<uint32_t>(entropy.size()), 32, 16,
                                  pers.empty() ? nullptr : pers.data(), static_cast<uint32_t>(pers.size())));
        DrbgPtr ctx(raw);
        EXPECT_EQ(static_cast<uint32_t>(RANDOM_TYPE_CTR_DRBG), ctx->type);
        EXPECT_EQ(1u, ctx->u.drbg.reseedCounterLow);
        std::vector<uint8_t> out(want.size() / 2);
        const uint32_t bits = static_cast<uint32_t>(out.size() * 8);
        ASSERT_EQ(0, CTR_DRBG_generate(ctx.get(), add1.empty() ? nullptr : add1.data(),
                                       static_cast<uint32_t>(add1.size()), out.data(), bits));
        ASSERT_EQ(0, CTR_DRBG_generate(ctx.get(), add2.empty() ? nullptr : add2.data(),
                                       static_cast<uint32_t>(add2.size()), out.data(), bits));
        EXPECT_EQ(want, tohex(out)) << "record " << i << " COUNT " << *r.get("COUNT");
        EXPECT_EQ(3u, ctx->u.drbg.reseedCounterLow);
        ++checked;
    }
    EXPECT_GT(checked, 30u);
}

TEST(CtrDrbg, ArgumentChecks) {
    uint8_t entropy[48] = {1, 2, 3};
    uint8_t pers[49] = {};
    const struct { uint32_t keyLen, blockLen, entropyLen, persLen; MSTATUS want; } cases[] = {
        {32, 16, 48, 0, 0},
        {16, 16, 32, 0, 0},
        {24, 16, 40, 40, 0},
        {21, 8, 29, 29, 0},
        {20, 16, 36, 0, ERR_DRBG_BAD_KEY_LENGTH},
        {32, 12, 44, 0, ERR_DRBG_BAD_BLOCK_LENGTH},
        {24, 8, 32, 0, ERR_DRBG_BAD_KEY_LENGTH},
        {21, 16, 37, 0, ERR_DRBG_BAD_KEY_LENGTH},
        {32, 16, 47, 0, ERR_DRBG_BAD_ENTROPY_LENGTH},
        {32, 16, 49, 0, ERR_DRBG_BAD_ENTROPY_LENGTH},
        {32, 16, 48, 49, ERR_DRBG_PERS_TOO_LONG},
        {32, 12, 44, 45, ERR_DRBG_PERS_TOO_LONG},  // checked before the lengths
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> e(c.entropyLen, 0x42);
        RandomCtx *ctx = reinterpret_cast<RandomCtx *>(&pers);  // must be overwritten
        EXPECT_EQ(c.want, CTR_DRBG_new(&ctx, e.data(), c.entropyLen, c.keyLen, c.blockLen, pers, c.persLen))
            << c.keyLen << "/" << c.blockLen << "/" << c.entropyLen << "/" << c.persLen;
        if (c.want == 0) {
            ASSERT_NE(nullptr, ctx);
            EXPECT_EQ(0, RANDOM_free(&ctx));
        } else {
            EXPECT_EQ(nullptr, ctx);
        }
    }
    RandomCtx *ctx = nullptr;
    EXPECT_EQ(ERR_NULL_POINTER, CTR_DRBG_new(nullptr, entropy, 48, 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTR_DRBG_new(&ctx, nullptr, 48, 32, 16, nullptr, 0));
}

// The AES-only instantiation is CTR_DRBG_new with block length 16: the same
// codes for every AES case above and the same output.
TEST(CtrDrbg, AesInstantiationMatchesTheGeneralOne) {
    uint8_t pers[49] = {7};
    const struct { uint32_t keyLen, entropyLen, persLen; MSTATUS want; } cases[] = {
        {32, 48, 0, 0},
        {16, 32, 16, 0},
        {24, 40, 40, 0},
        {21, 37, 0, ERR_DRBG_BAD_KEY_LENGTH},
        {32, 47, 0, ERR_DRBG_BAD_ENTROPY_LENGTH},
        {32, 48, 49, ERR_DRBG_PERS_TOO_LONG},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> e(c.entropyLen);
        for (size_t i = 0; i < e.size(); ++i) e[i] = static_cast<uint8_t>(i * 7 + c.keyLen);
        RandomCtx *a = nullptr;
        RandomCtx *b = nullptr;
        EXPECT_EQ(c.want, CTR_DRBG_newAes(&a, e.data(), c.entropyLen, c.keyLen, pers, c.persLen)) << c.keyLen;
        EXPECT_EQ(c.want, CTR_DRBG_new(&b, e.data(), c.entropyLen, c.keyLen, 16, pers, c.persLen)) << c.keyLen;
        if (c.want != 0) {
            EXPECT_EQ(nullptr, a);
            continue;
        }
        DrbgPtr pa(a), pb(b);
        uint8_t outA[40], outB[40];
        ASSERT_EQ(0, CTR_DRBG_generate(a, nullptr, 0, outA, 8 * sizeof outA));
        ASSERT_EQ(0, CTR_DRBG_generate(b, nullptr, 0, outB, 8 * sizeof outB));
        EXPECT_EQ(0, std::memcmp(outA, outB, sizeof outA)) << c.keyLen;
    }
    EXPECT_EQ(ERR_NULL_POINTER, CTR_DRBG_newAes(nullptr, pers, 48, 32, nullptr, 0));
}

TEST(CtrDrbg, RequestLimitsAndReseedCounter) {
    uint8_t entropy[48] = {9};
    RandomCtx *raw = nullptr;
    ASSERT_EQ(0, CTR_DRBG_new(&raw, entropy, 48, 32, 16, nullptr, 0));
    DrbgPtr aes(raw);
    std::vector<uint8_t> out((1u << 19) / 8 + 1);
    EXPECT_EQ(ERR_DRBG_TOO_MANY_BITS, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), 1u << 19));
    EXPECT_EQ(0, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), (1u << 19) - 1));
    aes->u.drbg.reseedCounterHigh = 0xFFFF;
    EXPECT_EQ(0, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), 128));
    aes->u.drbg.reseedCounterHigh = 0x10000;
    EXPECT_EQ(ERR_DRBG_RESEED_REQUIRED, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), 128));
    ASSERT_EQ(0, CTR_DRBG_reseed(aes.get(), entropy, 48, nullptr, 0));
    EXPECT_EQ(0u, aes->u.drbg.reseedCounterHigh);
    EXPECT_EQ(0, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), 128));
    // The low word carries into the high word.
    aes->u.drbg.reseedCounterLow = 0xFFFFFFFFu;
    EXPECT_EQ(0, CTR_DRBG_generate(aes.get(), nullptr, 0, out.data(), 8));
    EXPECT_EQ(1u, aes->u.drbg.reseedCounterHigh);
    EXPECT_EQ(0u, aes->u.drbg.reseedCounterLow);
    EXPECT_EQ(ERR_DRBG_BAD_ENTROPY_LENGTH, CTR_DRBG_reseed(aes.get(), entropy, 32, nullptr, 0));

    uint8_t e29[29] = {5};
    ASSERT_EQ(0, CTR_DRBG_new(&raw, e29, 29, 21, 8, nullptr, 0));
    DrbgPtr tdes(raw);
    EXPECT_EQ(0, CTR_DRBG_generate(tdes.get(), nullptr, 0, out.data(), 8191));
    EXPECT_EQ(ERR_DRBG_TOO_MANY_BITS, CTR_DRBG_generate(tdes.get(), nullptr, 0, out.data(), 8192));
    tdes->u.drbg.reseedCounterHigh = 1;
    EXPECT_EQ(ERR_DRBG_RESEED_REQUIRED, CTR_DRBG_generate(tdes.get(), nullptr, 0, out.data(), 64));
}

// A request for a partial byte still yields whole bytes, and the bytes
// after the request are left alone.
TEST(CtrDrbg, OddBitCountsAndSplitRequests) {
    uint8_t entropy[48] = {3};
    RandomCtx *a = nullptr, *b = nullptr;
    ASSERT_EQ(0, CTR_DRBG_new(&a, entropy, 48, 32, 16, nullptr, 0));
    ASSERT_EQ(0, CTR_DRBG_new(&b, entropy, 48, 32, 16, nullptr, 0));
    DrbgPtr pa(a), pb(b);
    uint8_t x[8], y[8];
    std::memset(x, 0xEE, sizeof x);
    std::memset(y, 0xEE, sizeof y);
    ASSERT_EQ(0, CTR_DRBG_generate(a, nullptr, 0, x, 20));  // 3 bytes
    ASSERT_EQ(0, CTR_DRBG_generate(b, nullptr, 0, y, 24));
    EXPECT_EQ(tohex(y, 3), tohex(x, 3));
    EXPECT_EQ(0xEE, x[3]);
    // RANDOM_generate splits large requests instead of failing them.
    std::vector<uint8_t> big(200000);
    EXPECT_EQ(0, RANDOM_generate(a, big.data(), static_cast<uint32_t>(big.size())));
}

TEST(Fips186, PublishedExampleAndEntropyBits) {
    auto xkey = unhex("bd029bbe7f51960bcf9edb2b61f06f0feb5a38b6");
    RandomCtx *raw = nullptr;
    ASSERT_EQ(0, RANDOM_createFips186(&raw, xkey.data(), 20));
    DrbgPtr ctx(raw);
    EXPECT_EQ(static_cast<uint32_t>(RANDOM_TYPE_FIPS186), ctx->type);
    uint8_t out[40];
    ASSERT_EQ(0, RANDOM_generate(ctx.get(), out, 40));
    EXPECT_EQ("2070b3223dba372fde1c0ffc7b2e3b498b260614", tohex(out, 20));
    EXPECT_EQ("3c6c18bacb0f6c55babb13788e20d737a3275116", tohex(out + 20, 20));

    // Entropy bits go into XKEY at the next bit position.
    const uint8_t before = ctx->u.fips.xkey[0];
    ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), 1));
    EXPECT_EQ(before ^ 0x02, ctx->u.fips.xkey[0]);
    ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), 0));
    EXPECT_EQ(before ^ 0x02, ctx->u.fips.xkey[0]);
    EXPECT_EQ(2u, ctx->u.fips.bitPosition);

    EXPECT_EQ(ERR_INVALID_SWITCH, RANDOM_createFips186(&raw, xkey.data(), 19));
    RandomCtx *kinds = nullptr;
    ASSERT_EQ(0, RANDOM_create(&kinds, RANDOM_KIND_FIPS186));
    EXPECT_EQ(64u, kinds->u.fips.b);
    RANDOM_free(&kinds);
    EXPECT_EQ(ERR_INVALID_SWITCH, RANDOM_create(&kinds, 2));
    EXPECT_EQ(ERR_INVALID_SWITCH, RANDOM_create(&kinds, 4));
    ASSERT_EQ(0, RANDOM_create(&kinds, RANDOM_KIND_CTR_DRBG));
    EXPECT_EQ(static_cast<uint32_t>(RANDOM_TYPE_CTR_DRBG), kinds->type);
    EXPECT_EQ(32u, kinds->u.drbg.keyLen);
    RANDOM_free(&kinds);
}

TEST(RandomCtxChecks, UnknownTypeWordIsRefused) {
    RandomCtx bogus{};
    bogus.type = 1;
    RandomCtx *p = &bogus;
    uint8_t b[4];
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_generate(&bogus, b, 4));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_addEntropyBit(&bogus, 1));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_free(&p));
    EXPECT_EQ(&bogus, p);
    EXPECT_EQ(ERR_NULL_POINTER, CTR_DRBG_generate(&bogus, nullptr, 0, b, 8));
}

class Depot : public ::testing::Test {
protected:
    void SetUp() override { ENTROPY_reset(); }
    void TearDown() override { ENTROPY_reset(); }
    static EntropyDepotInfo info() {
        EntropyDepotInfo i;
        ENTROPY_depotInfo(&i);
        return i;
    }
};

TEST_F(Depot, HundredBytesRefillTwiceAndLeaveIndexFour) {
    uint8_t none[1];
    ASSERT_EQ(0, ENTROPY_getBytes(none, 0));  // primes: one stir and refill
    auto primed = info();
    EXPECT_EQ(1, primed.primed);
    EXPECT_EQ(0u, primed.readIndex);
    EXPECT_EQ(1u, primed.refills);

    uint8_t buf[100];
    ASSERT_EQ(0, ENTROPY_getBytes(buf, 100));
    auto after = info();
    EXPECT_EQ(3u, after.refills);
    EXPECT_EQ(4u, after.readIndex);
    EXPECT_EQ(0, std::memcmp(buf, primed.output, 48));  // the buffered bytes come first
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0, after.output[i]);
    int nonzero = 0;
    for (int i = 4; i < 48; ++i) nonzero += after.output[i] != 0;
    EXPECT_GT(nonzero, 30);
    // Two outputs in a row differ.
    EXPECT_NE(0, std::memcmp(buf, buf + 48, 48));
}

TEST_F(Depot, BitsAdvanceAndWrap) {
    ASSERT_EQ(0, ENTROPY_addBit(1));
    auto a = info();
    EXPECT_EQ(1u, a.bitPosition);
    EXPECT_EQ(0x02, a.pool[0]);
    ASSERT_EQ(0, ENTROPY_addBit(0));
    ASSERT_EQ(0, ENTROPY_addBit(3));  // only the low bit counts
    auto b = info();
    EXPECT_EQ(3u, b.bitPosition);
    EXPECT_EQ(0x0A, b.pool[0]);
    for (int i = 3; i < 383; ++i) ENTROPY_addBit(0);
    EXPECT_EQ(383u, info().bitPosition);
    ENTROPY_addBit(1);  // the 384th bit wraps to position 0
    auto c = info();
    EXPECT_EQ(0u, c.bitPosition);
    EXPECT_EQ(0x0B, c.pool[0]);
    ENTROPY_addBit(1);  // position 1 again: flips back
    EXPECT_EQ(0x09, info().pool[0]);
}

TEST_F(Depot, FailedStateRefuses) {
    ENTROPY_setFailed(1);
    uint8_t b[4];
    EXPECT_EQ(ERR_RAND_DEPOT_FAILED, ENTROPY_getBytes(b, 4));
    ENTROPY_setFailed(0);
    EXPECT_EQ(0, ENTROPY_getBytes(b, 4));
    EXPECT_EQ(ERR_NULL_POINTER, ENTROPY_getBytes(nullptr, 4));
}

// The CTR_DRBG is reseeded from the depot on the 384th entropy bit since
// the last reseed, exactly once.
TEST_F(Depot, EntropyBitsReseedAfter384) {
    RandomCtx *raw = nullptr;
    ASSERT_EQ(0, RANDOM_createDefault(&raw));
    DrbgPtr ctx(raw);
    uint8_t out[16];
    ASSERT_EQ(0, RANDOM_generate(ctx.get(), out, 16));
    ASSERT_EQ(0, RANDOM_generate(ctx.get(), out, 16));
    EXPECT_EQ(3u, ctx->u.drbg.reseedCounterLow);
    const auto refillsBefore = info().refills;
    for (int i = 0; i < 383; ++i) ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), static_cast<uint8_t>(i)));
    EXPECT_EQ(383u, ctx->u.drbg.entropyBitsAdded);
    EXPECT_EQ(3u, ctx->u.drbg.reseedCounterLow);
    ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), 1));
    EXPECT_EQ(0u, ctx->u.drbg.entropyBitsAdded);
    EXPECT_EQ(1u, ctx->u.drbg.reseedCounterLow);
    EXPECT_GE(info().refills, refillsBefore);
    ASSERT_EQ(0, RANDOM_generate(ctx.get(), out, 16));
    for (int i = 0; i < 383; ++i) ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), 1));
    EXPECT_EQ(2u, ctx->u.drbg.reseedCounterLow);
    EXPECT_EQ(383u, ctx->u.drbg.entropyBitsAdded);
}

// A triple-DES generator reseeds from the depot with its own seed length.
TEST_F(Depot, TripleDesGeneratorReseedsWithItsSeedLength) {
    uint8_t e29[29] = {1};
    RandomCtx *raw = nullptr;
    ASSERT_EQ(0, CTR_DRBG_new(&raw, e29, 29, 21, 8, nullptr, 0));
    DrbgPtr ctx(raw);
    for (int i = 0; i < 384; ++i) ASSERT_EQ(0, RANDOM_addEntropyBit(ctx.get(), 1));
    EXPECT_EQ(0u, ctx->u.drbg.entropyBitsAdded);
    EXPECT_EQ(1u, ctx->u.drbg.reseedCounterLow);
}

// ---- The kernel's generator at early boot ----

// Fake kernel sources, as getrandom with GRND_NONBLOCK would answer.
int g_calls = 0;
int32_t kernel_ready(uint8_t *buf, uint32_t len) {
    ++g_calls;
    std::memset(buf, 0xA5, len);
    return static_cast<int32_t>(len);
}
int32_t kernel_ready_after_five(uint8_t *buf, uint32_t len) {
    return g_calls >= 5 ? kernel_ready(buf, len) : (++g_calls, -EAGAIN);
}
int32_t kernel_never_ready(uint8_t *, uint32_t) { return ++g_calls, -EAGAIN; }
int32_t kernel_without_getrandom(uint8_t *, uint32_t) { return ++g_calls, -ENOSYS; }

class KernelSource : public Depot {
protected:
    static constexpr uint32_t kWaitMs = 300;
    void SetUp() override {
        Depot::SetUp();
        g_calls = 0;
        std::snprintf(device_, sizeof device_, "/tmp/bmcrypto-device-XXXXXX");
        const int fd = mkstemp(device_);
        ASSERT_GE(fd, 0);
        const std::vector<uint8_t> bytes(400, 0x3C);
        ASSERT_EQ(400, write(fd, bytes.data(), bytes.size()));
        close(fd);
    }
    void TearDown() override {
        RANDOM_setKernelSource(nullptr, RANDOM_KERNEL_WAIT_MS);
        RANDOM_setEntropyDevice(nullptr);
        std::remove(device_);
        Depot::TearDown();
    }
    // ENTROPY_getBytes for 16 bytes; its status and the milliseconds it took.
    static std::pair<MSTATUS, long> timed_get(uint8_t *buf) {
        const auto start = std::chrono::steady_clock::now();
        const MSTATUS st = ENTROPY_getBytes(buf, 16);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return {st, static_cast<long>(ms.count())};
    }
    char device_[64] = {};
};

// Each road to the depot's first bytes: the kernel's generator, a bounded
// wait for it, the entropy device instead, and failure when neither
// answers (never the clock alone).
TEST_F(KernelSource, RoadsToTheFirstSeedBytes) {
    const char *missing = "/nonexistent/urandom";
    const struct {
        const char *what;
        RANDOM_KernelSource source;
        bool device;     // a readable device, else a missing one
        MSTATUS status;
        int polls;       // calls of the kernel source; 0: polled for the whole bound
    } rows[] = {
        {"kernel ready", kernel_ready, false, 0, 1},
        {"kernel ready after five polls", kernel_ready_after_five, false, 0, 6},
        {"kernel never ready: the device after the wait", kernel_never_ready, true, 0, 0},
        {"kernel never ready, no device", kernel_never_ready, false, ERR_RAND_OPEN_DEVICE, 0},
        {"no getrandom: the device at once", kernel_without_getrandom, true, 0, 1},
        {"no getrandom, no device", kernel_without_getrandom, false, ERR_RAND_OPEN_DEVICE, 1},
    };
    for (const auto &r : rows) {
        ENTROPY_reset();
        g_calls = 0;
        RANDOM_setKernelSource(r.source, kWaitMs);
        RANDOM_setEntropyDevice(r.device ? device_ : missing);
        uint8_t buf[16];
        std::memset(buf, 0xEE, sizeof buf);
        const auto [st, ms] = timed_get(buf);
        EXPECT_EQ(r.status, st) << r.what;
        EXPECT_EQ(r.status == 0 ? 1 : 0, info().primed) << r.what;
        if (r.status != 0) {
            EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(buf, buf + 16)) << r.what;
        }
        // Counted polls, not elapsed time, tell a road that waits from one
        // that does not: a loaded machine may take long for either.
        if (r.polls == 0) {
            EXPECT_GE(ms, static_cast<long>(kWaitMs)) << r.what;
            EXPECT_GT(g_calls, 5) << r.what << ": polled while waiting";
        } else {
            EXPECT_EQ(r.polls, g_calls) << r.what;
        }
    }
}

TEST_F(KernelSource, ShortDeviceFailsWhenTheKernelFails) {
    ASSERT_EQ(0, truncate(device_, 10));
    RANDOM_setKernelSource(kernel_without_getrandom, kWaitMs);
    RANDOM_setEntropyDevice(device_);
    uint8_t buf[16];
    EXPECT_EQ(ERR_RAND_SHORT_READ, ENTROPY_getBytes(buf, sizeof buf));
    RandomCtx *ctx = reinterpret_cast<RandomCtx *>(buf);
    EXPECT_EQ(ERR_RAND_SHORT_READ, RANDOM_createDefault(&ctx));
    EXPECT_EQ(nullptr, ctx) << "no generator seeded from the clock alone";
}

// A kernel that stays unready costs the wait once per process, not at
// every stir.
TEST_F(KernelSource, VainWaitIsNotRepeated) {
    RANDOM_setKernelSource(kernel_never_ready, kWaitMs);
    RANDOM_setEntropyDevice(device_);
    uint8_t buf[16];
    ASSERT_GE(timed_get(buf).second, static_cast<long>(kWaitMs));
    uint8_t more[100];
    const int polled = g_calls;
    EXPECT_EQ(0, ENTROPY_getBytes(more, sizeof more));  // two more stirs
    EXPECT_LE(g_calls - polled, 2) << "a stir polled the unready kernel again";
}

// ---- Fork ----

// Draws 32 bytes in a forked child and then 32 in this process, after the
// fork; the child's come back through a pipe (empty when its draw failed).
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> draw_after_fork(
    const std::function<MSTATUS(uint8_t *, uint32_t)> &draw) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        uint8_t b[32];
        if (draw(b, sizeof b) == 0 && write(fds[1], b, sizeof b) == 32) _exit(0);
        _exit(1);
    }
    close(fds[1]);
    std::vector<uint8_t> parent(32), fromChild(32);
    EXPECT_EQ(0, draw(parent.data(), 32));
    EXPECT_EQ(32, read(fds[0], fromChild.data(), 32));
    close(fds[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return {parent, fromChild};
}

// Parent and child never draw the same bytes from a state they shared at
// the fork: the depot, a CTR_DRBG, a FIPS 186-2 generator with a fixed
// XKEY, and the library's global generator (the one other parts use).
TEST_F(Depot, ParentAndChildDrawDifferentBytesAfterFork) {
    uint8_t warm[8];
    ASSERT_EQ(0, ENTROPY_getBytes(warm, sizeof warm));  // primed before the fork
    RandomCtx *raw = nullptr;
    ASSERT_EQ(0, RANDOM_createDefault(&raw));
    DrbgPtr drbg(raw);
    const auto xkey = unhex("bd029bbe7f51960bcf9edb2b61f06f0feb5a38b6");
    ASSERT_EQ(0, RANDOM_createFips186(&raw, xkey.data(), 20));
    DrbgPtr fips(raw);
    ASSERT_EQ(0, RANDOM_createDefault(&raw));
    DrbgPtr global(raw);
    RandomCtx *old = RANDOM_setGlobalContext(global.get());

    const struct {
        const char *what;
        std::function<MSTATUS(uint8_t *, uint32_t)> draw;
    } rows[] = {
        {"depot", [](uint8_t *b, uint32_t n) { return ENTROPY_getBytes(b, n); }},
        {"CTR_DRBG", [&](uint8_t *b, uint32_t n) { return RANDOM_generate(drbg.get(), b, n); }},
        {"FIPS 186-2", [&](uint8_t *b, uint32_t n) { return RANDOM_generate(fips.get(), b, n); }},
        {"global generator", [](uint8_t *b, uint32_t n) { return RANDOM_generate(RANDOM_globalContext(), b, n); }},
    };
    for (const auto &r : rows) {
        const auto [parent, child] = draw_after_fork(r.draw);
        EXPECT_NE(tohex(parent), tohex(child)) << r.what;
    }
    // Only the child reseeds: the parent's FIPS 186-2 generator goes on as a
    // twin that never saw a fork.
    RandomCtx *check = nullptr;
    ASSERT_EQ(0, RANDOM_createFips186(&check, xkey.data(), 20));
    DrbgPtr same(check);
    uint8_t expect[32], got[32];
    ASSERT_EQ(0, RANDOM_generate(same.get(), expect, 32));
    ASSERT_EQ(0, RANDOM_generate(same.get(), expect, 32));
    ASSERT_EQ(0, RANDOM_generate(fips.get(), got, 32));
    EXPECT_EQ(tohex(expect, 32), tohex(got, 32));
    RANDOM_setGlobalContext(old);
}

TEST(RandomGlobal, EntropyWordNeedsGlobalGenerator) {
    RandomCtx *old = RANDOM_setGlobalContext(nullptr);
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_addEntropyWord(0x12345678));
    RANDOM_setGlobalContext(old);
}

}  // namespace
