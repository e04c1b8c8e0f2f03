// Low security mode: the blink count, the marker and the operator's answers
// to the physical-presence and key-wipe questions (keys typed on a
// pseudo-terminal). The blinking itself runs on the emulated board.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/led.h"
#include "boot/settings.h"
#include "crypto_platform.h"
#include "ctr_drbg.h"
#include "random.h"
#include "security/lowsec.h"
#include "tests/common/terminal_child.h"

namespace {

// Counts drawn back to back (within the same clock second) must cover 1..14
// evenly. The bound is the chi-square value with 13 degrees of freedom that a
// fair draw exceeds with probability about 1e-8; a count taken from the clock
// (one value per second) exceeds it by orders of magnitude.
TEST(Lowsec, BlinkCountsAreUniformAndIgnoreTheClock) {
    constexpr int kDraws = 14000;
    int seen[LOWSEC_MAX_BLINKS + 1] = {};
    for (int i = 0; i < kDraws; ++i) {
        const int count = lowsec_draw_blink_count();
        ASSERT_GE(count, 1);
        ASSERT_LE(count, LOWSEC_MAX_BLINKS);
        ++seen[count];
    }
    const double expected = static_cast<double>(kDraws) / LOWSEC_MAX_BLINKS;
    double chi2 = 0;
    for (int c = 1; c <= LOWSEC_MAX_BLINKS; ++c) {
        chi2 += (seen[c] - expected) * (seen[c] - expected) / expected;
    }
    EXPECT_LT(chi2, 60.0);
}

// The rule on a known byte stream: bytes from 252 up are drawn again, any
// other gives 1 + byte % 14. A second generator with the same seed tells
// which bytes the count is drawn from.
TEST(Lowsec, BlinkCountRedrawsTheBytesThatWouldBiasIt) {
    ASSERT_GE(CRYPTO_libraryInit(), 0);  // 1 the first time, 0 after
    std::uint8_t seed[48];
    for (std::size_t i = 0; i < sizeof seed; ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    RandomCtx* drawn = nullptr;
    RandomCtx* mirror = nullptr;
    ASSERT_EQ(0, CTR_DRBG_newAes(&drawn, seed, sizeof seed, 32, nullptr, 0));
    ASSERT_EQ(0, CTR_DRBG_newAes(&mirror, seed, sizeof seed, 32, nullptr, 0));
    RandomCtx* previous = RANDOM_setGlobalContext(drawn);
    int redrawn = 0;
    bool same = true;
    for (int i = 0; i < 3000 && same; ++i) {
        std::uint8_t byte = 0;
        do {
            ASSERT_EQ(0, RANDOM_generate(mirror, &byte, 1));
            if (byte >= 252) ++redrawn;
        } while (byte >= 252);
        same = lowsec_draw_blink_count() == 1 + byte % LOWSEC_MAX_BLINKS;
        EXPECT_TRUE(same) << "draw " << i;
    }
    EXPECT_GT(redrawn, 0) << "the stream never tried the rule";
    drawn = RANDOM_setGlobalContext(previous);
    RANDOM_free(&drawn);
    RANDOM_free(&mirror);
}

TEST(Lowsec, LedValues) {
    EXPECT_EQ(led_rest_value(0xFF), 0x7F);
    EXPECT_EQ(led_blink_value(0xFF), 0x3F);
    EXPECT_EQ(led_rest_value(0x00), 0x40);
    EXPECT_EQ(led_blink_value(0x00), 0x00);
    EXPECT_EQ(led_rest_value(0xC5), 0x45);
}

class LowsecMarker : public ::testing::Test {
protected:
    void SetUp() override {
        had_marker_ = ::access(LOWSEC_MARKER, F_OK) == 0;
        std::remove(LOWSEC_MARKER);
    }
    void TearDown() override {
        std::remove(LOWSEC_MARKER);
        if (had_marker_) lowsec_set(true);
    }
    bool had_marker_ = false;
};

TEST_F(LowsecMarker, SetAndClear) {
    EXPECT_FALSE(lowsec_active());
    ASSERT_TRUE(lowsec_set(true));
    EXPECT_TRUE(lowsec_active());
    FILE* f = std::fopen(LOWSEC_MARKER, "rb");
    ASSERT_NE(f, nullptr);
    char buf[32] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 9u);
    std::fclose(f);
    EXPECT_STREQ(buf, "plovimar\n");
    EXPECT_TRUE(lowsec_set(false));
    EXPECT_FALSE(lowsec_active());
    EXPECT_TRUE(lowsec_set(false));  // already gone is no error
}

// Whatever an attacker leaves at the marker's path is replaced by a fresh
// regular file, and nothing is ever written through it.
TEST_F(LowsecMarker, ReplacesWhatIsNotItsOwnFile) {
    char dir_template[] = "/tmp/lowsec-testXXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string victim = std::string(dir_template) + "/victim";
    struct Case {
        const char* what;
        std::function<int()> make;
    };
    const Case cases[] = {
        {"symbolic link to a file", [&] { return ::symlink(victim.c_str(), LOWSEC_MARKER); }},
        {"dangling symbolic link", [&] { return ::symlink("/tmp/lowsec-nowhere", LOWSEC_MARKER); }},
        {"hard link to a file", [&] { return ::link(victim.c_str(), LOWSEC_MARKER); }},
        {"directory", [] { return ::mkdir(LOWSEC_MARKER, 0755); }},
        {"named pipe", [] { return ::mkfifo(LOWSEC_MARKER, 0644); }},
    };
    for (const Case& c : cases) {
        FILE* v = std::fopen(victim.c_str(), "w");
        ASSERT_NE(v, nullptr);
        std::fputs("precious", v);
        std::fclose(v);
        std::remove(LOWSEC_MARKER);
        ASSERT_EQ(c.make(), 0) << c.what;
        ASSERT_TRUE(lowsec_set(true)) << c.what;
        struct stat st{};
        ASSERT_EQ(::lstat(LOWSEC_MARKER, &st), 0) << c.what;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
        EXPECT_EQ(st.st_size, 9) << c.what;
        EXPECT_EQ(st.st_nlink, 1u) << c.what;
        FILE* f = std::fopen(victim.c_str(), "r");
        char buf[16] = {};
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 8u) << c.what;
        std::fclose(f);
        EXPECT_STREQ(buf, "precious") << c.what;
        EXPECT_NE(::access("/tmp/lowsec-nowhere", F_OK), 0) << c.what;
        ::unlink("/tmp/lowsec-nowhere");
    }
    std::remove(victim.c_str());
    ::rmdir(dir_template);
}

TEST_F(LowsecMarker, OverridePrintsEveryTime) {
    const TerminalRun r = run_on_terminal(
        [] {
            g_boot_settings.lowsecAuthorised = 1;
            return lowsec_active() && lowsec_active() ? 0 : 1;
        },
        "", terminal_prompt(""));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "NOTE: Uboot low security mode override enabled\r\n"
                        "NOTE: Uboot low security mode override enabled\r\n");
}

TEST_F(LowsecMarker, LeavingAsksWithYesAsDefault) {
    struct Row {
        std::string key;
        bool marker_after;
    };
    // Enter and y disable; n and N keep the mode.
    const Row rows[] = {{"\r", false}, {"y", false}, {"Y", false}, {"n", true}, {"N", true}};
    for (const Row& row : rows) {
        ASSERT_TRUE(lowsec_set(true));
        const TerminalRun r = run_on_terminal([] { return physical_presence_test(); }, row.key,
                                                terminal_raw);
        EXPECT_EQ(r.status, 1) << row.key;
        EXPECT_EQ(::access(LOWSEC_MARKER, F_OK) == 0, row.marker_after) << row.key;
        EXPECT_EQ(r.output.rfind("Switch is in low security mode. Confirm disabling Y/n? ", 0), 0u);
    }
}

TEST_F(LowsecMarker, EnteringNeedsAYes) {
    for (const char* key : {"n", "N", "\r", "x"}) {
        const TerminalRun r = run_on_terminal([] { return physical_presence_test(); }, key,
                                                terminal_raw);
        EXPECT_EQ(r.status, 0) << key;
        EXPECT_NE(r.output.find("Do you wish to continue y/N? "), std::string::npos);
        EXPECT_EQ(r.output.find("Hit a key"), std::string::npos) << key;
        EXPECT_FALSE(lowsec_active());
    }
}

TEST(WipeKeys, AnythingButYesChangesNothing) {
    for (const char* key : {"n", "\r", "q"}) {
        const TerminalRun r = run_on_terminal([] { return wipe_system_keys(); }, key, terminal_raw);
        EXPECT_EQ(r.status, 1);
        // The key is not echoed: only the question and the line end.
        EXPECT_EQ(r.output, "Confirm: wiping system keys y/N: \r\n") << key;
    }
}

}  // namespace
