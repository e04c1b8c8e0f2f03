// RSA signature checks built around a fixed 2048-bit test key whose private
// exponent is known, so that any encoded block can be signed here with the
// library's own powMod. Runs natively and under qemu-ppc.
#include <gtest/gtest.h>

#include <algorithm>
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

// ---- Small public exponents ----

// Owns a vlong.
struct Num {
    vlong* v = nullptr;
    Num() { EXPECT_EQ(0, VLONG_create(&v, nullptr)); }
    explicit Num(const Bytes& b) {
        EXPECT_EQ(0, VLONG_fromBytes(b.data(), static_cast<int32_t>(b.size()), &v, nullptr));
    }
    ~Num() { VLONG_release(&v, nullptr); }
    Num(const Num&) = delete;
    Num& operator=(const Num&) = delete;
};

// x^3 mod 2^bitLimit, as len big-endian bytes.
Bytes cube(const Bytes& x, uint32_t bitLimit, size_t len) {
    Num a(x), sq, c;
    EXPECT_EQ(0, VLONG_mulBits(sq.v, a.v, a.v, 2 * VLONG_bits(a.v)));
    EXPECT_EQ(0, VLONG_mulBits(c.v, sq.v, a.v, bitLimit));
    Bytes out(len);
    int32_t n = static_cast<int32_t>(len);
    EXPECT_EQ(0, VLONG_byteStringFromVlong(c.v, out.data(), &n));
    return out;
}

void flip_bit(Bytes& x, uint32_t bit) { x[x.size() - 1 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8)); }

// The largest r with r^3 <= t (t of 256 bytes), bit by bit from the top.
Bytes cube_root(const Bytes& t) {
    Bytes r(86);  // 688 bits: cbrt(2^2048) < 2^683
    for (uint32_t bit = 8 * 86; bit-- > 0;) {
        flip_bit(r, bit);
        if (cube(r, 4096, 512) > cat({Bytes(256), t})) flip_bit(r, bit);
    }
    return r;
}

// The odd l below 2^(8 * x.size()) with l^3 = x modulo that power (x odd):
// each bit of l fixes the same bit of the cube without touching lower ones.
Bytes cube_root_mod_power_of_two(const Bytes& x) {
    const uint32_t bits = static_cast<uint32_t>(8 * x.size());
    Bytes l(x.size());
    l.back() = 1;
    for (uint32_t bit = 1; bit < bits; ++bit) {
        const Bytes c = cube(l, bits, x.size());
        if ((c[c.size() - 1 - bit / 8] ^ x[x.size() - 1 - bit / 8]) & (1u << (bit % 8))) flip_bit(l, bit);
    }
    return l;
}

// A signature forged for e = 3 without any private key (the method of
// Bleichenbacher, 2006): the cube of s is a block
//   00 01 FF*8 00 | DigestInfo { AlgorithmIdentifier { SHA-256, OCTET STRING
//   of 191 bytes of garbage as parameters }, OCTET STRING digest }
// whose 31 top bytes and 34 bottom bytes are fixed and whose garbage takes
// up the error of the cube root. The top of s is the cube root of the block
// with the garbage set to 80 00..; its low 272 bits are the cube root of
// the fixed bottom modulo 2^272, which leaves the top within 2^1640 of the
// block, far below the 2^1799 of the garbage's first bit.
Bytes forge_e3(const Bytes& digest) {
    const Bytes top = from_hex("0001ffffffffffffffff00" "3081f2" "3081cd" "0609608648016503040201" "0481bf");
    const Bytes bottom = cat({Bytes{0x04, 0x20}, digest});
    Bytes target = cat({top, Bytes{0x80}});
    target.resize(256);
    Bytes s = cube_root(target);
    const Bytes low = cube_root_mod_power_of_two(bottom);
    std::copy(low.begin(), low.end(), s.end() - static_cast<std::ptrdiff_t>(low.size()));
    return cat({Bytes(256 - s.size()), s});
}

std::string vector_key(const char* name) {
    const Bytes b = read_file(std::string(TEST_VECTOR_DIR) + "/keys/" + name);
    return std::string(b.begin(), b.end());
}

int32_t verify_with(const std::string& keyText, const Bytes& digest, const Bytes& sig) {
    return IMGSIGN_verifySignature(digest.data(), static_cast<uint32_t>(digest.size()), sig.data(),
                                   static_cast<uint32_t>(sig.size()), u8(keyText),
                                   static_cast<uint32_t>(keyText.size()));
}

TEST_F(Rsa, ForgeriesForExponentsThreeAndOneAreRefused) {
    const Bytes dg = digest_of(2, 32);
    ASSERT_EQ(1, dg.back() & 1) << "a cube root modulo 2^272 needs an odd bottom";
    const Bytes forged = forge_e3(dg);
    const Bytes block = cube(forged, 4096, 256);
    // The forgery is no near miss: its cube is a block with the padding and
    // the digest in place, which the DigestInfo reading accepts, as the
    // same block signed with the private key of the e = 65537 key shows.
    ASSERT_EQ(from_hex("0001ffffffffffffffff00"), Bytes(block.begin(), block.begin() + 11));
    ASSERT_EQ(cat({Bytes{0x04, 0x20}, dg}), Bytes(block.end() - 34, block.end()));
    ASSERT_EQ(0, verify(dg, sign_block(block)));

    const struct {
        const char* what;
        std::string key;
        Bytes signature;
    } rows[] = {
        {"e = 3, 451-character key with 00 00 03", vector_key("rsa2048_e3_padded.pub.pem"), forged},
        {"e = 3, DER key", pem(rsa_spki(from_hex(kN), {0x03})), forged},
        {"e = 1, 451-character key with 00 00 01: the block is the signature", vector_key("rsa2048_e1_padded.pub.pem"),
         block},
    };
    for (const auto& r : rows) {
        ASSERT_FALSE(r.key.empty()) << r.what;
        EXPECT_EQ(ERR_RSA_WEAK_EXPONENT, verify_with(r.key, dg, r.signature)) << r.what;
    }
}

TEST_F(Rsa, ExponentsBelow65537OrEvenAreRefusedBeforeTheSignature) {
    const Bytes dg = digest_of(9, 32);
    const Bytes garbage(256, 0x5A);  // below the modulus, not a block
    const struct {
        uint32_t e;
        int32_t status;
    } rows[] = {
        {0, ERR_RSA_WEAK_EXPONENT},     {1, ERR_RSA_WEAK_EXPONENT},      {2, ERR_RSA_WEAK_EXPONENT},
        {3, ERR_RSA_WEAK_EXPONENT},     {17, ERR_RSA_WEAK_EXPONENT},     {65535, ERR_RSA_WEAK_EXPONENT},
        {65536, ERR_RSA_WEAK_EXPONENT}, {65538, ERR_RSA_WEAK_EXPONENT},  {0x7FFFFFFEu, ERR_RSA_WEAK_EXPONENT},
        {65537, ERR_RSA_BAD_PADDING},   {65539, ERR_RSA_BAD_PADDING},    {0x7FFFFFFFu, ERR_RSA_BAD_PADDING},
    };
    for (const auto& r : rows) {
        const Bytes e{static_cast<uint8_t>(r.e >> 24), static_cast<uint8_t>(r.e >> 16), static_cast<uint8_t>(r.e >> 8),
                      static_cast<uint8_t>(r.e)};
        const std::string keyText = pem(rsa_spki(from_hex(kN), e));
        EXPECT_EQ(r.status, verify_with(keyText, dg, garbage)) << "e = " << r.e;
        // A refused key is refused whatever the signature, even one of the
        // wrong length.
        const int32_t shortSig = verify_with(keyText, dg, Bytes(garbage.begin(), garbage.end() - 1));
        EXPECT_EQ(r.status == ERR_RSA_WEAK_EXPONENT ? ERR_RSA_WEAK_EXPONENT : ERR_RSA_BAD_SIGNATURE_LENGTH, shortSig)
            << "e = " << r.e;
    }
    // The direct check: no key, no exponent, an exponent of two units.
    EXPECT_EQ(-6001, RSA_checkVerifyExponent(nullptr));
    RsaKey* k = nullptr;
    ASSERT_EQ(0, RSA_createKey(&k));
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT, RSA_checkVerifyExponent(k));
    const Bytes n = from_hex(kN), wide{1, 0, 0, 0, 1};
    ASSERT_EQ(0, RSA_setPublicKeyData(k, wide.data(), 5, n.data(), static_cast<uint32_t>(n.size())));
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT, RSA_checkVerifyExponent(k));
    RSA_freeKey(&k);
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
