// Image components laid out byte by byte for the tests of image/: the
// readers under test never see bytes made by the writer they are tested with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "byteorder.h"
#include "image/format.h"

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    store_be32(b.data() + at, v);
}

inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    store_be16(b.data() + at, v);
}

inline void add_record(Bytes& b, std::uint16_t tag, const Bytes& body) {
    const std::size_t at = b.size();
    put16(b, at, tag);
    put16(b, at + 2, static_cast<std::uint16_t>(4 + body.size()));
    b.insert(b.end(), body.begin(), body.end());
}

inline Bytes word(std::uint32_t v) {
    Bytes b;
    put32(b, 0, v);
    return b;
}

inline Bytes sig_body(std::uint16_t len, std::uint8_t fill) {
    Bytes b;
    put16(b, 0, len);
    b.insert(b.end(), len, fill);
    return b;
}

// A version-3 header with the given records; header length and len set to
// match a payload of `payload` bytes, which are appended (value 0xA5).
inline Bytes v3_component(std::uint32_t magic,
                          const std::vector<std::pair<std::uint16_t, Bytes>>& records,
                          std::size_t payload) {
    Bytes b(24, 0);
    put32(b, 8, magic);
    put32(b, 12, 0x01020304u);
    put32(b, 16, IMAGE_HDR3_WORD);
    for (const auto& [tag, body] : records) add_record(b, tag, body);
    const auto hl = static_cast<std::uint16_t>(b.size());
    put16(b, 22, hl);
    b.insert(b.end(), payload, 0xA5);
    put32(b, 4, static_cast<std::uint32_t>(b.size() - 16));
    put32(b, 0, image_component_crc(b));
    return b;
}

inline Bytes v1_component(std::uint32_t magic, const Bytes& payload) {
    Bytes b(16, 0);
    put32(b, 4, static_cast<std::uint32_t>(payload.size()));
    put32(b, 8, magic);
    put32(b, 12, 0x0A000001u);
    b.insert(b.end(), payload.begin(), payload.end());
    put32(b, 0, image_component_crc(b));
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
