// Install-log lines and the file writer's percentage display.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/file_writer.h"
#include "image/install_log.h"

namespace {

TEST(InstallLog, LineFromClockRegisters) {
    // 09:47:05 on 7 December 2026; the flag bits of the clock are masked.
    const std::uint8_t clock[7] = {0x80 | 0x05, 0x47, 0x40 | 0x09, 0x01, 0x07, 0x12, 0x26};
    EXPECT_EQ(install_log_line("/mnt/usb/NPX7710_OS.img", "USB", clock),
              "File /mnt/usb/NPX7710_OS.img installed from USB at 09:47:05 on 7-12-2026\n");
    const std::uint8_t newyear[7] = {0x00, 0x00, 0x00, 0x04, 0x31, 0x01, 0x05};
    EXPECT_EQ(install_log_line("image", "xmodem", newyear),
              "File image installed from xmodem at 00:00:00 on 31-1-2005\n");
}

std::string temp_path() {
    char name[] = "/tmp/filewriterXXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    return name;
}

struct ProgressCase {
    std::size_t len;
    const char* shown;
};

TEST(FileWriter, PercentagesPerPiece) {
    const ProgressCase cases[] = {
        {1024 * 1024,
         "    \b\b\b\b006%\b\b\b\b012%\b\b\b\b018%\b\b\b\b025%\b\b\b\b031%\b\b\b\b037%"
         "\b\b\b\b043%\b\b\b\b050%\b\b\b\b056%\b\b\b\b062%\b\b\b\b068%\b\b\b\b075%"
         "\b\b\b\b081%\b\b\b\b087%\b\b\b\b093%\b\b\b\b100%\b\b\b\b100%\n"},
        {65536, "    \b\b\b\b100%\b\b\b\b100%\n"},
        {100, "    \b\b\b\b100%\n"},  // below one 256-byte unit
        {0, "    \b\b\b\b100%\n"},
    };
    for (const ProgressCase& c : cases) {
        std::vector<std::uint8_t> data(c.len);
        for (std::size_t i = 0; i < c.len; ++i) data[i] = static_cast<std::uint8_t>(i * 31);
        const std::string path = temp_path();
        testing::internal::CaptureStdout();
        EXPECT_EQ(write_file_with_progress(path.c_str(), data.data(), c.len), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.shown) << c.len;

        std::vector<std::uint8_t> back(c.len + 1);
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fread(back.data(), 1, back.size(), f), c.len);
        std::fclose(f);
        back.resize(c.len);
        EXPECT_TRUE(back == data);
        std::remove(path.c_str());
    }
}

TEST(FileWriter, FailuresAreReported) {
    std::vector<std::uint8_t> data(200000, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_file_with_progress("/dev/full", data.data(), data.size()), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("File /dev/full write failed (err 28: bytes_written 0, len 200000, "
                       "wr_len 65536)"),
              std::string::npos)
        << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(write_file_with_progress("/nonexistent/dir/file", data.data(), 10), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("could not be created"),
              std::string::npos);
}

}  // namespace
