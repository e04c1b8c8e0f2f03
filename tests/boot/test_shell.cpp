// Command-line building: quoted text must reach the command as exactly one
// argument, whatever it holds. Checked with the real shell.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boot/sequence.h"
#include "boot/shell.h"

namespace {

std::string run_and_capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return "<popen failed>";
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

class ShellQuote : public ::testing::TestWithParam<std::string> {};

TEST_P(ShellQuote, ReachesCommandAsOneWord) {
    const std::string& text = GetParam();
    // printf prints its one argument between brackets; a second word would
    // print a second bracket pair, a command substitution would run.
    const std::string out =
        run_and_capture(shell_format("printf '[%%s]' %s", shell_quote(text).c_str()));
    EXPECT_EQ(out, "[" + text + "]");
}

INSTANTIATE_TEST_SUITE_P(Texts, ShellQuote,
                         ::testing::Values(std::string(""), std::string("plain"),
                                           std::string("two words"), std::string("it's"),
                                           std::string("''"), std::string("$(touch /tmp/x)"),
                                           std::string("`id`; rm -rf /"),
                                           std::string("a\\b\"c"), std::string("new\nline"),
                                           std::string("*?[ab]~ &|<>")));

TEST(ShellRun, ReportsTheCommandsExitStatus) {
    EXPECT_EQ(shell_run("exit 0"), 0);
    EXPECT_NE(shell_run("exit 3"), 0);
}

struct DateCase {
    std::uint8_t regs[7];
    const char* command;
};

// Registers: seconds, minutes, hours, weekday, date, month, year (BCD); the
// high bits that the clock uses for flags are masked off.
const DateCase kDates[] = {
    {{0x56, 0x34, 0x12, 0x02, 0x31, 0x12, 0x26}, "date 123112342026.56\n"},
    {{0x80 | 0x07, 0x80 | 0x59, 0xC0 | 0x23, 0x07, 0xC0 | 0x01, 0xE0 | 0x01, 0x00},
     "date 010123592000.07\n"},
    {{0, 0, 0, 0, 0, 0, 0x99}, "date 000000002099.00\n"},
};

TEST(DateCommand, BuiltFromClockRegisters) {
    for (const DateCase& c : kDates) EXPECT_EQ(rtc_date_command(c.regs), c.command);
}

}  // namespace
