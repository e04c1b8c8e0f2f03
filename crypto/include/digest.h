/* Message digests by type: the hash-suite table, one-shot digests, the
 * image digest entry point and the strict-mode switch. */
#ifndef BMCRYPTO_DIGEST_H
#define BMCRYPTO_DIGEST_H

#include "crypto_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Hash type identifiers: the last arc of the PKCS #1 signature algorithm
 * OID 1.2.840.113549.1.1.n of the same hash. */
enum {
    HASH_MD5 = 4,
    HASH_SHA1 = 5,
    HASH_SHA256 = 11,
    HASH_SHA384 = 12,
    HASH_SHA512 = 13,
    HASH_SHA224 = 14
};

enum {
    ERR_HASH_UNSUPPORTED = -7612   /* unknown type, or weak type in strict mode */
};

/* Largest digest of any supported type; CRYPTO_digestByType's output
 * buffer must hold this many bytes. */
#define CRYPTO_MAX_DIGEST_SIZE 64

/* One row of the constant hash-suite table. Contexts are opaque here. */
typedef struct HashSuite {
    uint32_t digestSize;                              /* bytes */
    uint32_t blockSize;                               /* bytes */
    MSTATUS (*allocCtx)(void **ctx);                  /* -6001, -6101 */
    MSTATUS (*freeCtx)(void **ctx);                   /* wipes, frees, clears */
    MSTATUS (*initCtx)(void *ctx);
    MSTATUS (*update)(void *ctx, const uint8_t *data, uint32_t len);
    MSTATUS (*final)(void *ctx, uint8_t *out);        /* digestSize bytes */
} HashSuite;

/* The table rows in order: MD5, SHA-1, SHA-256, SHA-384, SHA-512, SHA-224. */
extern const HashSuite CRYPTO_hashSuites[6];

/* Stores the row for type 4, 5, 11, 12, 13 or 14 in *suite. -6001 for a
 * null out-pointer, -6010 for any other type. */
MSTATUS CRYPTO_hashSuiteByType(int32_t hashType, const HashSuite **suite);

/* One-shot digest of len bytes at data. digest must hold 64 bytes: all 64
 * are zeroed, then the digest is written and its size stored in
 * *digestLen. -6001 for a null data, digest or digestLen; -7612 for an
 * unsupported type (nothing written) or, in strict mode, a type below 11. */
MSTATUS CRYPTO_digestByType(const uint8_t *data, uint32_t len, uint8_t *digest,
                            uint32_t *digestLen, int32_t hashType);

/* SHA-256 of the signed body of an image. digest holds at least 32 bytes.
 * Sets *digestLen to 0, then on success writes the 32-byte digest and sets
 * *digestLen to 32 and returns 0. -6001 for a null pointer (nothing
 * written). Writes a hex dump (or the status) to debug category 4. */
MSTATUS IMGSIGN_computeSHA256(const uint8_t *data, uint32_t len, uint8_t *digest,
                              uint32_t *digestLen);

/* Strict mode refuses MD5 and SHA-1 in CRYPTO_digestByType. Off at start.
 * CRYPTO_setStrictMode accepts 0 or 1, anything else returns -6010. */
MSTATUS CRYPTO_setStrictMode(int32_t on);
MSTATUS CRYPTO_enableStrictMode(void);
MSTATUS CRYPTO_disableStrictMode(void);
int32_t CRYPTO_strictMode(void);

#ifdef __cplusplus
}
#endif

#endif
