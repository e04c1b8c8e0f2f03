// Key import: Base64, PEM armour, the ASN.1 reader, DER key shapes and the
// key blob. Runs natively and under qemu-ppc.
#include <gtest/gtest.h>

#include <string>

#include "asn1.h"
#include "base64.h"
#include "ca_mgmt.h"
#include "crypto_test_util.h"
#include "key_blob.h"
#include "pem.h"

using namespace cryptotest;

namespace {

class KeyImport : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, BASE64_initializeContext()); }
};

int32_t decode(const std::string& text, Bytes* out = nullptr) {
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    const int32_t s = BASE64_decode(u8(text), static_cast<uint32_t>(text.size()), &buf, &len);
    if (s == 0) {
        if (out != nullptr) out->assign(buf, buf + len);
        BASE64_freeMessage(&buf);
    } else {
        EXPECT_EQ(nullptr, buf);
    }
    return s;
}

TEST_F(KeyImport, Base64LengthCharactersAndPadding) {
    struct Row {
        const char* text;
        int32_t status;
        const char* hex;
    } rows[] = {
        {"Zm9v", 0, "666f6f"},
        {"Zm8=", 0, "666f"},
        {"Zg==", 0, "66"},
        {"Zm9vYmFy", 0, "666f6f626172"},
        {"Zm9vYg==", 0, "666f6f62"},
        {"+/+/", 0, "fbffbf"},
        {"Zg=x", 0, "66"},          // after "=" in third place the fourth is not examined
        {"", -6501, ""},            // below 4
        {"Zm9", -6501, ""},         // not a multiple of 4
        {"Zm9vY", -6501, ""},
        {"Zg==Zm9v", -6501, ""},    // "=" before the last group
        {"Zm8=Zm9v", -6501, ""},
        {"=m9v", -6501, ""},        // first two must be alphabet characters
        {"Z=9v", -6501, ""},
        {"Zm9*", -6501, ""},        // neither alphabet nor "="
        {"Zm*v", -6501, ""},
        {"Zm 9", -6501, ""},
    };
    for (const auto& r : rows) {
        Bytes out;
        EXPECT_EQ(r.status, decode(r.text, &out)) << r.text;
        if (r.status == 0) {
            EXPECT_EQ(from_hex(r.hex), out) << r.text;
        }
    }
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(-6001, BASE64_decode(nullptr, 4, &buf, &len));
    ASSERT_EQ(0, BASE64_freeContext());
    EXPECT_EQ(-6502, decode("Zm9v")) << "no table before library initialisation";
    ASSERT_EQ(0, BASE64_initializeContext());
    EXPECT_EQ(0, decode("Zm9v"));
}

Bytes modulus(size_t bytes) {
    Bytes n(bytes, 0x5A);
    n[0] = 0xC3;
    n.back() = 0x01;
    return n;
}

const Bytes kE65537{0x01, 0x00, 0x01};

int32_t import(const std::string& text, KeyHandle* h) {
    return CA_MGMT_convertPublicKey(u8(text), static_cast<uint32_t>(text.size()), h);
}

Bytes value_bytes(const vlong* v) {
    int32_t len = 0;
    VLONG_byteStringFromVlong(v, nullptr, &len);
    Bytes b(static_cast<size_t>(len));
    if (len > 0) VLONG_byteStringFromVlong(v, b.data(), &len);
    return b;
}

TEST_F(KeyImport, PemSpellingsGiveTheSameKey) {
    const Bytes n = modulus(256);
    const Bytes der = rsa_spki(n, kE65537);
    std::string noArmour;
    for (size_t i = 0; i < base64(der).size(); i += 64) noArmour += base64(der).substr(i, 64) + "\n";
    std::string trailing = pem(der);
    for (size_t p = 0; (p = trailing.find('\n', p)) != std::string::npos; p += 3) trailing.insert(p, "  ");
    const std::string texts[] = {
        pem(der), pem(der, "PUBLIC KEY", "\r\n"), trailing, pem(der) + "\n\n", pem(der, "RSA PUBLIC KEY"),
        noArmour, base64(der), std::string(der.begin(), der.end()),
    };
    for (const auto& t : texts) {
        KeyHandle h;
        ASSERT_EQ(0, import(t, &h)) << t;
        ASSERT_EQ(KEY_TYPE_RSA, h.keyType);
        const auto* k = static_cast<const RsaKey*>(h.key);
        EXPECT_EQ(0u, k->isPrivate);
        EXPECT_EQ(n, value_bytes(k->modulus));
        EXPECT_EQ(kE65537, value_bytes(k->exponent));
        KEY_freeHandle(&h);
        EXPECT_EQ(nullptr, h.key);
    }
    EXPECT_EQ(0, import(pem(der), nullptr)) << "a null handle only checks";
    EXPECT_EQ(-6001, CA_MGMT_convertPublicKey(nullptr, 10, nullptr));
}

TEST_F(KeyImport, RsaShapesAndLimits) {
    const Bytes rsaOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const Bytes sha256WithRsa{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    struct Row {
        const char* what;
        Bytes der;
        int32_t status;
    } rows[] = {
        {"4096-bit modulus", rsa_spki(modulus(512), kE65537), 0},
        {"4104-bit modulus", rsa_spki(modulus(513), kE65537), -7621},
        {"leading zeros do not count", rsa_spki(cat({Bytes{0, 0}, modulus(512)}), kE65537), 0},
        {"exponent of four octets", rsa_spki(modulus(128), {0x7F, 1, 0, 1}), 0},
        {"five-octet exponent", rsa_spki(modulus(128), {0x01, 0, 0, 0, 1}), -7605},
        {"not rsaEncryption", rsa_spki(modulus(128), kE65537, sha256WithRsa), -7604},
        {"bare RSAPublicKey", tlv(0x30, cat({der_int(modulus(256)), der_int(kE65537)})), 0},
        {"RSAPublicKey, long exponent", tlv(0x30, cat({der_int(modulus(64)), der_int({1, 0, 0, 0, 0, 1})})), -7603},
        {"not a SEQUENCE", tlv(0x31, cat({der_int(modulus(64)), der_int(kE65537)})), -7703},
        {"no shape", tlv(0x30, cat({tlv(0x04, {1, 2}), tlv(0x04, {3})})), -9803},
        {"RSAPrivateKey version 2", tlv(0x30, cat({der_int({2}), der_int(modulus(64)), der_int(kE65537),
                                                   der_int({1}), der_int({1}), der_int({1})})), -7704},
    };
    (void)rsaOid;
    for (const auto& r : rows) {
        KeyHandle h;
        KEY_initHandle(&h);
        const std::string text = pem(r.der);
        const int32_t s = import(text, &h);
        if (r.status == 0) {
            EXPECT_EQ(0, s) << r.what;
            EXPECT_EQ(KEY_TYPE_RSA, h.keyType) << r.what;
        } else {
            EXPECT_EQ(r.status, s) << r.what;
            EXPECT_NE(KEY_TYPE_RSA, h.keyType) << r.what;
        }
        KEY_freeHandle(&h);
    }
}

// Whether `text` imports as exactly the RSA public key (n, e), or is refused
// with a non-zero status and an empty handle. A text that imports as some
// other key is neither.
enum class KeyOutcome { TheKey, Refused, Other };

KeyOutcome import_outcome(const std::string& text, const Bytes& n) {
    KeyHandle h;
    KEY_initHandle(&h);
    const int32_t status = import(text, &h);
    KeyOutcome o = KeyOutcome::Other;
    if (status != 0) {
        o = h.keyType == KEY_TYPE_EMPTY ? KeyOutcome::Refused : KeyOutcome::Other;
    } else if (h.keyType == KEY_TYPE_RSA) {
        const auto* k = static_cast<const RsaKey*>(h.key);
        if (value_bytes(k->modulus) == n && value_bytes(k->exponent) == kE65537) o = KeyOutcome::TheKey;
    }
    KEY_freeHandle(&h);
    return o;
}

const char* outcome_name(KeyOutcome o) {
    return o == KeyOutcome::TheKey ? "the key" : o == KeyOutcome::Refused ? "refused" : "another key";
}

TEST_F(KeyImport, EveryTruncationOfDerAndPem) {
    const Bytes n = modulus(256);
    const Bytes der = rsa_spki(n, kE65537);
    for (size_t len = 0; len < der.size(); ++len) {
        const std::string cut(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(len));
        EXPECT_STREQ("refused", outcome_name(import_outcome(cut, n))) << "DER cut to " << len;
    }
    // A PEM text holds the whole key once its last Base64 character is in;
    // the END line and the line ends after it are not needed.
    const std::string text = pem(der);
    const size_t body_end = text.find("\n-----END");
    ASSERT_NE(std::string::npos, body_end);
    for (size_t len = 0; len <= text.size(); ++len) {
        const KeyOutcome expected = len >= body_end ? KeyOutcome::TheKey : KeyOutcome::Refused;
        EXPECT_STREQ(outcome_name(expected), outcome_name(import_outcome(text.substr(0, len), n)))
            << "PEM cut to " << len << " of " << text.size();
    }
}

TEST_F(KeyImport, ArmourLineEndsAndBlanks) {
    const Bytes n = modulus(256);
    const Bytes der = rsa_spki(n, kE65537);
    const std::string good = pem(der);
    const std::string body = good.substr(good.find('\n') + 1, good.find("-----END") - good.find('\n') - 1);
    const auto replace_all = [](std::string s, const std::string& from, const std::string& to) {
        for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) s.replace(p, from.size(), to);
        return s;
    };
    const auto first_line_end = good.find('\n', good.find('\n') + 1);  // end of the first Base64 line
    struct Row {
        const char* what;
        std::string text;
        KeyOutcome expected;
    } rows[] = {
        // Armour lines are dropped whatever they say: the content decides.
        {"private key armour around a public key", pem(der, "PRIVATE KEY"), KeyOutcome::TheKey},
        {"certificate armour", pem(der, "CERTIFICATE"), KeyOutcome::TheKey},
        {"BEGIN and END labels differ", "-----BEGIN PUBLIC KEY-----\n" + body + "-----END RSA KEY-----\n",
         KeyOutcome::TheKey},
        {"no END line", "-----BEGIN PUBLIC KEY-----\n" + body, KeyOutcome::TheKey},
        {"no BEGIN line", body + "-----END PUBLIC KEY-----\n", KeyOutcome::TheKey},
        {"armour words without dashes join the Base64", "BEGIN PUBLIC KEY\n" + body + "END PUBLIC KEY\n",
         KeyOutcome::Refused},
        {"armour only", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n", KeyOutcome::Refused},
        {"text after the END line", good + "trailing words\n", KeyOutcome::Refused},
        // Line ends.
        {"CRLF", pem(der, "PUBLIC KEY", "\r\n"), KeyOutcome::TheKey},
        {"CR alone", pem(der, "PUBLIC KEY", "\r"), KeyOutcome::TheKey},
        {"CRLF and LF mixed", replace_all(good, "-----\n", "-----\r\n"), KeyOutcome::TheKey},
        {"no line ends inside the Base64", "-----BEGIN PUBLIC KEY-----\n" + replace_all(body, "\n", "") +
                                              "\n-----END PUBLIC KEY-----\n",
         KeyOutcome::TheKey},
        // Blanks. Tabs are skipped only where a line or a blank has ended a
        // run of Base64, so a tab right after Base64 characters joins them.
        {"blank lines between Base64 lines", replace_all(good, "\n", "\n\n"), KeyOutcome::TheKey},
        {"leading blanks and tabs on every line", replace_all(good, "\n", "\n \t "), KeyOutcome::TheKey},
        {"trailing blanks", replace_all(good, "\n", "  \n"), KeyOutcome::TheKey},
        {"a blank inside a Base64 line", good.substr(0, first_line_end - 10) + " " + good.substr(first_line_end - 10),
         KeyOutcome::TheKey},
        {"a tab at the end of a Base64 line", good.substr(0, first_line_end) + "\t" + good.substr(first_line_end),
         KeyOutcome::Refused},
        {"a tab inside a Base64 line", good.substr(0, first_line_end - 10) + "\t" + good.substr(first_line_end - 10),
         KeyOutcome::Refused},
        {"a NUL inside a Base64 line", good.substr(0, first_line_end - 10) + std::string(1, '\0') +
                                          good.substr(first_line_end - 10),
         KeyOutcome::Refused},
        {"empty text", "", KeyOutcome::Refused},
        {"blanks only", " \r\n\t\n", KeyOutcome::Refused},
    };
    for (const auto& r : rows) {
        EXPECT_STREQ(outcome_name(r.expected), outcome_name(import_outcome(r.text, n))) << r.what;
    }
}

// A toy RSAPrivateKey (p = 61, q = 53, e = 17) travels through the blob with
// its derived parts; the primes are swapped so p is the larger.
TEST_F(KeyImport, PrivateKeyThroughTheBlob) {
    const Bytes der = tlv(0x30, cat({der_int({0}), der_int({0x0C, 0xA1}), der_int({17}), der_int({0x0A, 0xC1}),
                                     der_int({53}), der_int({61}), der_int({53}), der_int({49}), der_int({38})}));
    uint8_t* blob = nullptr;
    uint32_t blobLen = 0;
    ASSERT_EQ(0, KEY_derToBlob(der.data(), static_cast<uint32_t>(der.size()), &blob, &blobLen));
    KeyHandle h;
    KEY_initHandle(&h);
    ASSERT_EQ(0, KEY_blobToHandle(blob, blobLen, &h));
    const auto* k = static_cast<const RsaKey*>(h.key);
    ASSERT_EQ(1u, k->isPrivate);
    EXPECT_EQ(Bytes{61}, value_bytes(k->privateParts[0]));
    EXPECT_EQ(Bytes{53}, value_bytes(k->privateParts[1]));
    EXPECT_EQ(Bytes{53}, value_bytes(k->privateParts[2]));  // 17^-1 mod 60
    EXPECT_EQ(Bytes{49}, value_bytes(k->privateParts[3]));  // 17^-1 mod 52
    EXPECT_EQ(Bytes{38}, value_bytes(k->privateParts[4]));  // 53^-1 mod 61
    ASSERT_NE(nullptr, k->primeContexts[0]);
    EXPECT_EQ(6u, k->primeContexts[0]->rBits);
    // A stored part that does not belong to the key is refused.
    Bytes bad(blob, blob + blobLen);
    const size_t dpAt = 12 + 2 + (4 + 1) + (4 + 2) + (4 + 1) + (4 + 1) + 4;
    ASSERT_EQ(53, bad[dpAt]);
    bad[dpAt] = 54;
    KeyHandle h2;
    KEY_initHandle(&h2);
    EXPECT_EQ(-7402, KEY_blobToHandle(bad.data(), static_cast<uint32_t>(bad.size()), &h2));
    EXPECT_EQ(KEY_TYPE_EMPTY, h2.keyType);
    KEY_freeHandle(&h);
    KEY_freeBlob(&blob, blobLen);
    // Primes that do not multiply to the modulus are not a key.
    const Bytes wrong = tlv(0x30, cat({der_int({0}), der_int({0x0C, 0xA3}), der_int({17}), der_int({1}),
                                       der_int({53}), der_int({61}), der_int({1}), der_int({1}), der_int({1})}));
    EXPECT_NE(0, KEY_derToBlob(wrong.data(), static_cast<uint32_t>(wrong.size()), &blob, &blobLen));
}

TEST_F(KeyImport, PublicBlobLayoutAndReadErrors) {
    const Bytes n = modulus(256);
    const Bytes der = rsa_spki(n, kE65537);
    uint8_t* blob = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(0, KEY_derToBlob(der.data(), static_cast<uint32_t>(der.size()), &blob, &len));
    const Bytes b(blob, blob + len);
    KEY_freeBlob(&blob, len);
    ASSERT_EQ(12u + 2 + 4 + 3 + 4 + 256, b.size());
    EXPECT_EQ(from_hex("00000000000000010000000101000000000301000100000100"), Bytes(b.begin(), b.begin() + 25));

    struct Row {
        const char* what;
        size_t at;   // byte to change, or SIZE_MAX
        uint8_t to;
        size_t cut;  // bytes to drop from the end
        int32_t status;
    } rows[] = {
        {"intact", SIZE_MAX, 0, 0, 0},
        {"blob version", 7, 2, 0, -7404},
        {"octet 5", 5, 1, 0, -7404},
        {"octet 9", 9, 1, 0, -7402},
        {"key type 4", 11, 4, 0, -7402},
        {"RSA body version", 12, 2, 0, -7404},
        {"length past the end", 16, 0x04, 0, -7402},
        {"modulus cut short", SIZE_MAX, 0, 1, -7402},
        {"header only", SIZE_MAX, 0, b.size() - 12, -7402},
        {"short header", SIZE_MAX, 0, b.size() - 9, -7402},
        {"huge length", 21, 0xFF, 0, -7402},
    };
    for (const auto& r : rows) {
        Bytes x(b.begin(), b.end() - static_cast<long>(r.cut));
        if (r.at != SIZE_MAX) x[r.at] = r.to;
        KeyHandle h;
        KEY_initHandle(&h);
        EXPECT_EQ(r.status, KEY_blobToHandle(x.data(), static_cast<uint32_t>(x.size()), &h)) << r.what;
        if (r.status == 0) {
            const auto* k = static_cast<const RsaKey*>(h.key);
            EXPECT_EQ(n, value_bytes(k->modulus));
            EXPECT_EQ(kE65537, value_bytes(k->exponent));
        } else {
            EXPECT_EQ(KEY_TYPE_EMPTY, h.keyType) << r.what;
        }
        KEY_freeHandle(&h);
    }
    EXPECT_EQ(-6001, KEY_blobToHandle(b.data(), static_cast<uint32_t>(b.size()), nullptr));
}

TEST_F(KeyImport, EllipticCurveKeysAndTheirCopies) {
    const Bytes ecOid{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    const Bytes p256{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    const Bytes secp384{0x2B, 0x81, 0x04, 0x00, 0x22};
    const Bytes point = cat({Bytes{0x04}, Bytes(64, 0x11)});
    auto spki = [&](const Bytes& curve) {
        return tlv(0x30, cat({tlv(0x30, cat({tlv(0x06, ecOid), tlv(0x06, curve)})), tlv(0x03, cat({Bytes{0}, point}))}));
    };
    const Bytes priv = tlv(0x30, cat({der_int({1}), tlv(0x04, Bytes(32, 0x22)), tlv(0xA0, tlv(0x06, p256)),
                                      tlv(0xA1, tlv(0x03, cat({Bytes{0}, point})))}));
    struct Row {
        const char* what;
        Bytes der;
        int32_t status;
        uint32_t isPrivate;
    } rows[] = {
        {"P-256 public", spki(p256), 0, 0},
        {"secp384r1 public", spki(secp384), 0, 0},
        {"unknown curve arc", spki({0x2A, 0x03}), -7604, 0},
        {"private", priv, 0, 1},
    };
    for (const auto& r : rows) {
        KeyHandle h;
        KEY_initHandle(&h);
        ASSERT_EQ(r.status, import(pem(r.der), &h)) << r.what;
        if (r.status != 0) continue;
        ASSERT_EQ(KEY_TYPE_ECC, h.keyType);
        KeyHandle copy;
        KEY_initHandle(&copy);
        ASSERT_EQ(0, KEY_copyHandle(&copy, &h));
        const auto* k = static_cast<const EccKey*>(copy.key);
        EXPECT_EQ(r.isPrivate, k->isPrivate);
        EXPECT_EQ(point, Bytes(k->point, k->point + k->pointLength)) << r.what;
        KEY_freeHandle(&copy);
        KEY_freeHandle(&h);
    }
}

int32_t parse(const Bytes& der, Asn1Node** root) {
    static Asn1Stream s;
    static MemBuffer m;
    ASN1_memStream(&s, &m, der.data(), static_cast<uint32_t>(der.size()));
    return ASN1_parse(&s, root);
}

Bytes nested(int depth) {
    Bytes b = tlv(0x05, {});
    for (int i = 0; i < depth; ++i) b = tlv(0x30, b);
    return b;
}

TEST(Asn1Parse, FailuresByShape) {
    struct Row {
        const char* what;
        Bytes der;
        int32_t status;
    } rows[] = {
        {"empty input", {}, -8101},
        {"40 levels", nested(40), 0},
        {"41 levels", nested(41), -7615},
        {"five length octets", {0x04, 0x85, 0, 0, 0, 0, 1, 0}, -8105},
        {"four length octets", {0x04, 0x84, 0, 0, 0, 1, 0xAA}, 0},
        {"four tag continuation octets", {0x9F, 0x81, 0x81, 0x81, 0x01, 0x01, 0xAA}, 0},
        {"five tag continuation octets", {0x9F, 0x81, 0x81, 0x81, 0x81, 0x01, 0x01, 0xAA}, -8108},
        {"truncated header", {0x30}, -8108},
        {"truncated length", {0x04, 0x82, 0x01}, -8108},
        {"content past the end", {0x04, 0x05, 1, 2}, -8104},
        {"child overruns parent", {0x30, 0x03, 0x04, 0x05, 1, 2, 3, 4, 5}, -8103},
        {"unsupported universal tag", {0x0E, 0x01, 0x00}, -8102},
        {"empty INTEGER", {0x02, 0x00}, -8101},
        {"empty application element", {0x40, 0x00}, -8101},
        {"empty SEQUENCE", {0x30, 0x00}, 0},
        {"empty OCTET STRING", {0x04, 0x00}, 0},
        {"BIT STRING of unused bits only", {0x03, 0x01, 0x03}, -8101},
        {"BIT STRING, nothing unused", {0x03, 0x01, 0x00}, 0},
        {"indefinite SEQUENCE", {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00}, 0},
        {"indefinite without end", {0x30, 0x80, 0x02, 0x01, 0x05}, -8104},
        {"indefinite primitive", {0x04, 0x80, 0x00, 0x00}, -8103},
    };
    for (const auto& r : rows) {
        Asn1Node* root = reinterpret_cast<Asn1Node*>(1);
        EXPECT_EQ(r.status, parse(r.der, &root)) << r.what;
        if (r.status != 0) {
            EXPECT_EQ(nullptr, root) << r.what;
        }
        ASN1_freeTree(root);
    }
}

TEST(Asn1Parse, NodesAndEncapsulation) {
    // SEQUENCE { INTEGER 0x0102, BIT STRING { SEQUENCE { INTEGER 5, INTEGER 3 } }, OCTET STRING "ab" }
    const Bytes inner = tlv(0x30, cat({der_int({5}), der_int({3})}));
    const Bytes der = tlv(0x30, cat({der_int({1, 2}), tlv(0x03, cat({Bytes{0}, inner})), tlv(0x04, {'a', 'b'})}));
    Asn1Node* root = nullptr;
    ASSERT_EQ(0, parse(der, &root));
    const Asn1Node* seq = ASN1_getChild(root, 0);
    ASSERT_NE(nullptr, seq);
    EXPECT_EQ(0x20u, seq->tagClass);
    EXPECT_EQ(16u, seq->tag);
    EXPECT_EQ(2u, seq->headerSize);
    const Asn1Node* i = ASN1_getChild(seq, 0);
    EXPECT_EQ(0x0102u, i->value);
    EXPECT_EQ(4u, i->dataOffset);
    const Asn1Node* bits = ASN1_getChild(seq, 1);
    EXPECT_EQ(1u, bits->encapsulates);
    EXPECT_EQ(inner.size(), bits->length) << "the unused-bits octet is not counted";
    EXPECT_EQ(3u, ASN1_getChild(ASN1_getChild(bits, 0), 1)->value);
    const Asn1Node* oct = ASN1_getChild(seq, 2);
    EXPECT_EQ(0u, oct->encapsulates) << "\"ab\" does not look like DER";
    EXPECT_EQ(Bytes({'a', 'b'}), Bytes(ASN1_content(oct), ASN1_content(oct) + oct->length));
    ASN1_freeTree(root);

    // A BIT STRING whose content only looks like DER keeps it as content.
    const Bytes fake = tlv(0x03, cat({Bytes{0}, Bytes{0x30, 0x03, 0x02, 0x05, 0x01}}));
    ASSERT_EQ(0, parse(fake, &root));
    EXPECT_EQ(0u, ASN1_getChild(root, 0)->encapsulates);
    EXPECT_EQ(nullptr, ASN1_getChild(root, 0)->firstChild);
    ASN1_freeTree(root);
}

// A stream over memory that counts the bytes the parser reads.
struct CountingStream {
    const uint8_t* data;
    uint32_t size;
    uint32_t pos = 0;
    uint64_t reads = 0;
};

TEST(Asn1Parse, NestedIndefiniteElementsAreReadInBoundedWork) {
    const Bytes input = read_file(std::string(TEST_VECTOR_DIR) + "/asn1_nested_indefinite.bin");
    ASSERT_EQ(1213u, input.size());
    CountingStream c{input.data(), static_cast<uint32_t>(input.size())};
    Asn1Stream s;
    s.ctx = &c;
    s.getByte = [](void* p) -> int32_t {
        auto* x = static_cast<CountingStream*>(p);
        ++x->reads;
        return x->pos < x->size ? x->data[x->pos++] : -1;
    };
    s.ungetByte = [](void* p) {
        auto* x = static_cast<CountingStream*>(p);
        if (x->pos > 0) --x->pos;
    };
    s.tell = [](void* p) { return static_cast<CountingStream*>(p)->pos; };
    s.seek = [](void* p, uint32_t to) -> int32_t {
        auto* x = static_cast<CountingStream*>(p);
        if (to > x->size) return -1;
        x->pos = to;
        return 0;
    };
    s.eof = [](void* p) -> int32_t {
        auto* x = static_cast<CountingStream*>(p);
        return x->pos >= x->size;
    };
    s.read = [](void*, uint8_t*, uint32_t) -> uint32_t { return 0; };
    s.release = [](void*) {};
    Asn1Node* root = nullptr;
    EXPECT_EQ(-8103, ASN1_parse(&s, &root));
    EXPECT_EQ(nullptr, root);
    // Each byte is read at most a few times per nesting level, never once
    // per path through the nesting.
    EXPECT_LT(c.reads, 100u * input.size());
}

TEST(Asn1Parse, MatchOid) {
    const uint8_t prefix[] = {8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
    struct Row {
        const char* what;
        Bytes der;
        bool wantArc;
        int32_t status;
        uint32_t arc;
    } rows[] = {
        {"sha256 arc", tlv(0x30, cat({tlv(0x06, from_hex("608648016503040201")), Bytes{5, 0}})), true, 0, 1},
        {"whole value", tlv(0x30, tlv(0x06, from_hex("6086480165030402"))), false, 0, 0},
        {"longer than asked", tlv(0x30, tlv(0x06, from_hex("60864801650304020101"))), true, -7604, 0},
        {"different octet", tlv(0x30, tlv(0x06, from_hex("608648016503040301"))), true, -7604, 0},
        {"not a SEQUENCE", tlv(0x31, tlv(0x06, from_hex("608648016503040201"))), true, -7603, 0},
        {"no OID first", tlv(0x30, cat({Bytes{5, 0}, tlv(0x06, from_hex("608648016503040201"))})), true, -7603, 0},
    };
    for (const auto& r : rows) {
        Asn1Node* root = nullptr;
        ASSERT_EQ(0, parse(r.der, &root)) << r.what;
        uint32_t arc = 99;
        EXPECT_EQ(r.status, ASN1_matchOid(ASN1_getChild(root, 0), prefix, r.wantArc ? &arc : nullptr)) << r.what;
        if (r.status == 0 && r.wantArc) {
            EXPECT_EQ(r.arc, arc);
        }
        ASN1_freeTree(root);
    }
}

}  // namespace
