// Runs inside the emulated board ("boardsim run"), on a board made with the
// clock frozen at 2031-02-03T04:05:06 and mtd-onie and i2c-1 missing. Checks
// the devices as a program sees them: Linux MTD and i2c-dev calls on the
// device files, plus the board's own world (busybox tools, /tmp, /user).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Fd {
    int fd;
    explicit Fd(const char* path, int flags = O_RDWR) : fd(::open(path, flags)) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
};

TEST(SandboxFlash, GeometryOfEveryPartitionAndMissingOnes) {
    struct Row { const char* dev; std::uint32_t size; };
    const Row rows[] = {{"/dev/mtd-uboot", 512 * 1024}, {"/dev/mtd-ubootenv", 128 * 1024},
                        {"/dev/mtd-devicetree", 256 * 1024}, {"/dev/mtd-kernel", 8 << 20},
                        {"/dev/mtd-rfs", 10 << 20}, {"/dev/mtd-rescue", 10 << 20}};
    for (const auto& r : rows) {
        Fd f(r.dev, O_RDWR | O_SYNC);
        ASSERT_GE(f.fd, 0) << r.dev;
        mtd_info_user info{};
        ASSERT_EQ(ioctl(f.fd, MEMGETINFO, &info), 0) << r.dev;
        EXPECT_EQ(info.size, r.size) << r.dev;
        EXPECT_EQ(info.erasesize, 65536u) << r.dev;
        EXPECT_EQ(info.type, MTD_NORFLASH) << r.dev;
    }
    for (const char* gone : {"/dev/mtd-onie", "/dev/i2c-1"}) {
        errno = 0;
        EXPECT_LT(::open(gone, O_RDWR), 0) << gone;
        EXPECT_EQ(errno, ENOENT) << gone;
    }
}

TEST(SandboxFlash, EraseAlignmentAndAccessMode) {
    Fd f("/dev/mtd-devicetree");
    ASSERT_GE(f.fd, 0);
    struct Row { std::uint32_t start, length; int err; };
    const Row rows[] = {{0, 65536, 0}, {512, 65536, EINVAL}, {0, 1024, EINVAL}, {196608, 131072, EINVAL}};
    for (const auto& r : rows) {
        erase_info_user e{r.start, r.length};
        errno = 0;
        int rc = ioctl(f.fd, MEMERASE, &e);
        EXPECT_EQ(rc == 0 ? 0 : errno, r.err) << r.start << "+" << r.length;
    }
    Fd ro("/dev/mtd-devicetree", O_RDONLY);
    erase_info_user e{0, 65536};
    errno = 0;
    EXPECT_LT(ioctl(ro.fd, MEMERASE, &e), 0);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_LT(ioctl(f.fd, 0x12345678, nullptr), 0) << "unknown requests are refused";
}

TEST(SandboxFlash, NorProgrammingThroughTheDevice) {
    Fd f("/dev/mtd-kernel", O_RDWR | O_SYNC);
    ASSERT_GE(f.fd, 0);
    erase_info_user e{65536, 65536};
    ASSERT_EQ(ioctl(f.fd, MEMERASE, &e), 0);
    const std::uint8_t a[2] = {0x0F, 0xF0}, b[2] = {0xFF, 0x33};
    ASSERT_EQ(pwrite(f.fd, a, 2, 65536 + 10), 2);
    ASSERT_EQ(pwrite(f.fd, b, 2, 65536 + 10), 2);
    std::uint8_t got[4] = {};
    ASSERT_EQ(pread(f.fd, got, 4, 65536 + 9), 4);
    EXPECT_EQ(got[0], 0xFF);
    EXPECT_EQ(got[1], 0x0F);
    EXPECT_EQ(got[2], 0x30);
    EXPECT_EQ(got[3], 0xFF);
    // Large reads come back whole (bootmgr reads 8192 bytes of environment).
    std::vector<std::uint8_t> big(8192);
    Fd env("/dev/mtd-ubootenv");
    EXPECT_EQ(pread(env.fd, big.data(), big.size(), 4), 8192);
    EXPECT_EQ(big[0], 0) << "a fresh board's environment is empty";
}

std::string event_log() {
    std::ifstream log("/run/boardsim/events.log");
    std::stringstream all;
    all << log.rdbuf();
    return all.str();
}

TEST(SandboxFlash, WritesAreRecordedInTheEventLog) {
    Fd f("/dev/mtd-rescue");
    const std::uint8_t z = 0;
    ASSERT_EQ(pwrite(f.fd, &z, 1, 12345), 1);
    EXPECT_NE(event_log().find("\"kind\":\"flash-write\",\"partition\":\"rescue\",\"offset\":\"0x3039\",\"length\":1"),
              std::string::npos);
}

int select_addr(int fd, long addr) { return ioctl(fd, I2C_SLAVE, addr); }

TEST(SandboxI2c, AddressBelongsToEachOpenFile) {
    Fd ctl("/dev/i2c-0"), mux("/dev/i2c-0");
    ASSERT_GE(ctl.fd, 0);
    ASSERT_EQ(select_addr(ctl.fd, 0x58), 0);
    ASSERT_EQ(select_addr(mux.fd, 0x71), 0);
    const std::uint8_t led[2] = {0x11, 0x40};
    ASSERT_EQ(::write(ctl.fd, led, 2), 2);
    const std::uint8_t close_all = 0x00;
    ASSERT_EQ(::write(mux.fd, &close_all, 1), 1);
    const std::uint8_t reg = 0x11;
    std::uint8_t v = 0;
    ASSERT_EQ(::write(ctl.fd, &reg, 1), 1);
    ASSERT_EQ(::read(ctl.fd, &v, 1), 1);
    EXPECT_EQ(v, 0x40) << "the mux write went to its own file's address";
    EXPECT_NE(event_log().find("\"kind\":\"led\",\"value\":64}"), std::string::npos);
}

TEST(SandboxI2c, AbsentAddressesAndBadAddresses) {
    Fd bus0("/dev/i2c-0"), bus2("/dev/i2c-2");
    struct Row { int fd; long addr; };
    const Row rows[] = {{bus0.fd, 0x50}, {bus0.fd, 0x68}, {bus2.fd, 0x71}, {bus0.fd, 0x52} /* mux closed */};
    for (const auto& r : rows) {
        ASSERT_EQ(select_addr(r.fd, r.addr), 0) << "selecting always succeeds";
        std::uint8_t b = 0;
        errno = 0;
        EXPECT_LT(::read(r.fd, &b, 1), 0) << r.addr;
        EXPECT_EQ(errno, ENXIO) << r.addr;
        errno = 0;
        EXPECT_LT(::write(r.fd, &b, 1), 0) << r.addr;
        EXPECT_EQ(errno, ENXIO) << r.addr;
    }
    errno = 0;
    EXPECT_LT(select_addr(bus0.fd, 0x80), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SandboxI2c, EepromBehindTheMuxIsBusyAfterAWrite) {
    Fd mux("/dev/i2c-0"), rom("/dev/i2c-0");
    ASSERT_EQ(select_addr(mux.fd, 0x71), 0);
    ASSERT_EQ(select_addr(rom.fd, 0x52), 0);
    const std::uint8_t ch0 = 0x01;
    ASSERT_EQ(::write(mux.fd, &ch0, 1), 1);
    const std::uint8_t w[3] = {0x02, 0x00, 0x5A};
    ASSERT_EQ(::write(rom.fd, w, 3), 3);
    errno = 0;
    EXPECT_LT(::write(rom.fd, w, 2), 0) << "no answer during the write cycle";
    EXPECT_EQ(errno, ENXIO);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(::write(rom.fd, w, 2), 2);
    std::uint8_t v = 0;
    ASSERT_EQ(::read(rom.fd, &v, 1), 1);
    EXPECT_EQ(v, 0x5A);
    const std::uint8_t serial_at[2] = {0x00, 0x0D};
    ASSERT_EQ(::write(rom.fd, serial_at, 2), 2);
    char serial[12];
    ASSERT_EQ(::read(rom.fd, serial, 12), 12);
    EXPECT_EQ(std::string(serial, 12), "SIM000000001");
    const std::uint8_t none = 0x00;
    ASSERT_EQ(::write(mux.fd, &none, 1), 1);
    EXPECT_NE(event_log().find("\"kind\":\"nvram-write\",\"address\":\"0x200\",\"value\":90}"), std::string::npos);
}

TEST(SandboxI2c, FrozenClockReadsAsBcd) {
    Fd bus2("/dev/i2c-2");
    ASSERT_EQ(select_addr(bus2.fd, 0x68), 0);
    const std::uint8_t zero = 0;
    std::uint8_t regs[7] = {};
    ASSERT_EQ(::write(bus2.fd, &zero, 1), 1);
    ASSERT_EQ(::read(bus2.fd, regs, 7), 7);
    const std::uint8_t want[7] = {0x06, 0x05, 0x04, 0x02, 0x03, 0x02, 0x31};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(regs[i], want[i]) << "register " << i;
}

TEST(SandboxWorld, BoardToolsAndDirectories) {
    EXPECT_STREQ(std::getenv("PATH"), "/bin:/sbin:/usr/bin:/usr/sbin");
    char link[256] = {};
    ASSERT_GT(readlink("/bin/sh", link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "/usr/bin/busybox");
    EXPECT_EQ(access("/sbin/reboot", X_OK), 0);
    EXPECT_EQ(access("/bin/backtrace", X_OK), 0);
    EXPECT_EQ(access("/tmp/usb", F_OK), -1) << "no stick on a fresh board";
    std::ofstream("/user/probe") << "x";
    EXPECT_EQ(access("/user/probe", F_OK), 0);
    EXPECT_EQ(std::system("mount -t ubifs -o compr=none -o sync ubi0:user /user"), 0);
    EXPECT_EQ(access("/user/probe", F_OK), 0) << "mounting /user keeps its files";
    EXPECT_EQ(std::system("flash_eraseall /dev/mtd-user-char >/dev/null"), 0);
    EXPECT_EQ(access("/user/probe", F_OK), -1) << "erasing the user partition empties /user";
}

}  // namespace
