// OpenSSL side of the oracle tests (see oracle_openssl.h).
#include "oracle_openssl.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace ossl {

Bytes digest(Md md, const Bytes &msg) {
    const EVP_MD *m = nullptr;
    switch (md) {
        case Md::md5: m = EVP_md5(); break;
        case Md::sha1: m = EVP_sha1(); break;
        case Md::sha224: m = EVP_sha224(); break;
        case Md::sha256: m = EVP_sha256(); break;
        case Md::sha384: m = EVP_sha384(); break;
        case Md::sha512: m = EVP_sha512(); break;
    }
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    if (EVP_Digest(msg.data(), msg.size(), out.data(), &len, m, nullptr) != 1) return {};
    out.resize(len);
    return out;
}

Bytes cipher(Cipher c, const Bytes &key, const Bytes &iv, const Bytes &in, bool enc) {
    const EVP_CIPHER *e = nullptr;
    switch (c) {
        case Cipher::aes128cbc: e = EVP_aes_128_cbc(); break;
        case Cipher::aes192cbc: e = EVP_aes_192_cbc(); break;
        case Cipher::aes256cbc: e = EVP_aes_256_cbc(); break;
        case Cipher::desede3ecb: e = EVP_des_ede3_ecb(); break;
        case Cipher::desede3cbc: e = EVP_des_ede3_cbc(); break;
    }
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(ctx, e, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc ? 1 : 0) == 1;
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

struct Drbg {
    EVP_RAND_CTX *parent = nullptr, *drbg = nullptr;
};

Drbg *drbg_new(const char *cipherName, int useDf, const Bytes &entropyIn, const Bytes &nonceIn, const Bytes &pers,
               unsigned strength) {
    Bytes entropy = entropyIn, nonce = nonceIn;
    EVP_RAND *tr = EVP_RAND_fetch(nullptr, "TEST-RAND", nullptr);
    EVP_RAND *cr = EVP_RAND_fetch(nullptr, "CTR-DRBG", nullptr);
    auto *d = new Drbg;
    bool ok = tr && cr;
    if (ok) {
        d->parent = EVP_RAND_CTX_new(tr, nullptr);
        OSSL_PARAM pp[4];
        pp[0] = OSSL_PARAM_construct_uint(OSSL_RAND_PARAM_STRENGTH, &strength);
        pp[1] = OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_ENTROPY, entropy.data(), entropy.size());
        pp[2] = nonce.empty() ? OSSL_PARAM_construct_end()
                              : OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_NONCE, nonce.data(), nonce.size());
        pp[3] = OSSL_PARAM_construct_end();
        ok = EVP_RAND_instantiate(d->parent, strength, 0, nullptr, 0, pp) == 1;
    }
    if (ok) {
        d->drbg = EVP_RAND_CTX_new(cr, d->parent);
        OSSL_PARAM dp[3];
        dp[0] = OSSL_PARAM_construct_utf8_string(OSSL_DRBG_PARAM_CIPHER, const_cast<char *>(cipherName), 0);
        dp[1] = OSSL_PARAM_construct_int(OSSL_DRBG_PARAM_USE_DF, &useDf);
        dp[2] = OSSL_PARAM_construct_end();
        ok = EVP_RAND_CTX_set_params(d->drbg, dp) == 1 &&
             EVP_RAND_instantiate(d->drbg, strength, 0, pers.empty() ? nullptr : pers.data(), pers.size(), nullptr) == 1;
    }
    EVP_RAND_free(tr);
    EVP_RAND_free(cr);
    if (!ok) {
        drbg_free(d);
        return nullptr;
    }
    return d;
}

Bytes drbg_generate(Drbg *d, size_t n, const Bytes &add, unsigned strength) {
    Bytes out(n);
    if (EVP_RAND_generate(d->drbg, out.data(), n, strength, 0, add.empty() ? nullptr : add.data(), add.size()) != 1)
        return {};
    return out;
}

void drbg_free(Drbg *d) {
    if (!d) return;
    EVP_RAND_CTX_free(d->drbg);
    EVP_RAND_CTX_free(d->parent);
    delete d;
}

}  // namespace ossl
