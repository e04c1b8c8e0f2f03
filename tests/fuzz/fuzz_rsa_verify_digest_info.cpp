// The two steps of RSA_verifyDigestInfo after its key checks: the RSA
// operation with its padding check (RSA_publicDecrypt), then the DigestInfo
// reading. The key's public exponent is 1 and its modulus all ones, so the
// decrypted block is the input itself and the fuzzer reaches the padding
// and DigestInfo checks directly (RSA_verifyDigestInfo itself refuses such
// an exponent). The first input byte chooses between a raw block and a
// block built around the rest as payload (00 01, eight FF, 00, payload).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rsa.h"
#include "rsa_digest_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 500) return 0;
    std::vector<uint8_t> sig;
    if (data[0] & 1) {
        sig.assign(data + 1, data + size);
    } else {
        sig = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
        sig.insert(sig.end(), data + 1, data + size);
    }
    if (sig.size() < 3) return 0;
    std::vector<uint8_t> n(sig.size(), 0xFF);
    std::vector<uint8_t> block(sig.size());
    const uint8_t e = 1;
    RsaKey* key = nullptr;
    if (RSA_createKey(&key) != 0) return 0;
    uint32_t payloadLength = 0;
    if (RSA_setPublicKeyData(key, &e, 1, n.data(), static_cast<uint32_t>(n.size())) == 0 &&
        RSA_publicDecrypt(key, sig.data(), block.data(), &payloadLength, nullptr) == 0) {
        if (payloadLength > block.size()) std::abort();
        uint8_t digest[RSA_MAX_DIGEST_SIZE];
        uint32_t len = 0;
        int32_t type = 0;
        if (bmcrypto_rsa::read_digest_info(block.data(), payloadLength, digest, &len, &type) == 0) {
            if (len > RSA_MAX_DIGEST_SIZE || len > payloadLength) std::abort();
        }
    }
    RSA_freeKey(&key);
    return 0;
}
