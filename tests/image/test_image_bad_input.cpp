// Damaged images, case by case: a small valid component of each header
// version cut at every length and changed in one field at a time. Each case
// names what a reader must conclude (the walk, the CRC and the signature
// lookup, in the order the installer and the slot loader apply them), so a
// damaged field that is silently accepted fails here; under the asan preset
// the same cases also prove that no reader looks outside the bytes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "image/format.h"
#include "image_bytes.h"

namespace {

enum class Verdict {
    NoHeader,          // fewer than 24 bytes: no component at all
    V3HeaderTooShort,  // refused by its lengths, as image_check_lengths says
    V3LenTooShort,
    V2HeaderTooShort,
    PastEnd,
    CrcBad,            // lengths possible, CRC wrong
    Trailing,          // a sound component followed by another header
    Unsigned,          // sound, without a signature record
    Signed,            // sound, with a signature of `signature_length` bytes
    SignaturePastHeader,  // sound CRC, malformed records: refused
    SignatureRecordTooShort,
    SignaturePastRecord,
};

std::string name(Verdict v) {
    switch (v) {
    case Verdict::NoHeader: return "no header";
    case Verdict::V3HeaderTooShort: return "v3 header too short";
    case Verdict::V3LenTooShort: return "v3 len too short";
    case Verdict::V2HeaderTooShort: return "v2 header too short";
    case Verdict::PastEnd: return "past end";
    case Verdict::CrcBad: return "bad crc";
    case Verdict::Trailing: return "trailing component";
    case Verdict::Unsigned: return "unsigned";
    case Verdict::Signed: return "signed";
    case Verdict::SignaturePastHeader: return "record past header";
    case Verdict::SignatureRecordTooShort: return "record too short";
    case Verdict::SignaturePastRecord: return "signature past record";
    }
    return "?";
}

bool is_length_refusal(Verdict v) {
    return v == Verdict::NoHeader || v == Verdict::V3HeaderTooShort ||
           v == Verdict::V3LenTooShort || v == Verdict::V2HeaderTooShort || v == Verdict::PastEnd;
}

struct Reading {
    Verdict verdict;
    int version = 0;                // as the component was read; 0 when refused first
    std::uint16_t signature_length = 0;
};

Reading read_image(const Bytes& file) {
    ImageWalk w = image_walk_begin(image_source_memory(file));
    ImageComponent c{};
    const int st = image_walk_next(w, &c);
    if (st == IMAGE_WALK_END) return {Verdict::NoHeader};
    if (st == IMAGE_WALK_BAD_LENGTHS) {
        // Every refusal has its own operator text.
        EXPECT_NE(std::string(image_length_status_text(w.lengths)), "unknown length status");
        switch (w.lengths) {
        case IMAGE_V3_HEADER_TOO_SHORT: return {Verdict::V3HeaderTooShort};
        case IMAGE_V3_LEN_TOO_SHORT: return {Verdict::V3LenTooShort};
        case IMAGE_V2_HEADER_TOO_SHORT: return {Verdict::V2HeaderTooShort};
        case IMAGE_PAST_END: return {Verdict::PastEnd};
        case IMAGE_LENGTHS_OK: break;
        }
        ADD_FAILURE() << "refused with consistent lengths";
        return {Verdict::NoHeader};
    }
    EXPECT_EQ(st, IMAGE_WALK_COMPONENT);
    Reading r{Verdict::CrcBad, c.header.version};
    const std::span<const std::uint8_t> comp(file.data() + c.offset, c.header.total_length);
    if (!image_crc_ok(comp, c.header.total_length)) return r;
    ImageComponent next{};
    if (image_walk_next(w, &next) != IMAGE_WALK_END) {
        r.verdict = Verdict::Trailing;
        return r;
    }
    ImageSignature sig{};
    const int found = image_find_signature(comp.first(c.header.header_length), &sig);
    EXPECT_NE(std::string(image_record_status_text(found)), "unknown record status");
    switch (found) {
    case IMAGE_RECORD_FOUND:
        r.verdict = Verdict::Signed;
        r.signature_length = sig.length;
        break;
    case IMAGE_RECORDS_END:
    case IMAGE_RECORD_ZERO_LENGTH: r.verdict = Verdict::Unsigned; break;
    case IMAGE_RECORD_PAST_HEADER: r.verdict = Verdict::SignaturePastHeader; break;
    case IMAGE_RECORD_TOO_SHORT: r.verdict = Verdict::SignatureRecordTooShort; break;
    case IMAGE_SIGNATURE_PAST_RECORD: r.verdict = Verdict::SignaturePastRecord; break;
    default: ADD_FAILURE() << "record status " << found;
    }
    return r;
}

// Recomputes the CRC over the component as its (changed) header describes
// it, as a forger or a lucky corruption would: the checks behind the CRC
// must then catch the change on their own.
void fix_crc(Bytes& b) {
    const ImageHeader h = image_classify_header(b.data());
    if (image_check_lengths(h, b.size()) != IMAGE_LENGTHS_OK) return;
    put32(b, 0, image_component_crc({b.data(), static_cast<std::size_t>(h.total_length)}));
}

// The valid images. Version 1 and 2: a kernel with 16 payload bytes, no
// records. Version 3: a tag-4 record (offset 24, 8 bytes) and a signature
// record (offset 32, 14 bytes: signature length at 36, 8 signature bytes at
// 38), header length 46, 16 payload bytes: 62 bytes in all.
Bytes valid_v1() { return v1_component(IMAGE_TYPE_KERNEL, Bytes(16, 0xA5)); }

Bytes valid_v2() {
    Bytes b(24, 0);
    put32(b, 4, 16);
    put32(b, 8, IMAGE_TYPE_KERNEL | IMAGE_MAGIC_V2_FLAG);
    put32(b, 12, 0x02000001u);
    put16(b, 18, 24);
    b.insert(b.end(), 16, 0xA5);
    put32(b, 0, image_component_crc(b));
    return b;
}

Bytes valid_v3() {
    return v3_component(IMAGE_TYPE_KERNEL, {{4, Bytes{0, 2, 0xAB, 0xCD}}, {3, sig_body(8, 0x5C)}},
                        16);
}

Bytes valid(int version) {
    return version == 1 ? valid_v1() : version == 2 ? valid_v2() : valid_v3();
}

TEST(ImageBadInput, ValidImagesReadAsTheirVersion) {
    const Reading expected[] = {{Verdict::Unsigned, 1}, {Verdict::Unsigned, 2}, {Verdict::Signed, 3, 8}};
    for (int v = 1; v <= 3; ++v) {
        const Reading r = read_image(valid(v));
        EXPECT_EQ(name(r.verdict), name(expected[v - 1].verdict)) << "version " << v;
        EXPECT_EQ(r.version, v);
        EXPECT_EQ(r.signature_length, expected[v - 1].signature_length) << "version " << v;
    }
}

TEST(ImageBadInput, EveryTruncation) {
    for (int v = 1; v <= 3; ++v) {
        const Bytes whole = valid(v);
        for (std::size_t len = 0; len < whole.size(); ++len) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len));
            const Verdict expected = len < IMAGE_PROBE_LEN ? Verdict::NoHeader : Verdict::PastEnd;
            EXPECT_EQ(name(read_image(cut).verdict), name(expected))
                << "version " << v << " cut to " << len << " of " << whole.size() << " bytes";
        }
    }
}

struct Mutation {
    int version;
    const char* what;
    std::function<void(Bytes&)> change;
    Verdict expected;       // with the CRC made to match the change
    int read_as = 0;        // the version it is then read as; 0: the same
    std::uint16_t signature_length = 8;  // for Verdict::Signed
};

void flip(Bytes& b, std::size_t at, std::uint8_t mask) { b[at] ^= mask; }

const std::vector<Mutation>& mutations() {
    using V = Verdict;
    static const std::vector<Mutation> table = {
        // Version 1: len at 4, magic at 8, id at 12, payload from 16.
        {1, "len one more", [](Bytes& b) { put32(b, 4, 17); }, V::PastEnd},
        {1, "len one less (one stray byte left)", [](Bytes& b) { put32(b, 4, 15); }, V::Unsigned},
        {1, "len zero (16 stray bytes left)", [](Bytes& b) { put32(b, 4, 0); }, V::Unsigned},
        {1, "len all ones", [](Bytes& b) { put32(b, 4, 0xFFFFFFFFu); }, V::PastEnd},
        {1, "magic bit 31: version 2 with header length from the payload",
         [](Bytes& b) { flip(b, 8, 0x80); }, V::PastEnd},
        {1, "HDR3 word at the payload start: version 3 with header length 0xA5A5",
         [](Bytes& b) { put32(b, 16, IMAGE_HDR3_WORD); }, V::V3LenTooShort},
        {1, "crc field", [](Bytes& b) { flip(b, 0, 0x01); }, V::Unsigned},
        {1, "id", [](Bytes& b) { flip(b, 15, 0x01); }, V::Unsigned},
        {1, "payload byte", [](Bytes& b) { flip(b, 31, 0x10); }, V::Unsigned},

        // Version 2: len at 4, magic at 8 (bit 31 set), header length at 18.
        {2, "len one more", [](Bytes& b) { put32(b, 4, 17); }, V::PastEnd},
        {2, "len one less", [](Bytes& b) { put32(b, 4, 15); }, V::Unsigned},
        {2, "len all ones", [](Bytes& b) { put32(b, 4, 0xFFFFFFFFu); }, V::PastEnd},
        {2, "header length 0", [](Bytes& b) { put16(b, 18, 0); }, V::V2HeaderTooShort},
        {2, "header length 15", [](Bytes& b) { put16(b, 18, 15); }, V::V2HeaderTooShort},
        {2, "header length 16 (eight stray bytes left)", [](Bytes& b) { put16(b, 18, 16); }, V::Unsigned},
        {2, "header length one more", [](Bytes& b) { put16(b, 18, 25); }, V::PastEnd},
        {2, "header length 0xFFFF", [](Bytes& b) { put16(b, 18, 0xFFFF); }, V::PastEnd},
        {2, "magic bit 31 cleared: read as version 1", [](Bytes& b) { flip(b, 8, 0x80); },
         V::Unsigned, 1},
        {2, "HDR3 word at 16: version 3 with header length 0",
         [](Bytes& b) { put32(b, 16, IMAGE_HDR3_WORD); }, V::V3HeaderTooShort},
        {2, "payload byte", [](Bytes& b) { flip(b, 39, 0x10); }, V::Unsigned},

        // Version 3: len at 4, HDR3 at 16, header length at 22; records at
        // 24 (tag 4, length 8) and 32 (tag 3, length 14, signature length at
        // 36).
        {3, "len one more", [](Bytes& b) { put32(b, 4, 47); }, V::PastEnd},
        {3, "len one less", [](Bytes& b) { put32(b, 4, 45); }, V::Signed},
        {3, "len one below the header", [](Bytes& b) { put32(b, 4, 29); }, V::V3LenTooShort},
        {3, "len zero", [](Bytes& b) { put32(b, 4, 0); }, V::V3LenTooShort},
        {3, "len all ones", [](Bytes& b) { put32(b, 4, 0xFFFFFFFFu); }, V::PastEnd},
        {3, "header length 23", [](Bytes& b) { put16(b, 22, 23); }, V::V3HeaderTooShort},
        {3, "header length 0", [](Bytes& b) { put16(b, 22, 0); }, V::V3HeaderTooShort},
        {3, "header length one less: the signature record leaves the header",
         [](Bytes& b) { put16(b, 22, 45); }, V::SignaturePastHeader},
        {3, "header length one more: a record head cut by the header's end",
         [](Bytes& b) { put16(b, 22, 47); }, V::SignaturePastHeader},
        {3, "header length covers the payload: payload bytes read as records",
         [](Bytes& b) { put16(b, 22, 62); }, V::SignaturePastHeader},
        {3, "HDR3 word damaged: read as version 1, the signature is gone",
         [](Bytes& b) { flip(b, 19, 0x01); }, V::Unsigned, 1},
        {3, "HDR3 word damaged with magic bit 31: version 2, header length from that word",
         [](Bytes& b) { flip(b, 19, 0x01); flip(b, 8, 0x80); }, V::PastEnd},
        {3, "magic bit 31 beside HDR3: still version 3", [](Bytes& b) { flip(b, 8, 0x80); },
         V::Signed},
        {3, "signature record tag changed: no signature", [](Bytes& b) { put16(b, 32, 4); },
         V::Unsigned},
        {3, "first record retagged as a signature: the last one counts",
         [](Bytes& b) { put16(b, 24, 3); }, V::Signed},
        {3, "signature made the first record: the last one counts",
         [](Bytes& b) { put16(b, 24, 3); put16(b, 32, 4); }, V::Signed, 0, 2},
        {3, "first record length 0 ends the walk before the signature",
         [](Bytes& b) { put16(b, 26, 0); }, V::Unsigned},
        {3, "first record length 1", [](Bytes& b) { put16(b, 26, 1); },
         V::SignatureRecordTooShort},
        {3, "first record length 3", [](Bytes& b) { put16(b, 26, 3); },
         V::SignatureRecordTooShort},
        {3, "first record length 0xFFFF", [](Bytes& b) { put16(b, 26, 0xFFFF); },
         V::SignaturePastHeader},
        {3, "signature record length 0", [](Bytes& b) { put16(b, 34, 0); }, V::Unsigned},
        {3, "signature record length 2", [](Bytes& b) { put16(b, 34, 2); },
         V::SignatureRecordTooShort},
        {3, "signature record length one more", [](Bytes& b) { put16(b, 34, 15); },
         V::SignaturePastHeader},
        {3, "signature record of 5 bytes closing the header: no room for its length",
         [](Bytes& b) { put16(b, 34, 5); put16(b, 22, 37); }, V::SignaturePastRecord},
        {3, "signature length one more", [](Bytes& b) { put16(b, 36, 9); },
         V::SignaturePastRecord},
        {3, "signature length 0xFFFF", [](Bytes& b) { put16(b, 36, 0xFFFF); },
         V::SignaturePastRecord},
        {3, "signature length 0: an empty signature, left to the verifier",
         [](Bytes& b) { put16(b, 36, 0); }, V::Signed, 0, 0},
        {3, "signature byte", [](Bytes& b) { flip(b, 40, 0x01); }, V::Signed},
        {3, "payload byte", [](Bytes& b) { flip(b, 61, 0x10); }, V::Signed},
    };
    return table;
}

TEST(ImageBadInput, EverySingleFieldMutation) {
    for (const Mutation& m : mutations()) {
        const std::string what = "version " + std::to_string(m.version) + ": " + m.what;
        Bytes changed = valid(m.version);
        m.change(changed);
        ASSERT_NE(changed, valid(m.version)) << what << " changes nothing";

        // As damaged: a length refusal stands; anything else is caught by
        // the CRC, which covers every byte the change can touch.
        const Verdict raw = is_length_refusal(m.expected) ? m.expected : Verdict::CrcBad;
        EXPECT_EQ(name(read_image(changed).verdict), name(raw)) << what << " (CRC as it was)";

        fix_crc(changed);
        const Reading r = read_image(changed);
        EXPECT_EQ(name(r.verdict), name(m.expected)) << what << " (CRC made to match)";
        if (!is_length_refusal(m.expected)) {
            EXPECT_EQ(r.version, m.read_as ? m.read_as : m.version) << what;
        }
        if (m.expected == Verdict::Signed) {
            EXPECT_EQ(r.signature_length, m.signature_length) << what;
        }
    }
}

}  // namespace
