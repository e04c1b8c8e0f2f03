// Digest dispatch: the hash-suite table, digests by type, the image digest
// and strict mode.
#include "digest.h"

#include <cstring>

#include "md5.h"
#include "sha1.h"
#include "sha256.h"
#include "sha512.h"

namespace {

int32_t g_strict = 0;

// Strict-mode logger: a hook that prints nothing in this system.
void strict_log(const char *) {}

// Adapters from the typed streaming functions to the table's opaque form.
template <typename Ctx, MSTATUS (*Alloc)(Ctx **), MSTATUS (*Free)(Ctx **), MSTATUS (*Init)(Ctx *),
          MSTATUS (*Update)(Ctx *, const uint8_t *, uint32_t), MSTATUS (*Final)(Ctx *, uint8_t *)>
struct Row {
    static MSTATUS alloc(void **ctx) {
        if (!ctx) return ERR_NULL_POINTER;
        Ctx *c = nullptr;
        MSTATUS st = Alloc(&c);
        *ctx = c;
        return st;
    }
    static MSTATUS free(void **ctx) {
        if (!ctx) return ERR_NULL_POINTER;
        Ctx *c = static_cast<Ctx *>(*ctx);
        MSTATUS st = Free(&c);
        *ctx = c;
        return st;
    }
    static MSTATUS init(void *ctx) { return Init(static_cast<Ctx *>(ctx)); }
    static MSTATUS update(void *ctx, const uint8_t *d, uint32_t n) { return Update(static_cast<Ctx *>(ctx), d, n); }
    static MSTATUS final(void *ctx, uint8_t *out) { return Final(static_cast<Ctx *>(ctx), out); }
    static constexpr HashSuite row(uint32_t digestSize, uint32_t blockSize) noexcept {
        return HashSuite{digestSize, blockSize, alloc, free, init, update, final};
    }
};

using Md5Row = Row<Md5Ctx, MD5_allocCtx, MD5_freeCtx, MD5_init, MD5_update, MD5_final>;
using Sha1Row = Row<Sha1Ctx, SHA1_allocCtx, SHA1_freeCtx, SHA1_init, SHA1_update, SHA1_final>;
using Sha256Row = Row<Sha256Ctx, SHA256_allocCtx, SHA256_freeCtx, SHA256_init, SHA256_update, SHA256_final>;
using Sha224Row = Row<Sha256Ctx, SHA256_allocCtx, SHA256_freeCtx, SHA224_init, SHA256_update, SHA224_final>;
using Sha384Row = Row<Sha512Ctx, SHA512_allocCtx, SHA512_freeCtx, SHA384_init, SHA512_update, SHA384_final>;
using Sha512Row = Row<Sha512Ctx, SHA512_allocCtx, SHA512_freeCtx, SHA512_init, SHA512_update, SHA512_final>;

}  // namespace

extern "C" {

const HashSuite CRYPTO_hashSuites[6] = {
    Md5Row::row(MD5_DIGEST_SIZE, MD5_BLOCK_SIZE),
    Sha1Row::row(SHA1_DIGEST_SIZE, SHA1_BLOCK_SIZE),
    Sha256Row::row(SHA256_DIGEST_SIZE, SHA256_BLOCK_SIZE),
    Sha384Row::row(SHA384_DIGEST_SIZE, SHA512_BLOCK_SIZE),
    Sha512Row::row(SHA512_DIGEST_SIZE, SHA512_BLOCK_SIZE),
    Sha224Row::row(SHA224_DIGEST_SIZE, SHA256_BLOCK_SIZE),
};

MSTATUS CRYPTO_hashSuiteByType(int32_t hashType, const HashSuite **suite) {
    if (!suite) return ERR_NULL_POINTER;
    int row;
    switch (hashType) {
        case HASH_MD5: row = 0; break;
        case HASH_SHA1: row = 1; break;
        case HASH_SHA256: row = 2; break;
        case HASH_SHA384: row = 3; break;
        case HASH_SHA512: row = 4; break;
        case HASH_SHA224: row = 5; break;
        default: return ERR_INVALID_SWITCH;
    }
    *suite = &CRYPTO_hashSuites[row];
    return CRYPTO_OK;
}

MSTATUS CRYPTO_digestByType(const uint8_t *data, uint32_t len, uint8_t *digest,
                            uint32_t *digestLen, int32_t hashType) {
    if (!data || !digest || !digestLen) return ERR_NULL_POINTER;
    if (g_strict && hashType < HASH_SHA256) {
        strict_log("strict mode: SSL connection failed, certificate digest uses weak algorithm");
        return ERR_HASH_UNSUPPORTED;
    }
    MSTATUS (*oneShot)(const uint8_t *, uint32_t, uint8_t *);
    uint32_t size;
    switch (hashType) {
        case HASH_MD5: oneShot = MD5_hashBuffer; size = MD5_DIGEST_SIZE; break;
        case HASH_SHA1: oneShot = SHA1_hashBuffer; size = SHA1_DIGEST_SIZE; break;
        case HASH_SHA256: oneShot = SHA256_hashBuffer; size = SHA256_DIGEST_SIZE; break;
        case HASH_SHA384: oneShot = SHA384_hashBuffer; size = SHA384_DIGEST_SIZE; break;
        case HASH_SHA512: oneShot = SHA512_hashBuffer; size = SHA512_DIGEST_SIZE; break;
        case HASH_SHA224: oneShot = SHA224_hashBuffer; size = SHA224_DIGEST_SIZE; break;
        default: return ERR_HASH_UNSUPPORTED;
    }
    std::memset(digest, 0, CRYPTO_MAX_DIGEST_SIZE);
    *digestLen = size;
    return oneShot(data, len, digest);
}

MSTATUS IMGSIGN_computeSHA256(const uint8_t *data, uint32_t len, uint8_t *digest,
                              uint32_t *digestLen) {
    if (!data || !digest || !digestLen) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "IMGSIGN_computeSHA256: ");
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "status = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, ERR_NULL_POINTER);
        DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
        return ERR_NULL_POINTER;
    }
    *digestLen = 0;
    // SHA-256 by name, not through the digest by type, whose other types
    // would follow the image digest into every program that links it.
    uint8_t scratch[SHA256_DIGEST_SIZE];
    const uint32_t size = SHA256_DIGEST_SIZE;
    MSTATUS st = SHA256_hashBuffer(data, len, scratch);
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "IMGSIGN_computeSHA256: ");
    if (st != CRYPTO_OK) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "status = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, st);
        DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
        return st;
    }
    *digestLen = size;
    std::memcpy(digest, scratch, size);
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "length = ");
    DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, static_cast<int32_t>(size));
    DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
    for (uint32_t i = 0; i < size; ++i) {
        DEBUG_CONSOLE_printHexByte(DEBUG_CATEGORY_IMGSIGN, scratch[i]);
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, " ");
        if (i % 16 == 15 || i + 1 == size) DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
    }
    return CRYPTO_OK;
}

MSTATUS CRYPTO_setStrictMode(int32_t on) {
    if (on != 0 && on != 1) return ERR_INVALID_SWITCH;
    g_strict = on;
    return CRYPTO_OK;
}
MSTATUS CRYPTO_enableStrictMode(void) { g_strict = 1; return CRYPTO_OK; }
MSTATUS CRYPTO_disableStrictMode(void) { g_strict = 0; return CRYPTO_OK; }
int32_t CRYPTO_strictMode(void) { return g_strict; }

}  // extern "C"
