/* Table rows of the bulk ciphers, for generic code that works on any
 * block cipher in CBC mode through function pointers. */
#ifndef BMCRYPTO_BULK_CIPHER_H
#define BMCRYPTO_BULK_CIPHER_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CipherSuite {
    uint32_t blockSize;
    /* New context for one direction, or null (bad key length, null key,
     * short memory). */
    void *(*createCtx)(const uint8_t *key, int32_t keyLen, int32_t encrypt);
    /* Wipes and frees *ctx, sets it to null; null is a no-op. Returns 0. */
    MSTATUS (*freeCtx)(void **ctx);
    /* CBC in place over len bytes with the IV carrying the chain; the
     * row's Do* function's status codes. */
    MSTATUS (*cipher)(void *ctx, uint8_t *data, int32_t len, int32_t encrypt, uint8_t *iv);
} CipherSuite;

extern const CipherSuite CRYPTO_aesSuite;   /* block 16: CreateAESCtx, DoAES, FreeAESCtx */
extern const CipherSuite CRYPTO_desSuite;   /* block 8, 8-byte keys */
extern const CipherSuite CRYPTO_tdesSuite;  /* block 8, 24-byte keys (EDE) */

#ifdef __cplusplus
}
#endif

#endif
