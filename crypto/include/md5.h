/* MD5 (RFC 1321), streaming and one-shot. Kept for the library's other
 * users; the boot manager does not use it. */
#ifndef BMCRYPTO_MD5_H
#define BMCRYPTO_MD5_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MD5_DIGEST_SIZE 16
#define MD5_BLOCK_SIZE 64

typedef struct Md5Ctx {
    uint32_t h[4];
    uint32_t countHigh;     /* 64-bit byte count */
    uint32_t countLow;
    int32_t bufferedBytes;  /* 0..63 */
    uint8_t block[64];
} Md5Ctx;

/* Same contracts as the SHA-1 functions: -6001 for null arguments, -6101
 * when memory is short; free wipes and clears the pointer. */
MSTATUS MD5_allocCtx(Md5Ctx **ctx);
MSTATUS MD5_freeCtx(Md5Ctx **ctx);
MSTATUS MD5_init(Md5Ctx *ctx);
MSTATUS MD5_update(Md5Ctx *ctx, const uint8_t *data, uint32_t len);
MSTATUS MD5_final(Md5Ctx *ctx, uint8_t *out);   /* 16 bytes */
MSTATUS MD5_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
