#include "tools/imagetool/sig_check.h"

#include "ca_mgmt.h"
#include "crypto_platform.h"
#include "digest.h"
#include "imgsign_verify.h"
#include "key_blob.h"
#include "rsa.h"

bool sigcheck_init(std::string* error) {
    static std::int32_t status = 1;
    static bool done = false;
    if (!done) {
        status = CRYPTO_libraryInit();
        done = true;
    }
    // The first call returns 1; a later call by another part of the program
    // returns 0. Both are success.
    if (status < 0) {
        *error = "the crypto library cannot start (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

std::int32_t sigcheck_payload_digest(std::span<const std::uint8_t> payload,
                                     std::span<std::uint8_t, 32> digest) {
    static const std::uint8_t empty = 0;
    std::uint32_t len = 0;
    // A null data pointer is refused by the library; an empty payload has
    // a digest like any other.
    const std::int32_t st = IMGSIGN_computeSHA256(payload.empty() ? &empty : payload.data(),
                                                  static_cast<std::uint32_t>(payload.size()),
                                                  digest.data(), &len);
    if (st != 0) return st;
    return len == 32 ? 0 : ERR_HASH_UNSUPPORTED;
}

std::int32_t sigcheck_key_from_text(const std::string& name, std::span<const std::uint8_t> text,
                                    VerifyKey* key, std::string* error) {
    KeyHandle handle;
    KEY_initHandle(&handle);
    std::int32_t st = CA_MGMT_convertPublicKey(text.data(), static_cast<std::uint32_t>(text.size()), &handle);
    std::int32_t modulus = 0;
    const auto* rsa = static_cast<const RsaKey*>(handle.key);
    if (st < 0) {
        *error = name + " is not a public key the crypto library can read (status " + std::to_string(st) + ")";
    } else if (handle.keyType != KEY_TYPE_RSA || !handle.key) {
        st = -7701;
        *error = name + " is not an RSA key";
    } else if ((st = RSA_modulusLength(rsa, &modulus)) < 0 || modulus <= 0) {
        if (st >= 0) st = -7701;
        *error = name + " has no usable RSA modulus (status " + std::to_string(st) + ")";
    } else if (modulus > 512) {
        // The verification refuses moduli above 4096 bits.
        st = -7707;
        *error = name + " is longer than 4096 bits, which the boot manager cannot verify";
    } else if ((st = RSA_checkVerifyExponent(rsa)) == ERR_RSA_WEAK_EXPONENT) {
        const std::uint32_t e = rsa->exponent->numUnitsUsed ? rsa->exponent->units[0] : 0;
        *error = name + " has the public exponent " + std::to_string(e) +
                 ", which the boot manager refuses: below 65537 or even, signatures could be made "
                 "without the private key";
    } else if (st < 0) {
        *error = name + " has a public exponent wider than 32 bits, which the boot manager cannot use";
    }
    if (st == 0 && rsa != nullptr) {
        key->name = name;
        key->text.assign(text.begin(), text.end());
        key->modulus_length = static_cast<std::uint32_t>(modulus);
        key->modulus_bits = VLONG_bits(rsa->modulus);
        key->exponent = rsa->exponent->units[0];
    }
    KEY_freeHandle(&handle);
    return st;
}

bool sigcheck_switch_key(const VerifyKey& key) { return key.modulus_bits == 2048 && key.exponent == 65537; }

std::int32_t sigcheck_verify(const VerifyKey& key, std::span<const std::uint8_t, 32> digest,
                             std::span<const std::uint8_t> signature) {
    static const std::uint8_t empty = 0;
    return IMGSIGN_verifySignature(digest.data(), 32, signature.empty() ? &empty : signature.data(),
                                   static_cast<std::uint32_t>(signature.size()), key.text.data(),
                                   static_cast<std::uint32_t>(key.text.size()));
}

SigcheckVerdict sigcheck_check(std::span<const VerifyKey> keys, std::span<const std::uint8_t, 32> digest,
                               std::span<const std::uint8_t> signature) {
    SigcheckVerdict v{false, nullptr, {}, {}};
    for (const VerifyKey& k : keys) {
        const std::int32_t st = sigcheck_verify(k, digest, signature);
        v.status.push_back(st);
        if (st == 0) {
            v.verified = true;
            v.key = &k;
            return v;
        }
    }
    bool any_length_fits = false;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].modulus_length == signature.size()) any_length_fits = true;
        // Only the right key turns a signature into a well-formed DigestInfo.
        if (v.status[i] == ERR_IMGSIGN_DIGEST_MISMATCH && !v.key) v.key = &keys[i];
    }
    if (v.key) {
        v.reason = "digest mismatch: the signature was made with " + v.key->name +
                   ", but over other data (the payload changed after signing)";
    } else if (!any_length_fits) {
        std::vector<std::uint32_t> sizes;
        std::string need;
        for (const VerifyKey& k : keys) {
            bool seen = false;
            for (std::uint32_t s : sizes) seen = seen || s == k.modulus_length;
            if (seen) continue;
            sizes.push_back(k.modulus_length);
            need += (need.empty() ? "" : " or ") + std::to_string(k.modulus_length);
        }
        v.reason = "wrong length: the signature is " + std::to_string(signature.size()) +
                   " bytes, the key" + (keys.size() == 1 ? " needs " : "s need ") + need + " bytes";
    } else {
        std::string detail;
        for (std::size_t i = 0; i < keys.size(); ++i)
            detail += (i ? "; " : "") + keys[i].name + ": status " + std::to_string(v.status[i]);
        v.reason = "wrong key: the signature was not made with any key given (" + detail + ")";
    }
    return v;
}
