// The image-signing system keys: a production and a development RSA-2048
// public key, built into bootmgr and kept in /user encrypted under the unit's
// serial number. The built-in keys are authoritative: a missing, empty or
// different key file is written afresh from them.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* PRODUCTION_KEY_PATH = "/user/production_key.pub.pem";
inline constexpr const char* DEVELOPMENT_KEY_PATH = "/user/development_key.pub.pem";
inline constexpr std::size_t SYSTEM_KEY_FILE_MAX = 500;
inline constexpr std::size_t BUILTIN_KEY_LEN = 451;

// One loaded key: the PEM text and its length. Owned by the caller and
// filled afresh for every verification.
struct SystemKey {
    std::uint16_t length;
    char text[SYSTEM_KEY_FILE_MAX + 1];
};

// The built-in key for a key-file path (its 451 characters and a zero byte),
// or null for any other path.
const char* imgsign_builtin_key(const char* path);

// Fills `key` with the system key of `path` (PRODUCTION_KEY_PATH or
// DEVELOPMENT_KEY_PATH). On a unit without a serial number the built-in key
// is used and no file is touched ("WARNING: Serial # not set on this unit.
// Built in keys must be used"). Otherwise the file is created when missing or
// empty, refused when longer than 500 bytes, decrypted, and rewritten
// ("Updating system key...." / "Updating system development key....") when it
// does not hold exactly the built-in key; the record then holds the built-in
// key. Returns false when no key could be loaded (including a file that could
// not be decrypted: both key files are then removed and the next load writes
// them afresh).
bool imgsign_load_system_key(SystemKey* key, const char* path);

// Loads the production key and then, if that worked, the development key.
// Returns true when both loaded.
bool imgsign_load_system_keys();
