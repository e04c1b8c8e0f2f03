// SHA-256 and AES-128-CBC against mbedTLS and OpenSSL in the same run. The
// peers are named <group>_peer_<library>: scripts/bench prints the
// throughput of each of ours relative to each peer of its group.
//
//   build/host/bin/bench_crypto --benchmark_filter='SHA256|AES'
//
// mbedTLS's AES is measured twice: through its table C code
// (mbedtls_internal_aes_encrypt/decrypt, the comparison that counts for the
// table implementation) and through mbedtls_aes_crypt_cbc, which takes the
// AES-NI path on CPUs that have it.
#include <benchmark/benchmark.h>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <vector>

#include "aes.h"
#include "bench_crypto_peers.h"
#include "sha256.h"

namespace {

std::vector<uint8_t> buffer(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 131 + 7);
    return b;
}

constexpr int64_t k4K = 4096;
constexpr int64_t k64M = 64 << 20;

void sha256_ours(benchmark::State &state, int kind) {
    if (!SHA256_transformAvailable(kind)) {
        state.SkipWithError("transform not available on this CPU");
        return;
    }
    SHA256_selectTransform(kind);
    auto data = buffer(static_cast<size_t>(state.range(0)));
    uint8_t out[32];
    for (auto _ : state) {
        SHA256_hashBuffer(data.data(), static_cast<uint32_t>(data.size()), out);
        benchmark::DoNotOptimize(out);
    }
    SHA256_useHardware(1);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The portable C++ code in its baseline build and in its BMI2 build, and
// the SHA-extension transform.
void BM_SHA256_portable(benchmark::State &state) { sha256_ours(state, SHA256_TRANSFORM_PORTABLE); }
void BM_SHA256_portable_bmi2(benchmark::State &state) { sha256_ours(state, SHA256_TRANSFORM_PORTABLE_BMI2); }
void BM_SHA256_hardware(benchmark::State &state) { sha256_ours(state, SHA256_TRANSFORM_SHA_EXTENSIONS); }

void BM_SHA256_peer_mbedtls(benchmark::State &state) {
    auto data = buffer(static_cast<size_t>(state.range(0)));
    uint8_t out[32];
    for (auto _ : state) {
        mbedtls_sha256_ret(data.data(), data.size(), out, 0);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_SHA256_peer_openssl(benchmark::State &state) {
    auto data = buffer(static_cast<size_t>(state.range(0)));
    uint8_t out[32];
    for (auto _ : state) {
        peer::openssl_sha256(data.data(), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_SHA256_portable)->Arg(k4K)->Arg(k64M);
BENCHMARK(BM_SHA256_portable_bmi2)->Arg(k4K)->Arg(k64M);
BENCHMARK(BM_SHA256_hardware)->Arg(k4K)->Arg(k64M);
BENCHMARK(BM_SHA256_peer_mbedtls)->Arg(k4K)->Arg(k64M);
BENCHMARK(BM_SHA256_peer_openssl)->Arg(k4K)->Arg(k64M);

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void aes_ours(benchmark::State &state, int encrypt) {
    auto data = buffer(k4K);
    AesCtx *ctx = CreateAESCtx(kKey, 16, encrypt);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        DoAES(ctx, data.data(), static_cast<int32_t>(data.size()), encrypt, iv);
        benchmark::DoNotOptimize(data.data());
    }
    FreeAESCtx(&ctx);
    state.SetBytesProcessed(state.iterations() * k4K);
}

void BM_AES128CBC_encrypt_ours(benchmark::State &state) { aes_ours(state, 1); }
void BM_AES128CBC_decrypt_ours(benchmark::State &state) { aes_ours(state, 0); }

// mbedTLS's table code, chained as CBC here so that no AES-NI path is taken.
void aes_mbedtls_table(benchmark::State &state, bool encrypt) {
    auto data = buffer(k4K);
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    if (encrypt) mbedtls_aes_setkey_enc(&ctx, kKey, 128);
    else mbedtls_aes_setkey_dec(&ctx, kKey, 128);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        uint8_t *p = data.data();
        for (int64_t off = 0; off < k4K; off += 16, p += 16) {
            if (encrypt) {
                for (int i = 0; i < 16; ++i) p[i] ^= iv[i];
                mbedtls_internal_aes_encrypt(&ctx, p, p);
                std::memcpy(iv, p, 16);
            } else {
                uint8_t c[16];
                std::memcpy(c, p, 16);
                mbedtls_internal_aes_decrypt(&ctx, p, p);
                for (int i = 0; i < 16; ++i) p[i] ^= iv[i];
                std::memcpy(iv, c, 16);
            }
        }
        benchmark::DoNotOptimize(data.data());
    }
    mbedtls_aes_free(&ctx);
    state.SetBytesProcessed(state.iterations() * k4K);
}

void BM_AES128CBC_encrypt_peer_mbedtls_table(benchmark::State &state) { aes_mbedtls_table(state, true); }
void BM_AES128CBC_decrypt_peer_mbedtls_table(benchmark::State &state) { aes_mbedtls_table(state, false); }

void BM_AES128CBC_encrypt_peer_mbedtls_cbc(benchmark::State &state) {
    auto data = buffer(k4K);
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, kKey, 128);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, data.size(), iv, data.data(), data.data());
        benchmark::DoNotOptimize(data.data());
    }
    mbedtls_aes_free(&ctx);
    state.SetBytesProcessed(state.iterations() * k4K);
}

void BM_AES128CBC_encrypt_peer_openssl(benchmark::State &state) {
    auto data = buffer(k4K);
    peer::OpensslAes *ctx = peer::openssl_aes128cbc_new(kKey, true);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        peer::openssl_aes128cbc(ctx, iv, data.data(), data.size());
        benchmark::DoNotOptimize(data.data());
    }
    peer::openssl_aes128cbc_free(ctx);
    state.SetBytesProcessed(state.iterations() * k4K);
}

BENCHMARK(BM_AES128CBC_encrypt_ours);
BENCHMARK(BM_AES128CBC_encrypt_peer_mbedtls_table);
BENCHMARK(BM_AES128CBC_decrypt_ours);
BENCHMARK(BM_AES128CBC_decrypt_peer_mbedtls_table);
BENCHMARK(BM_AES128CBC_encrypt_peer_mbedtls_cbc);
BENCHMARK(BM_AES128CBC_encrypt_peer_openssl);

}  // namespace

BENCHMARK_MAIN();
