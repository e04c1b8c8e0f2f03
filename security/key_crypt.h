// Encryption of key material kept under /user: AES-128-CBC with a zero
// initialisation vector, the key being the caller's seed (the unit's serial
// number) padded with zeros to 16 bytes. The plain text is zero-padded to a
// multiple of 16 bytes and ends at its first zero byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

using KeyBuffer = std::unique_ptr<std::uint8_t[]>;

// Encrypts `len` bytes of `data`. Returns the cipher text (len rounded up to
// a multiple of 16, in *out_len), or null after printing why.
KeyBuffer imgsign_encrypt(const std::uint8_t* seed, std::size_t seed_len,
                          const std::uint8_t* data, std::size_t len, std::size_t* out_len);

// Decrypts `len` bytes. Returns the plain text with *out_len set to the
// length of the text up to its first zero byte (the whole buffer when it
// holds none), or null after printing why; an empty input is such a
// failure, because it cannot hold a key.
KeyBuffer imgsign_decrypt(const std::uint8_t* seed, std::size_t seed_len,
                          const std::uint8_t* data, std::size_t len, std::size_t* out_len);

// Encrypts `text` (its length including the terminating zero byte) and
// replaces `path` with it durably (write_file_durably: the old file stays
// whole until the new one is complete). Returns true when the file was
// written; false when the encryption failed (nothing is touched then) or
// after printing "ERROR creating file <path>" or "ERROR writing file <path>
// (err N)".
bool imgsign_write_key_file(const char* text, std::size_t len, const char* path,
                            const std::uint8_t* seed, std::size_t seed_len);
