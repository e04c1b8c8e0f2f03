// Platform layer of the crypto library: memory, small string helpers, file
// pass-throughs, the debug console, stubbed platform services and the
// library's one-time initialisation.
#include "crypto_platform.h"

#include "base64.h"
#include "digest.h"
#include "random.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

uint32_t g_debugMask = DEBUG_MASK_INITIAL;
FILE *g_debugStream = nullptr;     // null: standard output
int32_t g_consoleState[2] = {0, 0};
uint32_t g_initCount = 0;
uint32_t g_startTime = 0;
// Start-up configuration byte that asks for strict mode; 0 in this system.
constexpr uint8_t kStartupStrictMode = 0;

FILE *debug_stream() { return g_debugStream ? g_debugStream : stdout; }

bool category_enabled(uint32_t category) { return (category & g_debugMask) == category; }

void debug_out(const char *text) {
    FILE *f = debug_stream();
    std::fprintf(f, "%s", text);
    std::fflush(f);
}

}  // namespace

extern "C" {

// ---- Memory ---------------------------------------------------------------

void *CRYPTO_malloc(size_t size) { return std::malloc(size); }

void CRYPTO_free(void *p) { std::free(p); }

MSTATUS CRYPTO_allocStatus(size_t size, void **out) {
    if (!out) return ERR_NULL_POINTER;
    *out = nullptr;
    if (size == 0) return ERR_MEM_ALLOC_FAIL;
    *out = std::malloc(size);
    return *out ? CRYPTO_OK : ERR_MEM_ALLOC_FAIL;
}

MSTATUS CRYPTO_allocLimited(void **out, size_t size) {
    if (!out) return ERR_MEM_NULL_OUT_POINTER;
    *out = nullptr;
    if (size > CRYPTO_ALLOC_LIMIT) return ERR_MEM_ALLOC_FAIL;
    if (size == 0) return ERR_MEM_LIMITED_FAIL;
    *out = std::malloc(size);
    return *out ? CRYPTO_OK : ERR_MEM_LIMITED_FAIL;
}

MSTATUS CRYPTO_freeAndClear(void **pp) {
    if (!pp || !*pp) return ERR_NULL_POINTER;
    std::free(*pp);
    *pp = nullptr;
    return CRYPTO_OK;
}

MSTATUS CRYPTO_freeChecked(void **pp) {
    if (!pp || !*pp) return ERR_MEM_FREE_NULL;
    std::free(*pp);
    return CRYPTO_OK;
}

MSTATUS CRYPTO_memcpy(void *dst, const void *src, int32_t count) {
    if (!dst || !src) return ERR_NULL_POINTER;
    if (count < 1) return CRYPTO_OK;
    std::memcpy(dst, src, static_cast<size_t>(count));
    return CRYPTO_OK;
}

MSTATUS CRYPTO_memset(void *dst, uint8_t value, int32_t count) {
    if (!dst) return ERR_NULL_POINTER;
    if (count < 1) return CRYPTO_OK;
    std::memset(dst, value, static_cast<size_t>(count));
    return CRYPTO_OK;
}

MSTATUS CRYPTO_xorInto(void *dst, const void *src, int32_t count) {
    if (!dst || !src) return ERR_NULL_POINTER;
    auto *d = static_cast<uint8_t *>(dst);
    auto *s = static_cast<const uint8_t *>(src);
    for (int32_t i = 0; i < count; ++i) d[i] ^= s[i];
    return CRYPTO_OK;
}

MSTATUS CRYPTO_memcmp(const void *a, const void *b, int32_t count, int32_t *result) {
    if (!a || !b || !result) return ERR_NULL_POINTER;
    auto *pa = static_cast<const uint8_t *>(a);
    auto *pb = static_cast<const uint8_t *>(b);
    *result = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (pa[i] != pb[i]) {
            *result = pa[i] < pb[i] ? -1 : 1;
            break;
        }
    }
    return CRYPTO_OK;
}

int32_t CRYPTO_ctEqual(const void *a, const void *b, size_t count) {
    auto *pa = static_cast<const volatile uint8_t *>(a);
    auto *pb = static_cast<const volatile uint8_t *>(b);
    uint8_t diff = 0;
    for (size_t i = 0; i < count; ++i) diff |= static_cast<uint8_t>(pa[i] ^ pb[i]);
    return diff;
}

void CRYPTO_secureZero(void *p, size_t count) {
    if (!p) return;
    auto *v = static_cast<volatile uint8_t *>(p);
    for (size_t i = 0; i < count; ++i) v[i] = 0;
}

// ---- Small string routines ------------------------------------------------

int CRYPTO_toLower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

size_t CRYPTO_strlen(const char *s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

MSTATUS CRYPTO_atoi(const char *s, int32_t *value, const char **end) {
    if (!s) return ERR_NULL_POINTER;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = false;
    if (*s == '-') {
        negative = true;
        ++s;
    }
    // Accumulate as a negative number so INT32_MIN is representable.
    int64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        if (v > -(int64_t{1} << 40)) v = v * 10 - (*s - '0');
        ++s;
    }
    if (!negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    if (value) *value = static_cast<int32_t>(v);
    if (end) *end = s;
    return CRYPTO_OK;
}

// ---- Files ----------------------------------------------------------------

FILE *CRYPTO_fopen(const char *path, const char *mode) { return std::fopen(path, mode); }
int CRYPTO_fclose(FILE *f) { return std::fclose(f); }
int CRYPTO_fseek(FILE *f, long offset, int whence) { return std::fseek(f, offset, whence); }
void CRYPTO_rewind(FILE *f) { std::rewind(f); }
long CRYPTO_ftell(FILE *f) { return std::ftell(f); }
size_t CRYPTO_fread(void *buf, size_t size, size_t count, FILE *f) {
    return std::fread(buf, size, count, f);
}
size_t CRYPTO_fwrite(const void *buf, size_t size, size_t count, FILE *f) {
    return std::fwrite(buf, size, count, f);
}

// ---- Debug console --------------------------------------------------------

void DEBUG_CONSOLE_print(uint32_t category, const char *text) {
    if (text && category_enabled(category)) debug_out(text);
}

void DEBUG_CONSOLE_printLine(uint32_t category, const char *text) {
    if (!category_enabled(category)) return;
    if (text) debug_out(text);
    debug_out("\r\n");
}

void DEBUG_CONSOLE_printInt(uint32_t category, int32_t value) {
    if (!category_enabled(category)) return;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(value));
    debug_out(buf);
}

void DEBUG_CONSOLE_printHexByte(uint32_t category, uint32_t value) {
    if (!category_enabled(category)) return;
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(value & 0xFFu));
    debug_out(buf);
}

void DEBUG_CONSOLE_printError(uint32_t category, const char *text, int32_t value) {
    if (!category_enabled(category)) return;
    if (text) debug_out(text);
    DEBUG_CONSOLE_printInt(category, value);
    debug_out("\r\n");
}

MSTATUS DEBUG_CONSOLE_setOutput(const char *path) {
    std::printf("Switching output stream");
    std::fflush(stdout);
    if (g_debugStream) {
        std::fclose(g_debugStream);
        g_debugStream = nullptr;
    }
    FILE *f = path ? std::fopen(path, "w") : nullptr;
    if (!f) {
        if (category_enabled(DEBUG_CATEGORY_CONSOLE)) {
            std::printf("%s[%d]: ", "DEBUG_CONSOLE_setOutput", 861);
            std::printf("Failed to open %s for writing", path ? path : "(null)");
            std::printf("\n");
            std::fflush(stdout);
        }
        return ERR_DEBUG_CONSOLE_OPEN;
    }
    g_debugStream = f;
    return CRYPTO_OK;
}

MSTATUS DEBUG_CONSOLE_start(void) { return ERR_THREAD_CREATE; }

void DEBUG_CONSOLE_hexDump(const char *label, const uint8_t *data, int32_t len) {
    if (!category_enabled(DEBUG_CATEGORY_DEFAULT)) return;
    char buf[64];
    std::snprintf(buf, sizeof buf, "===== Dump: %.32s [%d]\n", label ? label : "",
                  static_cast<int>(len));
    debug_out(buf);
    if (!data) return;
    for (int32_t i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02x%s", data[i], (i % 16 == 15 || i + 1 == len) ? "\n" : " ");
        debug_out(buf);
    }
}

uint32_t DEBUG_CONSOLE_mask(void) { return g_debugMask; }

void DEBUG_CONSOLE_state(int32_t *word0, int32_t *word1) {
    if (word0) *word0 = g_consoleState[0];
    if (word1) *word1 = g_consoleState[1];
}

// ---- Platform abstraction -------------------------------------------------

MSTATUS RTOS_rtosInit(void) { return CRYPTO_OK; }
MSTATUS RTOS_rtosShutdown(void) { return CRYPTO_OK; }
MSTATUS RTOS_mutexCreate(RTOS_MUTEX *m) {
    if (m) *m = nullptr;
    return CRYPTO_OK;
}
MSTATUS RTOS_mutexFree(RTOS_MUTEX *) { return CRYPTO_OK; }
MSTATUS RTOS_mutexWait(RTOS_MUTEX) { return CRYPTO_OK; }
MSTATUS RTOS_mutexRelease(RTOS_MUTEX) { return CRYPTO_OK; }

MSTATUS RTOS_mutexWaitGuarded(RTOS_MUTEX m, int *held) {
    if (!held) return ERR_NULL_POINTER;
    if (*held) return ERR_MUTEX_ALREADY_HELD;
    MSTATUS st = RTOS_mutexWait(m);
    if (st == CRYPTO_OK) *held = 1;
    return st;
}

MSTATUS RTOS_mutexReleaseGuarded(RTOS_MUTEX m, int *held) {
    if (!held) return ERR_NULL_POINTER;
    if (!*held) return ERR_MUTEX_NOT_HELD;
    MSTATUS st = RTOS_mutexRelease(m);
    if (st == CRYPTO_OK) *held = 0;
    return st;
}

MSTATUS RTOS_createThread(void (*)(void *), void *) { return ERR_THREAD_CREATE; }
MSTATUS TCP_listenSocket(int *, uint16_t) { return ERR_TCP_NOT_AVAILABLE; }
MSTATUS TCP_acceptSocket(int *, int) { return ERR_TCP_NOT_AVAILABLE_2; }
MSTATUS TCP_closeSocket(int) { return CRYPTO_OK; }
void RTOS_sleepMS(uint32_t) {}

uint32_t RTOS_getTimeInMS(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t RTOS_deltaMS(uint32_t *since, int update) {
    uint32_t now = RTOS_getTimeInMS();
    uint32_t delta = since ? now - *since : 0;
    if (since && update) *since = now;
    return delta;
}

uint32_t RTOS_getUpTimeInMS(void) { return 0; }

MSTATUS RTOS_timeGMT(uint8_t out[6]) {
    if (!out) return ERR_NULL_POINTER;
    // The calendar of <chrono> rather than gmtime_r, which brings the C
    // library's time zone code (and its scanf) into a static link.
    using namespace std::chrono;
    const sys_seconds t{seconds{time(nullptr)}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss clock{t - day};
    out[0] = static_cast<uint8_t>(static_cast<int>(date.year()) - 1970);
    out[1] = static_cast<uint8_t>(static_cast<unsigned>(date.month()));
    out[2] = static_cast<uint8_t>(static_cast<unsigned>(date.day()));
    out[3] = static_cast<uint8_t>(clock.hours().count());
    out[4] = static_cast<uint8_t>(clock.minutes().count());
    out[5] = static_cast<uint8_t>(clock.seconds().count());
    return CRYPTO_OK;
}

// ---- Library lifetime -------------------------------------------------------

MSTATUS CRYPTO_libraryInit(void) {
    if (++g_initCount != 1) return CRYPTO_OK;
    MSTATUS st = RTOS_rtosInit();
    if (st < 0) return st;
    st = RTOS_rtosInit();
    if (st < 0) return st;
    g_startTime = RTOS_getTimeInMS();
    st = RTOS_rtosInit();
    if (st < 0) return st;
    g_consoleState[0] = 0;
    g_consoleState[1] = -1;
    if (BASE64_initializeContext() < 0) return ERR_MEM_ALLOC_FAIL;
    RandomCtx *rng = nullptr;
    st = RANDOM_createDefault(&rng);
    if (st < 0) return st;
    RANDOM_setGlobalContext(rng);
    st = RANDOM_seedFromUrandom();
    if (st < 0) return st;
    CRYPTO_setStrictMode(kStartupStrictMode ? 1 : 0);
    // The platform's final start-up hook reports 1.
    return 1;
}

MSTATUS CRYPTO_libraryFree(void) {
    RandomCtx *rng = RANDOM_setGlobalContext(nullptr);
    if (rng) RANDOM_free(&rng);
    BASE64_freeContext();
    g_consoleState[0] = 1;
    g_consoleState[1] = -1;
    return CRYPTO_OK;
}

uint32_t CRYPTO_initCount(void) { return g_initCount; }

uint32_t CRYPTO_startTime(void) { return g_startTime; }

void CRYPTO_setEntropyDevice(const char *path) { RANDOM_setEntropyDevice(path); }

}  // extern "C"
