/* SHA-1 (FIPS 180-4), streaming and one-shot, and the G function of the
 * FIPS 186-2 random generators (one SHA-1 compression without padding). */
#ifndef BMCRYPTO_SHA1_H
#define BMCRYPTO_SHA1_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SHA1_DIGEST_SIZE 20
#define SHA1_BLOCK_SIZE 64

typedef struct Sha1Ctx {
    uint32_t h[5];
    uint32_t countHigh;     /* 64-bit byte count, high and low words */
    uint32_t countLow;
    int32_t bufferedBytes;  /* 0..63 */
    uint8_t block[64];
} Sha1Ctx;

/* -6001 for null arguments, -6101 when memory is short; free wipes and
 * clears the caller's pointer. */
MSTATUS SHA1_allocCtx(Sha1Ctx **ctx);
MSTATUS SHA1_freeCtx(Sha1Ctx **ctx);
MSTATUS SHA1_init(Sha1Ctx *ctx);                                   /* -6001 null */
MSTATUS SHA1_update(Sha1Ctx *ctx, const uint8_t *data, uint32_t len); /* -6001 null */
MSTATUS SHA1_final(Sha1Ctx *ctx, uint8_t *out);                    /* 20 bytes */
MSTATUS SHA1_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);

/* G function: one SHA-1 compression of the 64 bytes at in, starting from
 * the standard initial value, written as five big-endian words to out
 * (20 bytes). -6001 for null arguments. */
MSTATUS SHA1_G(const uint8_t *in, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
