// The emulated board's power model: which durable event a power cut fault
// stops, how many of its bytes get through, and how flash and NVRAM writes
// end at the cut. The /user file system is exercised through FUSE by
// boardsim_power_cut_test.py.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/board_store.h"
#include "tools/boardsim/devices/devices.h"
#include "tools/boardsim/devices/power.h"

namespace {

namespace fs = std::filesystem;

using Kind = DurableKind;

// A place as events carry it: "/user/...", "mtd-NAME" or "nvram:ADDR" (hex).
PowerPlace at(const std::string& text) {
    if (text.rfind("mtd-", 0) == 0) return {PowerPlace::Area::flash, text.substr(4), -1};
    if (text.rfind("nvram:", 0) == 0) return {PowerPlace::Area::nvram, {}, std::stoi(text.substr(6), nullptr, 16)};
    return {PowerPlace::Area::user, text, -1};
}

struct Ev {
    Kind kind;
    const char* place;
    std::uint64_t bytes = 0;
    bool first = true;
    const char* other = nullptr;  // a rename's new name
};

DurableEvent event_of(const Ev& e) {
    DurableEvent d{e.kind, at(e.place), {}, e.bytes, e.first};
    if (e.other) d.other = at(e.other);
    return d;
}

std::vector<PowerCutTrigger> triggers(const std::vector<std::string>& faults) {
    BoardConfig cfg;
    cfg.partitions = board_default_partitions();
    for (const auto& f : faults) EXPECT_EQ(board_fault_set(cfg, f), "") << f;
    BoardFaults parsed;
    EXPECT_EQ(board_faults_parse(cfg, parsed), "");
    return parsed.power_cuts;
}

struct CutRow {
    const char* name;
    std::vector<std::string> faults;
    std::vector<Ev> events;
    int cut_at;               // index of the event the power fails at, -1: none
    std::uint64_t granted;    // bytes of that event that get through
};

const CutRow kCutRows[] = {
    {"bytes of every kind count toward one budget",
     {"power_cut_after=2500"},
     {{Kind::flash_write, "mtd-kernel", 1000}, {Kind::flash_erase, "mtd-kernel"}, {Kind::nvram_write, "nvram:100", 1},
      {Kind::nvram_write, "nvram:101", 1}, {Kind::nvram_write, "nvram:102", 1}, {Kind::user_write, "/user/a", 1000},
      {Kind::user_write, "/user/a", 1000, false}},
     6, 497},
    {"a spent budget lets changes without bytes through; the next byte is cut",
     {"power_cut_after=1000"},
     {{Kind::user_write, "/user/a", 1000}, {Kind::flash_erase, "mtd-rfs"}, {Kind::user_rename, "/user/a", 0, true, "/user/b"},
      {Kind::nvram_write, "nvram:100", 1}},
     3, 0},
    {"a budget of 0 cuts the first byte",
     {"power_cut_after=0"},
     {{Kind::user_create, "/user/a"}, {Kind::user_mkdir, "/user/d"}, {Kind::flash_write, "mtd-uboot", 1024}},
     2, 0},
    {"the budget of one file ignores the others",
     {"power_cut_after=100@/user/images/image2"},
     {{Kind::user_write, "/user/images/image1", 500}, {Kind::flash_write, "mtd-kernel", 500},
      {Kind::user_write, "/user/images/image2", 64}, {Kind::user_write, "/user/images/image2", 64, false}},
     3, 36},
    {"a folder holds what is under it, not a sibling with the same prefix",
     {"power_cut_at=user-unlink:1@/user/images"},
     {{Kind::user_unlink, "/user/images2/x"}, {Kind::user_unlink, "/user/images"}, {Kind::user_unlink, "/user/images/x"}},
     1, 0},
    {"the Nth NVRAM byte",
     {"power_cut_at=nvram-write:3"},
     {{Kind::nvram_write, "nvram:13a", 1}, {Kind::nvram_write, "nvram:108", 1}, {Kind::flash_write, "mtd-kernel", 10},
      {Kind::nvram_write, "nvram:109", 1}},
     3, 0},
    {"the first NVRAM write of one address",
     {"power_cut_at=nvram-write:1@nvram:100"},
     {{Kind::nvram_write, "nvram:13a", 1}, {Kind::nvram_write, "nvram:10", 1}, {Kind::nvram_write, "nvram:100", 1}},
     2, 0},
    {"a user-write is counted once, at its first write(2)",
     {"power_cut_at=user-write:2"},
     {{Kind::user_write, "/user/a", 100}, {Kind::user_write, "/user/a", 100, false}, {Kind::user_write, "/user/b", 5}},
     2, 0},
    {"a rename is at its new name as well as its old one",
     {"power_cut_at=user-rename:1@/user/production_key.pub.pem"},
     {{Kind::user_rename, "/user/x", 0, true, "/user/y"},
      {Kind::user_rename, "/user/production_key.pub.pem.tmp", 0, true, "/user/production_key.pub.pem"}},
     1, 0},
    {"erases of one partition",
     {"power_cut_at=flash-erase:2@mtd-kernel"},
     {{Kind::flash_erase, "mtd-rfs"}, {Kind::flash_erase, "mtd-kernel"}, {Kind::flash_write, "mtd-kernel", 9},
      {Kind::flash_erase, "mtd-kernel"}},
     3, 0},
    {"other kinds do not count",
     {"power_cut_at=user-mkdir:1"},
     {{Kind::user_create, "/user/d"}, {Kind::user_rmdir, "/user/d"}, {Kind::user_write, "/user/d", 10}},
     -1, 0},
    {"the first trigger to fire cuts",
     {"power_cut_after=50", "power_cut_at=user-mkdir:1"},
     {{Kind::user_write, "/user/a", 40}, {Kind::user_mkdir, "/user/d"}, {Kind::user_write, "/user/a", 40}},
     1, 0},
};

TEST(PowerCut, StopsTheEventTheFaultNames) {
    for (const auto& row : kCutRows) {
        SCOPED_TRACE(row.name);
        Power power;
        power_arm(power, triggers(row.faults));
        for (int i = 0; i < static_cast<int>(row.events.size()); ++i) {
            const DurableEvent e = event_of(row.events[i]);
            bool fails = true;
            const long granted = power_draw(power, e, &fails);
            if (row.cut_at < 0 || i < row.cut_at) {
                EXPECT_EQ(granted, static_cast<long>(e.bytes)) << "event " << i;
                EXPECT_FALSE(fails) << "event " << i;
            } else if (i == row.cut_at) {
                EXPECT_EQ(granted, static_cast<long>(row.granted)) << "event " << i;
                EXPECT_TRUE(fails) << "event " << i;
            } else {
                EXPECT_EQ(granted, -1) << "event " << i << ": the power is off";
            }
        }
        EXPECT_EQ(power_is_off(power), row.cut_at >= 0);
    }
}

TEST(PowerCut, HappensOncePerRun) {
    Power power;
    power_arm(power, triggers({"power_cut_at=user-create:1"}));
    const DurableEvent create = event_of({Kind::user_create, "/user/a"});
    bool fails = false;
    EXPECT_EQ(power_draw(power, create, &fails), 0);
    EXPECT_TRUE(fails);
    power_restore(power);
    EXPECT_FALSE(power_is_off(power));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(power_draw(power, create, &fails), 0);
        EXPECT_FALSE(fails) << "the trigger is spent";
    }
}

class PowerBoard : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/boardsim-power.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        ASSERT_EQ(board_create(dir + "/b", "TESTSERIAL01", false), "");
        ASSERT_EQ(board_config_load(dir + "/b", cfg), "");
        ASSERT_TRUE(event_log_open(log, dir + "/events.log", 0, 1));
    }
    void TearDown() override {
        devices_close(dev);
        event_log_close(log);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void open_devices(const std::string& fault) {
        ASSERT_EQ(board_fault_set(cfg, fault), "");
        BoardFaults parsed;
        ASSERT_EQ(board_faults_parse(cfg, parsed), "");
        ASSERT_EQ(devices_open(dev, dir + "/b", cfg, parsed), "");
        power.log = &log;
        power_arm(power, parsed.power_cuts);
        dev.power = &power;
        dev.log = &log;
    }
    std::string log_text() {
        std::ifstream f(dir + "/events.log");
        std::stringstream all;
        all << f.rdbuf();
        return all.str();
    }
    std::string dir;
    BoardConfig cfg;
    EventLog log;
    Power power;
    BoardDevices dev;
};

TEST_F(PowerBoard, NvramCycleStopsAtTheByteOfTheCut) {
    open_devices("power_cut_at=nvram-write:3");
    const std::uint8_t open_ch0 = 0x01;
    ASSERT_EQ(i2c_write(dev, 0, kMuxAddr, &open_ch0, 1), 1);
    const std::uint8_t cycle[7] = {0x01, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_EQ(i2c_write(dev, 0, kEepromAddr, cycle, sizeof cycle), -EIO);
    devices_close(dev);
    std::vector<std::uint8_t> stored;
    ASSERT_EQ(board_nvram_read(dir + "/b", 0x100, 5, stored), "");
    EXPECT_EQ(stored, (std::vector<std::uint8_t>{0xA1, 0xA2, 0xFF, 0xFF, 0xFF}));
    const std::string text = log_text();
    EXPECT_NE(text.find("\"kind\":\"power-cut\",\"cause\":\"power_cut_at=nvram-write:3\",\"event\":\"nvram-write\","
                        "\"address\":\"0x102\"}"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\"address\":\"0x102\",\"value\""), std::string::npos) << "the cut byte is not logged as written";
}

TEST_F(PowerBoard, ErasedBlockKeepsItsDataWhenTheEraseIsCut) {
    open_devices("power_cut_at=flash-erase:2@mtd-kernel");
    const int p = devices_find_partition(dev, "kernel");
    const std::uint8_t zero[4] = {0, 0, 0, 0};
    ASSERT_EQ(flash_write(dev, p, 65536, zero, 4), 4);
    ASSERT_EQ(flash_erase(dev, p, 0, 65536), 0);
    EXPECT_EQ(flash_erase(dev, p, 65536, 65536), -EIO);
    EXPECT_EQ(flash_write(dev, p, 0, zero, 1), -EIO) << "no power, no writes";
    std::uint8_t got[4] = {};
    ASSERT_EQ(flash_read(dev, p, 65536, got, 4), 4);
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4), std::vector<std::uint8_t>(4, 0)) << "block 1 not erased";
    EXPECT_NE(log_text().find("\"event\":\"flash-erase\",\"partition\":\"kernel\",\"offset\":\"0x10000\"}"), std::string::npos);
}

}  // namespace
