// Internal to the crypto library: the DigestInfo reading of
// RSA_verifyDigestInfo (rsa.h), apart from the RSA operation so that the
// fuzz target can feed it any payload. Not a public header: the reading is
// lenient (the AlgorithmIdentifier's parameters are skipped), which is safe
// only behind the public exponent check of RSA_verifyDigestInfo.
#ifndef BMCRYPTO_RSA_DIGEST_INFO_H
#define BMCRYPTO_RSA_DIGEST_INFO_H

#include <cstdint>

namespace bmcrypto_rsa {

// Reads payloadLength bytes of payload (the bytes after the block type 1
// padding) as a DigestInfo, as RSA_verifyDigestInfo describes: the
// DigestInfo must span the payload exactly, and the digest must have its
// algorithm's length and end the payload. On success digest (64 bytes) is
// zeroed and receives the digest, *digestLength its length and *hashType
// the hash type. -7603, -7604, -7609 and the parser's codes otherwise.
int32_t read_digest_info(const uint8_t* payload, uint32_t payloadLength, uint8_t* digest, uint32_t* digestLength,
                         int32_t* hashType);

}  // namespace bmcrypto_rsa

#endif
