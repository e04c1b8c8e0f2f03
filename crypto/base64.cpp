// Base64 decoding: see include/base64.h for the contract.
#include "base64.h"

#include <cstdint>
#include <cstring>

#include "crypto_platform.h"

namespace {

uint8_t* g_decodeTable = nullptr;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

extern "C" {

int32_t BASE64_initializeContext(void) {
    if (g_decodeTable != nullptr) return 0;
    auto* t = static_cast<uint8_t*>(CRYPTO_malloc(256));
    if (t == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(t, 0, 256);
    for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i + 1);
    g_decodeTable = t;
    return 0;
}

int32_t BASE64_freeContext(void) {
    CRYPTO_free(g_decodeTable);
    g_decodeTable = nullptr;
    return 0;
}

int32_t BASE64_decode(const uint8_t* text, uint32_t length, uint8_t** out, uint32_t* outLength) {
    if (text == nullptr || out == nullptr || outLength == nullptr) return ERR_NULL_POINTER;
    *out = nullptr;
    *outLength = 0;
    const uint8_t* t = g_decodeTable;
    if (t == nullptr) return ERR_BASE64_NO_TABLE;
    if (length < 4 || length % 4 != 0) return ERR_BASE64_BAD_INPUT;
    const uint32_t groups = length / 4;
    uint32_t outLen = groups * 3;
    auto* buf = static_cast<uint8_t*>(CRYPTO_malloc(outLen));
    if (buf == nullptr) return ERR_MEM_ALLOC_FAIL;
    uint8_t* o = buf;
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* c = text + 4 * g;
        const bool last = g + 1 == groups;
        const uint32_t v0 = t[c[0]];
        const uint32_t v1 = t[c[1]];
        if (v0 == 0 || v1 == 0) goto bad;
        {
            const uint32_t v2 = t[c[2]];
            const uint32_t v3 = v2 != 0 ? t[c[3]] : 0;
            uint32_t bits = ((v0 - 1) << 18) | ((v1 - 1) << 12);
            if (v2 == 0) {
                // A "=" in third place ends the text; the fourth character
                // is not examined.
                if (c[2] != '=' || !last) goto bad;
                o[0] = static_cast<uint8_t>(bits >> 16);
                outLen -= 2;
                break;
            }
            bits |= (v2 - 1) << 6;
            if (v3 == 0) {
                if (c[3] != '=' || !last) goto bad;
                o[0] = static_cast<uint8_t>(bits >> 16);
                o[1] = static_cast<uint8_t>(bits >> 8);
                outLen -= 1;
                break;
            }
            bits |= v3 - 1;
            o[0] = static_cast<uint8_t>(bits >> 16);
            o[1] = static_cast<uint8_t>(bits >> 8);
            o[2] = static_cast<uint8_t>(bits);
            o += 3;
        }
    }
    *out = buf;
    *outLength = outLen;
    return 0;
bad:
    CRYPTO_free(buf);
    return ERR_BASE64_BAD_INPUT;
}

int32_t BASE64_freeMessage(uint8_t** buffer) {
    if (buffer == nullptr || *buffer == nullptr) return ERR_NULL_POINTER;
    CRYPTO_free(*buffer);
    *buffer = nullptr;
    return 0;
}

}  // extern "C"
