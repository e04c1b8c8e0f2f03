// The boot-loader environment as the reader takes it from its partition:
// 8192 bytes from byte 4 on, whatever they hold (erased flash, random bytes,
// text without a single NUL or terminator), NULs read as blanks, nothing
// read before byte 4 or after byte 4 + 8192. Under the asan preset these
// cases also prove that no flag search runs past the text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "board/mtd.h"
#include "boot/settings.h"

namespace {

constexpr std::size_t kTextAt = 4;

struct PartitionCase {
    const char* name;
    std::vector<std::uint8_t> bytes;  // from byte 0 of the partition; the rest is 0xFF
    int gdb, gdbport, shell, lowsec;
};

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// `text` placed so that it ends exactly at the last byte the reader takes.
std::vector<std::uint8_t> ending_at_limit(const std::string& text, char fill) {
    std::string s(kTextAt + BOOTENV_TEXT_LEN - text.size(), fill);
    return bytes_of(s + text);
}

std::vector<std::uint8_t> random_bytes() {
    std::mt19937 gen(20240611);
    std::vector<std::uint8_t> b(kTextAt + BOOTENV_TEXT_LEN);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

std::vector<PartitionCase> cases() {
    const std::string past_limit = std::string(kTextAt + BOOTENV_TEXT_LEN, 'x') + " shell=on ";
    return {
        {"erased", {}, 0, 1234, 0, 0},
        {"random bytes", random_bytes(), 0, 1234, 0, 0},
        {"entries separated by NULs", bytes_of(std::string("\1\2\3\4bootcmd=run x\0gdb=on\0shell=on\0\0", 35)),
         1, 1234, 1, 0},
        {"8192 bytes without a NUL, a flag in the last bytes", ending_at_limit(" shell=on", 'x'), 0,
         1234, 1, 0},
        {"8192 bytes without a NUL, gdbport ending at the last byte",
         ending_at_limit(" gdbport=4321", 'y'), 0, 4321, 0, 0},
        {"a value cut by the end of the text", ending_at_limit(" lowsec=authoris", 'z'), 0, 1234, 0,
         0},
        {"a flag after the 8192 bytes is not read", bytes_of(past_limit), 0, 1234, 0, 0},
        {"the four checksum bytes are not text", bytes_of("gdb=on shell=off "), 0, 1234, 0, 0},
        {"a NUL between name and value", bytes_of(std::string("\0\0\0\0shell=\0on ", 14)), 0, 1234, 0,
         0},
    };
}

class BootEnvPartition : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mtd_open_all(); }
};

TEST_F(BootEnvPartition, FlagsFromWhatThePartitionHolds) {
    for (const PartitionCase& c : cases()) {
        std::vector<std::uint8_t> image(kTextAt + BOOTENV_TEXT_LEN + 64, 0xFF);
        ASSERT_LE(c.bytes.size(), image.size()) << c.name;
        std::copy(c.bytes.begin(), c.bytes.end(), image.begin());
        ASSERT_EQ(mtd_write_partition(image.data(), mtd_handle(MTD_UBOOTENV), 0,
                                      static_cast<std::uint32_t>(image.size()), false),
                  0)
            << c.name;

        g_boot_settings.gdb = 0;
        g_boot_settings.gdbport = 1234;
        g_boot_settings.shell = 0;
        g_boot_settings.lowsecAuthorised = 0;
        read_bootloader_env();
        EXPECT_EQ(g_boot_settings.gdb, c.gdb) << c.name;
        EXPECT_EQ(g_boot_settings.gdbport, c.gdbport) << c.name;
        EXPECT_EQ(g_boot_settings.shell, c.shell) << c.name;
        EXPECT_EQ(g_boot_settings.lowsecAuthorised, c.lowsec) << c.name;
    }
}

}  // namespace
