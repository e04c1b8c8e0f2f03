// Durable file replacement: the old file stays whole until the new one is
// complete, failures leave nothing behind, and the percentage display.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image/file_writer.h"

namespace {

class DurableWrite : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/durable_write_XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        path_ = dir_ + "/image1";
    }
    void TearDown() override {
        std::remove((path_ + ".new").c_str());
        std::remove(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string read(const std::string& p) {
        std::string out;
        FILE* f = std::fopen(p.c_str(), "rb");
        if (!f) return "<none>";
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
        return out;
    }
    void put(const std::string& p, const std::string& text) {
        FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::string dir_, path_;
};

TEST_F(DurableWrite, ReplacesTheFileAndLeavesNoNewFile) {
    put(path_, "old contents");
    const std::string text = "new";
    ASSERT_EQ(write_file_durably(path_.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                                 text.size(), false),
              DURABLE_WRITE_OK);
    EXPECT_EQ(read(path_), "new");
    EXPECT_EQ(::access((path_ + ".new").c_str(), F_OK), -1);
}

TEST_F(DurableWrite, LeftoverOfAnInterruptedWriteIsNotAppendedTo) {
    put(path_ + ".new", "half of an earlier attempt");
    const std::uint8_t byte = 'x';
    ASSERT_EQ(write_file_durably(path_.c_str(), &byte, 1, false), DURABLE_WRITE_OK);
    EXPECT_EQ(read(path_), "x");
}

TEST_F(DurableWrite, FailuresLeaveTheOldFileExactlyAsItWas) {
    put(path_, "old contents");
    // A directory where the new file must go: it cannot be created.
    ASSERT_EQ(::mkdir((path_ + ".new").c_str(), 0755), 0);
    const std::uint8_t byte = 'x';
    EXPECT_EQ(write_file_durably(path_.c_str(), &byte, 1, false), DURABLE_WRITE_CREATE_FAILED);
    EXPECT_EQ(read(path_), "old contents");
    ::rmdir((path_ + ".new").c_str());

    // A target that cannot be replaced (a non-empty directory): the rename fails.
    std::remove(path_.c_str());
    ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
    put(path_ + "/keep", "kept");
    EXPECT_EQ(write_file_durably(path_.c_str(), &byte, 1, false), DURABLE_WRITE_FAILED);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(read(path_ + "/keep"), "kept");
    EXPECT_EQ(::access((path_ + ".new").c_str(), F_OK), -1);
    std::remove((path_ + "/keep").c_str());
    ::rmdir(path_.c_str());
}

TEST_F(DurableWrite, ALinkInTheNewFilesPlaceIsNeverFollowed) {
    const std::string victim = dir_ + "/victim";
    put(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), (path_ + ".new").c_str()), 0);
    const std::uint8_t byte = 'y';
    EXPECT_EQ(write_file_durably(path_.c_str(), &byte, 1, false), DURABLE_WRITE_OK);
    EXPECT_EQ(read(path_), "y");
    EXPECT_EQ(read(victim), "precious");
    std::remove(victim.c_str());
}

TEST_F(DurableWrite, PercentagesPerPieceThenTheClosingHundred) {
    const std::vector<std::uint8_t> data(3 * 65536 + 1, 0x5A);
    testing::internal::CaptureStdout();
    ASSERT_EQ(write_file_durably(path_.c_str(), data.data(), data.size(), true), DURABLE_WRITE_OK);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "    \b\b\b\b033%\b\b\b\b066%\b\b\b\b099%\b\b\b\b100%\b\b\b\b100%\n");
    EXPECT_EQ(read(path_).size(), data.size());
}

}  // namespace
