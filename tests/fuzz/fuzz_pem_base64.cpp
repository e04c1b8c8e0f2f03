// PEM_toDer and BASE64_decode on arbitrary text: outputs never exceed three
// bytes per four characters, and failures leave no buffer behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base64.h"
#include "pem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int init = BASE64_initializeContext();
    (void)init;
    const uint32_t n = static_cast<uint32_t>(size);
    uint8_t* out = nullptr;
    uint32_t len = 0;
    if (BASE64_decode(data, n, &out, &len) == 0) {
        if (len > n / 4 * 3 || len + 2 < n / 4 * 3) std::abort();
        BASE64_freeMessage(&out);
    } else if (out != nullptr) {
        std::abort();
    }
    if (PEM_toDer(data, n, &out, &len) == 0) {
        if (len > n) std::abort();
        BASE64_freeMessage(&out);
    } else if (out != nullptr) {
        std::abort();
    }
    return 0;
}
