// Entropy depot, generator contexts and the global generator.
#include "random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "aes.h"
#include "ctr_drbg.h"
#include "des.h"
#include "sha1.h"

namespace {

constexpr uint32_t kOut = RANDOM_POOL_BYTES;

struct Depot {
    int32_t initialised = 0;
    int32_t failed = 0;
    int32_t primed = 0;
    RTOS_MUTEX mutex = nullptr;
    RTOS_MUTEX stirMutex = nullptr;
    int held = 0;
    // 48 pool bytes followed by 16 scratch bytes that the G steps also use.
    uint8_t pool[64] = {};
    uint32_t bitPosition = 0;
    uint8_t output[kOut] = {};
    uint32_t readIndex = kOut;
    uint32_t refills = 0;
    pid_t pid = 0;              // process that primed it
    int kernelWaitOver = 0;     // waited once for the kernel in vain: no more waits
};

int32_t kernel_getrandom(uint8_t *buf, uint32_t len) {
    const ssize_t r = getrandom(buf, len, GRND_NONBLOCK);
    return r >= 0 ? static_cast<int32_t>(r) : -errno;
}

Depot g_depot;
RandomCtx *g_global = nullptr;
const char *g_device = nullptr;
RANDOM_KernelSource g_kernelSource = kernel_getrandom;
uint32_t g_kernelWaitMs = RANDOM_KERNEL_WAIT_MS;

const char *device_path() { return g_device ? g_device : "/dev/urandom"; }

MSTATUS depot_init() {
    if (g_depot.initialised) return ERR_RAND_DEPOT_REINIT;
    RTOS_mutexCreate(&g_depot.mutex);
    RTOS_mutexCreate(&g_depot.stirMutex);
    g_depot.readIndex = kOut;
    g_depot.bitPosition = 0;
    g_depot.initialised = 1;
    return CRYPTO_OK;
}

// Three G steps over the 64 bytes at the pool start, replacing bytes 0..19,
// 20..39 and 40..59 in turn.
void g_steps() {
    uint8_t out[20];
    for (size_t i = 0; i < 3; ++i) {
        SHA1_G(g_depot.pool, out);
        std::memcpy(g_depot.pool + 20 * i, out, 20);
    }
    CRYPTO_secureZero(out, sizeof out);
}

// n bytes from the entropy device: -7201 when it cannot be opened, -7202
// when it ends early or fails.
MSTATUS read_device(uint8_t *buf, uint32_t n) {
    const int fd = open(device_path(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERR_RAND_OPEN_DEVICE;
    uint32_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<uint32_t>(r);
    }
    close(fd);
    return got == n ? CRYPTO_OK : ERR_RAND_SHORT_READ;
}

// n bytes from the kernel's generator. Early in boot it may not be
// initialised yet: wait for it, in short sleeps, up to the wait bound
// (once per process; after a vain wait it is asked once and not waited
// for). When it is still not ready, or getrandom fails otherwise (a kernel
// without it), the entropy device is read instead; its failure is the
// result. The clock is never a substitute.
MSTATUS kernel_entropy(uint8_t *buf, uint32_t n) {
    const uint32_t start = RTOS_getTimeInMS();
    uint32_t got = 0;
    while (got < n) {
        const int32_t r = g_kernelSource(buf + got, n - got);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            continue;
        }
        if (r == -EINTR) continue;
        if (r == -EAGAIN && !g_depot.kernelWaitOver) {
            if (RTOS_getTimeInMS() - start < g_kernelWaitMs) {
                const timespec pause{0, 10'000'000};  // 10 ms
                nanosleep(&pause, nullptr);
                continue;
            }
            g_depot.kernelWaitOver = 1;
        }
        return read_device(buf, n);
    }
    return CRYPTO_OK;
}

// Mixes the clocks, fixed constants and 96 bytes of the kernel's generator
// into the pool. Leaves the pool alone and returns the error when the
// kernel's bytes cannot be had.
MSTATUS stir() {
    uint8_t noise[96];
    const MSTATUS st = kernel_entropy(noise, sizeof noise);
    if (st != CRYPTO_OK) {
        CRYPTO_secureZero(noise, sizeof noise);
        return st;
    }
    const uint32_t up = RTOS_getUpTimeInMS();
    for (int i = 0; i < 4; ++i) g_depot.pool[i] ^= static_cast<uint8_t>(up >> (24 - 8 * i));
    uint8_t cal[6] = {};
    RTOS_timeGMT(cal);
    for (int i = 0; i < 6; ++i) g_depot.pool[47 - i] ^= cal[i];
    for (int i = 0; i < 48; ++i) g_depot.pool[(4 + i) % 48] ^= static_cast<uint8_t>(103 + i);
    for (int i = 0; i < 96; ++i) g_depot.pool[i % 48] ^= noise[i];
    CRYPTO_secureZero(noise, sizeof noise);
    g_steps();
    return CRYPTO_OK;
}

void refill() {
    for (uint32_t i = 0; i < kOut; ++i) g_depot.output[i] ^= g_depot.pool[i];
    g_steps();
    g_depot.readIndex = 0;
    ++g_depot.refills;
}

// FIPS 186-2 (change notice 1) section 3.1 with XSEED = 0: x = G(t, XKEY),
// XKEY = (1 + XKEY + x) mod 2^(8b). For b < 64 the G input is XKEY
// followed by zeros.
void fips186_next(Fips186State &f, uint8_t x[20]) {
    uint8_t block[64] = {};
    std::memcpy(block, f.xkey, f.b);
    SHA1_G(block, x);
    unsigned carry = 1;
    for (uint32_t i = 0; i < f.b; ++i) {
        const uint32_t k = f.b - 1 - i;
        const unsigned xb = i < 20 ? x[19 - i] : 0;
        const unsigned sum = f.xkey[k] + xb + carry;
        f.xkey[k] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    CRYPTO_secureZero(block, sizeof block);
}

bool known_type(const RandomCtx *ctx) {
    return ctx && (ctx->type == RANDOM_TYPE_CTR_DRBG || ctx->type == RANDOM_TYPE_FIPS186);
}

// Reseeds a CTR_DRBG with seed-length bytes from the depot (48 for the
// global generator) and restarts its entropy bit count.
MSTATUS reseed_from_depot(RandomCtx *ctx) {
    CtrDrbgState &s = ctx->u.drbg;
    uint8_t seed[48];
    const uint32_t n = s.keyLen + s.blockLen;
    MSTATUS st = ENTROPY_getBytes(seed, n);
    if (st == CRYPTO_OK) st = CTR_DRBG_reseed(ctx, seed, n, nullptr, 0);
    CRYPTO_secureZero(seed, sizeof seed);
    if (st == CRYPTO_OK) s.entropyBitsAdded = 0;
    return st;
}

// A context created before a fork holds the same state in parent and
// child: in the child it is reseeded from the depot, which primes itself
// afresh from the kernel there, before it hands out anything. A FIPS 186-2
// XKEY takes the depot's bytes XORed in.
MSTATUS reseed_after_fork(RandomCtx *ctx) {
    MSTATUS st = CRYPTO_OK;
    if (ctx->type == RANDOM_TYPE_CTR_DRBG) {
        st = reseed_from_depot(ctx);
    } else {
        Fips186State &f = ctx->u.fips;
        uint8_t fresh[FIPS186_MAX_XKEY];
        st = ENTROPY_getBytes(fresh, f.b);
        if (st == CRYPTO_OK) CRYPTO_xorInto(f.xkey, fresh, static_cast<int32_t>(f.b));
        CRYPTO_secureZero(fresh, sizeof fresh);
    }
    if (st == CRYPTO_OK) ctx->processId = getpid();
    return st;
}

}  // namespace

extern "C" {

MSTATUS ENTROPY_addBit(uint8_t bit) {
    if (!g_depot.initialised) depot_init();
    g_depot.bitPosition = (g_depot.bitPosition + 1) % RANDOM_POOL_BITS;
    if (bit & 1) g_depot.pool[g_depot.bitPosition / 8] ^= static_cast<uint8_t>(1u << (g_depot.bitPosition % 8));
    return CRYPTO_OK;
}

MSTATUS ENTROPY_getBytes(uint8_t *buf, uint32_t count) {
    if (g_depot.failed == 1) return ERR_RAND_DEPOT_FAILED;
    if (!buf && count) return ERR_NULL_POINTER;
    bool prime = false;
    if (!g_depot.initialised) {
        depot_init();
        prime = true;
    }
    // After a fork the child primes afresh, so parent and child never hand
    // out the same bytes.
    if (!g_depot.primed || g_depot.pid != getpid()) prime = true;
    MSTATUS st = RTOS_mutexWaitGuarded(g_depot.mutex, &g_depot.held);
    if (st != CRYPTO_OK) {
        RTOS_mutexReleaseGuarded(g_depot.mutex, &g_depot.held);
        return st;
    }
    // A stir that gets nothing from the kernel fails the whole request.
    auto fail = [&](MSTATUS error) {
        if (buf) CRYPTO_secureZero(buf, count);
        RTOS_mutexReleaseGuarded(g_depot.mutex, &g_depot.held);
        return error;
    };
    if (prime) {
        if ((st = stir()) != CRYPTO_OK) return fail(st);
        refill();
        g_depot.primed = 1;
        g_depot.pid = getpid();
    }
    uint32_t done = 0;
    while (done < count) {
        if (g_depot.readIndex >= kOut) {
            if ((st = stir()) != CRYPTO_OK) return fail(st);
            refill();
        }
        uint32_t n = kOut - g_depot.readIndex;
        if (n > count - done) n = count - done;
        std::memcpy(buf + done, g_depot.output + g_depot.readIndex, n);
        std::memset(g_depot.output + g_depot.readIndex, 0, n);
        g_depot.readIndex += n;
        done += n;
    }
    return RTOS_mutexReleaseGuarded(g_depot.mutex, &g_depot.held);
}

MSTATUS ENTROPY_depotInfo(EntropyDepotInfo *info) {
    if (!info) return ERR_NULL_POINTER;
    info->initialised = g_depot.initialised;
    info->primed = g_depot.primed;
    info->failed = g_depot.failed;
    info->bitPosition = g_depot.bitPosition;
    info->readIndex = g_depot.readIndex;
    info->refills = g_depot.refills;
    std::memcpy(info->pool, g_depot.pool, RANDOM_POOL_BYTES);
    std::memcpy(info->output, g_depot.output, RANDOM_POOL_BYTES);
    return CRYPTO_OK;
}

void ENTROPY_reset(void) {
    CRYPTO_secureZero(&g_depot, sizeof g_depot);
    g_depot = Depot{};
}

void ENTROPY_setFailed(int32_t failed) { g_depot.failed = failed; }

MSTATUS RANDOM_createDefault(RandomCtx **out) { return RANDOM_create(out, RANDOM_KIND_DEFAULT); }

MSTATUS RANDOM_create(RandomCtx **out, int32_t kind) {
    if (!out) return ERR_NULL_POINTER;
    *out = nullptr;
    if (kind == RANDOM_KIND_DEFAULT || kind == RANDOM_KIND_CTR_DRBG) {
        uint8_t seed[48];
        MSTATUS st = ENTROPY_getBytes(seed, sizeof seed);
        if (st == CRYPTO_OK) st = CTR_DRBG_newAes(out, seed, sizeof seed, 32, nullptr, 0);
        CRYPTO_secureZero(seed, sizeof seed);
        return st;
    }
    if (kind == RANDOM_KIND_FIPS186) {
        // XKEY from the clock and calendar, and seed bytes from the depot
        // so that the generator is not predictable from the time alone.
        uint8_t xkey[FIPS186_MAX_XKEY];
        MSTATUS st = ENTROPY_getBytes(xkey, sizeof xkey);
        if (st != CRYPTO_OK) return st;
        const uint32_t ms = RTOS_getTimeInMS();
        uint8_t cal[6] = {};
        RTOS_timeGMT(cal);
        for (int i = 0; i < 4; ++i) xkey[i] ^= static_cast<uint8_t>(ms >> (8 * i));
        for (int i = 0; i < 6; ++i) xkey[4 + i] ^= cal[i];
        st = RANDOM_createFips186(out, xkey, sizeof xkey);
        CRYPTO_secureZero(xkey, sizeof xkey);
        return st;
    }
    return ERR_INVALID_SWITCH;
}

MSTATUS RANDOM_createFips186(RandomCtx **out, const uint8_t *xkey, uint32_t b) {
    if (!out || !xkey) return ERR_NULL_POINTER;
    *out = nullptr;
    if (b < 20 || b > FIPS186_MAX_XKEY) return ERR_INVALID_SWITCH;
    auto *ctx = static_cast<RandomCtx *>(std::calloc(1, sizeof(RandomCtx)));
    if (!ctx) return ERR_MEM_ALLOC_FAIL;
    ctx->type = RANDOM_TYPE_FIPS186;
    ctx->u.fips.b = b;
    std::memcpy(ctx->u.fips.xkey, xkey, b);
    ctx->processId = getpid();
    *out = ctx;
    return CRYPTO_OK;
}

MSTATUS RANDOM_free(RandomCtx **ctx) {
    if (!ctx || !*ctx || !known_type(*ctx)) return ERR_NULL_POINTER;
    RandomCtx *c = *ctx;
    if (c->type == RANDOM_TYPE_CTR_DRBG) {
        CtrDrbgState &s = c->u.drbg;
        if (s.V) {
            CRYPTO_secureZero(s.V, s.blockLen);
            std::free(s.V);
        }
        if (s.cipher) {
            CRYPTO_secureZero(s.cipher, s.blockLen == 16 ? sizeof(AesCtx) : sizeof(TdesKey));
            std::free(s.cipher);
        }
    }
    CRYPTO_secureZero(c, sizeof *c);
    std::free(c);
    *ctx = nullptr;
    return CRYPTO_OK;
}

MSTATUS RANDOM_addEntropyBit(RandomCtx *ctx, uint8_t bit) {
    if (!known_type(ctx)) return ERR_NULL_POINTER;
    if (ctx->type == RANDOM_TYPE_FIPS186) {
        Fips186State &f = ctx->u.fips;
        f.bitPosition = (f.bitPosition + 1) % (8 * f.b);
        if (bit & 1) f.xkey[f.bitPosition / 8] ^= static_cast<uint8_t>(1u << (f.bitPosition % 8));
        ++f.bitsAdded;
        return CRYPTO_OK;
    }
    ENTROPY_addBit(bit);
    if (++ctx->u.drbg.entropyBitsAdded > RANDOM_POOL_BITS - 1) return reseed_from_depot(ctx);
    return CRYPTO_OK;
}

MSTATUS RANDOM_addEntropyWord(uint32_t word) {
    if (!g_global) return ERR_NULL_POINTER;
    MSTATUS st = CRYPTO_OK;
    for (int i = 0; i < 32 && st == CRYPTO_OK; ++i) st = RANDOM_addEntropyBit(g_global, static_cast<uint8_t>(word >> i));
    return st;
}

MSTATUS RANDOM_seedFromUrandom(void) {
    const int fd = open(device_path(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERR_RAND_OPEN_DEVICE;
    MSTATUS st = CRYPTO_OK;
    for (int i = 0; i < 8; ++i) {
        uint8_t w[4];
        if (read(fd, w, 4) != 4) {
            close(fd);
            return ERR_RAND_SHORT_READ;
        }
        st = RANDOM_addEntropyWord(static_cast<uint32_t>(w[0]) | (static_cast<uint32_t>(w[1]) << 8) |
                                   (static_cast<uint32_t>(w[2]) << 16) | (static_cast<uint32_t>(w[3]) << 24));
        if (st != CRYPTO_OK) break;
    }
    close(fd);
    return st;
}

MSTATUS RANDOM_generate(RandomCtx *ctx, uint8_t *buf, uint32_t len) {
    if (!known_type(ctx) || (!buf && len)) return ERR_NULL_POINTER;
    if (ctx->processId != getpid()) {
        if (const MSTATUS st = reseed_after_fork(ctx); st != CRYPTO_OK) return st;
    }
    if (ctx->type == RANDOM_TYPE_FIPS186) {
        uint8_t x[20];
        for (uint64_t off = 0; off < len; off += 20) {
            fips186_next(ctx->u.fips, x);
            std::memcpy(buf + off, x, len - off < 20 ? static_cast<size_t>(len - off) : 20);
        }
        CRYPTO_secureZero(x, sizeof x);
        return CRYPTO_OK;
    }
    // Split into requests the generator accepts in one call.
    const uint32_t chunk = ctx->u.drbg.blockLen == 16 ? 0xFFFFu : 1016u;  // below 2^19 / 8192 bits
    for (uint64_t off = 0; off < len; off += chunk) {
        const uint32_t n = len - off < chunk ? static_cast<uint32_t>(len - off) : chunk;
        MSTATUS st = CTR_DRBG_generate(ctx, nullptr, 0, buf + off, n * 8);
        if (st != CRYPTO_OK) return st;
    }
    return CRYPTO_OK;
}

RandomCtx *RANDOM_globalContext(void) { return g_global; }

RandomCtx *RANDOM_setGlobalContext(RandomCtx *ctx) {
    RandomCtx *old = g_global;
    g_global = ctx;
    return old;
}

void RANDOM_setEntropyDevice(const char *path) { g_device = path; }

void RANDOM_setKernelSource(RANDOM_KernelSource source, uint32_t waitMs) {
    g_kernelSource = source ? source : kernel_getrandom;
    g_kernelWaitMs = waitMs;
    g_depot.kernelWaitOver = 0;
}

}  // extern "C"
