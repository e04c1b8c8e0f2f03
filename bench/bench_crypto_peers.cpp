// OpenSSL side of bench_crypto (see bench_crypto_peers.h).
#include "bench_crypto_peers.h"

#include <openssl/evp.h>

namespace peer {

void openssl_sha256(const uint8_t *data, size_t len, uint8_t out[32]) {
    unsigned n = 0;
    EVP_Digest(data, len, out, &n, EVP_sha256(), nullptr);
}

struct OpensslAes {
    EVP_CIPHER_CTX *ctx;
    bool encrypt;
};

OpensslAes *openssl_aes128cbc_new(const uint8_t key[16], bool encrypt) {
    auto *a = new OpensslAes{EVP_CIPHER_CTX_new(), encrypt};
    EVP_CipherInit_ex(a->ctx, EVP_aes_128_cbc(), nullptr, key, nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(a->ctx, 0);
    return a;
}

void openssl_aes128cbc(OpensslAes *a, uint8_t iv[16], uint8_t *data, size_t len) {
    int n = 0;
    EVP_CipherInit_ex(a->ctx, nullptr, nullptr, nullptr, iv, a->encrypt ? 1 : 0);
    EVP_CipherUpdate(a->ctx, data, &n, data, static_cast<int>(len));
}

void openssl_aes128cbc_free(OpensslAes *a) {
    EVP_CIPHER_CTX_free(a->ctx);
    delete a;
}

}  // namespace peer
