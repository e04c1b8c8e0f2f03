/* Image signature verification: RSASSA-PKCS1-v1_5 over a caller's digest. */
#ifndef BOOTMGR_CRYPTO_IMGSIGN_VERIFY_H
#define BOOTMGR_CRYPTO_IMGSIGN_VERIFY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_IMGSIGN_DIGEST_MISMATCH (-7711)

/* Checks signature (signatureLength bytes) against digest (digestLength
 * bytes) with the public key in keyText (PEM or DER, keyTextLength bytes),
 * which is imported afresh and freed before the call returns. Returns 0
 * only for a good signature:
 *   -6001 null digest, signature or key text
 *   the key import's codes (ca_mgmt.h) when the text is not a key
 *   -7701 the key is not an RSA key
 *   -7708 (ERR_RSA_WEAK_EXPONENT, rsa.h) the key's public exponent is below
 *   65537 or even: such a key is refused before any arithmetic, whatever
 *   the signature (with e = 3 or 1 signatures can be made without the
 *   private key)
 *   RSA_verifyDigestInfo's other codes (rsa.h) when the signature does not
 *   decrypt to a well-formed DigestInfo
 *   -7711 the DigestInfo's digest differs from digest in length or bytes
 * The DigestInfo's hash type is not compared: the length and bytes decide;
 * an empty digest never matches. */
int32_t IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                                uint32_t signatureLength, const uint8_t* keyText, uint32_t keyTextLength);

#ifdef __cplusplus
}
#endif

#endif
