// Signing with an RSA private key kept in a PEM file, through OpenSSL's
// libcrypto. Only imagetool links this; the boot manager never does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct SigningKey;  // an RSA private key, owned through SigningKeyPtr

struct SigningKeyDeleter {
    void operator()(SigningKey* key) const;
};
using SigningKeyPtr = std::unique_ptr<SigningKey, SigningKeyDeleter>;

// Reads the private key in the PEM file at `path` (PKCS #8 or traditional
// RSA form; an encrypted key asks for its pass phrase on the terminal).
// Null with *error set to one sentence when the file cannot be read, holds
// no private key, or the key is not RSA.
SigningKeyPtr signing_key_load(const char* path, std::string* error);

// A new RSA-2048 key with the public exponent 65537 (the only kind the
// switch accepts). Null with *error set on failure.
SigningKeyPtr signing_key_generate(std::string* error);

// The key's private half as a PKCS #8 "PRIVATE KEY" PEM text, unencrypted.
bool signing_key_private_pem(const SigningKey& key, std::string* pem, std::string* error);

// Modulus length of the key in bytes, which is also its signature length.
std::size_t signing_key_size(const SigningKey& key);

// The key's public half as a "PUBLIC KEY" PEM text (SubjectPublicKeyInfo).
// False with *error set when it cannot be written.
bool signing_key_public_pem(const SigningKey& key, std::string* pem, std::string* error);

// Signs a SHA-256 digest with RSASSA-PKCS1-v1_5 (RFC 8017 section 8.2: the
// DigestInfo naming SHA-256 around the digest, block type 1 padding).
// *signature receives signing_key_size(key) bytes. False with *error set
// (and *signature left alone) on failure.
bool signing_key_sign_sha256(const SigningKey& key, std::span<const std::uint8_t, 32> digest,
                             std::vector<std::uint8_t>* signature, std::string* error);
