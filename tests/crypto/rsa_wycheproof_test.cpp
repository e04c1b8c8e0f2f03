// Wycheproof RSASSA-PKCS1-v1_5 2048-bit SHA-256 vectors through
// IMGSIGN_verifySignature, with each group's key as a PEM text built from its
// DER, exactly as the boot manager hands keys over.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "crypto_platform.h"
#include "crypto_test_util.h"
#include "digest.h"
#include "imgsign_verify.h"
#include "rsa.h"

using namespace cryptotest;

namespace {

struct Case {
    int id = 0;
    std::string result;
    std::string comment;
    Bytes msg;
    Bytes sig;
    std::string keyPem;
    std::string exponent;  // the key's publicExponent, in hex
};

// Reads a JSON string value starting at the opening quote; the vector file
// uses no escapes inside the values read here.
std::string json_string(const std::string& s, size_t& pos) {
    const size_t start = s.find('"', pos) + 1;
    const size_t end = s.find('"', start);
    pos = end + 1;
    return s.substr(start, end - start);
}

// Walks the file in document order: every "publicKeyDer" and the
// "publicExponent" after it set the key of the tests that follow, up to the
// next group.
std::vector<Case> load_cases() {
    const Bytes raw = read_file(std::string(TEST_VECTOR_DIR) + "/rsa_signature_2048_sha256_test.json");
    const std::string s(raw.begin(), raw.end());
    std::vector<Case> cases;
    std::string pemKey, exponent;
    size_t pos = 0;
    for (;;) {
        const size_t k = s.find("\"publicKeyDer\"", pos);
        const size_t t = s.find("\"tcId\"", pos);
        if (t == std::string::npos) break;
        if (k != std::string::npos && k < t) {
            pos = s.find(':', k) + 1;
            pemKey = pem(from_hex(json_string(s, pos)));
            pos = s.find(':', s.find("\"publicExponent\"", pos)) + 1;
            exponent = json_string(s, pos);
            continue;
        }
        Case c;
        pos = s.find(':', t) + 1;
        c.id = std::stoi(s.substr(pos, s.find(',', pos) - pos));
        pos = s.find(':', s.find("\"comment\"", pos)) + 1;
        c.comment = json_string(s, pos);
        pos = s.find(':', s.find("\"msg\"", pos)) + 1;
        c.msg = from_hex(json_string(s, pos));
        pos = s.find(':', s.find("\"sig\"", pos)) + 1;
        c.sig = from_hex(json_string(s, pos));
        pos = s.find(':', s.find("\"result\"", pos)) + 1;
        c.result = json_string(s, pos);
        c.keyPem = pemKey;
        c.exponent = exponent;
        cases.push_back(c);
    }
    return cases;
}

// Invalid cases that this verifier accepts, because the rules it follows
// accept them. None helps a forger: every one is a signature made with the
// private key over a block the key holder chose; with e = 65537 the
// decrypted block is 00 01 FF.. 00 DigestInfo filling the whole modulus,
// whose exact-length checks (DigestInfo spans the payload, the digest ends
// at its end, at least eight FF) leave no room for the attacker-chosen
// garbage that cube-root forgeries need. Each id maps to its reason.
constexpr const char* kLongLength =
    "BER long-form or zero-padded length octets: lengths take the short form or the long form of up to "
    "four octets; the element still ends where its length says";
constexpr const char* kInfoTag =
    "the DigestInfo's own identifier octet is not checked, only that it spans the payload and holds the "
    "algorithm and the digest";
constexpr const char* kIndefinite =
    "BER indefinite length of the AlgorithmIdentifier, closed by 00 00: the reader tolerates it";
constexpr const char* kParameters =
    "AlgorithmIdentifier parameters are not examined: whatever follows the OID inside that SEQUENCE "
    "(absent, extra elements, garbage, a changed NULL) is skipped";
constexpr const char* kDigestTag =
    "the digest element's identifier octet is not checked, only its length and that it ends the payload";
constexpr const char* kHighTag =
    "a universal tag in the high-tag-number form (1F 05, a NULL) inside the parameters";

const std::map<int, const char*> kAcceptedInvalid = {
    {8, kParameters},  // "acceptable" in the file: the NULL parameters are missing
    {9, kLongLength},    {10, kLongLength},
    {41, kInfoTag},      {42, kInfoTag},      {43, kInfoTag},      {44, kInfoTag},
    {51, kIndefinite},   {55, kIndefinite},
    {65, kParameters},   {67, kParameters},   {69, kParameters},   {71, kParameters},
    {76, kLongLength},   {77, kLongLength},
    {89, kParameters},   {92, kParameters},
    {110, kLongLength},  {111, kLongLength},
    {126, kParameters},  // the appended 00 00 after the OID reads as an end-of-contents element
    {155, kLongLength},
    {164, kParameters},  {165, kParameters},  {167, kParameters},  {168, kParameters},
    {171, kParameters},  {172, kParameters},  {174, kParameters},  {176, kParameters},
    {178, kParameters},  {179, kHighTag},
    {180, kLongLength},  {181, kLongLength},
    {204, kDigestTag},   {206, kDigestTag},   {207, kDigestTag},
};

class Wycheproof : public ::testing::Test {
protected:
    // As at boot: library initialisation builds the Base64 table.
    static void SetUpTestSuite() { CRYPTO_libraryInit(); }
};

TEST_F(Wycheproof, EveryCaseMatchesItsVerdict) {
    const auto cases = load_cases();
    ASSERT_EQ(259u, cases.size());
    int valid = 0, smallExponent = 0;
    std::set<int> acceptedSeen;
    for (const Case& c : cases) {
        uint8_t digest[64];
        uint32_t dlen = 0;
        static const uint8_t kEmpty[1] = {0};
        ASSERT_EQ(0, CRYPTO_digestByType(c.msg.empty() ? kEmpty : c.msg.data(), static_cast<uint32_t>(c.msg.size()), digest, &dlen, HASH_SHA256));
        const int32_t s = IMGSIGN_verifySignature(digest, dlen, c.sig.data(), static_cast<uint32_t>(c.sig.size()),
                                                  u8(c.keyPem), static_cast<uint32_t>(c.keyPem.size()));
        if (c.exponent == "03") {
            // Genuine signatures, but a key with e = 3 is refused whatever it
            // signs: the lenient DigestInfo reading is safe only with a large
            // exponent.
            ++smallExponent;
            EXPECT_EQ(ERR_RSA_WEAK_EXPONENT, s) << "tcId " << c.id << " " << c.comment;
        } else if (c.result == "valid") {
            ++valid;
            EXPECT_EQ(0, s) << "tcId " << c.id << " " << c.comment;
        } else if (kAcceptedInvalid.count(c.id) != 0) {
            EXPECT_EQ(0, s) << "tcId " << c.id << " is listed as accepted but fails: " << c.comment;
            acceptedSeen.insert(c.id);
        } else {
            EXPECT_NE(0, s) << "tcId " << c.id << " (" << c.result << ") accepted: " << c.comment;
            EXPECT_LT(s, 0) << "tcId " << c.id;
        }
    }
    EXPECT_EQ(7, valid);
    EXPECT_EQ(2, smallExponent);
    EXPECT_EQ(kAcceptedInvalid.size(), acceptedSeen.size());
}

}  // namespace
