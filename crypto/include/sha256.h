/* SHA-256 and SHA-224 (FIPS 180-4), streaming and one-shot.
 *
 * SHA-224 shares the context, update and transform of SHA-256 and differs
 * only in its initial value and in writing 28 output bytes. On x86-64 the
 * transform is chosen at run time: the CPU's SHA extensions when it has
 * them, else the portable code built for BMI2 when it has that, else the
 * portable code.
 */
#ifndef BMCRYPTO_SHA256_H
#define BMCRYPTO_SHA256_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SHA256_DIGEST_SIZE 32
#define SHA224_DIGEST_SIZE 28
#define SHA256_BLOCK_SIZE 64

typedef struct Sha256Ctx {
    uint32_t h[8];          /* chaining value H0..H7 */
    uint32_t countHigh;     /* high word of the byte count */
    uint32_t countLow;      /* low word of the byte count */
    int32_t bufferedBytes;  /* bytes waiting in block, 0..63 */
    uint8_t block[64];      /* partial input block */
} Sha256Ctx;

/* Allocates a zeroed context into *ctx: -6001 for null ctx, -6101 when
 * memory is short. The caller frees it with SHA256_freeCtx. */
MSTATUS SHA256_allocCtx(Sha256Ctx **ctx);
/* Zeroes the whole context, frees it and sets *ctx to null. Null ctx or
 * *ctx returns -6001. */
MSTATUS SHA256_freeCtx(Sha256Ctx **ctx);

/* Load the initial value and zero the counts; -6001 for a null context. */
MSTATUS SHA256_init(Sha256Ctx *ctx);
MSTATUS SHA224_init(Sha256Ctx *ctx);
/* Absorbs len bytes. -6001 for a null context, or null data with len > 0. */
MSTATUS SHA256_update(Sha256Ctx *ctx, const uint8_t *data, uint32_t len);
/* Pads, finishes and writes 32 (SHA-256) or 28 (SHA-224) bytes to out.
 * -6001 for a null context or output. */
MSTATUS SHA256_final(Sha256Ctx *ctx, uint8_t *out);
MSTATUS SHA224_final(Sha256Ctx *ctx, uint8_t *out);

/* One-shot digests on a stack context, wiped before return. out holds 32
 * (28) bytes. -6001 for null out, or null data with len > 0. */
MSTATUS SHA256_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);
MSTATUS SHA224_hashBuffer(const uint8_t *data, uint32_t len, uint8_t *out);

/* Transform kinds. The portable kinds are the same C++ source; on x86-64
 * it is also compiled for CPUs with BMI2. */
enum {
    SHA256_TRANSFORM_PORTABLE = 0,        /* baseline build of the portable code */
    SHA256_TRANSFORM_PORTABLE_BMI2 = 1,   /* portable code built for BMI2 (x86-64) */
    SHA256_TRANSFORM_SHA_EXTENSIONS = 2   /* x86 SHA extensions */
};

/* Selects the transform used by all SHA-256/224 contexts from now on, if
 * this CPU has it; returns the kind in use afterwards. By default the best
 * kind the CPU has is used. */
int SHA256_selectTransform(int kind);
/* 1 when this CPU can run the given transform kind. */
int SHA256_transformAvailable(int kind);

/* enable 1: the best transform of this CPU (the default); 0: the best
 * portable one. Returns 1 when the SHA-extension transform is in use. */
int SHA256_useHardware(int enable);
/* 1 when this CPU has the SHA extensions the hardware transform needs. */
int SHA256_hardwareAvailable(void);

#ifdef __cplusplus
}
#endif

#endif
