// RSA signature checks built around a fixed 2048-bit test key whose private
// exponent is known, so that any encoded block can be signed here with the
// library's own powMod. Runs natively and under qemu-ppc.
#include <gtest/gtest.h>

#include <string>

#include "base64.h"
#include "crypto_test_util.h"
#include "imgsign_verify.h"
#include "rsa.h"

using namespace cryptotest;

namespace {

const char* kN =
    "b0adb352967cf42c3de8f8751b3732e7a23612b911120beabef1159b492265c88dbfafa9d2e3613abc3a21856e39fe0df882eae77507af"
    "d411b3adde455689ca535695ab97d80c9fc03dce83051805d72044fbd512f46a45fac3c2749fca769151e2ab3b8ec113aaec427bec6fa0"
    "be7ee2a3f268fff8157a10452fb7f2d325e47ad29ce5e29e7e9db05a6dd7dfb7ec431f62e65996c01193251b5a8cd84bd9d594a04587ef"
    "f528c7ac7b5ff34f3cfc7417569e0d38ec21f43da5ace58c3cf3989218fb89adc94f8901f02aeedfb0d20d84ad65678d6ed96d7b4bbb35"
    "bd6bc02e90ff9f21506816e280733b3b4bfab92a94defea4738a54e5f8d1103676267d8f";
const char* kD =
    "2d5198e64dd0a66734c82df707f09c3f9b35a88ecd08a682e3d07e3cd3411dff98107bb421728ead9cbb827eb1dbf1454f21f1b4462a1f"
    "195423152da6f68028a440d8ea676c152ce3085790f6fd06fe7bfa05e8cd5061742ad30ced925142219b71fb7f2eea6aab94a7a716ea39"
    "3eb3d859ba63e18896a5b547b1ea4ac08b7ec73cb35d792a096f4a51488bf482bc5627a497a513274019d78e0e143665f0feb0dfbc962f"
    "3388f809d765be4f50c40a3f1cd143e616bd19190ffe231b9b31bb9c1ded71a5ce0767ddfb8af913b8a287a6523e051940ac836175f296"
    "9e017ddfe956c3fa6c6ae68605b0930d2d1e5d6d7f1dc4060dd0cce9fb6171bf043009ed";

const Bytes kSha256Prefix = from_hex("3031300d060960864801650304020105000420");
const Bytes kSha1Prefix = from_hex("3021300906052b0e03021a05000414");

Bytes digest_of(uint8_t seed, size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + 7 * i);
    return d;
}

// 00 01 FF*ffCount 00 payload, left-padded to the modulus length by the FF run
// when ffCount is 0.
Bytes block(const Bytes& payload, size_t ffCount = 0, size_t k = 256) {
    if (ffCount == 0) ffCount = k - 3 - payload.size();
    Bytes b{0x00, 0x01};
    b.insert(b.end(), ffCount, 0xFF);
    b.push_back(0x00);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// Raw RSA with the private exponent: block^d mod n, k bytes.
Bytes sign_block(const Bytes& eb) {
    const Bytes n = from_hex(kN), d = from_hex(kD);
    vlong *vb = nullptr, *vd = nullptr, *vn = nullptr, *r = nullptr;
    EXPECT_EQ(0, VLONG_fromBytes(eb.data(), static_cast<int32_t>(eb.size()), &vb, nullptr));
    EXPECT_EQ(0, VLONG_fromBytes(d.data(), static_cast<int32_t>(d.size()), &vd, nullptr));
    EXPECT_EQ(0, VLONG_fromBytes(n.data(), static_cast<int32_t>(n.size()), &vn, nullptr));
    EXPECT_EQ(0, VLONG_powMod(vb, vd, vn, &r, nullptr));
    Bytes s(256);
    int32_t len = 256;
    EXPECT_EQ(0, VLONG_byteStringFromVlong(r, s.data(), &len));
    for (vlong** v : {&vb, &vd, &vn, &r}) VLONG_release(v, nullptr);
    return s;
}

class Rsa : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, BASE64_initializeContext()); }
    const std::string key = pem(rsa_spki(from_hex(kN), {0x01, 0x00, 0x01}));
    int32_t verify(const Bytes& digest, const Bytes& sig) const {
        static const uint8_t none[1] = {0};
        return IMGSIGN_verifySignature(digest.empty() ? none : digest.data(), static_cast<uint32_t>(digest.size()), sig.data(),
                                       static_cast<uint32_t>(sig.size()), u8(key), static_cast<uint32_t>(key.size()));
    }
};

TEST_F(Rsa, EncodedBlocks) {
    const Bytes dg = digest_of(1, 32);
    const Bytes info = cat({kSha256Prefix, dg});
    Bytes otherDigest = dg;
    otherDigest[31] ^= 1;
    struct Row {
        const char* what;
        Bytes eb;
        Bytes digest;
        int32_t status;
    } rows[] = {
        {"good SHA-256 signature", block(info), dg, 0},
        {"digest differs in one byte", block(info), otherDigest, -7711},
        {"digest one byte shorter", block(info), Bytes(dg.begin(), dg.end() - 1), -7711},
        {"block type 2", [&] { Bytes b = block(info); b[1] = 2; return b; }(), dg, -7702},
        {"a non-FF byte in the padding", [&] { Bytes b = block(info); b[100] = 0xFE; return b; }(), dg, -7702},
        // One stray byte is a truncated header to the parser, which fails
        // before the DigestInfo's length is compared with the payload.
        {"extra byte after the DigestInfo", block(cat({info, Bytes{0}})), dg, -8108},
        {"extra element after the DigestInfo", block(cat({info, Bytes{0x05, 0x00}})), dg, -7603},
        {"SHA-1 DigestInfo", block(cat({kSha1Prefix, digest_of(1, 20)})), dg, -7711},
        {"SHA-1 DigestInfo, SHA-1 sized digest", block(cat({kSha1Prefix, digest_of(1, 20)})), digest_of(1, 20), 0},
        {"digest length field short", block(cat({from_hex("3030300d06096086480165030402010500041f"),
                                                 Bytes(dg.begin(), dg.end() - 1)})), dg, -7609},
        {"unknown NIST arc", block(cat({from_hex("3011300d060960864801650304020905000400")})), Bytes{}, -7711},
        {"no separator", [] { Bytes b(256, 0xFF); b[0] = 0; b[1] = 1; return b; }(), dg, -8101},
        {"DigestInfo longer than its content", block(cat({from_hex("3032"), Bytes(info.begin() + 2, info.end())})),
         dg, -8104},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(256u, r.eb.size()) << r.what;
        EXPECT_EQ(r.status, verify(r.digest, sign_block(r.eb))) << r.what;
    }
}

TEST_F(Rsa, SevenFfBytesAreRefused) {
    // The separator after seven FF bytes is refused whatever follows; after
    // eight the padding check passes and the payload is judged instead.
    const Bytes dg = digest_of(3, 32);
    Bytes eb{0x00, 0x01};
    eb.insert(eb.end(), 7, 0xFF);
    eb.push_back(0x00);
    eb.resize(256, 0x00);
    eb.back() = 1;
    EXPECT_EQ(-7702, verify(dg, sign_block(eb)));
    Bytes eb8{0x00, 0x01};
    eb8.insert(eb8.end(), 8, 0xFF);
    eb8.push_back(0x00);
    eb8.resize(256, 0x00);
    eb8.back() = 1;
    EXPECT_NE(-7702, verify(dg, sign_block(eb8))) << "eight FF bytes pass the padding check";
}

TEST_F(Rsa, SignatureLengthAndRange) {
    const Bytes dg = digest_of(5, 32);
    const Bytes sig = sign_block(block(cat({kSha256Prefix, dg})));
    ASSERT_EQ(0, verify(dg, sig));
    EXPECT_EQ(-7609, verify(dg, Bytes(sig.begin() + 1, sig.end()))) << "one byte short";
    EXPECT_EQ(-7609, verify(dg, cat({Bytes{0}, sig}))) << "one byte long";
    // s + n has the same value mod n but is not a valid representative.
    const Bytes n = from_hex(kN);
    Bytes sum(256);
    unsigned carry = 0;
    for (size_t i = 256; i-- > 0;) {
        const unsigned t = sig[i] + n[i] + carry;
        sum[i] = static_cast<uint8_t>(t);
        carry = t >> 8;
    }
    if (carry == 0) {
        EXPECT_EQ(-7702, verify(dg, sum)) << "signature above the modulus";
    }
    EXPECT_EQ(-7702, verify(dg, n)) << "signature equal to the modulus";
    EXPECT_EQ(-6001, IMGSIGN_verifySignature(nullptr, 32, sig.data(), 256, u8(key), 10));
    EXPECT_EQ(-6001, IMGSIGN_verifySignature(dg.data(), 32, nullptr, 256, u8(key), 10));
    EXPECT_EQ(-6001, IMGSIGN_verifySignature(dg.data(), 32, sig.data(), 256, nullptr, 10));
    const std::string junk = "-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n";
    const int32_t s = IMGSIGN_verifySignature(dg.data(), 32, sig.data(), 256, u8(junk),
                                              static_cast<uint32_t>(junk.size()));
    EXPECT_LT(s, 0);
    EXPECT_NE(-7711, s) << "the conversion error is returned";
    // An elliptic-curve key imports, but is never handed to the RSA code.
    const Bytes ecSpki = tlv(0x30, cat({tlv(0x30, cat({tlv(0x06, from_hex("2a8648ce3d0201")),
                                                       tlv(0x06, from_hex("2a8648ce3d030107"))})),
                                        tlv(0x03, cat({Bytes{0x00, 0x04}, Bytes(64, 0x11)}))}));
    const std::string ecKey = pem(ecSpki);
    EXPECT_EQ(-7701, IMGSIGN_verifySignature(dg.data(), 32, sig.data(), 256, u8(ecKey),
                                             static_cast<uint32_t>(ecKey.size())));
}

TEST_F(Rsa, PublicDecryptLimits) {
    RsaKey* k = nullptr;
    ASSERT_EQ(0, RSA_createKey(&k));
    Bytes in(513, 0x01), out(513);
    uint32_t len = 0;
    struct Row {
        const char* what;
        Bytes n;
        Bytes e;
        int32_t status;
    } rows[] = {
        {"4104-bit modulus", cat({Bytes{0xFF}, Bytes(512, 0xFF)}), {1, 0, 1}, -7707},
        {"exponent of two units", cat({Bytes{0xFF}, Bytes(255, 0xFF)}), {1, 0, 0, 0, 0, 1}, -7706},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(0, RSA_setPublicKeyData(k, r.e.data(), static_cast<uint32_t>(r.e.size()), r.n.data(),
                                          static_cast<uint32_t>(r.n.size())));
        EXPECT_EQ(r.status, RSA_publicDecrypt(k, in.data(), out.data(), &len, nullptr)) << r.what;
    }
    // A 4096-bit modulus is within the limit: the operation runs.
    Bytes n4096(512, 0xFF);
    ASSERT_EQ(0, RSA_setPublicKeyData(k, Bytes{1, 0, 1}.data(), 3, n4096.data(), 512));
    EXPECT_EQ(-7702, RSA_publicDecrypt(k, in.data(), out.data(), &len, nullptr)) << "runs, then finds no padding";
    EXPECT_EQ(-7701, RSA_publicDecrypt(nullptr, in.data(), out.data(), &len, nullptr));
    EXPECT_EQ(-6001, RSA_publicDecrypt(k, nullptr, out.data(), &len, nullptr));
    RSA_freeKey(&k);
    EXPECT_EQ(nullptr, k);
}

}  // namespace
