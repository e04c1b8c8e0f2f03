// Launch modes from the boot flags, and the environment file of an image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "boot/launch.h"
#include "boot/settings.h"

namespace {

struct ModeCase {
    int gdbserver, gdb, memchk;
    LaunchMode mode;
};

TEST(LaunchMode, FlagsInOrder) {
    const ModeCase cases[] = {
        {1, 0, 0, LAUNCH_GDBSERVER}, {1, 1, 0, LAUNCH_GDBSERVER},
        {1, 1, 1, LAUNCH_GDBSERVER_MEMCHK}, {1, 0, 1, LAUNCH_GDBSERVER_MEMCHK},
        {0, 1, 0, LAUNCH_GDB}, {0, 1, 1, LAUNCH_GDB},
        {0, 0, 1, LAUNCH_MEMCHK}, {0, 0, 0, LAUNCH_NORMAL},
    };
    for (const ModeCase& c : cases) {
        BootSettings s;
        s.gdbserver = c.gdbserver;
        s.gdb = c.gdb;
        s.memchk = static_cast<std::uint8_t>(c.memchk);
        EXPECT_EQ(launch_mode(s), c.mode) << c.gdbserver << c.gdb << c.memchk;
    }
}

std::string write_temp(const std::string& text) {
    char name[] = "/tmp/envsetupXXXXXX";
    const int fd = ::mkstemp(name);
    [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    return name;
}

struct EnvFileCase {
    const char* text;
    int count;
    const char* a;  // expected values of the variables, null = unset
    const char* b;
    const char* c;
};

TEST(LaunchEnvFile, WordPairs) {
    const EnvFileCase cases[] = {
        {"LTA 1 LTB 2 LTC", 3, "1", "2", ""},
        {"LTA\t1\nLTB    2\n\n", 2, "1", "2", nullptr},
        {"", 0, nullptr, nullptr, nullptr},
        {"LTA x=y LTB", 2, "x=y", "", nullptr},
    };
    for (const EnvFileCase& c : cases) {
        ::unsetenv("LTA");
        ::unsetenv("LTB");
        ::unsetenv("LTC");
        const std::string path = write_temp(c.text);
        EXPECT_EQ(launch_apply_env_file(path.c_str()), c.count) << c.text;
        const char* want[] = {c.a, c.b, c.c};
        const char* names[] = {"LTA", "LTB", "LTC"};
        for (int i = 0; i < 3; ++i) {
            const char* got = std::getenv(names[i]);
            if (want[i] == nullptr) {
                EXPECT_EQ(got, nullptr) << c.text << " " << names[i];
            } else {
                ASSERT_NE(got, nullptr) << c.text << " " << names[i];
                EXPECT_STREQ(got, want[i]);
            }
        }
        std::remove(path.c_str());
    }
}

struct LongWordCase {
    std::string text;
    int count;
    const char* a;  // expected LTA and LTB, null = unset
    const char* b;
};

TEST(LaunchEnvFile, OverlongWordsAreDroppedWithTheirPartner) {
    const std::string n600(600, 'N');
    const std::string x600(600, 'x');
    const std::string v511(511, 'v');
    const LongWordCase cases[] = {
        {n600 + " v LTA 1", 1, "1", nullptr},           // long name: its value goes too
        {"LTA " + x600 + " LTB 2", 1, nullptr, "2"},    // long value: its name goes too
        {"LTA 1 " + n600, 1, "1", nullptr},             // long final name without value
        {"LTA " + v511, 1, v511.c_str(), nullptr},      // 511 characters are a word
    };
    for (const LongWordCase& c : cases) {
        ::unsetenv("LTA");
        ::unsetenv("LTB");
        const std::string path = write_temp(c.text);
        EXPECT_EQ(launch_apply_env_file(path.c_str()), c.count) << c.text.substr(0, 20);
        const char* a = std::getenv("LTA");
        const char* b = std::getenv("LTB");
        EXPECT_EQ(a ? std::string(a) : "<unset>", c.a ? c.a : "<unset>");
        EXPECT_EQ(b ? std::string(b) : "<unset>", c.b ? c.b : "<unset>");
        // No piece of a long word became a variable of its own.
        EXPECT_EQ(std::getenv(std::string(511, 'N').c_str()), nullptr);
        EXPECT_EQ(std::getenv(std::string(89, 'N').c_str()), nullptr);
        EXPECT_EQ(std::getenv(std::string(89, 'x').c_str()), nullptr);
        EXPECT_EQ(std::getenv("v"), nullptr);
        std::remove(path.c_str());
    }
}

TEST(LaunchEnvFile, MissingFileIsSkipped) {
    EXPECT_EQ(launch_apply_env_file("/nonexistent/env-setup"), 0);
}

}  // namespace
