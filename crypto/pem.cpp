// PEM armour removal: see include/pem.h for the contract.
#include "pem.h"

#include <cstdint>

#include "base64.h"
#include "crypto_platform.h"

extern "C" int32_t PEM_toDer(const uint8_t* text, uint32_t length, uint8_t** der, uint32_t* derLength) {
    if (text == nullptr || der == nullptr || derLength == nullptr) return ERR_NULL_POINTER;
    *der = nullptr;
    *derLength = 0;
    auto* body = static_cast<uint8_t*>(CRYPTO_malloc(length > 0 ? length : 1));
    if (body == nullptr) return ERR_MEM_ALLOC_FAIL;
    uint32_t n = 0;
    uint32_t i = 0;
    auto is_eol = [](uint8_t c) { return c == '\r' || c == '\n'; };
    while (i < length) {
        if (text[i] == '-') {
            while (i < length && !is_eol(text[i])) ++i;
            while (i < length && is_eol(text[i])) ++i;
        } else {
            while (i < length && text[i] != ' ' && !is_eol(text[i])) body[n++] = text[i++];
        }
        while (i < length && (text[i] == ' ' || text[i] == '\t' || is_eol(text[i]))) ++i;
    }
    const int32_t s = BASE64_decode(body, n, der, derLength);
    CRYPTO_free(body);
    return s;
}
