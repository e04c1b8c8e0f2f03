// Platform layer: allocators and byte routines, the debug console and its
// mask, the platform stubs and the library's one-time initialisation (each
// initialisation case runs in a child process, as the init count cannot be
// reset).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "base64.h"
#include "crypto_platform.h"
#include "random.h"

namespace {

TEST(Memory, AllocStatus) {
    void *p = reinterpret_cast<void *>(1);
    EXPECT_EQ(ERR_MEM_ALLOC_FAIL, CRYPTO_allocStatus(0, &p));
    EXPECT_EQ(nullptr, p);
    ASSERT_EQ(0, CRYPTO_allocStatus(10, &p));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, CRYPTO_freeAndClear(&p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_freeAndClear(&p));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_freeAndClear(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_allocStatus(10, nullptr));
}

TEST(Memory, AllocLimited) {
    const struct { size_t size; MSTATUS want; bool allocated; } cases[] = {
        {131071, 0, true}, {1, 0, true}, {131072, ERR_MEM_ALLOC_FAIL, false},
        {0, ERR_MEM_LIMITED_FAIL, false}, {~size_t{0}, ERR_MEM_ALLOC_FAIL, false},
    };
    for (const auto &c : cases) {
        void *p = reinterpret_cast<void *>(1);
        EXPECT_EQ(c.want, CRYPTO_allocLimited(&p, c.size)) << c.size;
        EXPECT_EQ(c.allocated, p != nullptr) << c.size;
        if (p) {
            std::memset(p, 0xA5, c.size);  // the whole size is usable
            void *q = p;
            EXPECT_EQ(0, CRYPTO_freeChecked(&q));
            EXPECT_EQ(p, q);  // the checked free leaves the pointer alone
        }
    }
    EXPECT_EQ(ERR_MEM_NULL_OUT_POINTER, CRYPTO_allocLimited(nullptr, 16));
    void *none = nullptr;
    EXPECT_EQ(ERR_MEM_FREE_NULL, CRYPTO_freeChecked(&none));
    EXPECT_EQ(ERR_MEM_FREE_NULL, CRYPTO_freeChecked(nullptr));
}

TEST(Memory, ByteRoutines) {
    uint8_t a[4] = {1, 2, 3, 4}, b[4] = {0xF0, 0xF0, 0xF0, 0xF0};
    EXPECT_EQ(0, CRYPTO_xorInto(a, b, 4));
    EXPECT_EQ(0xF1, a[0]);
    EXPECT_EQ(0xF4, a[3]);
    EXPECT_EQ(0, CRYPTO_memset(a, 0x11, 3));
    EXPECT_EQ(0x11, a[2]);
    EXPECT_EQ(0xF4, a[3]);
    EXPECT_EQ(0, CRYPTO_memcpy(b, a, 2));
    EXPECT_EQ(0x11, b[1]);
    EXPECT_EQ(0xF0, b[2]);
    // Counts below 1 do nothing.
    for (int32_t n : {0, -1, -100}) {
        EXPECT_EQ(0, CRYPTO_memset(a, 0, n));
        EXPECT_EQ(0, CRYPTO_memcpy(a, b, n));
        EXPECT_EQ(0, CRYPTO_xorInto(a, b, n));
    }
    EXPECT_EQ(0x11, a[0]);
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_memset(nullptr, 0, 4));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_memcpy(a, nullptr, 4));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_memcpy(nullptr, a, 4));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_xorInto(a, nullptr, 4));
}

TEST(Memory, CompareIsUnsignedAndByFirstDifference) {
    const struct { const char *a, *b; int32_t n; int32_t want; } cases[] = {
        {"abc", "abd", 3, -1}, {"abd", "abc", 3, 1}, {"abc", "abc", 3, 0},
        {"abc", "abd", 2, 0},  {"abc", "xyz", 0, 0}, {"\x80", "\x7f", 1, 1},
        {"\x01\xff", "\x02\x00", 2, -1}, {"\xff", "\x00", 1, 1},
    };
    for (const auto &c : cases) {
        int32_t r = 42;
        EXPECT_EQ(0, CRYPTO_memcmp(c.a, c.b, c.n, &r));
        EXPECT_EQ(c.want, r) << c.a << " vs " << c.b;
    }
    int32_t r;
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_memcmp(nullptr, "a", 1, &r));
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_memcmp("a", "a", 1, nullptr));
    EXPECT_EQ(0, CRYPTO_ctEqual("abcd", "abcd", 4));
    EXPECT_NE(0, CRYPTO_ctEqual("abcd", "abce", 4));
}

TEST(Strings, DecimalParserAndLowerCase) {
    const struct { const char *in; int32_t value; int consumed; } cases[] = {
        {"42", 42, 2}, {"  \t\n\v\f\r-17x", -17, 10}, {"-", 0, 1}, {"abc", 0, 0},
        {"007", 7, 3}, {"2147483647", 2147483647, 10}, {"-2147483648", INT32_MIN, 11},
        {"99999999999", INT32_MAX, 11}, {" +5", 0, 1},
    };
    for (const auto &c : cases) {
        int32_t v = 1234;
        const char *end = nullptr;
        ASSERT_EQ(0, CRYPTO_atoi(c.in, &v, &end));
        EXPECT_EQ(c.value, v) << '"' << c.in << '"';
        EXPECT_EQ(c.consumed, end - c.in) << '"' << c.in << '"';
    }
    EXPECT_EQ(ERR_NULL_POINTER, CRYPTO_atoi(nullptr, nullptr, nullptr));
    EXPECT_EQ('a', CRYPTO_toLower('A'));
    EXPECT_EQ('z', CRYPTO_toLower('Z'));
    EXPECT_EQ('[', CRYPTO_toLower('['));
    EXPECT_EQ('@', CRYPTO_toLower('@'));
    EXPECT_EQ(0u, CRYPTO_strlen(nullptr));
    EXPECT_EQ(5u, CRYPTO_strlen("hello"));
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(DebugConsole, MaskDecidesWhatIsPrinted) {
    EXPECT_EQ(0x00400002u, DEBUG_CONSOLE_mask());
    char path[] = "/tmp/bmcrypto-debug-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, DEBUG_CONSOLE_setOutput(path));
    EXPECT_EQ("Switching output stream", testing::internal::GetCapturedStdout());

    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "hidden");
    DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_CIPHER, "hidden");
    DEBUG_CONSOLE_print(0x00400000u, "A");
    DEBUG_CONSOLE_printLine(0x00400000u, nullptr);
    DEBUG_CONSOLE_print(2, nullptr);
    DEBUG_CONSOLE_printInt(2, -42);
    DEBUG_CONSOLE_printHexByte(2, 0x1AB);
    DEBUG_CONSOLE_printError(2, "e=", 7);
    DEBUG_CONSOLE_printLine(2, "done");
    DEBUG_CONSOLE_printError(0x00400002u, "both=", 1);
    DEBUG_CONSOLE_printInt(6, 99);  // 4 is not enabled, so 6 is not either
    EXPECT_EQ("A\r\n-42abe=7\r\ndone\r\nboth=1\r\n", read_file(path));

    // A path that cannot be opened: -14201, message on standard output
    // (category 0x400000 is enabled), and output falls back to stdout.
    testing::internal::CaptureStdout();
    EXPECT_EQ(ERR_DEBUG_CONSOLE_OPEN, DEBUG_CONSOLE_setOutput("/nonexistent-dir/x"));
    DEBUG_CONSOLE_print(2, "to-stdout");
    EXPECT_EQ("Switching output streamDEBUG_CONSOLE_setOutput[861]: Failed to open /nonexistent-dir/x for writing\nto-stdout",
              testing::internal::GetCapturedStdout());
    std::remove(path);
}

TEST(PlatformStubs, Codes) {
    int held = 0;
    RTOS_MUTEX m = nullptr;
    EXPECT_EQ(0, RTOS_mutexCreate(&m));
    EXPECT_EQ(ERR_MUTEX_NOT_HELD, RTOS_mutexReleaseGuarded(m, &held));
    EXPECT_EQ(0, RTOS_mutexWaitGuarded(m, &held));
    EXPECT_EQ(1, held);
    EXPECT_EQ(ERR_MUTEX_ALREADY_HELD, RTOS_mutexWaitGuarded(m, &held));
    EXPECT_EQ(0, RTOS_mutexReleaseGuarded(m, &held));
    EXPECT_EQ(0, held);
    EXPECT_EQ(ERR_THREAD_CREATE, RTOS_createThread(nullptr, nullptr));
    EXPECT_EQ(ERR_THREAD_CREATE, DEBUG_CONSOLE_start());
    int s;
    EXPECT_EQ(ERR_TCP_NOT_AVAILABLE, TCP_listenSocket(&s, 80));
    EXPECT_EQ(ERR_TCP_NOT_AVAILABLE_2, TCP_acceptSocket(&s, 3));
    EXPECT_EQ(0u, RTOS_getUpTimeInMS());
    uint8_t cal[6];
    ASSERT_EQ(0, RTOS_timeGMT(cal));
    EXPECT_GE(cal[0], 50);  // years since 1970
    EXPECT_TRUE(cal[1] >= 1 && cal[1] <= 12);
    uint32_t since = RTOS_getTimeInMS();
    EXPECT_LT(RTOS_deltaMS(&since, 1), 1000u);
}

// The six calendar bytes are the C library's UTC calendar of the same second.
TEST(PlatformStubs, TimeGmtMatchesTheCLibrary) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        uint8_t cal[6];
        ASSERT_EQ(0, RTOS_timeGMT(cal));
        if (time(nullptr) != before) continue;  // a second passed in between
        tm parts{};
        ASSERT_NE(nullptr, gmtime_r(&before, &parts));
        EXPECT_EQ(parts.tm_year - 70, cal[0]);
        EXPECT_EQ(parts.tm_mon + 1, cal[1]);
        EXPECT_EQ(parts.tm_mday, cal[2]);
        EXPECT_EQ(parts.tm_hour, cal[3]);
        EXPECT_EQ(parts.tm_min, cal[4]);
        EXPECT_EQ(parts.tm_sec, cal[5]);
        return;
    }
    FAIL() << "the clock moved on at every attempt";
}

// ---- Initialisation, each case in a child process ----

int init_twice() {
    if (CRYPTO_initCount() != 0) return 10;
    if (CRYPTO_libraryInit() != 1) return 11;
    RandomCtx *g = RANDOM_globalContext();
    if (!g || g->type != RANDOM_TYPE_CTR_DRBG) return 12;
    // 256 bits from the device went to the depot; no reseed yet.
    if (g->u.drbg.entropyBitsAdded != 256 || g->u.drbg.reseedCounterLow != 1) return 13;
    uint8_t v[16];
    std::memcpy(v, g->u.drbg.V, 16);
    int32_t w0, w1;
    DEBUG_CONSOLE_state(&w0, &w1);
    if (w0 != 0 || w1 != -1) return 14;
    uint8_t *out = nullptr;
    uint32_t outLen = 0;
    if (BASE64_decode(reinterpret_cast<const uint8_t *>("TWFu"), 4, &out, &outLen) != 0 || outLen != 3 ||
        std::memcmp(out, "Man", 3) != 0)
        return 15;
    BASE64_freeMessage(&out);
    if (CRYPTO_libraryInit() != 0) return 16;
    if (CRYPTO_initCount() != 2) return 17;
    if (RANDOM_globalContext() != g || g->u.drbg.entropyBitsAdded != 256 || std::memcmp(v, g->u.drbg.V, 16) != 0)
        return 18;
    CRYPTO_libraryFree();
    DEBUG_CONSOLE_state(&w0, &w1);
    if (w0 != 1 || w1 != -1) return 19;
    if (RANDOM_globalContext() != nullptr || CRYPTO_initCount() != 2) return 20;
    if (BASE64_decode(reinterpret_cast<const uint8_t *>("TWFu"), 4, &out, &outLen) != ERR_BASE64_NO_TABLE) return 21;
    return 0;
}

int init_with_device(const char *path, MSTATUS want) {
    CRYPTO_setEntropyDevice(path);
    if (CRYPTO_libraryInit() != want) return 30;
    if (RANDOM_globalContext() == nullptr) return 31;  // created before seeding failed
    return 0;
}

int32_t kernel_without_getrandom(uint8_t *, uint32_t) { return -ENOSYS; }

// Neither the kernel's generator nor the device: no global generator at
// all rather than one seeded from the clock alone.
int init_without_kernel_entropy() {
    RANDOM_setKernelSource(kernel_without_getrandom, 0);
    CRYPTO_setEntropyDevice("/nonexistent/urandom");
    if (CRYPTO_libraryInit() != ERR_RAND_OPEN_DEVICE) return 40;
    if (RANDOM_globalContext() != nullptr) return 41;
    return 0;
}

TEST(LibraryInitDeathTest, SecondInitChangesNothing) {
    EXPECT_EXIT(std::exit(init_twice()), ::testing::ExitedWithCode(0), "");
}

TEST(LibraryInitDeathTest, MissingDeviceReports7201) {
    EXPECT_EXIT(std::exit(init_with_device("/nonexistent/urandom", ERR_RAND_OPEN_DEVICE)),
                ::testing::ExitedWithCode(0), "");
}

TEST(LibraryInitDeathTest, NoKernelEntropyCreatesNoGenerator) {
    EXPECT_EXIT(std::exit(init_without_kernel_entropy()), ::testing::ExitedWithCode(0), "");
}

TEST(LibraryInitDeathTest, ShortDeviceReports7202) {
    static char path[] = "/tmp/bmcrypto-short-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(10, write(fd, "0123456789", 10));
    close(fd);
    EXPECT_EXIT(std::exit(init_with_device(path, ERR_RAND_SHORT_READ)), ::testing::ExitedWithCode(0), "");
    std::remove(path);
}

}  // namespace
