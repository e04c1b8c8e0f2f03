// The boot flags as the environment reader derives them from the
// environment text (entries separated by blanks).
#include <gtest/gtest.h>

#include <string>

#include "boot/settings.h"

namespace {

struct EnvCase {
    const char* name;
    std::string text;
    int gdb, gdbserver, gdbport, shell, memchk, rescue, diags, lowsec;
};

// Defaults: everything off, port 1234.
const EnvCase kCases[] = {
    {"empty", "", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"erased", std::string(64, '\xff'), 0, 0, 1234, 0, 0, 0, 0, 0},
    {"gdbserver_forces_gdb", "gdbserver=on gdb=off ", 1, 1, 1234, 0, 0, 0, 0, 0},
    {"gdb_on_gdbserver_off", "gdb=on gdbserver=off ", 1, 0, 1234, 0, 0, 0, 0, 0},
    {"value_prefix_matches", "gdb=onwards shell=only memchk=on ", 1, 0, 1234, 1, 1, 0, 0, 0},
    {"value_other_clears", "shell=off memchk=no ", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"suffix_of_longer_name", "mygdb=on gdb=off ", 1, 0, 1234, 0, 0, 0, 0, 0},
    {"rescue_prefix", "diagnostics=rescuex ", 0, 0, 1234, 0, 0, 1, 0, 0},
    {"diags_prefix", "diagnostics=diagsfoo ", 0, 0, 1234, 0, 0, 0, 1, 0},
    {"first_diagnostics_wins", "diagnostics=rescue diagnostics=diags ", 0, 0, 1234, 0, 0, 1, 0,
     0},
    {"lowsec_british", "lowsec=authorised ", 0, 0, 1234, 0, 0, 0, 0, 1},
    {"lowsec_american_refused", "lowsec=authorized ", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"gdbport_number", "gdbport=2345 ", 0, 0, 2345, 0, 0, 0, 0, 0},
    {"gdbport_leading_blanks", "gdbport=  77 ", 0, 0, 77, 0, 0, 0, 0, 0},
    {"gdbport_not_a_number", "gdbport=abc ", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"gdbport_at_end_of_text", "gdbport=", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"key_inside_value", "bootargs=x,shell=on ", 0, 0, 1234, 1, 0, 0, 0, 0},
    {"gdb_not_inside_gdbserver", "gdbserver=off ", 0, 0, 1234, 0, 0, 0, 0, 0},
    // A value one character short of its word is another value.
    {"values_one_short", "gdb=o gdbserver=o shell=o memchk=o lowsec=authorise ", 0, 0, 1234, 0, 0, 0, 0,
     0},
    {"rescue_one_short", "diagnostics=rescu ", 0, 0, 1234, 0, 0, 0, 0, 0},
    {"diags_one_short", "diagnostics=diag ", 0, 0, 1234, 0, 0, 0, 0, 0},
};

class BootEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(BootEnv, FlagsFromText) {
    const EnvCase& c = GetParam();
    BootSettings s;
    bootenv_apply(c.text, &s);
    EXPECT_EQ(s.gdb, c.gdb);
    EXPECT_EQ(s.gdbserver, c.gdbserver);
    EXPECT_EQ(s.gdbport, c.gdbport);
    EXPECT_EQ(s.shell, c.shell);
    EXPECT_EQ(s.memchk, c.memchk);
    EXPECT_EQ(s.rescue, c.rescue);
    EXPECT_EQ(s.diags, c.diags);
    EXPECT_EQ(s.lowsecAuthorised, c.lowsec);
}

INSTANTIATE_TEST_SUITE_P(Table, BootEnv, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BootEnv, AbsentKeyLeavesEarlierValue) {
    BootSettings s;
    s.shell = 1;
    s.gdbport = 99;
    bootenv_apply("memchk=on ", &s);
    EXPECT_EQ(s.shell, 1);
    EXPECT_EQ(s.gdbport, 99);
}

}  // namespace
