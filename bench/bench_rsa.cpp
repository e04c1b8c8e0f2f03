// RSA-2048 verification, 2048-bit modular exponentiation and PEM public key
// import: our library, OpenSSL and mbedTLS measured in the same run. The key
// and a valid signature come from the Wycheproof RSA-2048/SHA-256 file. The
// peers are named <group>_peer_<library>: scripts/bench prints the
// throughput of each of ours relative to each peer of its group (the
// reciprocal of the time ratio). The peers keep their Montgomery constants
// in the key after the first verification; ours computes what it needs
// in each one, as the switch does with the key it has just imported.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base64.h"
#include "ca_mgmt.h"
#include "imgsign_verify.h"
#include "rsa.h"
#include "vlong.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

std::string json_value(const std::string& s, const std::string& key) {
    size_t p = s.find("\"" + key + "\"");
    p = s.find('"', s.find(':', p) + 1) + 1;
    std::string v = s.substr(p, s.find('"', p) - p);
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size() && v[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += v[i];
        }
    }
    return out;
}

struct Fixture {
    std::string pem;
    Bytes sig;
    uint8_t digest[32];
    Fixture() {
        std::string s;
        if (FILE* f = std::fopen(TEST_VECTOR_DIR "/rsa_signature_2048_sha256_test.json", "rb")) {
            char buf[65536];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
            std::fclose(f);
        }
        pem = json_value(s, "publicKeyPem");
        sig = from_hex(json_value(s, "sig"));  // tcId 1: a valid signature of the empty message
        SHA256(reinterpret_cast<const unsigned char*>(""), 0, digest);
        BASE64_initializeContext();
    }
};

const Fixture& fx() {
    static Fixture f;
    return f;
}

// ------------------------------------------------------------ key import

void BM_ImportPem_Ours(benchmark::State& st) {
    const auto& f = fx();
    for (auto _ : st) {
        KeyHandle h;
        if (CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(f.pem.data()),
                                     static_cast<uint32_t>(f.pem.size()), &h) != 0) {
            st.SkipWithError("import failed");
            break;
        }
        KEY_freeHandle(&h);
    }
}

void BM_ImportPem_peer_MbedTLS(benchmark::State& st) {
    const auto& f = fx();
    for (auto _ : st) {
        mbedtls_pk_context pk;
        mbedtls_pk_init(&pk);
        if (mbedtls_pk_parse_public_key(&pk, reinterpret_cast<const unsigned char*>(f.pem.c_str()), f.pem.size() + 1) != 0) {
            st.SkipWithError("import failed");
            break;
        }
        mbedtls_pk_free(&pk);
    }
}

void BM_ImportPem_peer_OpenSSL(benchmark::State& st) {
    const auto& f = fx();
    for (auto _ : st) {
        BIO* bio = BIO_new_mem_buf(f.pem.data(), static_cast<int>(f.pem.size()));
        EVP_PKEY* k = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        if (k == nullptr) {
            st.SkipWithError("import failed");
            break;
        }
        EVP_PKEY_free(k);
        BIO_free(bio);
    }
}

// ------------------------------------------------------------ modexp

struct ModExpInputs {
    Bytes m, b, e;
    ModExpInputs() {
        std::mt19937 rng(2048);
        for (Bytes* x : {&m, &b, &e}) {
            x->resize(256);
            for (auto& c : *x) c = static_cast<uint8_t>(rng());
        }
        m[0] |= 0x80;
        m[255] |= 1;
        e[0] |= 0x80;
        b[0] &= 0x7F;
    }
};

const ModExpInputs& mx() {
    static ModExpInputs x;
    return x;
}

void BM_ModExp2048_Ours(benchmark::State& st) {
    const auto& x = mx();
    vlong *m = nullptr, *b = nullptr, *e = nullptr;
    VLONG_fromBytes(x.m.data(), 256, &m, nullptr);
    VLONG_fromBytes(x.b.data(), 256, &b, nullptr);
    VLONG_fromBytes(x.e.data(), 256, &e, nullptr);
    vlong* pool = nullptr;
    for (auto _ : st) {
        vlong* r = nullptr;
        VLONG_powMod(b, e, m, &r, &pool);
        VLONG_release(&r, &pool);
    }
    VLONG_drainPool(&pool);
    for (vlong** v : {&m, &b, &e}) VLONG_release(v, nullptr);
}

void BM_ModExp2048_peer_MbedTLS(benchmark::State& st) {
    const auto& x = mx();
    mbedtls_mpi m, b, e, r;
    for (mbedtls_mpi* v : {&m, &b, &e, &r}) mbedtls_mpi_init(v);
    mbedtls_mpi_read_binary(&m, x.m.data(), 256);
    mbedtls_mpi_read_binary(&b, x.b.data(), 256);
    mbedtls_mpi_read_binary(&e, x.e.data(), 256);
    for (auto _ : st) mbedtls_mpi_exp_mod(&r, &b, &e, &m, nullptr);
    for (mbedtls_mpi* v : {&m, &b, &e, &r}) mbedtls_mpi_free(v);
}

void BM_ModExp2048_peer_OpenSSL(benchmark::State& st) {
    const auto& x = mx();
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* m = BN_bin2bn(x.m.data(), 256, nullptr);
    BIGNUM* b = BN_bin2bn(x.b.data(), 256, nullptr);
    BIGNUM* e = BN_bin2bn(x.e.data(), 256, nullptr);
    BIGNUM* r = BN_new();
    for (auto _ : st) BN_mod_exp(r, b, e, m, ctx);
    for (BIGNUM* v : {m, b, e, r}) BN_free(v);
    BN_CTX_free(ctx);
}

// ------------------------------------------------------------ verify

void BM_Verify2048_Ours(benchmark::State& st) {
    const auto& f = fx();
    KeyHandle h;
    CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(f.pem.data()), static_cast<uint32_t>(f.pem.size()), &h);
    const auto* key = static_cast<const RsaKey*>(h.key);
    for (auto _ : st) {
        uint8_t d[64];
        uint32_t len = 0;
        int32_t type = 0;
        if (RSA_verifyDigestInfo(key, f.sig.data(), static_cast<uint32_t>(f.sig.size()), d, &len, &type) != 0 ||
            len != 32 || std::memcmp(d, f.digest, 32) != 0) {
            st.SkipWithError("verify failed");
            break;
        }
    }
    KEY_freeHandle(&h);
}

void BM_VerifyWithImport2048_Ours(benchmark::State& st) {
    const auto& f = fx();
    for (auto _ : st) {
        if (IMGSIGN_verifySignature(f.digest, 32, f.sig.data(), static_cast<uint32_t>(f.sig.size()),
                                    reinterpret_cast<const uint8_t*>(f.pem.data()),
                                    static_cast<uint32_t>(f.pem.size())) != 0) {
            st.SkipWithError("verify failed");
            break;
        }
    }
}

void BM_Verify2048_peer_MbedTLS(benchmark::State& st) {
    const auto& f = fx();
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    mbedtls_pk_parse_public_key(&pk, reinterpret_cast<const unsigned char*>(f.pem.c_str()), f.pem.size() + 1);
    for (auto _ : st) {
        if (mbedtls_pk_verify(&pk, MBEDTLS_MD_SHA256, f.digest, 32, f.sig.data(), f.sig.size()) != 0) {
            st.SkipWithError("verify failed");
            break;
        }
    }
    mbedtls_pk_free(&pk);
}

void BM_Verify2048_peer_OpenSSL(benchmark::State& st) {
    const auto& f = fx();
    BIO* bio = BIO_new_mem_buf(f.pem.data(), static_cast<int>(f.pem.size()));
    EVP_PKEY* k = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    for (auto _ : st) {
        if (EVP_PKEY_verify(ctx, f.sig.data(), f.sig.size(), f.digest, 32) != 1) {
            st.SkipWithError("verify failed");
            break;
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(k);
}

}  // namespace

BENCHMARK(BM_ImportPem_Ours);
BENCHMARK(BM_ImportPem_peer_MbedTLS);
BENCHMARK(BM_ImportPem_peer_OpenSSL);
BENCHMARK(BM_ModExp2048_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExp2048_peer_MbedTLS)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExp2048_peer_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Verify2048_Ours);
BENCHMARK(BM_VerifyWithImport2048_Ours);
BENCHMARK(BM_Verify2048_peer_MbedTLS);
BENCHMARK(BM_Verify2048_peer_OpenSSL);
BENCHMARK_MAIN();
