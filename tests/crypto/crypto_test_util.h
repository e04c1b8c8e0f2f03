// Small helpers shared by the crypto tests: hex, Base64 encoding, PEM
// armour, DER building and file reading.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cryptotest {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(const std::string& h) {
    Bytes b;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(nib(h[i]) * 16 + nib(h[i + 1])));
    return b;
}

inline std::string base64(const Bytes& b) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    size_t i = 0;
    for (; i + 3 <= b.size(); i += 3) {
        const uint32_t v = (uint32_t{b[i]} << 16) | (uint32_t{b[i + 1]} << 8) | b[i + 2];
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += a[(v >> 6) & 63];
        s += a[v & 63];
    }
    if (b.size() - i == 1) {
        const uint32_t v = uint32_t{b[i]} << 16;
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += "==";
    } else if (b.size() - i == 2) {
        const uint32_t v = (uint32_t{b[i]} << 16) | (uint32_t{b[i + 1]} << 8);
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += a[(v >> 6) & 63];
        s += '=';
    }
    return s;
}

inline std::string pem(const Bytes& der, const std::string& label = "PUBLIC KEY", const std::string& eol = "\n") {
    const std::string b = base64(der);
    std::string s = "-----BEGIN " + label + "-----" + eol;
    for (size_t i = 0; i < b.size(); i += 64) s += b.substr(i, 64) + eol;
    s += "-----END " + label + "-----" + eol;
    return s;
}

// DER TLV with a definite length in the shortest form.
inline Bytes tlv(uint8_t tag, const Bytes& content) {
    Bytes r{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        r.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        r.push_back(0x81);
        r.push_back(static_cast<uint8_t>(n));
    } else {
        r.push_back(0x82);
        r.push_back(static_cast<uint8_t>(n >> 8));
        r.push_back(static_cast<uint8_t>(n));
    }
    r.insert(r.end(), content.begin(), content.end());
    return r;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

// A positive INTEGER from a big-endian magnitude.
inline Bytes der_int(Bytes mag) {
    while (mag.size() > 1 && mag[0] == 0) mag.erase(mag.begin());
    if (mag.empty()) mag.push_back(0);
    if (mag[0] & 0x80) mag.insert(mag.begin(), 0);
    return tlv(0x02, mag);
}

// SubjectPublicKeyInfo of an RSA key with the given algorithm OID content.
inline Bytes rsa_spki(const Bytes& n, const Bytes& e,
                      const Bytes& oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}) {
    const Bytes alg = tlv(0x30, cat({tlv(0x06, oid), Bytes{0x05, 0x00}}));
    Bytes bits{0x00};
    const Bytes pub = tlv(0x30, cat({der_int(n), der_int(e)}));
    bits.insert(bits.end(), pub.begin(), pub.end());
    return tlv(0x30, cat({alg, tlv(0x03, bits)}));
}

inline Bytes read_file(const std::string& path) {
    Bytes b;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
        std::fclose(f);
    }
    return b;
}

inline const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

}  // namespace cryptotest
