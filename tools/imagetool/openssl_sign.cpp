#include "tools/imagetool/openssl_sign.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <new>

// This file stays away from OpenSSL's allocation macros (OPENSSL_free and
// friends): they expand to CRYPTO_free and CRYPTO_malloc, names that the
// project's own crypto library, linked into the same program, also defines.

struct SigningKey {
    EVP_PKEY* pkey;
};

void SigningKeyDeleter::operator()(SigningKey* key) const {
    if (key) EVP_PKEY_free(key->pkey);
    delete key;
}

namespace {

struct BioCloser {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyCtxCloser {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

// The most recent OpenSSL error as text, emptying the error queue.
std::string openssl_error() {
    unsigned long code = 0, last = 0;
    while ((code = ERR_get_error()) != 0) last = code;
    if (last == 0) return "no further detail";
    char text[256];
    ERR_error_string_n(last, text, sizeof text);
    return text;
}

}  // namespace

SigningKeyPtr signing_key_load(const char* path, std::string* error) {
    std::unique_ptr<BIO, BioCloser> bio(BIO_new_file(path, "r"));
    if (!bio) {
        *error = std::string("cannot open the key file ") + path + ": " + openssl_error();
        return nullptr;
    }
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (!pkey) {
        *error = std::string(path) + " holds no PEM private key (" + openssl_error() + ")";
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
        EVP_PKEY_free(pkey);
        *error = std::string(path) + " is not an RSA key";
        return nullptr;
    }
    SigningKeyPtr key(new (std::nothrow) SigningKey{pkey});
    if (!key) {
        EVP_PKEY_free(pkey);
        *error = "out of memory";
    }
    return key;
}

std::size_t signing_key_size(const SigningKey& key) {
    const int n = EVP_PKEY_get_size(key.pkey);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

namespace {

// The text a PEM writer leaves in a memory BIO.
bool bio_text(BIO* bio, std::string* text) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || !data) return false;
    text->assign(data, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool signing_key_public_pem(const SigningKey& key, std::string* pem, std::string* error) {
    std::unique_ptr<BIO, BioCloser> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.pkey) != 1 || !bio_text(bio.get(), pem)) {
        *error = "cannot write the public key: " + openssl_error();
        return false;
    }
    return true;
}

bool signing_key_private_pem(const SigningKey& key, std::string* pem, std::string* error) {
    std::unique_ptr<BIO, BioCloser> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        !bio_text(bio.get(), pem)) {
        *error = "cannot write the private key: " + openssl_error();
        return false;
    }
    return true;
}

SigningKeyPtr signing_key_generate(std::string* error) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxCloser> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* pkey = nullptr;
    // 65537 is OpenSSL's default public exponent for new RSA keys.
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &pkey) != 1) {
        *error = "cannot generate an RSA key: " + openssl_error();
        return nullptr;
    }
    SigningKeyPtr key(new (std::nothrow) SigningKey{pkey});
    if (!key) {
        EVP_PKEY_free(pkey);
        *error = "out of memory";
    }
    return key;
}

bool signing_key_sign_sha256(const SigningKey& key, std::span<const std::uint8_t, 32> digest,
                             std::vector<std::uint8_t>* signature, std::string* error) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxCloser> ctx(EVP_PKEY_CTX_new(key.pkey, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
        *error = "cannot set up RSA PKCS #1 v1.5 signing with SHA-256: " + openssl_error();
        return false;
    }
    std::size_t n = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &n, digest.data(), digest.size()) != 1 || n == 0) {
        *error = "signing failed: " + openssl_error();
        return false;
    }
    std::vector<std::uint8_t> out(n);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &n, digest.data(), digest.size()) != 1) {
        *error = "signing failed: " + openssl_error();
        return false;
    }
    out.resize(n);
    *signature = std::move(out);
    return true;
}
