/* Public key import: key text (PEM, or raw DER) to a KeyHandle. */
#ifndef BOOTMGR_CRYPTO_CA_MGMT_H
#define BOOTMGR_CRYPTO_CA_MGMT_H

#include <stdint.h>

#include "key_blob.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Converts length bytes of key text into a key. The text is tried as PEM
 * (armour lines dropped, Base64 decoded) and, when that gives no key, as
 * DER. When handle is not null it is initialised and receives the key
 * (owned by the caller, free with KEY_freeHandle); with a null handle the
 * call only checks the text. Every intermediate buffer is freed before the
 * call returns.
 *   -6001 null text; the DER shape, blob and parser codes of key_blob.h and
 *   asn1.h; -6101. When both attempts fail, the status is the decoded PEM's
 *   when the text was valid PEM, else the raw DER attempt's. 
 * Debug category 4 receives the steps and, on failure, "status = ". */
int32_t CA_MGMT_convertPublicKey(const uint8_t* keyText, uint32_t keyTextLength, KeyHandle* handle);

/* Writes "length = N" and the bytes as lower-case hex, 16 to a line, on the
 * debug console in the given category. */
void CA_MGMT_debugHexDump(uint32_t category, const uint8_t* bytes, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
