// OpenSSL helpers for the oracle tests, in their own translation unit:
// OpenSSL's headers declare CRYPTO_malloc, CRYPTO_free and CRYPTO_memcmp
// with signatures other than the library's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ossl {

using Bytes = std::vector<uint8_t>;

enum class Md { md5, sha1, sha224, sha256, sha384, sha512 };
Bytes digest(Md md, const Bytes &msg);

enum class Cipher { aes128cbc, aes192cbc, aes256cbc, desede3ecb, desede3cbc };
Bytes cipher(Cipher c, const Bytes &key, const Bytes &iv, const Bytes &in, bool enc);

// OpenSSL's CTR-DRBG fed fixed entropy and nonce through its test source.
struct Drbg;
Drbg *drbg_new(const char *cipher, int useDf, const Bytes &entropy, const Bytes &nonce, const Bytes &pers,
               unsigned strength);
Bytes drbg_generate(Drbg *d, size_t n, const Bytes &add, unsigned strength);  // empty on failure
void drbg_free(Drbg *d);

}  // namespace ossl
