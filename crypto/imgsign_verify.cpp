// Image signature verification: see include/imgsign_verify.h.
#include "imgsign_verify.h"

#include <cstdint>

#include "ca_mgmt.h"
#include "crypto_platform.h"
#include "rsa.h"

extern "C" int32_t IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                                           uint32_t signatureLength, const uint8_t* keyText,
                                           uint32_t keyTextLength) {
    if (digest == nullptr || signature == nullptr || keyText == nullptr) return ERR_NULL_POINTER;
    KeyHandle key;
    KEY_initHandle(&key);
    uint8_t decrypted[RSA_MAX_DIGEST_SIZE] = {};
    uint32_t decryptedLength = 0;
    int32_t s = CA_MGMT_convertPublicKey(keyText, keyTextLength, &key);
    if (s == 0) {
        // Only an RSA key's record may be handed to the RSA code.
        if (key.keyType != KEY_TYPE_RSA || key.key == nullptr) {
            s = ERR_RSA_NO_KEY;
        } else {
            int32_t hashType = 0;
            s = RSA_verifyDigestInfo(static_cast<const RsaKey*>(key.key), signature, signatureLength, decrypted,
                                     &decryptedLength, &hashType);
            // An empty digest (an unknown algorithm arc) never matches.
            if (s == 0 && (decryptedLength == 0 || decryptedLength != digestLength ||
                           CRYPTO_ctEqual(decrypted, digest, digestLength) != 0)) {
                s = ERR_IMGSIGN_DIGEST_MISMATCH;
            }
        }
    }
    KEY_freeHandle(&key);
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "IMGSIGN_verifySignature: ");
    if (s == 0) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "signature ");
        CA_MGMT_debugHexDump(DEBUG_CATEGORY_IMGSIGN, signature, signatureLength);
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "decrypted signature ");
        CA_MGMT_debugHexDump(DEBUG_CATEGORY_IMGSIGN, decrypted, decryptedLength);
        return 0;
    }
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "status = ");
    DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, s);
    DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
    return s;
}
