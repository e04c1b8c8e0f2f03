/* Keys of any type (KeyHandle), the library's serialised key (key blob) and
 * the DER key shapes it is made from.
 *
 * Key blob (lengths big-endian): 7 zero octets, version 1, 3 zero octets,
 * key type (1 RSA, 2 elliptic curve, 3 DSA), then the type's body. Each body
 * begins with a body version octet 1 and a private flag octet, followed by
 * fields of a 4-octet length and that many octets:
 *   RSA public:  e, n
 *   RSA private: e, n, p, q, e^-1 mod (p-1), e^-1 mod (q-1), q^-1 mod p,
 *                then for p and for q a Montgomery context: 4-octet rBits
 *                and the fields R, R^-1 mod m, m, -m^-1 mod R
 *   EC:          curve OID content, public point, [private scalar]
 *   DSA:         p, q, g, y, [x]
 * A blob whose first four octets are not all zero is the older unversioned
 * RSA private form: p, q, n, e and nothing else.
 *
 * Status codes:
 *   -6001 null argument     -6101 no memory
 *   -7402 malformed key blob, or key parts that do not form a key
 *   -7403 key type that cannot be serialised
 *   -7404 wrong blob or RSA body version
 *   -7603 SubjectPublicKeyInfo or algorithm identifier not shaped as expected
 *   -7604 algorithm OID not accepted
 *   -7605 public exponent longer than 4 octets
 *   -7621 RSA modulus of 513 octets or more
 *   -7703 DER is not a SEQUENCE of an accepted RSA shape
 *   -7704 RSAPrivateKey version above 1
 *   -9803 no RSA shape, and the first element is neither SEQUENCE nor INTEGER
 *   and the ASN.1 parser's codes (asn1.h).
 */
#ifndef BOOTMGR_CRYPTO_KEY_BLOB_H
#define BOOTMGR_CRYPTO_KEY_BLOB_H

#include <stdint.h>

#include "rsa.h"
#include "vlong.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_KEY_BLOB (-7402)
#define ERR_KEY_TYPE_UNSUPPORTED (-7403)
#define ERR_KEY_BLOB_VERSION (-7404)
#define ERR_KEY_SPKI_SHAPE (-7603)
#define ERR_KEY_OID (-7604)
#define ERR_KEY_EXPONENT_TOO_LONG (-7605)
#define ERR_KEY_MODULUS_TOO_LONG (-7621)
#define ERR_KEY_NOT_RSA_DER (-7703)
#define ERR_KEY_PRIVATE_VERSION (-7704)
#define ERR_KEY_NO_SHAPE (-9803)

#define KEY_TYPE_EMPTY 0u
#define KEY_TYPE_RSA 1u
#define KEY_TYPE_ECC 2u
#define KEY_TYPE_DSA 3u

#define KEY_BLOB_HEADER_SIZE 12u
#define KEY_ECC_MAX_OID 16u

typedef struct EccKey {
    uint32_t isPrivate;
    uint8_t curveOid[KEY_ECC_MAX_OID]; /* OID content octets of the named curve */
    uint32_t curveOidLength;
    uint8_t* point;   /* public point as encoded (04 || X || Y, or compressed) */
    uint32_t pointLength;
    uint8_t* scalar;  /* private scalar, null in a public key */
    uint32_t scalarLength;
} EccKey;

typedef struct DsaKey {
    uint32_t isPrivate;
    vlong* p;
    vlong* q;
    vlong* g;
    vlong* y;
    vlong* x; /* null in a public key */
} DsaKey;

typedef struct KeyHandle {
    uint32_t keyType; /* KEY_TYPE_* */
    void* key;        /* RsaKey*, EccKey* or DsaKey*, owned by the handle */
} KeyHandle;

/* Sets the handle to empty without freeing anything. -6001. */
int32_t KEY_initHandle(KeyHandle* handle);
/* Wipes and frees the handle's key and empties it. -6001. */
int32_t KEY_freeHandle(KeyHandle* handle);
/* Frees dst's key, then gives it a deep copy of src's. -6001, -6101. */
int32_t KEY_copyHandle(KeyHandle* dst, const KeyHandle* src);

/* Serialises the handle's key into a new blob (*blob owned by the caller,
 * free with KEY_freeBlob). -7403 for an empty or unknown type. */
int32_t KEY_handleToBlob(const KeyHandle* handle, uint8_t** blob, uint32_t* blobLength);
/* Reads a blob into handle, replacing what it held (the handle is emptied
 * first, and stays empty on failure). -6001, -7402, -7404, -6101. */
int32_t KEY_blobToHandle(const uint8_t* blob, uint32_t blobLength, KeyHandle* handle);
/* Recognises an RSA SubjectPublicKeyInfo, RSAPublicKey or RSAPrivateKey,
 * else an elliptic-curve SubjectPublicKeyInfo or private key, and
 * serialises it as a new blob. */
int32_t KEY_derToBlob(const uint8_t* der, uint32_t derLength, uint8_t** blob, uint32_t* blobLength);
/* Wipes and frees a blob and clears the pointer. -6001. */
int32_t KEY_freeBlob(uint8_t** blob, uint32_t blobLength);

#ifdef __cplusplus
}
#endif

#endif
