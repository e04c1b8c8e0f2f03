/* DES and triple DES (FIPS 46-3, SP 800-67 EDE with three keys), block
 * operations and CBC contexts. Used by the CTR_DRBG with block length 8;
 * single DES is kept only as the building block and for legacy users. */
#ifndef BMCRYPTO_DES_H
#define BMCRYPTO_DES_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DES_BLOCK_SIZE 8

enum {
    ERR_DES_BAD_LENGTH = -7902,     /* data length not a multiple of 8 bytes */
    ERR_DES_BAD_DIRECTION = -7903,  /* context keyed for the other direction */
    ERR_DES_BAD_KEY_LENGTH = -7904  /* key not 8 (DES) or 24 (triple DES) bytes */
};

typedef struct DesKey {
    uint64_t subkeys[16];   /* 48-bit round keys, encryption order */
} DesKey;

/* Triple DES EDE: C = E(k3, D(k2, E(k1, P))). */
typedef struct TdesKey {
    DesKey k[3];
} TdesKey;

typedef struct DesCbcCtx {
    uint32_t encrypt;       /* 1 encryption, 0 decryption */
    uint32_t triple;        /* 1 triple DES, 0 single DES */
    TdesKey keys;           /* single DES uses keys.k[0] */
} DesCbcCtx;

/* Key schedules from 8 (DES) or 24 (triple DES) key bytes; parity bits
 * are ignored. -6001 for null arguments. */
MSTATUS DES_initKey(DesKey *ks, const uint8_t *key);
MSTATUS TDES_initKey(TdesKey *ks, const uint8_t *key);

/* One 8-byte block; in and out may be the same buffer. */
void DES_encryptBlock(const DesKey *ks, const uint8_t *in, uint8_t *out);
void DES_decryptBlock(const DesKey *ks, const uint8_t *in, uint8_t *out);
void TDES_encryptBlock(const TdesKey *ks, const uint8_t *in, uint8_t *out);
void TDES_decryptBlock(const TdesKey *ks, const uint8_t *in, uint8_t *out);

/* CBC contexts, same shape as the AES calls: Create returns null for a
 * null key, a key of the wrong length (8 for DES, 24 for triple DES) or
 * short memory; Do works in place on len bytes with an 8-byte IV that
 * carries the chain (-7902 for a length not a multiple of 8, data
 * untouched; -6001 for null ctx, data or iv; -7903 for the wrong
 * direction); Free wipes, frees, clears the pointer and accepts null. */
DesCbcCtx *CreateDESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt);
DesCbcCtx *Create3DESCtx(const uint8_t *key, int32_t keyLen, int32_t encrypt);
MSTATUS DoDES(DesCbcCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv);
MSTATUS Do3DES(DesCbcCtx *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv);
MSTATUS FreeDESCtx(DesCbcCtx **ctx);
MSTATUS Free3DESCtx(DesCbcCtx **ctx);

#ifdef __cplusplus
}
#endif

#endif
