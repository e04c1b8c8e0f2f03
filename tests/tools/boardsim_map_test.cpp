// boardsim's names for what bootmgr reads (tools/boardsim/boarddir/board_map.h)
// against bootmgr itself: every environment name in the table changes what
// bootmgr's reader (bootenv_apply) takes from the environment, and every name
// that reader looks for is in the table. A name added to boot/settings.cpp
// without the table fails here, and so does a table entry bootmgr dropped.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "boot/settings.h"
#include "tools/boardsim/boarddir/board_map.h"

namespace {

// A value that turns each variable on (or away from its default).
std::string value_for(const std::string& name) {
    if (name == "gdbport") return "4321";
    if (name == "diagnostics") return "rescue";
    if (name == "lowsec") return "authorised";
    return "on";
}

bool same(const BootSettings& a, const BootSettings& b) {
    return a.gdb == b.gdb && a.gdbserver == b.gdbserver && a.gdbport == b.gdbport && a.shell == b.shell &&
           a.memchk == b.memchk && a.rescue == b.rescue && a.diags == b.diags &&
           a.lowsecAuthorised == b.lowsecAuthorised;
}

}  // namespace

TEST(BoardMap, EveryTableNameIsReadByBootmgr) {
    for (const auto& v : env_variables()) {
        const std::string text = std::string(v.name) + "=" + value_for(v.name);
        BootSettings before, after;
        bootenv_apply(text, &after);
        EXPECT_FALSE(same(before, after)) << v.name << ": bootmgr's reader ignores " << text;
    }
    BootSettings before, after;
    bootenv_apply("shel=on gdbprt=1 diag=rescue", &after);
    EXPECT_TRUE(same(before, after)) << "typos change nothing";
}

TEST(BoardMap, EveryNameBootmgrLooksForIsInTheTable) {
    std::ifstream src(BOOT_SETTINGS_SOURCE);
    ASSERT_TRUE(src) << BOOT_SETTINGS_SOURCE;
    std::stringstream text;
    text << src.rdbuf();
    const std::string code = text.str();
    std::set<std::string> read;
    const std::regex key("\"([A-Za-z_][A-Za-z0-9_]*)=\"");
    for (auto it = std::sregex_iterator(code.begin(), code.end(), key); it != std::sregex_iterator(); ++it)
        read.insert((*it)[1]);
    ASSERT_FALSE(read.empty()) << "no \"NAME=\" literal found in " << BOOT_SETTINGS_SOURCE;
    std::set<std::string> table;
    for (const auto& v : env_variables()) table.insert(v.name);
    EXPECT_EQ(read, table);
}

TEST(BoardMap, TyposGetASuggestion) {
    EXPECT_TRUE(env_variable_known("shell"));
    EXPECT_FALSE(env_variable_known("shel"));
    EXPECT_EQ(env_variable_suggestion("shel"), "shell");
    EXPECT_EQ(env_variable_suggestion("gdbprot"), "gdbport");
    EXPECT_EQ(env_variable_suggestion("bootcmd"), "");
}

TEST(BoardMap, NvramFieldsFollowBootmgrsMap) {
    ASSERT_NE(nvram_field_at(NVRAM_BOOT_SLOT), nullptr);
    EXPECT_STREQ(nvram_field_at(NVRAM_BOOT_SLOT)->name, "bootSlot");
    EXPECT_STREQ(nvram_field_at(NVRAM_BOOTED_IMAGE)->name, "bootedImage");
    EXPECT_STREQ(nvram_field_at(NVRAM_USB_BOOT_ENABLE)->name, "usbBootEnable");
    EXPECT_STREQ(nvram_field_at(NVRAM_IMAGE2_TIMESTAMP + 6)->name, "imageTimestamp2");
    EXPECT_STREQ(nvram_field_at(NVRAM_SERIAL_NUMBER + 11)->name, "serial");
    EXPECT_EQ(nvram_field_at(0x200), nullptr);
    EXPECT_STREQ(booted_image_text(4), "rescue partition");
}
