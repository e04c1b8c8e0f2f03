/* CTR_DRBG (SP 800-90A section 10.2) over AES (block length 16, key
 * length 16/24/32) or triple DES (block length 8, key length 21: 168 key
 * bits, expanded to three DES keys by inserting a parity bit after every 7
 * bits). Seed length = key length + block length. */
#ifndef BMCRYPTO_CTR_DRBG_H
#define BMCRYPTO_CTR_DRBG_H

#include "random.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Instantiates without derivation function. entropy must be exactly the
 * seed length (else -17210); pers (may be null when persLen is 0) at most
 * the seed length (else -17212). -6001 for null out or entropy, -17208 for
 * a block length other than 8 or 16, -17207 for a key length that does not
 * fit it, -6101 when memory is short. The context is freed with
 * RANDOM_free. */
MSTATUS CTR_DRBG_new(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen,
                     uint32_t keyLen, uint32_t blockLen,
                     const uint8_t *pers, uint32_t persLen);

/* CTR_DRBG_new with block length 16 (AES), the same checks and codes
 * besides -17208, which cannot occur. A program that instantiates only
 * through this function links no triple DES. */
MSTATUS CTR_DRBG_newAes(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen,
                        uint32_t keyLen, const uint8_t *pers, uint32_t persLen);

/* Instantiates with the derivation function (Block_Cipher_df): entropy
 * (any length of at least the key length), nonce and pers are
 * concatenated and reduced to the seed length. Other failures as above;
 * -17210 for entropy shorter than the key length. */
MSTATUS CTR_DRBG_newDf(RandomCtx **out, const uint8_t *entropy, uint32_t entropyLen,
                       const uint8_t *nonce, uint32_t nonceLen,
                       uint32_t keyLen, uint32_t blockLen,
                       const uint8_t *pers, uint32_t persLen);

/* Reseeds. Without df: entropy exactly the seed length (-17210), the
 * additional input zero-padded or truncated to the seed length. With df:
 * entropy of at least the key length, additional input of any length.
 * -6001 for a null or non-CTR_DRBG context or null entropy. */
MSTATUS CTR_DRBG_reseed(RandomCtx *ctx, const uint8_t *entropy, uint32_t entropyLen,
                        const uint8_t *add, uint32_t addLen);

/* Writes ceil(bits / 8) bytes to out. -17205 when a reseed is required,
 * -17209 for 2^19 bits or more (AES) or more than 8191 bits (triple DES),
 * -6001 for null arguments or a non-CTR_DRBG context. */
MSTATUS CTR_DRBG_generate(RandomCtx *ctx, const uint8_t *add, uint32_t addLen,
                          uint8_t *out, uint32_t bits);

/* Block_Cipher_df of SP 800-90A section 10.3.2 on the context's cipher
 * kind: derives outLen bytes from in. -17206 for outLen above 64. */
MSTATUS CTR_DRBG_df(const RandomCtx *ctx, const uint8_t *in, uint32_t inLen,
                    uint8_t *out, uint32_t outLen);

#ifdef __cplusplus
}
#endif

#endif
