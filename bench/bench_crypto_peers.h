// OpenSSL peers for bench_crypto, in their own translation unit: OpenSSL's
// headers declare CRYPTO_malloc, CRYPTO_free and CRYPTO_memcmp with other
// signatures than the crypto library's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace peer {

void openssl_sha256(const uint8_t *data, size_t len, uint8_t out[32]);

// AES-128-CBC encryption of len bytes (a multiple of 16) in place; the
// context is keyed once per benchmark.
struct OpensslAes;
OpensslAes *openssl_aes128cbc_new(const uint8_t key[16], bool encrypt);
void openssl_aes128cbc(OpensslAes *ctx, uint8_t iv[16], uint8_t *data, size_t len);
void openssl_aes128cbc_free(OpensslAes *ctx);

}  // namespace peer
