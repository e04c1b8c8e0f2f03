// A board whose NVRAM does not answer: the serial number, and with it the
// key files' seed, cannot be read. The built-in keys serve and the key files
// stay exactly as they are, instead of being rewritten under a seed that is
// not the unit's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/i2c.h"
#include "security/system_keys.h"

namespace {

std::vector<char> read_file(const char* path) {
    std::vector<char> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f) return bytes;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

TEST(KeysWithoutSerialNumber, FilesStayAndBuiltInKeysServe) {
    i2c_open_buses();
    const std::vector<char> stored(464, 'S');  // what the unit's own seed once wrote
    for (const char* path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH}) {
        FILE* f = std::fopen(path, "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(stored.data(), 1, stored.size(), f);
        std::fclose(f);
    }
    for (const char* path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH}) {
        SystemKey key{};
        testing::internal::CaptureStdout();
        const bool ok = imgsign_load_system_key(&key, path);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ok) << path;
        EXPECT_NE(out.find("WARNING: Serial # could not be read. Built in keys are used"),
                  std::string::npos) << out;
        EXPECT_EQ(std::string(key.text, key.length), std::string(imgsign_builtin_key(path)));
        EXPECT_EQ(read_file(path), stored) << path;
    }
}

}  // namespace
