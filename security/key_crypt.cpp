#include "security/key_crypt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "aes.h"
#include "image/file_writer.h"

namespace {

constexpr std::size_t kBlock = 16;

struct AesKey {
    std::uint8_t key[16];
    std::uint8_t iv[16];
};

AesKey make_key(const std::uint8_t* seed, std::size_t seed_len) {
    AesKey k{};
    std::memcpy(k.key, seed, seed_len < sizeof k.key ? seed_len : sizeof k.key);
    return k;
}

struct AesCtxFree {
    void operator()(AesCtx* ctx) const { FreeAESCtx(&ctx); }
};
using AesCtxPtr = std::unique_ptr<AesCtx, AesCtxFree>;

}  // namespace

KeyBuffer imgsign_encrypt(const std::uint8_t* seed, std::size_t seed_len,
                          const std::uint8_t* data, std::size_t len, std::size_t* out_len) {
    const std::size_t padded = (len + kBlock - 1) / kBlock * kBlock;
    AesKey k = make_key(seed, seed_len);
    KeyBuffer buf(new (std::nothrow) std::uint8_t[padded > 0 ? padded : 1]);
    if (!buf) {
        std::puts("Encrypt malloc failed!");
        return nullptr;
    }
    std::memset(buf.get(), 0, padded);
    if (len > 0) std::memcpy(buf.get(), data, len);

    AesCtxPtr ctx(CreateAESCtx(k.key, sizeof k.key, 1));
    if (!ctx) {
        std::puts("CreateAESCtx(encrypt) failed!");
        return nullptr;
    }
    const MSTATUS rc = DoAES(ctx.get(), buf.get(), static_cast<std::int32_t>(padded), 1, k.iv);
    if (rc < 0) {
        std::printf("Do aes encryption failed. rc=%d", static_cast<int>(rc));
        return nullptr;
    }
    *out_len = padded;
    return buf;
}

KeyBuffer imgsign_decrypt(const std::uint8_t* seed, std::size_t seed_len,
                          const std::uint8_t* data, std::size_t len, std::size_t* out_len) {
    if (len == 0 || len % kBlock != 0) {
        std::puts("Input data is not AES size correct");
        return nullptr;
    }
    AesKey k = make_key(seed, seed_len);
    AesCtxPtr ctx(CreateAESCtx(k.key, sizeof k.key, 0));
    if (!ctx) {
        std::printf("%s: CreateAESCtx(decrypt) failed!\n", "imgsign_decrypt");
        return nullptr;
    }
    KeyBuffer buf(new (std::nothrow) std::uint8_t[len]);
    if (!buf) return nullptr;
    std::memcpy(buf.get(), data, len);
    const MSTATUS rc = DoAES(ctx.get(), buf.get(), static_cast<std::int32_t>(len), 0, k.iv);
    if (rc < 0) {
        std::printf("Do aes failed. rc=%d", static_cast<int>(rc));
        return nullptr;
    }
    const void* zero = std::memchr(buf.get(), 0, len);
    *out_len = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - buf.get())
                    : len;
    return buf;
}

bool imgsign_write_key_file(const char* text, std::size_t len, const char* path,
                            const std::uint8_t* seed, std::size_t seed_len) {
    std::size_t cipher_len = 0;
    const KeyBuffer cipher = imgsign_encrypt(
        seed, seed_len, reinterpret_cast<const std::uint8_t*>(text), len, &cipher_len);
    // Without cipher text there is nothing to store; an empty key file would
    // only have to be thrown away at the next load.
    if (!cipher) return false;
    switch (write_file_durably(path, cipher.get(), cipher_len, false)) {
    case DURABLE_WRITE_OK:
        return true;
    case DURABLE_WRITE_CREATE_FAILED:
        std::printf("ERROR creating file %s\n", path);
        return false;
    case DURABLE_WRITE_FAILED:
        break;
    }
    std::printf("ERROR writing file %s (err %d)\n", path, errno);
    return false;
}
