/* SHA-512 and SHA-384 (FIPS 180-4), streaming and one-shot. Both share one
 * 64-bit context, update and transform; they differ in the initial value
 * and in the number of output bytes (64 or 48). */
#ifndef BMCRYPTO_SHA512_H
#define BMCRYPTO_SHA512_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SHA512_DIGEST_SIZE 64
#define SHA384_DIGEST_SIZE 48
#define SHA512_BLOCK_SIZE 128

typedef struct Sha512Ctx {
    uint64_t h[8];          /* chaining value */
    uint64_t countHigh;     /* byte count, high and low 64-bit words */
    uint64_t countLow;
    int32_t bufferedBytes;  /* bytes waiting in block, 0..127 */
    uint8_t block[128];
} Sha512Ctx;

/* Allocation and freeing as for SHA256_allocCtx / SHA256_freeCtx:
 * -6001 for null arguments, -6101 when memory is short; free wipes. */
MSTATUS SHA512_allocCtx(Sha512Ctx **ctx);
MSTATUS SHA512_freeCtx(Sha512Ctx **ctx);
/* -6001 for a null context. */
MSTATUS SHA512_init(Sha512Ctx *ctx);
MSTATUS SHA384_init(Sha512Ctx *ctx);
/* -6001 for a null context, or null data with len > 0. */
MSTATUS SHA512_update(Sha512Ctx *ctx, const uint8_t *data, uint32_t len);
/* Writes 64 (SHA-512) or 48 (SHA-384) bytes; -6001 for null arguments. */
MSTATUS SHA512_final(Sha512Ctx *ctx, uint8_t *out);
MSTATUS SHA384_final(Sha512Ctx *ctx, uint8_t *out);
/* One-shot digests; the stack context is wiped. -6001 for null out or
 * null data with len > 0. */
MSTATUS SHA512_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);
MSTATUS SHA384_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
