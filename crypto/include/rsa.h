/* RSA keys and the RSA public operation for signature verification
 * (RSASSA-PKCS1-v1_5, RFC 8017).
 *
 * Status codes (besides those of vlong.h and asn1.h, which pass through):
 *   -6001 null argument               -6101 no memory
 *   -7603 decrypted payload is not a well-formed DigestInfo
 *   -7604 digest algorithm OID not recognised
 *   -7609 signature length differs from the modulus length, or the digest's
 *         length or position is wrong
 *   -7701 no key                      -7702 bad block type 1 encoding, or a
 *                                           signature not below the modulus
 *   -7706 public exponent missing or wider than 32 bits
 *   -7707 modulus longer than 4096 bits
 *   -7708 public exponent below 65537 or even: refused for verification
 */
#ifndef BOOTMGR_CRYPTO_RSA_H
#define BOOTMGR_CRYPTO_RSA_H

#include <stdint.h>

#include "vlong.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_RSA_BAD_DIGEST_INFO (-7603)
#define ERR_RSA_UNKNOWN_DIGEST (-7604)
#define ERR_RSA_BAD_SIGNATURE_LENGTH (-7609)
#define ERR_RSA_NO_KEY (-7701)
#define ERR_RSA_BAD_PADDING (-7702)
#define ERR_RSA_BAD_EXPONENT (-7706)
#define ERR_RSA_MODULUS_TOO_LONG (-7707)
#define ERR_RSA_WEAK_EXPONENT (-7708)

#define RSA_MAX_MODULUS_BYTES 512u
#define RSA_MAX_DIGEST_SIZE 64u

/* Hash types reported by RSA_verifyDigestInfo besides those of digest.h. */
#define RSA_HASH_MD2 2
#define RSA_HASH_MD4 3

typedef struct RsaKey {
    uint32_t isPrivate;             /* 0 public, 1 private */
    vlong* exponent;                /* e */
    vlong* modulus;                 /* n */
    vlong* privateParts[5];         /* p (the larger prime), q, e^-1 mod (p-1),
                                       e^-1 mod (q-1), q^-1 mod p; null in a
                                       public key */
    MontgomeryCtx* primeContexts[2]; /* for p and q; null in a public key */
} RsaKey;

/* New empty public key in *key (owned by the caller). -6001, -6101. */
int32_t RSA_createKey(RsaKey** key);
/* Wipes and frees the key and clears *key. -6001 for a null pointer. */
int32_t RSA_freeKey(RsaKey** key);
/* Makes key a public key (n, e) from big-endian magnitudes; any earlier
 * contents are dropped. -6001, -6101, -6003. */
int32_t RSA_setPublicKeyData(RsaKey* key, const uint8_t* e, uint32_t eLen, const uint8_t* n, uint32_t nLen);
/* Makes key a private key from e, n and the primes; derives the remaining
 * parts and the prime contexts, swapping p and q so p is the larger.
 * -7402 when p*q != n or a part cannot be derived; -6001, -6101. */
int32_t RSA_setPrivateKeyData(RsaKey* key, const uint8_t* e, uint32_t eLen, const uint8_t* n, uint32_t nLen,
                              const uint8_t* p, uint32_t pLen, const uint8_t* q, uint32_t qLen);
/* *dst = a deep copy of src (owned by the caller). */
int32_t RSA_cloneKey(RsaKey** dst, const RsaKey* src);
/* Modulus length in bytes. -6001 for a null key or out-pointer, -7701 for
 * a key without a modulus. */
int32_t RSA_modulusLength(const RsaKey* key, int32_t* length);

/* Whether key may be used to verify signatures: 0 when its public exponent
 * is odd and at least 65537. -7708 when it is below 65537 or even: the
 * DigestInfo reading of RSA_verifyDigestInfo skips the algorithm
 * parameters, which is safe only with a large exponent (with e = 3 a block
 * with garbage in the parameters and the right digest at its end has an
 * integer cube root that is a signature, with e = 1 the block is its own
 * signature; an even e is no RSA key). -7706 when the exponent is missing
 * or wider than 32 bits, -6001 for a null key. */
int32_t RSA_checkVerifyExponent(const RsaKey* key);

/* RSAVP1 followed by the removal of block type 1 padding, with any exponent
 * that fits 32 bits (see RSA_checkVerifyExponent for signatures). input and
 * output are modulus-length buffers. The signature representative must be below
 * the modulus (else -7702); the block must read 00 01, at least eight FF,
 * 00, payload (else -7702). The payload is moved to the start of output
 * and its length stored in *payloadLength (0 when no separator exists).
 * Temporaries go to the caller's pool (may be null). */
int32_t RSA_publicDecrypt(const RsaKey* key, const uint8_t* input, uint8_t* output, uint32_t* payloadLength,
                          vlong** pool);

/* Refuses, before any arithmetic, a key without a modulus (-7701) and one
 * that RSA_checkVerifyExponent refuses (-7706, -7708). Then decrypts the
 * signature (signatureLength must equal the modulus length, else -7609) and
 * reads the DigestInfo: digest receives 64 bytes (zeroed, then the digest),
 * *digestLength its length and *hashType the hash type the
 * DigestInfo names (2 MD2, 3 MD4, 4 MD5, 5 SHA-1, 11 SHA-256, 12 SHA-384,
 * 13 SHA-512, 14 SHA-224, -1 an unknown arc under a known prefix).
 * -6001 null argument; -7603, -7604, -7609, -7706, -7708; -7702 and the
 * parser's codes. */
int32_t RSA_verifyDigestInfo(const RsaKey* key, const uint8_t* signature, uint32_t signatureLength,
                             uint8_t* digest, uint32_t* digestLength, int32_t* hashType);

#ifdef __cplusplus
}
#endif

#endif
