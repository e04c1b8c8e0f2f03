// The image format readers and writer: classification, the length limits
// every reader enforces, the record walk, the component walk over memory and
// over a file, and round trips through the writer. Bytes are laid out by hand
// here (not by the writer) wherever a reader is under test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "byteorder.h"
#include "image/format.h"
#include "image_bytes.h"

namespace {

// --- Classification --------------------------------------------------------

TEST(ImageClassify, HeaderVersions) {
    struct Case {
        const char* what;
        std::uint32_t magic;
        std::uint32_t word16;
        std::uint16_t at18, at22;
        std::uint32_t len;
        int version;
        std::uint32_t header_length;
        std::uint64_t payload_length, total_length;
        std::uint32_t type;
    };
    const Case cases[] = {
        {"plain version 1", IMAGE_TYPE_KERNEL, 0, 0, 0, 100, 1, 16, 100, 116, IMAGE_TYPE_KERNEL},
        {"HDR3 word wins over a version-1 magic", IMAGE_TYPE_KERNEL, IMAGE_HDR3_WORD, 0, 40, 100, 3,
         40, 76, 116, IMAGE_TYPE_KERNEL},
        {"bit 31 without HDR3 is version 2", IMAGE_TYPE_RFS | 0x80000000u, 0x00000000u, 32, 0, 100,
         2, 32, 100, 132, IMAGE_TYPE_RFS},
        {"HDR3 word wins over bit 31", IMAGE_TYPE_DFT | 0x80000000u, IMAGE_HDR3_WORD, 0, 24, 8, 3,
         24, 0, 24, IMAGE_TYPE_DFT},
        {"version-3 len below header keeps payload 0", IMAGE_TYPE_APPLICATION, IMAGE_HDR3_WORD, 0,
         64, 10, 3, 64, 0, 26, IMAGE_TYPE_APPLICATION},
        {"version-2 sums do not wrap", 0x80000000u | IMAGE_TYPE_APPLICATION, 0, 0xFFFF, 0,
         0xFFFFFFFFu, 2, 0xFFFF, 0xFFFFFFFFu, 0xFFFFull + 0xFFFFFFFFull, IMAGE_TYPE_APPLICATION},
        {"version-1 sums do not wrap", IMAGE_TYPE_APPLICATION, 0, 0, 0, 0xFFFFFFFFu, 1, 16,
         0xFFFFFFFFu, 0x10000000Full, IMAGE_TYPE_APPLICATION},
    };
    for (const auto& c : cases) {
        Bytes b(24, 0);
        put32(b, 4, c.len);
        put32(b, 8, c.magic);
        put32(b, 16, c.word16);
        if (c.word16 != IMAGE_HDR3_WORD) put16(b, 18, c.at18);
        put16(b, 22, c.at22);
        const ImageHeader h = image_classify_header(b.data());
        EXPECT_EQ(h.version, c.version) << c.what;
        EXPECT_EQ(h.header_length, c.header_length) << c.what;
        EXPECT_EQ(h.payload_offset, c.header_length) << c.what;
        EXPECT_EQ(h.payload_length, c.payload_length) << c.what;
        EXPECT_EQ(h.total_length, c.total_length) << c.what;
        EXPECT_EQ(image_header_type(h), c.type) << c.what;
        EXPECT_EQ(h.magic, c.magic) << c.what;
    }
}

TEST(ImageClassify, Hdr3WordInVersionOnePayload) {
    // A version-1 component whose payload happens to start with "HDR3" is a
    // version-3 component to every reader.
    Bytes payload = {'H', 'D', 'R', '3', 0, 0, 0, 24, 1, 2, 3, 4};
    Bytes b(16, 0);
    put32(b, 4, static_cast<std::uint32_t>(payload.size()));
    put32(b, 8, IMAGE_TYPE_APPLICATION);
    b.insert(b.end(), payload.begin(), payload.end());
    const ImageHeader h = image_classify_header(b.data());
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.header_length, 24u);
    EXPECT_EQ(h.payload_length, 4u);
    EXPECT_EQ(h.total_length, b.size());
    // The writer refuses to make such a component.
    ImageComponentDesc desc{IMAGE_TYPE_APPLICATION, 0, 1, {}, payload};
    Bytes out(64);
    EXPECT_EQ(image_build_component(desc, out), IMAGE_BUILD_AMBIGUOUS);
}

// --- Length limits ---------------------------------------------------------

TEST(ImageLengths, ImpossibleHeadersAreRefused) {
    struct Case {
        const char* what;
        int version;  // 1, 2, 3: laid out as that version
        std::uint16_t header_length;
        std::uint32_t len;
        std::uint64_t available;
        ImageLengthStatus expected;
    };
    const Case cases[] = {
        {"v3 fits exactly", 3, 24, 8, 24, IMAGE_LENGTHS_OK},
        {"v3 header only, len = hl - 16", 3, 40, 24, 40, IMAGE_LENGTHS_OK},
        {"v3 len one below hl - 16", 3, 40, 23, 1000, IMAGE_V3_LEN_TOO_SHORT},
        {"v3 len 0", 3, 24, 0, 1000, IMAGE_V3_LEN_TOO_SHORT},
        {"v3 header length 23", 3, 23, 100, 1000, IMAGE_V3_HEADER_TOO_SHORT},
        {"v3 header length 0", 3, 0, 100, 1000, IMAGE_V3_HEADER_TOO_SHORT},
        {"v3 one byte past the end", 3, 24, 9, 24, IMAGE_PAST_END},
        {"v3 len near 4 GiB", 3, 24, 0xFFFFFFF0u, 1u << 20, IMAGE_PAST_END},
        {"v2 header 16", 2, 16, 0, 16, IMAGE_LENGTHS_OK},
        {"v2 header 15", 2, 15, 100, 1000, IMAGE_V2_HEADER_TOO_SHORT},
        {"v2 header plus payload 0", 2, 0, 0, 1000, IMAGE_V2_HEADER_TOO_SHORT},
        {"v2 past the end", 2, 24, 1000, 1023, IMAGE_PAST_END},
        {"v2 largest fields", 2, 0xFFFF, 0xFFFFFFFFu, 1u << 20, IMAGE_PAST_END},
        {"v1 empty payload", 1, 16, 0, 24, IMAGE_LENGTHS_OK},
        {"v1 past the end", 1, 16, 100, 115, IMAGE_PAST_END},
    };
    for (const auto& c : cases) {
        Bytes b(24, 0);
        put32(b, 4, c.len);
        if (c.version == 3) {
            put32(b, 8, IMAGE_TYPE_KERNEL);
            put32(b, 16, IMAGE_HDR3_WORD);
            put16(b, 22, c.header_length);
        } else if (c.version == 2) {
            put32(b, 8, IMAGE_TYPE_KERNEL | IMAGE_MAGIC_V2_FLAG);
            put16(b, 18, c.header_length);
        } else {
            put32(b, 8, IMAGE_TYPE_KERNEL);
        }
        const ImageHeader h = image_classify_header(b.data());
        ASSERT_EQ(h.version, c.version) << c.what;
        const ImageLengthStatus s = image_check_lengths(h, c.available);
        EXPECT_EQ(s, c.expected) << c.what << ": " << image_length_status_text(s);
        if (s == IMAGE_LENGTHS_OK) {
            EXPECT_GE(h.total_length, 16u) << c.what;
            EXPECT_LE(h.total_length, c.available) << c.what;
            EXPECT_EQ(h.payload_offset + h.payload_length, h.total_length) << c.what;
        }
    }
}

// --- Record walk -----------------------------------------------------------

TEST(ImageRecords, SignatureAndAlternativeType) {
    using R = std::vector<std::pair<std::uint16_t, Bytes>>;
    struct Case {
        const char* what;
        R records;
        int sig_status;
        std::uint16_t sig_len;
        std::uint8_t sig_fill;
        int alt_status;
        std::uint32_t effective;  // for magic APPLICATION
    };
    const Case cases[] = {
        {"no records", {}, IMAGE_RECORDS_END, 0, 0, IMAGE_RECORDS_END, IMAGE_TYPE_APPLICATION},
        {"two signatures: the second counts",
         {{3, sig_body(8, 0x11)}, {4, Bytes(6, 0)}, {3, sig_body(12, 0x22)}},
         IMAGE_RECORD_FOUND, 12, 0x22, IMAGE_RECORDS_END, IMAGE_TYPE_APPLICATION},
        {"tag 6 turns APPLICATION into DIAGS",
         {{6, word(IMAGE_TYPE_DIAGS)}, {3, sig_body(4, 0x33)}},
         IMAGE_RECORD_FOUND, 4, 0x33, IMAGE_RECORD_FOUND, IMAGE_TYPE_DIAGS},
        {"tag 6 with a foreign word is passed over for the next",
         {{6, word(0x12345678u)}, {6, word(IMAGE_TYPE_DIAGS | 0x80000000u)}},
         IMAGE_RECORDS_END, 0, 0, IMAGE_RECORD_FOUND, IMAGE_TYPE_DIAGS},
        {"tag 6 too short for its word is passed over",
         {{6, Bytes{0x06, 0x4C}}, {6, word(IMAGE_TYPE_KERNEL)}},
         IMAGE_RECORDS_END, 0, 0, IMAGE_RECORD_FOUND, IMAGE_TYPE_KERNEL},
        {"tag 6 word is never read across into the next record",
         {{6, Bytes{0x06, 0x4C, 0x41}}, {0x4400, Bytes{}}},
         IMAGE_RECORDS_END, 0, 0, IMAGE_RECORDS_END, IMAGE_TYPE_APPLICATION},
        {"only the first matching tag 6 counts",
         {{6, word(IMAGE_TYPE_DIAGS)}, {6, word(IMAGE_TYPE_KERNEL)}},
         IMAGE_RECORDS_END, 0, 0, IMAGE_RECORD_FOUND, IMAGE_TYPE_DIAGS},
        {"signature length runs past its record, inside the header",
         {{3, [] { Bytes b = sig_body(8, 1); put16(b, 0, 9); return b; }()}, {4, Bytes(6, 0)}},
         IMAGE_SIGNATURE_PAST_RECORD, 0, 0, IMAGE_RECORDS_END, IMAGE_TYPE_APPLICATION},
        {"signature record without room for its length", {{3, Bytes{0x00}}},
         IMAGE_SIGNATURE_PAST_RECORD, 0, 0, IMAGE_RECORDS_END, IMAGE_TYPE_APPLICATION},
        {"empty signature", {{3, sig_body(0, 0)}}, IMAGE_RECORD_FOUND, 0, 0, IMAGE_RECORDS_END,
         IMAGE_TYPE_APPLICATION},
    };
    for (const auto& c : cases) {
        const Bytes b = v3_component(IMAGE_TYPE_APPLICATION, c.records, 10);
        ImageSignature sig{};
        EXPECT_EQ(image_find_signature(b, &sig), c.sig_status) << c.what;
        if (c.sig_status == IMAGE_RECORD_FOUND) {
            EXPECT_EQ(sig.length, c.sig_len) << c.what;
            EXPECT_EQ(sig.offset, sig.record.offset + 6u) << c.what;
            ASSERT_LE(sig.offset + sig.length, load_be16(b.data() + 22)) << c.what;
            for (std::uint16_t i = 0; i < sig.length; ++i)
                ASSERT_EQ(b[sig.offset + i], c.sig_fill) << c.what;
        }
        std::uint32_t alt = 0;
        EXPECT_EQ(image_find_alt_type(b, &alt), c.alt_status) << c.what;
        int st = 99;
        EXPECT_EQ(image_effective_type(b, load_be32(b.data() + 8), &st), c.effective) << c.what;
        EXPECT_EQ(st, c.alt_status) << c.what;
    }
}

TEST(ImageRecords, MalformedRecordsStopTheWalk) {
    struct Case {
        const char* what;
        Bytes records;          // raw bytes from offset 24
        std::size_t supplied;   // bytes of header given to the reader (0: all)
        int status;             // how the walk ends
        int records_before;     // records returned before it ends
        std::uint8_t fill = 0xEE;  // the payload after the header
    };
    auto rec = [](std::uint16_t tag, std::uint16_t len, std::size_t body) {
        Bytes b;
        put16(b, 0, tag);
        put16(b, 2, len);
        b.insert(b.end(), body, 0);
        return b;
    };
    auto cat = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"zero-length record ends the walk", cat(rec(4, 6, 2), rec(3, 0, 8)), 0,
         IMAGE_RECORD_ZERO_LENGTH, 1},
        {"record running past the header length", cat(rec(4, 6, 2), rec(3, 40, 10)), 0,
         IMAGE_RECORD_PAST_HEADER, 1},
        {"tag and length cut by the header end", cat(rec(4, 6, 2), Bytes{0, 3}), 0,
         IMAGE_RECORD_PAST_HEADER, 1},
        // Read past the header, the length would be 0 and end the walk
        // differently.
        {"three bytes of tag and length before zeros", cat(rec(4, 6, 2), Bytes{0, 3, 0}), 0,
         IMAGE_RECORD_PAST_HEADER, 1, 0x00},
        {"one byte of a tag before zeros", cat(rec(4, 6, 2), Bytes{0}), 0, IMAGE_RECORD_PAST_HEADER, 1,
         0x00},
        {"record length 2 is shorter than its own fields", rec(4, 2, 0), 0,
         IMAGE_RECORD_TOO_SHORT, 0},
        {"record one byte past the header length", cat(rec(4, 6, 2), rec(3, 5, 0)), 0,
         IMAGE_RECORD_PAST_HEADER, 1},
        {"record past the bytes supplied", cat(rec(4, 6, 2), rec(4, 8, 4)), 34,
         IMAGE_RECORD_PAST_HEADER, 1},
        {"well-formed records end normally", cat(rec(4, 6, 2), rec(9, 4, 0)), 0, IMAGE_RECORDS_END,
         2},
    };
    for (const auto& c : cases) {
        Bytes b(24, 0);
        put32(b, 8, IMAGE_TYPE_KERNEL);
        put32(b, 16, IMAGE_HDR3_WORD);
        b.insert(b.end(), c.records.begin(), c.records.end());
        put16(b, 22, static_cast<std::uint16_t>(b.size()));
        b.insert(b.end(), 32, c.fill);  // payload: must never be taken as records
        std::span<const std::uint8_t> view(b);
        if (c.supplied) view = view.first(c.supplied);
        ImageRecordWalk w = image_records_begin(view);
        ImageRecord r{};
        int n = 0, st;
        while ((st = image_record_next(w, &r)) == IMAGE_RECORD_FOUND) {
            ++n;
            ASSERT_LE(r.offset + r.length, load_be16(b.data() + 22)) << c.what;
            ASSERT_LE(r.offset + r.length, view.size()) << c.what;
        }
        EXPECT_EQ(st, c.status) << c.what;
        EXPECT_EQ(n, c.records_before) << c.what;
        EXPECT_EQ(image_record_next(w, &r), c.status) << c.what << " (walk stays ended)";
        // A malformed walk yields no signature; a zero-length one keeps the
        // signatures seen before it (none here).
        ImageSignature sig{};
        EXPECT_NE(image_find_signature(view, &sig), IMAGE_RECORD_FOUND) << c.what;
    }
}

TEST(ImageRecords, FindRecordTakesTheFirstWithItsTag) {
    // Records from offset 24: tag 4 (6 bytes), tag 9 (4), tag 4 (8).
    const Bytes three = v3_component(IMAGE_TYPE_KERNEL, {{4, Bytes(2, 1)}, {9, Bytes{}}, {4, Bytes(4, 2)}}, 8);
    Bytes zero_second = three;
    put16(zero_second, 24 + 6 + 2, 0);  // the tag-9 record's length -> 0
    const Bytes v1 = v1_component(IMAGE_TYPE_KERNEL, Bytes(40, 4));
    struct Case {
        const char* what;
        const Bytes* header;
        std::uint16_t tag;
        int status;
        std::uint32_t offset, length;  // of the record found
    } const cases[] = {
        {"first of two with the tag", &three, 4, IMAGE_RECORD_FOUND, 24, 6},
        {"a tag further on", &three, 9, IMAGE_RECORD_FOUND, 30, 4},
        {"a tag no record has", &three, 7, IMAGE_RECORDS_END, 0, 0},
        {"found before the broken record", &zero_second, 4, IMAGE_RECORD_FOUND, 24, 6},
        {"the broken record ends the search", &zero_second, 9, IMAGE_RECORD_ZERO_LENGTH, 0, 0},
        {"a version-1 header has no records", &v1, 4, IMAGE_RECORDS_END, 0, 0},
    };
    for (const auto& c : cases) {
        ImageRecord r{0xFFFF, 0, 0};
        EXPECT_EQ(image_find_record(*c.header, c.tag, &r), c.status) << c.what;
        if (c.status == IMAGE_RECORD_FOUND) {
            EXPECT_EQ(r.tag, c.tag) << c.what;
            EXPECT_EQ(r.offset, c.offset) << c.what;
            EXPECT_EQ(r.length, c.length) << c.what;
        }
    }
}

TEST(ImageRecords, SignatureBeforeZeroLengthRecordCounts) {
    const Bytes b = v3_component(IMAGE_TYPE_KERNEL, {{3, sig_body(5, 0x77)}, {9, Bytes{}}}, 4);
    Bytes broken = b;
    put16(broken, 24 + 11 + 2, 0);  // second record's length -> 0
    ImageSignature sig{};
    EXPECT_EQ(image_find_signature(broken, &sig), IMAGE_RECORD_FOUND);
    EXPECT_EQ(sig.length, 5u);
    int st = 0;
    EXPECT_EQ(image_effective_type(broken, IMAGE_TYPE_APPLICATION, &st), IMAGE_TYPE_APPLICATION);
    EXPECT_EQ(st, IMAGE_RECORD_ZERO_LENGTH);
}

// --- CRC over a component ----------------------------------------------------

TEST(ImageCrcOk, WholeComponentOnly) {
    const Bytes b = v3_component(IMAGE_TYPE_KERNEL, {{3, sig_body(16, 0x5A)}}, 100);
    const std::uint64_t total = b.size();
    EXPECT_TRUE(image_crc_ok(b, total));
    // Bytes never read: a shorter buffer fails, even when the crc field was
    // made to match the bytes that are there.
    Bytes cut(b.begin(), b.end() - 10);
    put32(cut, 0, image_component_crc(cut));
    EXPECT_FALSE(image_crc_ok(cut, total));
    EXPECT_FALSE(image_crc_ok(b, 3));
    // Any changed byte from offset 4 on, or the crc field itself, fails.
    for (std::size_t i = 0; i < b.size(); i += 5) {
        Bytes bad = b;
        bad[i] ^= 0x40;
        EXPECT_FALSE(image_crc_ok(bad, total)) << "byte " << i;
    }
}

// --- Component walk ----------------------------------------------------------

struct Seen {
    std::uint64_t offset;
    std::uint32_t type;
};

int walk_all(const ImageSource& src, std::vector<Seen>* seen, ImageWalk* end_walk = nullptr) {
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    int st;
    int guard = 0;
    while ((st = image_walk_next(w, &c)) == IMAGE_WALK_COMPONENT) {
        seen->push_back({c.offset, c.type});
        if (++guard > 1000) return 99;  // a walk that does not move on
    }
    if (end_walk) *end_walk = w;
    return st;
}

TEST(ImageWalkTest, Files) {
    const Bytes kernel = v3_component(IMAGE_TYPE_KERNEL, {{3, sig_body(8, 1)}}, 50);
    const Bytes rfs = v3_component(IMAGE_TYPE_RFS, {}, 70);
    const Bytes unknown = v1_component(0x7F000001u, Bytes(33, 9));
    Bytes v2(24, 0);
    put32(v2, 4, 5);
    put32(v2, 8, IMAGE_TYPE_DFT | IMAGE_MAGIC_V2_FLAG);
    put16(v2, 18, 24);
    v2.insert(v2.end(), 5, 0x44);
    Bytes v2_zero(24, 0);  // header length 0, len 0
    put32(v2_zero, 8, IMAGE_TYPE_DFT | IMAGE_MAGIC_V2_FLAG);
    Bytes v3_bad_len = rfs;
    put32(v3_bad_len, 4, 3);
    const Bytes tiny = v1_component(IMAGE_TYPE_UBOOT, {});  // 16 bytes in all

    struct Case {
        const char* what;
        Bytes file;
        std::vector<Seen> expected;
        int end;
        ImageLengthStatus lengths;
    };
    const std::uint64_t k = kernel.size(), u = unknown.size();
    const Case cases[] = {
        {"kernel, unknown, rfs", concat({kernel, unknown, rfs}),
         {{0, IMAGE_TYPE_KERNEL}, {k, 0x7F000001u}, {k + u, IMAGE_TYPE_RFS}}, IMAGE_WALK_END,
         IMAGE_LENGTHS_OK},
        {"version-2 component", concat({v2, kernel}), {{0, IMAGE_TYPE_DFT}, {29, IMAGE_TYPE_KERNEL}},
         IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"fewer than 24 bytes left end the walk", concat({kernel, Bytes(23, 0)}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"a final component shorter than 24 bytes ends the walk", concat({kernel, tiny}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"a 16-byte component followed by more is walked", concat({tiny, kernel}),
         {{0, IMAGE_TYPE_UBOOT}, {16, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"no complete header at all", Bytes(23, 0xFF), {}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"empty file", Bytes{}, {}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"header plus payload 0 stops, never loops", concat({kernel, v2_zero, rfs}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_BAD_LENGTHS, IMAGE_V2_HEADER_TOO_SHORT},
        {"version-3 len below its header", concat({v3_bad_len, kernel}), {},
         IMAGE_WALK_BAD_LENGTHS, IMAGE_V3_LEN_TOO_SHORT},
        {"last component cut short by the end of the file",
         concat({kernel, Bytes(rfs.begin(), rfs.end() - 1)}), {{0, IMAGE_TYPE_KERNEL}},
         IMAGE_WALK_BAD_LENGTHS, IMAGE_PAST_END},
        {"a serial transfer's padding of 1023 bytes ends the walk", concat({kernel, Bytes(1023, 0x1A)}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"padding of 24 bytes ends the walk", concat({kernel, Bytes(24, 0x1A)}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_END, IMAGE_LENGTHS_OK},
        {"1024 bytes of 0x1A are no padding", concat({kernel, Bytes(1024, 0x1A)}),
         {{0, IMAGE_TYPE_KERNEL}}, IMAGE_WALK_BAD_LENGTHS, IMAGE_PAST_END},
        {"a tail with one other byte is no padding",
         concat({kernel, Bytes(100, 0x1A), Bytes(1, 0x1B)}), {{0, IMAGE_TYPE_KERNEL}},
         IMAGE_WALK_BAD_LENGTHS, IMAGE_PAST_END},
    };
    for (const auto& c : cases) {
        std::vector<Seen> seen;
        ImageWalk w{};
        EXPECT_EQ(walk_all(image_source_memory(c.file), &seen, &w), c.end) << c.what;
        ASSERT_EQ(seen.size(), c.expected.size()) << c.what;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].offset, c.expected[i].offset) << c.what << " #" << i;
            EXPECT_EQ(seen[i].type, c.expected[i].type) << c.what << " #" << i;
        }
        EXPECT_EQ(w.count, c.expected.size()) << c.what;
        EXPECT_EQ(w.lengths, c.lengths) << c.what;
        ImageComponent again{};
        EXPECT_EQ(image_walk_next(w, &again), c.end) << c.what << " (walk stays ended)";
    }
}

// A temporary file holding given bytes, removed at the end of the test.
struct TempFile {
    std::string path;
    int fd = -1;
    explicit TempFile(const Bytes& content) {
        char name[] = "/tmp/image_format_test_XXXXXX";
        fd = mkstemp(name);
        path = name;
        if (fd >= 0 && !content.empty()) {
            EXPECT_EQ(write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
        }
    }
    ~TempFile() {
        if (fd >= 0) close(fd);
        unlink(path.c_str());
    }
};

TEST(ImageWalkTest, FileSourceReadsLikeMemory) {
    const Bytes app = v3_component(IMAGE_TYPE_APPLICATION, {{6, word(IMAGE_TYPE_DIAGS)}}, 3000);
    const Bytes file = concat({v1_component(IMAGE_TYPE_UBOOT, Bytes(100, 1)), app});
    TempFile tf(file);
    ASSERT_GE(tf.fd, 0);
    ImageSource src{};
    ASSERT_TRUE(image_source_file(tf.fd, &src));
    EXPECT_EQ(src.size, file.size());

    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    ASSERT_EQ(image_walk_next(w, &c), IMAGE_WALK_COMPONENT);
    EXPECT_EQ(image_check_component_crc(src, c, nullptr), 1);
    ASSERT_EQ(image_walk_next(w, &c), IMAGE_WALK_COMPONENT);
    EXPECT_EQ(c.offset, 116u);

    Bytes header(IMAGE_MAX_HEADER_LEN);
    const std::int64_t hn = image_read_header(src, c, header);
    ASSERT_EQ(hn, static_cast<std::int64_t>(c.header.header_length));
    int st = 0;
    EXPECT_EQ(image_effective_type(std::span<const std::uint8_t>(header).first(hn), c.header.magic,
                                   &st),
              IMAGE_TYPE_DIAGS);

    auto buf = image_component_buffer(c);
    ASSERT_TRUE(buf);
    std::span<std::uint8_t> out(buf.get(), c.header.total_length);
    const std::int64_t n = image_read_component(src, c, out);
    ASSERT_EQ(n, static_cast<std::int64_t>(app.size()));
    EXPECT_TRUE(image_crc_ok(out.first(n), c.header.total_length));
    EXPECT_EQ(Bytes(out.begin(), out.end()), app);
    EXPECT_EQ(image_read_component(src, c, out.first(10)), -1);
}

TEST(ImageWalkTest, FileShorterThanRecordedSizeFailsTheCrc) {
    // The file shrinks between the walk and the read: the bytes never read
    // must fail the CRC, both in memory and when computed from the source.
    const Bytes app = v3_component(IMAGE_TYPE_APPLICATION, {}, 500);
    TempFile tf(Bytes(app.begin(), app.end() - 100));
    ASSERT_GE(tf.fd, 0);
    const ImageSource src = image_source_fd(tf.fd, app.size());
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    ASSERT_EQ(image_walk_next(w, &c), IMAGE_WALK_COMPONENT);
    Bytes buf(c.header.total_length, 0);
    // Preset the missing tail to the right bytes: only the count may decide.
    std::copy(app.end() - 100, app.end(), buf.end() - 100);
    const std::int64_t n = image_read_component(src, c, buf);
    EXPECT_EQ(n, static_cast<std::int64_t>(app.size() - 100));
    EXPECT_FALSE(image_crc_ok(std::span<const std::uint8_t>(buf).first(n), c.header.total_length));
    EXPECT_EQ(image_check_component_crc(src, c, nullptr), -1);
}

// --- Writer round trips ------------------------------------------------------

TEST(ImageBuild, RoundTrips) {
    const Bytes payload = [] {
        Bytes p(777);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 7);
        return p;
    }();
    const Bytes alt = word(IMAGE_TYPE_DIAGS);
    std::uint8_t sigbuf[300];
    const Bytes sig1(256, 0xAB), sig2(128, 0xCD);
    const std::size_t s1 = image_signature_record_body(sig1, sigbuf);
    ASSERT_EQ(s1, 258u);
    const Bytes body1(sigbuf, sigbuf + s1);
    const std::size_t s2 = image_signature_record_body(sig2, sigbuf);
    const Bytes body2(sigbuf, sigbuf + s2);
    const Bytes opaque(3, 0);
    const ImageRecordDesc recs[] = {{6, alt}, {3, body1}, {4, opaque}, {3, body2}};

    struct Case {
        const char* what;
        int version;
        std::span<const ImageRecordDesc> records;
        std::uint32_t header_length;
        std::uint32_t effective;
        std::uint16_t sig_len;
    };
    const Case cases[] = {
        {"version 1", 1, {}, 16, IMAGE_TYPE_APPLICATION, 0},
        {"version 2", 2, {}, 24, IMAGE_TYPE_APPLICATION, 0},
        {"version 3 bare", 3, {}, 24, IMAGE_TYPE_APPLICATION, 0},
        {"version 3 with records", 3, recs, 24 + 8 + 262 + 7 + 134, IMAGE_TYPE_DIAGS, 128},
    };
    for (const auto& c : cases) {
        const ImageComponentDesc desc{IMAGE_TYPE_APPLICATION, 0x01020A0Bu, c.version, c.records,
                                      payload};
        std::uint64_t total = 0;
        ASSERT_EQ(image_build_size(desc, &total), IMAGE_BUILD_OK) << c.what;
        Bytes file(total + 30, 0xEE);  // room for a trailer the walk must ignore
        ASSERT_EQ(image_build_component(desc, std::span<std::uint8_t>(file).first(total)),
                  IMAGE_BUILD_OK)
            << c.what;
        file.resize(total + 20);  // a trailer shorter than 24 bytes

        ImageWalk w = image_walk_begin(image_source_memory(file));
        ImageComponent comp{};
        ASSERT_EQ(image_walk_next(w, &comp), IMAGE_WALK_COMPONENT) << c.what;
        EXPECT_EQ(comp.header.version, c.version) << c.what;
        EXPECT_EQ(comp.header.header_length, c.header_length) << c.what;
        EXPECT_EQ(comp.header.total_length, total) << c.what;
        EXPECT_EQ(comp.header.payload_length, payload.size()) << c.what;
        EXPECT_EQ(comp.type, IMAGE_TYPE_APPLICATION) << c.what;
        EXPECT_STREQ(image_version_text(comp.header.id).text, "1.2.10.11") << c.what;
        EXPECT_TRUE(image_crc_ok(file, total)) << c.what;
        EXPECT_EQ(Bytes(file.begin() + comp.header.payload_offset, file.begin() + total), payload)
            << c.what;
        EXPECT_EQ(image_effective_type(file, comp.header.magic, nullptr), c.effective) << c.what;
        ImageSignature sig{};
        const int st = image_find_signature(file, &sig);
        if (c.sig_len) {
            ASSERT_EQ(st, IMAGE_RECORD_FOUND) << c.what;
            EXPECT_EQ(sig.length, c.sig_len) << c.what;
            EXPECT_EQ(file[sig.offset], 0xCD) << c.what;
        } else {
            EXPECT_NE(st, IMAGE_RECORD_FOUND) << c.what;
        }
        EXPECT_EQ(image_walk_next(w, &comp), IMAGE_WALK_END) << c.what;
    }
}

TEST(ImageBuild, RefusedDescriptions) {
    const Bytes payload(10, 1);
    const Bytes big(0xFFFF, 0);
    const Bytes eight(8, 0), half(0x8000, 0);
    const ImageRecordDesc one[] = {{4, eight}};
    const ImageRecordDesc too_long[] = {{4, big}};
    const ImageRecordDesc two_halves[] = {{4, half}, {4, half}};
    struct Case {
        const char* what;
        int version;
        std::span<const ImageRecordDesc> records;
        int expected;
    };
    const Case cases[] = {
        {"version 0", 0, {}, IMAGE_BUILD_BAD_VERSION},
        {"version 4", 4, {}, IMAGE_BUILD_BAD_VERSION},
        {"records on version 2", 2, one, IMAGE_BUILD_RECORDS_NOT_V3},
        {"records on version 1", 1, one, IMAGE_BUILD_RECORDS_NOT_V3},
        {"record too long", 3, too_long, IMAGE_BUILD_RECORD_TOO_LONG},
        {"header too long", 3, two_halves, IMAGE_BUILD_HEADER_TOO_LONG},
    };
    for (const auto& c : cases) {
        const ImageComponentDesc desc{IMAGE_TYPE_KERNEL, 0, c.version, c.records, payload};
        Bytes out(200, 0x5C);
        EXPECT_EQ(image_build_component(desc, out), c.expected) << c.what;
        EXPECT_EQ(out, Bytes(200, 0x5C)) << c.what << " (output untouched)";
    }
    const ImageComponentDesc ok{IMAGE_TYPE_KERNEL, 0, 3, {}, payload};
    Bytes small(33);
    EXPECT_EQ(image_build_component(ok, small), IMAGE_BUILD_BUFFER_TOO_SMALL);
    Bytes body(0x10000);
    EXPECT_EQ(image_signature_record_body(Bytes(0xFFF9, 0), body), 0xFFFBu);
    EXPECT_EQ(image_signature_record_body(Bytes(0xFFFA, 0), body), 0u);
    EXPECT_EQ(image_signature_record_body(Bytes(10, 0), std::span<std::uint8_t>(body).first(11)), 0u);
}

// --- Names and versions ------------------------------------------------------

TEST(ImageNames, TypesAndVersions) {
    struct TypeCase {
        const char* text;
        bool ok;
        std::uint32_t type;
    };
    const TypeCase types[] = {
        {"app", true, IMAGE_TYPE_APPLICATION}, {"UBOOT", true, IMAGE_TYPE_UBOOT},
        {"kernel", true, IMAGE_TYPE_KERNEL},   {"rfs", true, IMAGE_TYPE_RFS},
        {"dft", true, IMAGE_TYPE_DFT},         {"diags", true, IMAGE_TYPE_DIAGS},
        {"velta", true, IMAGE_TYPE_VELTA},     {"6", true, IMAGE_TYPE_DIAGS},
        {"0x7f", true, 0x7F4C4144u},           {"0x064C4144", true, IMAGE_TYPE_DIAGS},
        {"305419896", true, 0x12345678u},      {"0x864C4144", false, 0},
        {"0", false, 0},                       {"apps", false, 0},
        {"", false, 0},                        {"0x", false, 0},
        {"0x100000000", false, 0},             {"12a", false, 0},
    };
    for (const auto& c : types) {
        std::uint32_t t = 0xDEADBEEFu;
        EXPECT_EQ(image_type_from_name(c.text, &t), c.ok) << c.text;
        EXPECT_EQ(t, c.ok ? c.type : 0xDEADBEEFu) << c.text;
        if (c.ok && image_type_short_name(t)) {
            std::uint32_t back = 0;
            EXPECT_TRUE(image_type_from_name(image_type_short_name(t), &back));
            EXPECT_EQ(back, t);
        }
    }
    EXPECT_STREQ(image_type_name(IMAGE_TYPE_DIAGS | IMAGE_MAGIC_V2_FLAG), "DIAGS");
    EXPECT_STREQ(image_type_name(IMAGE_TYPE_VELTA), "VELTA APPLICATION");
    EXPECT_EQ(image_type_name(0x074C4144u), nullptr);

    struct VersionCase {
        const char* text;
        bool ok;
        std::uint32_t id;
    };
    const VersionCase versions[] = {
        {"1.2.3.4", true, 0x01020304u},   {"255.255.255.255", true, 0xFFFFFFFFu},
        {"0.0.0.0", true, 0},             {"010.0.0.1", true, 0x0A000001u},
        {"256.0.0.0", false, 0},          {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},          {"1..3.4", false, 0},
        {"1.2.3.4 ", false, 0},           {"-1.2.3.4", false, 0},
        {"0001.2.3.4", false, 0},         {"", false, 0},
    };
    for (const auto& c : versions) {
        std::uint32_t id = 0x5A5A5A5Au;
        EXPECT_EQ(image_parse_version(c.text, &id), c.ok) << c.text;
        EXPECT_EQ(id, c.ok ? c.id : 0x5A5A5A5Au) << c.text;
    }
    EXPECT_STREQ(image_version_text(0xFF00800Au).text, "255.0.128.10");
}

TEST(ImageNames, DumpHeader) {
    ImageHeader h{};
    h.crc = 0xCADBBE3Du;
    h.len = 0x10;
    h.magic = 0x834C4144u;
    h.id = 0x01020304u;
    for (bool verbose : {true, false}) {
        testing::internal::CaptureStdout();
        image_dump_header(h, verbose);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  verbose ? "  crc: 0xcadbbe3d\n  len: 0x00000010\nmagic: 0x834c4144\n   id: 0x01020304\n"
                          : "");
    }
}

}  // namespace
