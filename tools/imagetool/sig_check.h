// Image signatures as the boot manager checks them: the payload digest and
// the RSA verification of the project's own crypto library (bmcrypto).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Initialises the crypto library once per process (its Base64 table is
// needed before any key import). False with *error set when it fails.
bool sigcheck_init(std::string* error);

// SHA-256 of a payload, computed the way the boot manager does. Returns the
// library's status: 0 on success with `digest` filled, negative otherwise.
std::int32_t sigcheck_payload_digest(std::span<const std::uint8_t> payload,
                                     std::span<std::uint8_t, 32> digest);

// A public key for verification: its text as given (PEM or DER), its
// modulus length and its public exponent.
struct VerifyKey {
    std::string name;                // for messages: the file it came from
    std::vector<std::uint8_t> text;  // exactly as read
    std::uint32_t modulus_length;    // bytes; the signature length it needs
    std::uint32_t modulus_bits;
    std::uint32_t exponent;
};

// Imports `text` with the library's key import and checks that it is an
// RSA key it can use: a modulus of at most 4096 bits and a public exponent
// that RSA_checkVerifyExponent accepts (odd, at least 65537, at most 32
// bits). Returns 0 with *key filled, or the library's status (negative)
// with *error set to one sentence.
std::int32_t sigcheck_key_from_text(const std::string& name, std::span<const std::uint8_t> text,
                                    VerifyKey* key, std::string* error);

// Whether the switch can use the key: its built-in keys are RSA-2048 with
// the public exponent 65537, and nothing else.
bool sigcheck_switch_key(const VerifyKey& key);

// IMGSIGN_verifySignature with the key's text: 0 for a good signature, the
// library's negative status otherwise.
std::int32_t sigcheck_verify(const VerifyKey& key, std::span<const std::uint8_t, 32> digest,
                             std::span<const std::uint8_t> signature);

// What checking one signature against a set of keys came to.
struct SigcheckVerdict {
    bool verified;
    const VerifyKey* key;             // the key that verified it, or for a
                                      // digest mismatch the key whose
                                      // DigestInfo held another digest
    std::vector<std::int32_t> status; // one per key, in the order given
    std::string reason;               // one sentence when not verified
};

// Tries each key in order until one verifies the signature. When none does,
// the reason tells apart: a signature whose length fits none of the keys
// (wrong length), one that one of the keys decrypts to a DigestInfo with
// another digest (digest mismatch: the payload changed after signing, or the
// signature is of other data), and one that no key decrypts at all (wrong
// key). `keys` must stay alive as long as the verdict.
SigcheckVerdict sigcheck_check(std::span<const VerifyKey> keys, std::span<const std::uint8_t, 32> digest,
                               std::span<const std::uint8_t> signature);
