// KEY_blobToHandle on arbitrary bytes; a blob that reads as a key must
// serialise again and read back to the same blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "key_blob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    KeyHandle h;
    KEY_initHandle(&h);
    if (KEY_blobToHandle(data, static_cast<uint32_t>(size), &h) == 0) {
        uint8_t* blob = nullptr;
        uint32_t len = 0;
        if (KEY_handleToBlob(&h, &blob, &len) != 0) std::abort();
        KeyHandle again;
        KEY_initHandle(&again);
        if (KEY_blobToHandle(blob, len, &again) != 0) std::abort();
        uint8_t* blob2 = nullptr;
        uint32_t len2 = 0;
        if (KEY_handleToBlob(&again, &blob2, &len2) != 0) std::abort();
        if (len2 != len || std::memcmp(blob, blob2, len) != 0) std::abort();
        KEY_freeBlob(&blob, len);
        KEY_freeBlob(&blob2, len2);
        KEY_freeHandle(&again);
    } else if (h.keyType != KEY_TYPE_EMPTY) {
        std::abort();
    }
    KEY_freeHandle(&h);
    return 0;
}
