#include "security/system_keys.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "board/nvram.h"
#include "security/builtin_keys.h"
#include "security/key_crypt.h"

static_assert(sizeof BUILTIN_PRODUCTION_KEY == BUILTIN_KEY_LEN + 1);
static_assert(sizeof BUILTIN_DEVELOPMENT_KEY == BUILTIN_KEY_LEN + 1);

namespace {

constexpr std::uint8_t kSeedPreset[NVRAM_SERIAL_LEN] = {'q', 'u', 'i', 'e', 't', 'm',
                                                        'o', 's', 's', 'f', 'o', 'x'};

bool seed_is_zero(const std::uint8_t seed[NVRAM_SERIAL_LEN]) {
    for (std::size_t i = 0; i < NVRAM_SERIAL_LEN; ++i) {
        if (seed[i] != 0) return false;
    }
    return true;
}

void put_builtin(SystemKey* key, const char* builtin) {
    std::memcpy(key->text, builtin, BUILTIN_KEY_LEN + 1);
    key->length = BUILTIN_KEY_LEN;
}

bool write_builtin(const char* builtin, const char* path, const std::uint8_t* seed) {
    return imgsign_write_key_file(builtin, BUILTIN_KEY_LEN + 1, path, seed, NVRAM_SERIAL_LEN);
}

}  // namespace

const char* imgsign_builtin_key(const char* path) {
    if (path == nullptr) return nullptr;
    if (std::strcmp(path, PRODUCTION_KEY_PATH) == 0) return BUILTIN_PRODUCTION_KEY;
    if (std::strcmp(path, DEVELOPMENT_KEY_PATH) == 0) return BUILTIN_DEVELOPMENT_KEY;
    return nullptr;
}

bool imgsign_load_system_key(SystemKey* key, const char* path) {
    if (key == nullptr) return false;
    const char* builtin = imgsign_builtin_key(path);

    std::uint8_t seed[NVRAM_SERIAL_LEN];
    std::memcpy(seed, kSeedPreset, sizeof seed);
    const bool serial_read = nvram_read_serial_number(seed);

    if (!serial_read || seed_is_zero(seed)) {
        // Without the unit's own seed the files can be neither read nor
        // written: they are left as they are until the serial number reads.
        std::puts(serial_read ? "WARNING: Serial # not set on this unit. Built in keys must be used"
                              : "WARNING: Serial # could not be read. Built in keys are used");
        if (builtin == nullptr) return false;
        put_builtin(key, builtin);
        return true;
    }

    key->length = 0;
    struct stat st;
    // An empty file is what a failed write leaves behind; it holds no key.
    if (::stat(path, &st) != 0 || st.st_size == 0) {
        if (builtin != nullptr) write_builtin(builtin, path, seed);
        if (::stat(path, &st) != 0) {
            std::puts("ERROR - unable to find system key");
            return false;
        }
    }
    if (st.st_size > static_cast<off_t>(SYSTEM_KEY_FILE_MAX)) {
        std::printf("ERROR loading key as length too long %d > %d\n", static_cast<int>(st.st_size),
                    static_cast<int>(SYSTEM_KEY_FILE_MAX));
        return false;
    }

    std::uint8_t stored[SYSTEM_KEY_FILE_MAX];
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    const std::size_t n = std::fread(stored, 1, sizeof stored, f);
    std::fclose(f);

    std::size_t text_len = 0;
    const KeyBuffer plain = imgsign_decrypt(seed, sizeof seed, stored, n, &text_len);
    if (!plain) {
        // Both key files are written afresh at the next load; other .pem
        // files an operator keeps in /user are not ours to remove.
        std::remove(PRODUCTION_KEY_PATH);
        std::remove(DEVELOPMENT_KEY_PATH);
        return false;
    }
    if (text_len > SYSTEM_KEY_FILE_MAX) text_len = SYSTEM_KEY_FILE_MAX;
    std::memcpy(key->text, plain.get(), text_len);
    key->text[text_len] = '\0';
    key->length = static_cast<std::uint16_t>(text_len);

    // Anything but exactly the built-in key is replaced: a stored text that
    // is only a leading part of it (empty or truncated) would otherwise fail
    // every signature check from now on, with nothing to repair it.
    if (builtin != nullptr &&
        (text_len != BUILTIN_KEY_LEN || std::memcmp(key->text, builtin, BUILTIN_KEY_LEN) != 0)) {
        std::puts(builtin == BUILTIN_PRODUCTION_KEY ? "Updating system key...."
                                                    : "Updating system development key....");
        write_builtin(builtin, path, seed);
        put_builtin(key, builtin);
    }
    return true;
}

bool imgsign_load_system_keys() {
    SystemKey scratch{};
    return imgsign_load_system_key(&scratch, PRODUCTION_KEY_PATH) &&
           imgsign_load_system_key(&scratch, DEVELOPMENT_KEY_PATH);
}
