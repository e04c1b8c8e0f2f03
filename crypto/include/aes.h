/* AES (FIPS 197) contexts in ECB and CBC mode, with 32-bit lookup tables.
 *
 * A context is keyed for one direction. Decryption uses the equivalent
 * inverse cipher, whose key schedule is prepared once at creation.
 */
#ifndef BMCRYPTO_AES_H
#define BMCRYPTO_AES_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AES_BLOCK_SIZE 16

enum {
    AES_MODE_ECB = 1,
    AES_MODE_CBC = 2
};

enum {
    ERR_AES_BAD_LENGTH = -7902,     /* data length not a multiple of 16 bytes */
    ERR_AES_BAD_DIRECTION = -7903,  /* context keyed for the other direction, or
                                       a mode other than ECB/CBC when decrypting */
    ERR_AES_BAD_KEY_LENGTH = -7904, /* key not 128, 192 or 256 bits */
    ERR_AES_BAD_MODE = -7907        /* mode other than ECB/CBC when encrypting */
};

typedef struct AesCtx {
    uint32_t encrypt;           /* 1 keyed for encryption, 0 for decryption */
    uint32_t mode;              /* AES_MODE_ECB or AES_MODE_CBC */
    uint32_t keyBits;           /* 128, 192 or 256 */
    uint32_t rounds;            /* 10, 12 or 14 */
    uint32_t roundKeys[60];     /* schedule for the context's direction */
    uint32_t encRoundKeys[60];  /* encryption schedule, always present */
} AesCtx;

/* Keys ctx (caller's storage) for the given direction and mode. -6001 for
 * a null ctx or key, -7904 for keyBits other than 128/192/256. */
MSTATUS AES_initKey(AesCtx *ctx, const uint8_t *key, int32_t keyBits, int32_t encrypt, int32_t mode);

/* Encryption routine: processes floor(bits / 128) blocks of in into out
 * (in == out allowed). CBC reads iv (16 bytes) and leaves the last
 * ciphertext block in it. *processedBits (may be null) receives the bits
 * processed. -6001 for null ctx or in (or null out / CBC iv with work to
 * do), -7903 for a decryption context, -7907 for an unknown mode. */
MSTATUS AES_encrypt(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, int32_t bits,
                    uint8_t *out, int32_t *processedBits);
/* Decryption routine, same arguments. -7903 for an encryption context or
 * an unknown mode. */
MSTATUS AES_decrypt(const AesCtx *ctx, uint8_t *iv, const uint8_t *in, int32_t bits,
                    uint8_t *out, int32_t *processedBits);

/* Encrypts one block with the context's encryption schedule, whatever its
 * direction (used by counter-mode constructions). */
void AES_encryptBlock(const AesCtx *ctx, const uint8_t in[16], uint8_t out[16]);

/* Returns a new zeroed context keyed for CBC in the given direction
 * (encrypt 1) or null when memory is short, key is null or keyLen is not
 * 16, 24 or 32 bytes. The caller frees it with FreeAESCtx. */
AesCtx *CreateAESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt);

/* Encrypts (encrypt 1) or decrypts data of len bytes in place. iv holds 16
 * bytes: the chaining value on entry, the last ciphertext block on return,
 * so consecutive calls continue one CBC chain. Returns 0, -7902 when len is
 * not a multiple of 16 (data untouched), -6001 for null ctx, data (len > 0)
 * or iv, -7903 when the context was keyed for the other direction. Failures
 * are also written to debug category 32. */
MSTATUS DoAES(AesCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv);

/* Wipes and frees *ctx and sets it to null. Null ctx or *ctx: no-op, 0. */
MSTATUS FreeAESCtx(AesCtx **ctx);

#ifdef __cplusplus
}
#endif

#endif
