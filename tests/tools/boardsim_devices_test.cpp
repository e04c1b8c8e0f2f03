// The emulated board's device models and board files, exercised directly
// (no FUSE, no sandbox): flash, I2C devices, environment block, board.conf.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/board_store.h"
#include "tools/boardsim/devices/devices.h"
#include "tools/boardsim/boarddir/env_block.h"

namespace {

namespace fs = std::filesystem;

std::int64_t g_fake_now = 0;
std::int64_t fake_now() { return g_fake_now; }
std::int64_t g_fake_wall = 0;
std::int64_t fake_wall() { return g_fake_wall; }

class Board : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/boardsim-test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        ASSERT_EQ(board_create(dir + "/b", "TESTSERIAL01", false), "");
        ASSERT_EQ(board_config_load(dir + "/b", cfg), "");
    }
    void TearDown() override {
        devices_close(dev);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void open_devices(const std::vector<std::string>& faults = {}) {
        for (const auto& f : faults) ASSERT_EQ(board_fault_set(cfg, f), "");
        BoardFaults parsed;
        ASSERT_EQ(board_faults_parse(cfg, parsed), "");
        ASSERT_EQ(devices_open(dev, dir + "/b", cfg, parsed), "");
        power_arm(power, parsed.power_cuts);
        dev.power = &power;
        dev.now_ns = fake_now;
        dev.wall_seconds = fake_wall;
        g_fake_now = 1'000'000'000;
    }
    int part(const char* name) { return devices_find_partition(dev, name); }
    std::vector<std::uint8_t> read(int p, std::uint64_t off, std::size_t n) {
        std::vector<std::uint8_t> b(n, 0xAA);
        long got = flash_read(dev, p, off, b.data(), n);
        EXPECT_EQ(got, static_cast<long>(n));
        return b;
    }
    std::string dir;
    BoardConfig cfg;
    Power power;
    BoardDevices dev;
};

// --- flash ---

TEST_F(Board, GeometryMatchesTheBoard) {
    open_devices();
    struct Row { const char* name; std::uint32_t size; };
    const Row rows[] = {{"uboot", 512 * 1024}, {"ubootenv", 128 * 1024}, {"devicetree", 256 * 1024},
                        {"kernel", 8 << 20}, {"rfs", 10 << 20}, {"rescue", 10 << 20}, {"onie", 1 << 20}};
    for (const auto& r : rows) {
        int p = part(r.name);
        ASSERT_GE(p, 0) << r.name;
        FlashInfo info = flash_info(dev, p);
        EXPECT_EQ(info.size, r.size) << r.name;
        EXPECT_EQ(info.erasesize, 65536u) << r.name;
        EXPECT_EQ(info.type, 3) << "NOR flash";
    }
}

TEST_F(Board, EraseRejectsWhatTheMtdLayerRejects) {
    open_devices();
    int p = part("devicetree");  // 256 KiB
    struct Row { std::uint32_t start, length; int rc; };
    const Row rows[] = {
        {0, 65536, 0},           {65536, 131072, 0},      {0, 0, 0},
        {1, 65536, -EINVAL},     {0, 65535, -EINVAL},     {0, 65537, -EINVAL},
        {196608, 131072, -EINVAL} /* past the end */,     {262144, 65536, -EINVAL},
        {0xFFFF0000u, 0x20000, -EINVAL} /* start + length wraps */,
    };
    for (const auto& r : rows)
        EXPECT_EQ(flash_erase(dev, p, r.start, r.length), r.rc) << r.start << "+" << r.length;
}

TEST_F(Board, ProgrammingOnlyClearsBitsUntilErased) {
    open_devices();
    int p = part("kernel");
    const std::uint8_t first[4] = {0xF0, 0x0F, 0xAA, 0x00};
    const std::uint8_t second[4] = {0x3C, 0xFF, 0x55, 0xFF};
    ASSERT_EQ(flash_write(dev, p, 100, first, 4), 4);
    ASSERT_EQ(flash_write(dev, p, 100, second, 4), 4);
    EXPECT_EQ(read(p, 100, 4), (std::vector<std::uint8_t>{0x30, 0x0F, 0x00, 0x00}));
    EXPECT_EQ(read(p, 99, 1)[0], 0xFF) << "neighbour untouched";
    ASSERT_EQ(flash_erase(dev, p, 0, 65536), 0);
    EXPECT_EQ(read(p, 100, 4), (std::vector<std::uint8_t>(4, 0xFF)));
    ASSERT_EQ(flash_write(dev, p, 100, second, 4), 4);
    EXPECT_EQ(read(p, 100, 4), (std::vector<std::uint8_t>(second, second + 4)));
}

TEST_F(Board, ReadsAndWritesAreClippedAtTheEnd) {
    open_devices();
    int p = part("onie");  // 1 MiB
    const std::uint64_t size = 1 << 20;
    std::uint8_t buf[32];
    std::memset(buf, 0, sizeof buf);
    struct Row { std::uint64_t off; std::size_t len; long read_rc, write_rc; };
    const Row rows[] = {
        {size - 16, 32, 16, 16}, {size, 8, 0, -ENOSPC}, {size + 5, 8, 0, -ENOSPC}, {0, 0, 0, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(flash_read(dev, p, r.off, buf, r.len), r.read_rc) << r.off;
        EXPECT_EQ(flash_write(dev, p, r.off, buf, r.len), r.write_rc) << r.off;
    }
}

TEST_F(Board, FaultsHitOnlyTheirBlockAndOperation) {
    open_devices({"flash.rfs.read=2", "flash.rfs.erase=3", "flash.rfs.write=4,6"});
    int p = part("rfs");
    const std::uint32_t eb = 65536;
    std::vector<std::uint8_t> buf(2 * eb, 0);
    struct Row { const char* op; std::uint64_t off; std::size_t len; bool fails; };
    const Row rows[] = {
        {"read", 1 * eb, eb, false}, {"read", 2 * eb + 10, 1, true}, {"read", 1 * eb + 1, eb, true},
        {"erase", 2 * eb, eb, false}, {"erase", 3 * eb, eb, true}, {"erase", 2 * eb, 2 * eb, true},
        {"write", 3 * eb, eb, false}, {"write", 4 * eb + 1023, 1, true}, {"write", 5 * eb, 2 * eb, true},
        {"write", 5 * eb, eb, false},
    };
    for (const auto& r : rows) {
        long rc = 0;
        if (std::strcmp(r.op, "read") == 0) rc = flash_read(dev, p, r.off, buf.data(), r.len);
        else if (std::strcmp(r.op, "erase") == 0) rc = flash_erase(dev, p, static_cast<std::uint32_t>(r.off), static_cast<std::uint32_t>(r.len));
        else rc = flash_write(dev, p, r.off, buf.data(), r.len);
        if (r.fails) {
            EXPECT_EQ(rc, -EIO) << r.op << " " << r.off;
        } else {
            EXPECT_GE(rc, 0) << r.op << " " << r.off;
        }
    }
    // Another partition is not affected.
    EXPECT_EQ(flash_read(dev, part("rescue"), 2 * eb, buf.data(), 16), 16);
}

int g_cuts = 0;
void count_cut(void*) { ++g_cuts; }

TEST_F(Board, PowerCutStopsAfterTheBudgetAndKeepsWhatWasWritten) {
    open_devices({"power_cut_after=1500"});
    g_cuts = 0;
    power.on_cut = count_cut;
    int p = part("kernel");
    std::vector<std::uint8_t> zeros(1024, 0);
    EXPECT_EQ(flash_write(dev, p, 0, zeros.data(), 1024), 1024);
    EXPECT_EQ(flash_write(dev, p, 1024, zeros.data(), 1024), -EIO);
    EXPECT_EQ(g_cuts, 1);
    auto got = read(p, 1400, 200);
    EXPECT_EQ(got[99], 0x00) << "byte 1499 written before the cut";
    EXPECT_EQ(got[100], 0xFF) << "byte 1500 never written";
    EXPECT_EQ(flash_write(dev, p, 4096, zeros.data(), 1), -EIO) << "no power, no writes";
    EXPECT_EQ(flash_erase(dev, p, 0, 65536), -EIO);
    EXPECT_EQ(g_cuts, 1);
}

TEST_F(Board, FlashContentsPersistInTheBoardFiles) {
    open_devices();
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(flash_write(dev, part("uboot"), 65536 + 7, data, 3), 3);
    devices_close(dev);
    std::ifstream f(board_flash_path(dir + "/b", "uboot"), std::ios::binary);
    f.seekg(65536 + 7);
    char got[3];
    f.read(got, 3);
    EXPECT_EQ(std::memcmp(got, data, 3), 0);
}

// --- I2C ---

TEST_F(Board, AddressesAnswerOnlyWhereADeviceSits) {
    open_devices();
    std::uint8_t b[2] = {0, 0};
    struct Row { int bus, addr; long rc; };
    const Row rows[] = {
        {0, kMuxAddr, 1}, {0, kBoardCtlAddr, 1}, {0, kEepromAddr, -ENXIO} /* mux closed */,
        {0, kRtcAddr, -ENXIO}, {2, kRtcAddr, 1}, {1, kRtcAddr, -ENXIO}, {1, kMuxAddr, -ENXIO},
        {2, kEepromAddr, -ENXIO}, {0, -1, -ENXIO} /* no address set */, {0, 0x50, -ENXIO},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(i2c_read(dev, r.bus, r.addr, b, 1), r.rc) << r.bus << "/" << r.addr;
        EXPECT_EQ(i2c_write(dev, r.bus, r.addr, b, 1), r.rc) << r.bus << "/" << r.addr;
    }
}

TEST_F(Board, MuxChannelZeroConnectsTheEeprom) {
    open_devices();
    const std::uint8_t ptr[2] = {0x00, 0x0D};
    std::uint8_t serial[12];
    struct Row { std::uint8_t mask; bool visible; };
    const Row rows[] = {{0x01, true}, {0x00, false}, {0x02, false}, {0x03, true}, {0xFE, false}};
    for (const auto& r : rows) {
        ASSERT_EQ(i2c_write(dev, 0, kMuxAddr, &r.mask, 1), 1);
        std::uint8_t back = 0;
        ASSERT_EQ(i2c_read(dev, 0, kMuxAddr, &back, 1), 1);
        EXPECT_EQ(back, r.mask);
        long rc = i2c_write(dev, 0, kEepromAddr, ptr, 2);
        EXPECT_EQ(rc, r.visible ? 2 : -ENXIO) << int(r.mask);
        if (r.visible) {
            ASSERT_EQ(i2c_read(dev, 0, kEepromAddr, serial, 12), 12);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(serial), 12), "TESTSERIAL01");
        }
    }
}

TEST_F(Board, EepromWriteCycleIsBusyThenVisibleAndLogged) {
    open_devices();
    const std::uint8_t open_ch0 = 0x01;
    ASSERT_EQ(i2c_write(dev, 0, kMuxAddr, &open_ch0, 1), 1);
    const std::uint8_t w[3] = {0x01, 0x00, 0x02};
    ASSERT_EQ(i2c_write(dev, 0, kEepromAddr, w, 3), 3);
    const std::uint8_t ptr[2] = {0x01, 0x00};
    g_fake_now += kEepromBusyNs - 1;
    EXPECT_EQ(i2c_write(dev, 0, kEepromAddr, ptr, 2), -ENXIO) << "still in its write cycle";
    std::uint8_t v = 0;
    EXPECT_EQ(i2c_read(dev, 0, kEepromAddr, &v, 1), -ENXIO);
    g_fake_now += 1;
    ASSERT_EQ(i2c_write(dev, 0, kEepromAddr, ptr, 2), 2);
    ASSERT_EQ(i2c_read(dev, 0, kEepromAddr, &v, 1), 1);
    EXPECT_EQ(v, 0x02);
    std::vector<std::uint8_t> stored;
    devices_close(dev);
    ASSERT_EQ(board_nvram_read(dir + "/b", 0x100, 2, stored), "");
    EXPECT_EQ(stored, (std::vector<std::uint8_t>{0x02, 0xFF}));
}

TEST_F(Board, EepromPageWriteWrapsAndSequentialReadRunsOn) {
    open_devices();
    const std::uint8_t open_ch0 = 0x01;
    ASSERT_EQ(i2c_write(dev, 0, kMuxAddr, &open_ch0, 1), 1);
    // Three bytes from 0x017F: the page ends at 0x017F, so the rest wraps to 0x0100.
    const std::uint8_t w[5] = {0x01, 0x7F, 0xA1, 0xA2, 0xA3};
    ASSERT_EQ(i2c_write(dev, 0, kEepromAddr, w, 5), 5);
    g_fake_now += kEepromBusyNs;
    const std::uint8_t ptr[2] = {0x01, 0x7E};
    ASSERT_EQ(i2c_write(dev, 0, kEepromAddr, ptr, 2), 2);
    std::uint8_t got[4];
    ASSERT_EQ(i2c_read(dev, 0, kEepromAddr, got, 4), 4);
    EXPECT_EQ(got[0], 0xFF);
    EXPECT_EQ(got[1], 0xA1);
    EXPECT_EQ(got[2], 0xFF) << "0x0180 is in the next page, untouched";
    const std::uint8_t ptr2[2] = {0x01, 0x00};
    ASSERT_EQ(i2c_write(dev, 0, kEepromAddr, ptr2, 2), 2);
    ASSERT_EQ(i2c_read(dev, 0, kEepromAddr, got, 2), 2);
    EXPECT_EQ(got[0], 0xA2);
    EXPECT_EQ(got[1], 0xA3);
}

TEST_F(Board, BoardControlRegistersAndLed) {
    cfg.led_reg = 0xFF;
    open_devices();
    const std::uint8_t sel = kLedRegister;
    std::uint8_t v = 0;
    ASSERT_EQ(i2c_write(dev, 0, kBoardCtlAddr, &sel, 1), 1);
    ASSERT_EQ(i2c_read(dev, 0, kBoardCtlAddr, &v, 1), 1);
    EXPECT_EQ(v, 0xFF) << "power-on value from board.conf";
    const std::uint8_t w[2] = {kLedRegister, 0x7F};
    ASSERT_EQ(i2c_write(dev, 0, kBoardCtlAddr, w, 2), 2);
    ASSERT_EQ(i2c_write(dev, 0, kBoardCtlAddr, &sel, 1), 1);
    ASSERT_EQ(i2c_read(dev, 0, kBoardCtlAddr, &v, 1), 1);
    EXPECT_EQ(v, 0x7F);
}

TEST_F(Board, I2cFaultsByBusAndDevice) {
    open_devices({"i2c.2=error", "i2c.0.58=nack"});
    std::uint8_t b = 0;
    EXPECT_EQ(i2c_read(dev, 2, kRtcAddr, &b, 1), -EIO);
    EXPECT_EQ(i2c_write(dev, 0, kBoardCtlAddr, &b, 1), -ENXIO);
    EXPECT_EQ(i2c_write(dev, 0, kMuxAddr, &b, 1), 1) << "other devices on bus 0 still answer";
}

TEST(RtcRegisters, BcdFromEpoch) {
    struct Row { std::int64_t epoch; std::uint8_t regs[7]; };
    const Row rows[] = {
        {946684800, {0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00}},   // 2000-01-01 00:00:00, Saturday
        {1709251199, {0x59, 0x59, 0x23, 0x05, 0x29, 0x02, 0x24}},  // 2024-02-29 23:59:59, Thursday
        {4102444799, {0x59, 0x59, 0x23, 0x05, 0x31, 0x12, 0x99}},  // 2099-12-31 23:59:59, Thursday
        {1927857906, {0x06, 0x05, 0x04, 0x02, 0x03, 0x02, 0x31}},  // 2031-02-03 04:05:06, Monday
    };
    for (const auto& r : rows) {
        std::uint8_t regs[7];
        rtc_registers(r.epoch, regs);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(regs[i], r.regs[i]) << r.epoch << " register " << i;
    }
}

TEST_F(Board, RtcFollowsFrozenTimeAndAcceptsWrites) {
    cfg.clock_frozen = 1709251199;  // 2024-02-29 23:59:59
    open_devices();
    const std::uint8_t zero = 0;
    std::uint8_t regs[7];
    ASSERT_EQ(i2c_write(dev, 2, kRtcAddr, &zero, 1), 1);
    ASSERT_EQ(i2c_read(dev, 2, kRtcAddr, regs, 7), 7);
    EXPECT_EQ(regs[0], 0x59);
    EXPECT_EQ(regs[4], 0x29);
    EXPECT_EQ(regs[5], 0x02);
    // Setting the minutes register moves the clock.
    const std::uint8_t set_min[2] = {1, 0x15};
    ASSERT_EQ(i2c_write(dev, 2, kRtcAddr, set_min, 2), 2);
    const std::uint8_t one = 1;
    ASSERT_EQ(i2c_write(dev, 2, kRtcAddr, &one, 1), 1);
    std::uint8_t m = 0;
    ASSERT_EQ(i2c_read(dev, 2, kRtcAddr, &m, 1), 1);
    EXPECT_EQ(m, 0x15);
}

TEST_F(Board, RtcRunsFromHostClockPlusOffset) {
    cfg.clock_offset = 3600;
    open_devices();
    g_fake_wall = 946684800;  // host says 2000-01-01 00:00:00
    const std::uint8_t two = 2;
    std::uint8_t hours = 0xEE;
    ASSERT_EQ(i2c_write(dev, 2, kRtcAddr, &two, 1), 1);
    ASSERT_EQ(i2c_read(dev, 2, kRtcAddr, &hours, 1), 1);
    EXPECT_EQ(hours, 0x01);
}

// --- environment block ---

TEST(EnvBlock, CrcMatchesTheStandardCheckValue) {
    const std::string s = "123456789";
    EXPECT_EQ(crc32_ieee({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}), 0xCBF43926u);
    EXPECT_EQ(crc32_ieee({}), 0u);
}

TEST(EnvBlock, RoundTripAndLayout) {
    std::vector<std::uint8_t> block;
    const EnvEntries in{{"gdb", "on"}, {"bootargs", "console=ttyS0,9600 root=/dev/x"}, {"empty", ""}};
    ASSERT_TRUE(env_encode(in, 64, block));
    ASSERT_EQ(block.size(), 64u);
    const std::string text(block.begin() + 4, block.begin() + 4 + 7);
    EXPECT_EQ(text, std::string("gdb=on\0", 7));
    EnvEntries out;
    bool crc_ok = false, malformed = true;
    ASSERT_TRUE(env_decode(block, out, crc_ok, malformed));
    EXPECT_TRUE(crc_ok);
    EXPECT_FALSE(malformed);
    EXPECT_EQ(out, in);
    block[20] ^= 1;
    ASSERT_TRUE(env_decode(block, out, crc_ok, malformed));
    EXPECT_FALSE(crc_ok);
}

TEST(EnvBlock, EncodeRefusesWhatCannotBeStored) {
    std::vector<std::uint8_t> block{1, 2, 3};
    struct Row { EnvEntries entries; std::size_t size; bool ok; };
    const Row rows[] = {
        {{}, 6, true},
        {{{"a", "b"}}, 9, true},                 // 4 + "a=b\0" + final NUL
        {{{"a", "bc"}}, 9, false},               // one byte short
        {{{"", "x"}}, 64, false},
        {{{"a=b", "x"}}, 64, false},
        {{{"a", std::string("x\0y", 3)}}, 64, false},
        {{}, 5, false},
    };
    for (const auto& r : rows) {
        std::vector<std::uint8_t> out = block;
        EXPECT_EQ(env_encode(r.entries, r.size, out), r.ok) << r.size;
        if (!r.ok) {
            EXPECT_EQ(out, block) << "untouched on failure";
        }
    }
}

TEST(EnvBlock, ErasedBlockDecodesAsBadCrcWithoutOverrun) {
    std::vector<std::uint8_t> erased(256, 0xFF);
    EnvEntries out;
    bool crc_ok = true, malformed = false;
    ASSERT_TRUE(env_decode(erased, out, crc_ok, malformed));
    EXPECT_FALSE(crc_ok);
    EXPECT_TRUE(malformed) << "an entry running to the end of the block";
}

TEST(EnvBlock, SetReplacesInPlaceAndUnsetRemovesAll) {
    EnvEntries e{{"a", "1"}, {"b", "2"}, {"a", "3"}};
    env_set(e, "a", "9");
    EXPECT_EQ(e, (EnvEntries{{"a", "9"}, {"b", "2"}}));
    env_set(e, "c", "4");
    EXPECT_EQ(e.back(), (std::pair<std::string, std::string>{"c", "4"}));
    EXPECT_TRUE(env_unset(e, "b"));
    EXPECT_FALSE(env_unset(e, "b"));
    EXPECT_EQ(e, (EnvEntries{{"a", "9"}, {"c", "4"}}));
}

// --- board.conf ---

TEST_F(Board, FaultEntriesAreCheckedBeforeTheyAreKept) {
    struct Row { const char* entry; bool ok; };
    const Row rows[] = {
        {"flash.kernel.write=3", true}, {"fault.flash.rfs.erase=0,2", true}, {"flash.nosuch.read=1", false},
        {"flash.kernel.program=1", false}, {"flash.kernel.read=-1", false}, {"i2c.0.52=nack", true},
        {"i2c.3=error", false}, {"i2c.0.80=nack", false}, {"i2c.1=maybe", false},
        {"missing=i2c-1,mtd-onie", true}, {"missing=mtd-user", false}, {"power_cut_after=4096", true},
        {"power_cut_after=lots", false}, {"noequals", false}, {"colour=blue", false},
        {"power_cut_after=5@nvram", true}, {"power_cut_after=5@/user", true}, {"power_cut_after=5@/user/images/", true},
        {"power_cut_after=5@/usr", false}, {"power_cut_after=5@/user/a/../b", false}, {"power_cut_after=5@/user//a", false},
        {"power_cut_after=5@mtd-nosuch", false}, {"power_cut_after=5@nvram:10000", false}, {"power_cut_after=@nvram", false},
        {"power_cut_at=nvram-write:1@nvram:100", true}, {"power_cut_at=flash-erase:2@mtd-kernel", true},
        {"power_cut_at=user-rename:1@/user/production_key.pub.pem", true}, {"power_cut_at=nvram-write:0", false},
        {"power_cut_at=user-write:1@mtd-kernel", false}, {"power_cut_at=flash-write:1@/user/a", false},
        {"power_cut_at=frob:1", false}, {"power_cut_at=user-rename", false}, {"power_cut_at=user-rename:x", false},
    };
    for (const auto& r : rows) {
        BoardConfig c = cfg;
        EXPECT_EQ(board_fault_set(c, r.entry).empty(), r.ok) << r.entry;
    }
}

TEST_F(Board, ConfigSurvivesSaveAndLoadWithUnknownKeys) {
    cfg.clock_offset = -42;
    cfg.clock_frozen = 1234567890;
    cfg.usb_inserted = true;
    cfg.usb_mount_after = 12.5;
    cfg.entries["future.key"] = "kept";
    ASSERT_EQ(board_fault_set(cfg, "flash.kernel.write=3"), "");
    ASSERT_EQ(board_config_save(dir + "/b", cfg), "");
    BoardConfig back;
    ASSERT_EQ(board_config_load(dir + "/b", back), "");
    EXPECT_EQ(back.clock_offset, -42);
    ASSERT_TRUE(back.clock_frozen.has_value());
    EXPECT_EQ(*back.clock_frozen, 1234567890);
    EXPECT_TRUE(back.usb_inserted);
    EXPECT_EQ(back.usb_mount_after, 12.5);
    EXPECT_EQ(back.entries["future.key"], "kept");
    EXPECT_EQ(back.entries["fault.flash.kernel.write"], "3");
    EXPECT_EQ(back.partitions.size(), 7u);
}

TEST_F(Board, BadConfigIsRefusedWithAReason) {
    struct Row { const char* line; };
    const Row rows[] = {{"erase_size=1000"}, {"part.kernel=1000"}, {"clock_offset=soon"}, {"usb=maybe"},
                        {"just text"}, {"fault.i2c.9=error"}, {"usb_mount_after=-1"}, {"usb_mount_after=3601"},
                        {"usb_mount_after=nan"}, {"usb_mount_after=2s"}};
    for (const auto& r : rows) {
        std::ofstream(dir + "/b/board.conf", std::ios::app) << r.line << "\n";
        BoardConfig c;
        EXPECT_NE(board_config_load(dir + "/b", c), "") << r.line;
        ASSERT_EQ(board_config_save(dir + "/b", cfg), "");
    }
}

TEST_F(Board, NewBoardRefusesToOverwriteUnlessForced) {
    EXPECT_NE(board_create(dir + "/b", "TESTSERIAL01", false), "");
    std::ofstream(dir + "/b/user/file") << "x";
    EXPECT_EQ(board_create(dir + "/b", "OTHERSERIAL2", true), "");
    EXPECT_FALSE(fs::exists(dir + "/b/user/file"));
    std::vector<std::uint8_t> serial;
    ASSERT_EQ(board_nvram_read(dir + "/b", kSerialAddress, 12, serial), "");
    EXPECT_EQ(std::string(serial.begin(), serial.end()), "OTHERSERIAL2");
    struct Row { const char* serial; };
    for (const Row& r : {Row{"SHORT"}, Row{"THIRTEENCHARS"}, Row{"WITH SPACE12"}})
        EXPECT_NE(board_create(dir + "/c", r.serial, false), "") << r.serial;
}

TEST_F(Board, UsbFilesAreListedWithSizeAndMd5) {
    fs::create_directories(dir + "/b/usb/sub");
    std::ofstream(dir + "/b/usb/b.img") << "abc";
    std::ofstream(dir + "/b/usb/a.img");
    std::ofstream(dir + "/b/usb/sub/c") << std::string(100000, 'x');
    std::vector<UsbFile> files;
    ASSERT_EQ(board_usb_files(dir + "/b", files), "");
    ASSERT_EQ(files.size(), 3u);
    struct Row { const char* path; std::uint64_t size; const char* md5; };
    const Row rows[] = {{"a.img", 0, "d41d8cd98f00b204e9800998ecf8427e"},  // RFC 1321 test suite
                        {"b.img", 3, "900150983cd24fb0d6963f7d28e17f72"},
                        {"sub/c", 100000, "d5816f35916d1d9482fb0f1ec201101d"}};  // more than one read
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(files[i].path, rows[i].path);
        EXPECT_EQ(files[i].size, rows[i].size) << rows[i].path;
        EXPECT_EQ(files[i].md5, rows[i].md5) << rows[i].path;
    }
}

TEST_F(Board, NvramRangeIsChecked) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(board_nvram_read(dir + "/b", 0xFFFF, 1, out), "");
    EXPECT_NE(board_nvram_read(dir + "/b", 0xFFFF, 2, out), "");
    EXPECT_NE(board_nvram_write(dir + "/b", 0x10000, {1}), "");
}

}  // namespace
