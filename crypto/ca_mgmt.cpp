// Public key import: see include/ca_mgmt.h for the contract.
#include "ca_mgmt.h"

#include <cstdint>
#include <cstdio>

#include "base64.h"
#include "crypto_platform.h"
#include "pem.h"

namespace {

void dump_value(const char* label, const vlong* v) {
    int32_t len = 0;
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, label);
    if (VLONG_byteStringFromVlong(v, nullptr, &len) < 0) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "Call VLONG_byteStringFromVlong failed\n");
        return;
    }
    auto* b = static_cast<uint8_t*>(CRYPTO_malloc(len > 0 ? static_cast<size_t>(len) : 1));
    if (b == nullptr || VLONG_byteStringFromVlong(v, b, &len) < 0) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "Call VLONG_byteStringFromVlong failed\n");
    } else {
        CA_MGMT_debugHexDump(DEBUG_CATEGORY_IMGSIGN, b, static_cast<uint32_t>(len));
    }
    CRYPTO_free(b);
}

int32_t convert(const uint8_t* text, uint32_t length, KeyHandle* out) {
    uint8_t* der = nullptr;
    uint32_t derLen = 0;
    uint8_t* blob = nullptr;
    uint32_t blobLen = 0;
    int32_t s = PEM_toDer(text, length, &der, &derLen);
    const bool armoured = s == 0;
    if (s == 0) s = KEY_derToBlob(der, derLen, &blob, &blobLen);
    if (der != nullptr) BASE64_freeMessage(&der);
    if (s < 0) {
        // The text may be raw DER. When it was valid PEM, the reason the
        // decoded key was refused is the one worth reporting, not the
        // parser's complaint about reading PEM text as DER.
        const int32_t pemStatus = s;
        s = KEY_derToBlob(text, length, &blob, &blobLen);
        if (s < 0 && armoured) s = pemStatus;
    }
    if (s < 0) return s;

    KeyHandle tmp;
    KEY_initHandle(&tmp);
    s = KEY_blobToHandle(blob, blobLen, &tmp);
    if (s == 0 && tmp.keyType == KEY_TYPE_RSA && (DEBUG_CONSOLE_mask() & DEBUG_CATEGORY_IMGSIGN) != 0) {
        const auto* k = static_cast<const RsaKey*>(tmp.key);
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "key type = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, static_cast<int32_t>(tmp.keyType));
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, ", private key = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, static_cast<int32_t>(k->isPrivate));
        DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
        dump_value("Modulus: ", k->modulus);
        dump_value("Exponent: ", k->exponent);
    }
    if (s == 0 && out != nullptr) {
        KEY_initHandle(out);
        s = KEY_copyHandle(out, &tmp);
    }
    KEY_freeHandle(&tmp);
    KEY_freeBlob(&blob, blobLen);
    return s;
}

}  // namespace

extern "C" {

void CA_MGMT_debugHexDump(uint32_t category, const uint8_t* bytes, uint32_t length) {
    if ((DEBUG_CONSOLE_mask() & category) != category) return;
    DEBUG_CONSOLE_print(category, "length = ");
    DEBUG_CONSOLE_printInt(category, static_cast<int32_t>(length));
    DEBUG_CONSOLE_printLine(category, nullptr);
    for (uint32_t i = 0; i < length; ++i) {
        DEBUG_CONSOLE_printHexByte(category, bytes[i]);
        DEBUG_CONSOLE_print(category, " ");
        if (i % 16 == 15) DEBUG_CONSOLE_printLine(category, nullptr);
    }
    if (length % 16 != 0) DEBUG_CONSOLE_printLine(category, nullptr);
}

int32_t CA_MGMT_convertPublicKey(const uint8_t* keyText, uint32_t keyTextLength, KeyHandle* handle) {
    DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "CA_MGMT_convertPublicKey: ");
    int32_t s = keyText == nullptr ? ERR_NULL_POINTER : convert(keyText, keyTextLength, handle);
    if (s < 0) {
        DEBUG_CONSOLE_print(DEBUG_CATEGORY_IMGSIGN, "status = ");
        DEBUG_CONSOLE_printInt(DEBUG_CATEGORY_IMGSIGN, s);
        DEBUG_CONSOLE_printLine(DEBUG_CATEGORY_IMGSIGN, nullptr);
    }
    return s;
}

}  // extern "C"
