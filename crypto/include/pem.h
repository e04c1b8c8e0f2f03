/* PEM armour removal: turns the text of a PEM file into its DER bytes. */
#ifndef BOOTMGR_CRYPTO_PEM_H
#define BOOTMGR_CRYPTO_PEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Drops every line that begins with "-" (BEGIN and END lines of any label),
 * collects the remaining characters between spaces, CRs, LFs and tabs, and
 * Base64-decodes them into a new buffer *der (owned by the caller, free with
 * BASE64_freeMessage) of *derLength bytes.
 *   -6001 null argument; -6101 no memory; Base64 errors (-6501, -6502).
 * On failure *der is null. */
int32_t PEM_toDer(const uint8_t* text, uint32_t length, uint8_t** der, uint32_t* derLength);

#ifdef __cplusplus
}
#endif

#endif
