// Low security mode: the blink count, the marker and the operator's answers
// to the physical-presence and key-wipe questions (keys typed on a
// pseudo-terminal). The blinking itself runs on the emulated board.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "board/led.h"
#include "boot/settings.h"
#include "security/lowsec.h"
#include "tests/common/terminal_child.h"

namespace {

TEST(Lowsec, BlinkCountFromSeconds) {
    struct Row {
        std::uint8_t reg;
        int count;
    };
    const Row rows[] = {{0x10, 1}, {0x00, 1}, {0x59, 14}, {0x03, 3}, {0x80, 8}, {0x45, 9}};
    for (const Row& r : rows) EXPECT_EQ(lowsec_blink_count(r.reg), r.count) << int(r.reg);
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
