// The system keys' life on a board: key files created, checked, rewritten,
// refused and recreated; their encryption checked against OpenSSL.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "board/i2c.h"
#include "board/nvram.h"
#include "security/key_crypt.h"
#include "security/system_keys.h"

namespace {

long file_size(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

void write_file(const char* path, const std::vector<std::uint8_t>& bytes) {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string serial() {
    std::uint8_t s[NVRAM_SERIAL_LEN] = {};
    nvram_read_serial_number(s);
    return std::string(reinterpret_cast<char*>(s), sizeof s);
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

class Keys : public ::testing::Test {
protected:
    static void SetUpTestSuite() { i2c_open_buses(); }
    void SetUp() override {
        std::remove(PRODUCTION_KEY_PATH);
        std::remove(DEVELOPMENT_KEY_PATH);
    }

    // Loads `path` and returns what was printed.
    static std::string load(const char* path, SystemKey* key, bool* ok) {
        testing::internal::CaptureStdout();
        *ok = imgsign_load_system_key(key, path);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    static void expect_builtin(const SystemKey& key, const char* path) {
        EXPECT_EQ(key.length, BUILTIN_KEY_LEN);
        EXPECT_EQ(std::string(key.text, key.length), std::string(imgsign_builtin_key(path)));
    }
};

TEST_F(Keys, FirstLoadCreatesBothFilesQuietly) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(imgsign_load_system_keys());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), 464);
    EXPECT_EQ(file_size(DEVELOPMENT_KEY_PATH), 464);

    SystemKey key{};
    bool ok = false;
    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "");
    EXPECT_TRUE(ok);
    expect_builtin(key, PRODUCTION_KEY_PATH);
}

TEST_F(Keys, FileIsAes128CbcUnderTheSerialNumber) {
    ASSERT_TRUE(imgsign_load_system_keys());
    // Decrypt with OpenSSL: key = serial number padded with zeros, IV zero.
    std::string hexkey;
    char byte[3];
    for (unsigned char c : serial()) {
        std::snprintf(byte, sizeof byte, "%02x", c);
        hexkey += byte;
    }
    hexkey += "00000000";
    const std::string plain =
        run("openssl enc -d -aes-128-cbc -nopad -K " + hexkey +
            " -iv 00000000000000000000000000000000 -in " + PRODUCTION_KEY_PATH);
    ASSERT_EQ(plain.size(), 464u);
    EXPECT_EQ(plain.substr(0, BUILTIN_KEY_LEN), std::string(imgsign_builtin_key(PRODUCTION_KEY_PATH)));
    EXPECT_EQ(plain.substr(BUILTIN_KEY_LEN), std::string(464 - BUILTIN_KEY_LEN, '\0'));
}

TEST_F(Keys, StoredKeyThatDiffersIsRewritten) {
    struct Row {
        const char* name;
        std::string text;  // stored (encrypted) key text, zero byte included
    };
    const std::string builtin = imgsign_builtin_key(PRODUCTION_KEY_PATH);
    const Row rows[] = {
        {"other_key", std::string(imgsign_builtin_key(DEVELOPMENT_KEY_PATH)) + '\0'},
        {"truncated", builtin.substr(0, 200) + '\0'},
        {"empty_text", std::string(1, '\0')},
        {"longer", builtin + "extra" + '\0'},
    };
    const std::string s = serial();
    for (const Row& r : rows) {
        ASSERT_TRUE(imgsign_write_key_file(r.text.data(), r.text.size(), PRODUCTION_KEY_PATH,
                                           reinterpret_cast<const std::uint8_t*>(s.data()),
                                           s.size()));
        SystemKey key{};
        bool ok = false;
        EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "Updating system key....\n") << r.name;
        EXPECT_TRUE(ok) << r.name;
        expect_builtin(key, PRODUCTION_KEY_PATH);
        // Repaired on disk: the next load is quiet.
        EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), 464) << r.name;
        EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "") << r.name;
    }
    ASSERT_TRUE(imgsign_write_key_file("x", 2, DEVELOPMENT_KEY_PATH,
                                       reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    SystemKey key{};
    bool ok = false;
    EXPECT_EQ(load(DEVELOPMENT_KEY_PATH, &key, &ok), "Updating system development key....\n");
    expect_builtin(key, DEVELOPMENT_KEY_PATH);
}

TEST_F(Keys, OversizedFileIsRefused) {
    write_file(PRODUCTION_KEY_PATH, std::vector<std::uint8_t>(501, 0x41));
    SystemKey key{};
    bool ok = true;
    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok),
              "ERROR loading key as length too long 501 > 500\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), 501);
}

TEST_F(Keys, UndecryptableFileRemovesBothAndNextLoadRecreates) {
    ASSERT_TRUE(imgsign_load_system_keys());
    // An operator's own key kept beside the system keys is not theirs to remove.
    const char* operator_key = "/user/operator.pem";
    write_file(operator_key, {'k', 'e', 'y'});
    write_file(PRODUCTION_KEY_PATH, std::vector<std::uint8_t>(465, 0x41));
    SystemKey key{};
    bool ok = true;
    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "Input data is not AES size correct\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), -1);
    EXPECT_EQ(file_size(DEVELOPMENT_KEY_PATH), -1);
    EXPECT_EQ(file_size(operator_key), 3);
    std::remove(operator_key);

    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "");
    EXPECT_TRUE(ok);
    expect_builtin(key, PRODUCTION_KEY_PATH);
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), 464);
}

TEST_F(Keys, EmptyFileIsWrittenAfresh) {
    write_file(PRODUCTION_KEY_PATH, {});
    SystemKey key{};
    bool ok = false;
    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), "");
    EXPECT_TRUE(ok);
    expect_builtin(key, PRODUCTION_KEY_PATH);
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), 464);
}

TEST_F(Keys, EncryptionPadsToBlocks) {
    const std::uint8_t seed[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::uint8_t sixteen[16] = {'a', 'b', 'c'};
    std::size_t n = 0;
    KeyBuffer c = imgsign_encrypt(seed, sizeof seed, sixteen, sizeof sixteen, &n);
    ASSERT_TRUE(c);
    EXPECT_EQ(n, 16u);
    std::size_t text_len = 0;
    KeyBuffer p = imgsign_decrypt(seed, sizeof seed, c.get(), n, &text_len);
    ASSERT_TRUE(p);
    EXPECT_EQ(text_len, 3u);
    EXPECT_EQ(std::memcmp(p.get(), sixteen, 16), 0);

    // Another seed gives another text.
    const std::uint8_t other[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13};
    KeyBuffer q = imgsign_decrypt(other, sizeof other, c.get(), n, &text_len);
    ASSERT_TRUE(q);
    EXPECT_NE(std::memcmp(q.get(), sixteen, 16), 0);
}

// Last: it clears the serial number of this board.
TEST_F(Keys, ZZ_NoSerialNumberUsesBuiltInKeys) {
    for (std::uint16_t a = 0; a < NVRAM_SERIAL_LEN; ++a) {
        ASSERT_GE(nvram_write_byte(static_cast<std::uint16_t>(NVRAM_SERIAL_NUMBER + a), 0), 0);
    }
    SystemKey key{};
    bool ok = false;
    const std::string warning = "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    EXPECT_EQ(load(PRODUCTION_KEY_PATH, &key, &ok), warning);
    EXPECT_TRUE(ok);
    expect_builtin(key, PRODUCTION_KEY_PATH);
    EXPECT_EQ(load(DEVELOPMENT_KEY_PATH, &key, &ok), warning);
    expect_builtin(key, DEVELOPMENT_KEY_PATH);
    EXPECT_EQ(file_size(PRODUCTION_KEY_PATH), -1);
    EXPECT_EQ(file_size(DEVELOPMENT_KEY_PATH), -1);
}

}  // namespace
