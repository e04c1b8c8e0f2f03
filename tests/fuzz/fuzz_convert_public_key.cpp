// CA_MGMT_convertPublicKey on arbitrary key text (PEM or DER).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base64.h"
#include "ca_mgmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int init = BASE64_initializeContext();
    (void)init;
    if (size > 1 << 16) return 0;
    KeyHandle h;
    KEY_initHandle(&h);
    const int32_t s = CA_MGMT_convertPublicKey(data, static_cast<uint32_t>(size), &h);
    if (s == 0 && h.keyType == KEY_TYPE_EMPTY) std::abort();
    if (s != 0 && h.keyType != KEY_TYPE_EMPTY) std::abort();
    KEY_freeHandle(&h);
    return 0;
}
