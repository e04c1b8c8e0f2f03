/* Base64 decoding (RFC 4648 standard alphabet, "=" padding).
 *
 * The 256-entry decoding table is process-wide state built once by
 * CRYPTO_libraryInit through BASE64_initializeContext and kept for the life
 * of the process (BASE64_freeContext drops it again).
 */
#ifndef BOOTMGR_CRYPTO_BASE64_H
#define BOOTMGR_CRYPTO_BASE64_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_BASE64_BAD_INPUT (-6501)  /* length, character or padding */
#define ERR_BASE64_NO_TABLE (-6502)   /* decoding table not built */

/* Builds the decoding table (1 + alphabet index for the 64 alphabet
 * characters, 0 for every other octet). A second call keeps the existing
 * table. Returns 0, or -6101 when it cannot be allocated. */
int32_t BASE64_initializeContext(void);
/* Frees the decoding table; later decodes fail with -6502. Returns 0. */
int32_t BASE64_freeContext(void);

/* Decodes length characters of text into a new buffer *out (owned by the
 * caller, free with BASE64_freeMessage) of *outLength bytes.
 *   -6001 null text, out or outLength
 *   -6502 the table has not been built
 *   -6501 length below 4 or not a multiple of 4, an invalid character in
 *         the first two places of a group, or "=" padding anywhere but at
 *         the end of the last group (or a non-alphabet, non-"=" character)
 *   -6101 no memory
 * On failure *out is null. */
int32_t BASE64_decode(const uint8_t* text, uint32_t length, uint8_t** out, uint32_t* outLength);
/* Frees a buffer from BASE64_decode or PEM_toDer and clears the pointer. */
int32_t BASE64_freeMessage(uint8_t** buffer);

#ifdef __cplusplus
}
#endif

#endif
