#include "image/format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "byteorder.h"

namespace {

struct TypeName {
    std::uint32_t type;
    const char* name;
    const char* short_name;
};

constexpr TypeName kTypeNames[] = {
    {IMAGE_TYPE_APPLICATION, "APPLICATION", "app"},
    {IMAGE_TYPE_UBOOT, "UBOOT", "uboot"},
    {IMAGE_TYPE_KERNEL, "KERNEL", "kernel"},
    {IMAGE_TYPE_RFS, "RFS", "rfs"},
    {IMAGE_TYPE_DFT, "DFT", "dft"},
    {IMAGE_TYPE_DIAGS, "DIAGS", "diags"},
    {IMAGE_TYPE_VELTA, "VELTA APPLICATION", "velta"},
};

const TypeName* find_type(std::uint32_t type) {
    type &= ~IMAGE_MAGIC_V2_FLAG;
    for (const auto& t : kTypeNames)
        if (t.type == type) return &t;
    return nullptr;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (x != b[i]) return false;
    }
    return true;
}

// Parses a decimal or 0x-hex number of at most 32 bits.
bool parse_u32(std::string_view text, std::uint32_t* value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

// ---- Header ---------------------------------------------------------------

ImageHeader image_classify_header(const std::uint8_t* probe) {
    ImageHeader h{};
    h.crc = load_be32(probe);
    h.len = load_be32(probe + 4);
    h.magic = load_be32(probe + 8);
    h.id = load_be32(probe + 12);
    if (load_be32(probe + 16) == IMAGE_HDR3_WORD) {
        h.version = 3;
        h.header_length = load_be16(probe + 22);
        h.total_length = std::uint64_t{h.len} + 16;
        h.payload_length =
            h.total_length >= h.header_length ? h.total_length - h.header_length : 0;
    } else if (h.magic & IMAGE_MAGIC_V2_FLAG) {
        h.version = 2;
        h.header_length = load_be16(probe + 18);
        h.payload_length = h.len;
        h.total_length = std::uint64_t{h.header_length} + h.len;
    } else {
        h.version = 1;
        h.header_length = IMAGE_BASIC_HEADER_LEN;
        h.payload_length = h.len;
        h.total_length = std::uint64_t{h.len} + 16;
    }
    h.payload_offset = h.header_length;
    return h;
}

ImageLengthStatus image_check_lengths(const ImageHeader& h, std::uint64_t available) {
    if (h.version == 3) {
        if (h.header_length < IMAGE_PROBE_LEN) return IMAGE_V3_HEADER_TOO_SHORT;
        if (std::uint64_t{h.len} + 16 < h.header_length) return IMAGE_V3_LEN_TOO_SHORT;
    } else if (h.version == 2) {
        if (h.header_length < IMAGE_BASIC_HEADER_LEN) return IMAGE_V2_HEADER_TOO_SHORT;
    }
    if (h.total_length > available) return IMAGE_PAST_END;
    return IMAGE_LENGTHS_OK;
}

const char* image_length_status_text(ImageLengthStatus status) {
    switch (status) {
        case IMAGE_LENGTHS_OK: return "lengths are consistent";
        case IMAGE_V3_HEADER_TOO_SHORT: return "version-3 header length is below 24 bytes";
        case IMAGE_V3_LEN_TOO_SHORT: return "version-3 length field is shorter than the header";
        case IMAGE_V2_HEADER_TOO_SHORT: return "version-2 header length is below 16 bytes";
        case IMAGE_PAST_END: return "component runs past the end of the image";
    }
    return "unknown length status";
}

void image_dump_header(const ImageHeader& h, bool verbose) {
    if (!verbose) return;
    std::printf("  crc: 0x%08x\n", static_cast<unsigned>(h.crc));
    std::printf("  len: 0x%08x\n", static_cast<unsigned>(h.len));
    std::printf("magic: 0x%08x\n", static_cast<unsigned>(h.magic));
    std::printf("   id: 0x%08x\n", static_cast<unsigned>(h.id));
}

// ---- Names and versions ---------------------------------------------------

const char* image_type_name(std::uint32_t type) {
    const TypeName* t = find_type(type);
    return t ? t->name : nullptr;
}

const char* image_type_short_name(std::uint32_t type) {
    const TypeName* t = find_type(type);
    return t ? t->short_name : nullptr;
}

bool image_type_from_name(std::string_view text, std::uint32_t* type) {
    for (const auto& t : kTypeNames) {
        if (equal_nocase(text, t.short_name)) {
            *type = t.type;
            return true;
        }
    }
    std::uint32_t v = 0;
    if (!parse_u32(text, &v) || v == 0) return false;
    if (v < 256) {
        *type = (v << 24) | IMAGE_TYPE_SUFFIX;
        return true;
    }
    if (v & IMAGE_MAGIC_V2_FLAG) return false;
    *type = v;
    return true;
}

ImageVersionText image_version_text(std::uint32_t id) {
    ImageVersionText v{};
    std::snprintf(v.text, sizeof v.text, "%u.%u.%u.%u", static_cast<unsigned>(id >> 24),
                  static_cast<unsigned>((id >> 16) & 0xFFu), static_cast<unsigned>((id >> 8) & 0xFFu),
                  static_cast<unsigned>(id & 0xFFu));
    return v;
}

bool image_parse_version(std::string_view text, std::uint32_t* id) {
    std::uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') return false;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            if (++digits > 3) return false;
        }
        if (digits == 0 || value > 255) return false;
        text.remove_prefix(digits);
        result = (result << 8) | value;
    }
    if (!text.empty()) return false;
    *id = result;
    return true;
}

// ---- CRC ------------------------------------------------------------------

std::uint32_t image_component_crc(std::span<const std::uint8_t> component) {
    if (component.size() < 4) return IMAGE_CRC_INIT;
    return image_crc32(component.data() + 4, component.size() - 4, IMAGE_CRC_INIT);
}

bool image_crc_ok(std::span<const std::uint8_t> component, std::uint64_t total_length) {
    if (total_length < IMAGE_BASIC_HEADER_LEN || component.size() < total_length) return false;
    return image_component_crc(component.first(static_cast<std::size_t>(total_length))) ==
           load_be32(component.data());
}

// ---- Records --------------------------------------------------------------

ImageRecordWalk image_records_begin(std::span<const std::uint8_t> header) {
    ImageRecordWalk w{};
    w.header = header;
    w.offset = IMAGE_PROBE_LEN;
    w.status = IMAGE_RECORDS_END;
    if (header.size() < IMAGE_PROBE_LEN || load_be32(header.data() + 16) != IMAGE_HDR3_WORD)
        return w;
    w.header_length = load_be16(header.data() + 22);
    w.limit = static_cast<std::uint32_t>(
        std::min<std::size_t>(w.header_length, header.size()));
    w.status = IMAGE_RECORD_FOUND;
    return w;
}

int image_record_next(ImageRecordWalk& w, ImageRecord* record) {
    if (w.status != IMAGE_RECORD_FOUND) return w.status;
    if (w.offset >= w.header_length) {
        w.status = IMAGE_RECORDS_END;
        return w.status;
    }
    // The tag and length fields themselves must lie inside the header.
    if (std::uint64_t{w.offset} + IMAGE_RECORD_HEAD_LEN > w.limit) {
        w.status = IMAGE_RECORD_PAST_HEADER;
        return w.status;
    }
    const std::uint8_t* p = w.header.data() + w.offset;
    const std::uint16_t length = load_be16(p + 2);
    if (length == 0) {
        w.status = IMAGE_RECORD_ZERO_LENGTH;
        return w.status;
    }
    if (length < IMAGE_RECORD_HEAD_LEN) {
        w.status = IMAGE_RECORD_TOO_SHORT;
        return w.status;
    }
    if (std::uint64_t{w.offset} + length > w.limit) {
        w.status = IMAGE_RECORD_PAST_HEADER;
        return w.status;
    }
    record->tag = load_be16(p);
    record->length = length;
    record->offset = w.offset;
    w.offset += length;
    return IMAGE_RECORD_FOUND;
}

int image_find_record(std::span<const std::uint8_t> header, std::uint16_t tag,
                      ImageRecord* record) {
    ImageRecordWalk w = image_records_begin(header);
    ImageRecord r{};
    int status;
    while ((status = image_record_next(w, &r)) == IMAGE_RECORD_FOUND) {
        if (r.tag == tag) {
            *record = r;
            return IMAGE_RECORD_FOUND;
        }
    }
    return status;
}

int image_find_alt_type(std::span<const std::uint8_t> header, std::uint32_t* type) {
    ImageRecordWalk w = image_records_begin(header);
    ImageRecord r{};
    int status;
    while ((status = image_record_next(w, &r)) == IMAGE_RECORD_FOUND) {
        if (r.tag != IMAGE_RECORD_ALT_TYPE || r.length < IMAGE_RECORD_HEAD_LEN + 4) continue;
        const std::uint32_t word = load_be32(header.data() + r.offset + IMAGE_RECORD_HEAD_LEN);
        if ((word & IMAGE_TYPE_SUFFIX_MASK) == IMAGE_TYPE_SUFFIX) {
            *type = word;
            return IMAGE_RECORD_FOUND;
        }
    }
    return status;
}

std::uint32_t image_effective_type(std::span<const std::uint8_t> header, std::uint32_t magic,
                                   int* record_status) {
    std::uint32_t type = magic;
    const int status = image_find_alt_type(header, &type);
    if (record_status) *record_status = status;
    return type & ~IMAGE_MAGIC_V2_FLAG;
}

int image_find_signature(std::span<const std::uint8_t> header, ImageSignature* signature) {
    ImageRecordWalk w = image_records_begin(header);
    ImageRecord r{};
    ImageRecord last{};
    bool found = false;
    int status;
    while ((status = image_record_next(w, &r)) == IMAGE_RECORD_FOUND) {
        if (r.tag == IMAGE_RECORD_SIGNATURE) {
            last = r;
            found = true;
        }
    }
    if (status == IMAGE_RECORD_PAST_HEADER || status == IMAGE_RECORD_TOO_SHORT) return status;
    if (!found) return status;
    if (last.length < IMAGE_RECORD_HEAD_LEN + 2) return IMAGE_SIGNATURE_PAST_RECORD;
    const std::uint16_t sig_len = load_be16(header.data() + last.offset + IMAGE_RECORD_HEAD_LEN);
    if (std::uint32_t{sig_len} + IMAGE_RECORD_HEAD_LEN + 2 > last.length)
        return IMAGE_SIGNATURE_PAST_RECORD;
    signature->record = last;
    signature->offset = last.offset + IMAGE_RECORD_HEAD_LEN + 2;
    signature->length = sig_len;
    return IMAGE_RECORD_FOUND;
}

const char* image_record_status_text(int status) {
    switch (status) {
        case IMAGE_RECORD_FOUND: return "record found";
        case IMAGE_RECORDS_END: return "no such record";
        case IMAGE_RECORD_ZERO_LENGTH: return "header record of length 0";
        case IMAGE_RECORD_PAST_HEADER: return "header record runs past the header length";
        case IMAGE_RECORD_TOO_SHORT: return "header record is shorter than its own tag and length";
        case IMAGE_SIGNATURE_PAST_RECORD: return "signature runs past its header record";
    }
    return "unknown record status";
}

// ---- Sources and the walk ---------------------------------------------------

ImageSource image_source_memory(std::span<const std::uint8_t> data) {
    return ImageSource{data.data(), -1, data.size()};
}

bool image_source_file(int fd, ImageSource* source) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
    *source = ImageSource{nullptr, fd, static_cast<std::uint64_t>(st.st_size)};
    return true;
}

ImageSource image_source_fd(int fd, std::uint64_t size) { return ImageSource{nullptr, fd, size}; }

std::int64_t image_source_read(const ImageSource& source, std::uint64_t offset, std::uint8_t* out,
                               std::size_t count) {
    if (offset >= source.size) return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, source.size - offset));
    if (source.data) {
        std::memcpy(out, source.data + offset, count);
        return static_cast<std::int64_t>(count);
    }
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return -1;
    std::size_t done = 0;
    while (done < count) {
        const std::size_t piece = std::min<std::size_t>(count - done, 1u << 30);
        const ssize_t n = pread(source.fd, out + done, piece, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

ImageWalk image_walk_begin(const ImageSource& source) {
    ImageWalk w{};
    w.source = source;
    w.status = IMAGE_WALK_COMPONENT;
    w.lengths = IMAGE_LENGTHS_OK;
    return w;
}

namespace {

// True when the bytes from `offset` to the end are a serial transfer's
// padding of its last block: fewer than IMAGE_PAD_LIMIT bytes, all
// IMAGE_PAD_BYTE. No component can begin with them.
bool is_padding(const ImageSource& source, std::uint64_t offset) {
    const std::uint64_t left = source.size - offset;
    if (left >= IMAGE_PAD_LIMIT) return false;
    std::uint8_t tail[IMAGE_PAD_LIMIT];
    if (image_source_read(source, offset, tail, static_cast<std::size_t>(left)) !=
        static_cast<std::int64_t>(left)) {
        return false;
    }
    for (std::uint64_t i = 0; i < left; ++i) {
        if (tail[i] != IMAGE_PAD_BYTE) return false;
    }
    return true;
}

}  // namespace

void image_print_refused(std::FILE* out, const ImageComponent& c, ImageLengthStatus why) {
    std::fprintf(out, "Image component at offset %llu refused: %s.\n",
                 static_cast<unsigned long long>(c.offset), image_length_status_text(why));
}

void image_print_no_memory(std::FILE* out, const ImageHeader& h) {
    std::fprintf(out, "Not enough memory for the image component (%llu bytes).\n",
                 static_cast<unsigned long long>(h.total_length));
}

int image_walk_next(ImageWalk& w, ImageComponent* component) {
    if (w.status != IMAGE_WALK_COMPONENT) return w.status;
    std::uint8_t probe[IMAGE_PROBE_LEN];
    const std::int64_t got = image_source_read(w.source, w.offset, probe, sizeof probe);
    if (got < 0) {
        w.status = IMAGE_WALK_READ_ERROR;
        return w.status;
    }
    if (got < static_cast<std::int64_t>(sizeof probe) || is_padding(w.source, w.offset)) {
        w.status = IMAGE_WALK_END;
        return w.status;
    }
    ImageComponent c{};
    c.offset = w.offset;
    c.header = image_classify_header(probe);
    c.type = image_header_type(c.header);
    *component = c;
    w.lengths = image_check_lengths(c.header, w.source.size - w.offset);
    if (w.lengths != IMAGE_LENGTHS_OK) {
        w.status = IMAGE_WALK_BAD_LENGTHS;
        return w.status;
    }
    // total_length >= 16 after the check, so the walk always moves on.
    w.offset += c.header.total_length;
    ++w.count;
    return IMAGE_WALK_COMPONENT;
}

std::int64_t image_read_header(const ImageSource& source, const ImageComponent& component,
                               std::span<std::uint8_t> out) {
    const std::uint32_t hl = component.header.header_length;
    if (hl > IMAGE_MAX_HEADER_LEN || out.size() < hl) return -1;
    return image_source_read(source, component.offset, out.data(), hl);
}

std::unique_ptr<std::uint8_t[]> image_component_buffer(const ImageComponent& component) {
    const std::uint64_t total = component.header.total_length;
    if (total == 0 || total > std::numeric_limits<std::size_t>::max()) return nullptr;
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow)
                                               std::uint8_t[static_cast<std::size_t>(total)]);
}

std::int64_t image_read_component(const ImageSource& source, const ImageComponent& component,
                                  std::span<std::uint8_t> out) {
    const std::uint64_t total = component.header.total_length;
    if (out.size() < total) return -1;
    return image_source_read(source, component.offset, out.data(),
                             static_cast<std::size_t>(total));
}

int image_check_component_crc(const ImageSource& source, const ImageComponent& component,
                              std::uint32_t* computed) {
    const std::uint64_t total = component.header.total_length;
    if (total < IMAGE_BASIC_HEADER_LEN) return -1;
    constexpr std::size_t kPiece = 1u << 20;
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kPiece]);
    if (!buf) return -1;
    std::uint32_t crc = IMAGE_CRC_INIT;
    std::uint64_t pos = 4;
    while (pos < total) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, total - pos));
        const std::int64_t got = image_source_read(source, component.offset + pos, buf.get(), want);
        if (got != static_cast<std::int64_t>(want)) return -1;
        crc = image_crc32(buf.get(), want, crc);
        pos += want;
    }
    if (computed) *computed = crc;
    return crc == component.header.crc ? 1 : 0;
}

// ---- Writing --------------------------------------------------------------

namespace {

// Header length of the described component, or a negative build status.
std::int64_t build_header_length(const ImageComponentDesc& desc) {
    if (desc.header_version < 1 || desc.header_version > 3) return IMAGE_BUILD_BAD_VERSION;
    if (desc.header_version == 1) return IMAGE_BASIC_HEADER_LEN;
    if (desc.header_version == 2) return IMAGE_PROBE_LEN;
    std::uint64_t hl = IMAGE_PROBE_LEN;
    for (const auto& r : desc.records) {
        const std::uint64_t len = IMAGE_RECORD_HEAD_LEN + std::uint64_t{r.body.size()};
        if (len > 0xFFFF) return IMAGE_BUILD_RECORD_TOO_LONG;
        hl += len;
        if (hl > IMAGE_MAX_HEADER_LEN) return IMAGE_BUILD_HEADER_TOO_LONG;
    }
    return static_cast<std::int64_t>(hl);
}

}  // namespace

int image_build_size(const ImageComponentDesc& desc, std::uint64_t* total) {
    const std::int64_t hl = build_header_length(desc);
    if (hl < 0) return static_cast<int>(hl);
    if (desc.header_version != 3 && !desc.records.empty()) return IMAGE_BUILD_RECORDS_NOT_V3;
    const std::uint64_t payload = desc.payload.size();
    // Versions 1 and 3 keep everything after the first 16 bytes in len,
    // version 2 keeps the payload only.
    const std::uint64_t len = desc.header_version == 2 ? payload
                                                       : static_cast<std::uint64_t>(hl) - 16 + payload;
    if (len > 0xFFFFFFFFu) return IMAGE_BUILD_PAYLOAD_TOO_LONG;
    if (desc.header_version == 1 && payload >= 4 && load_be32(desc.payload.data()) == IMAGE_HDR3_WORD)
        return IMAGE_BUILD_AMBIGUOUS;
    *total = static_cast<std::uint64_t>(hl) + payload;
    return IMAGE_BUILD_OK;
}

int image_build_component(const ImageComponentDesc& desc, std::span<std::uint8_t> out) {
    std::uint64_t total = 0;
    const int status = image_build_size(desc, &total);
    if (status != IMAGE_BUILD_OK) return status;
    if (out.size() < total) return IMAGE_BUILD_BUFFER_TOO_SMALL;
    const auto hl = static_cast<std::uint32_t>(build_header_length(desc));
    std::uint8_t* p = out.data();
    std::memset(p, 0, hl);
    const std::uint32_t type = desc.type & ~IMAGE_MAGIC_V2_FLAG;
    const std::uint64_t payload = desc.payload.size();
    store_be32(p + 4, static_cast<std::uint32_t>(desc.header_version == 2 ? payload : total - 16));
    store_be32(p + 8, desc.header_version == 2 ? type | IMAGE_MAGIC_V2_FLAG : type);
    store_be32(p + 12, desc.id);
    if (desc.header_version == 2) {
        store_be16(p + 18, static_cast<std::uint16_t>(hl));
    } else if (desc.header_version == 3) {
        store_be32(p + 16, IMAGE_HDR3_WORD);
        store_be16(p + 22, static_cast<std::uint16_t>(hl));
        std::size_t at = IMAGE_PROBE_LEN;
        for (const auto& r : desc.records) {
            store_be16(p + at, r.tag);
            store_be16(p + at + 2, static_cast<std::uint16_t>(IMAGE_RECORD_HEAD_LEN + r.body.size()));
            if (!r.body.empty()) std::memcpy(p + at + IMAGE_RECORD_HEAD_LEN, r.body.data(), r.body.size());
            at += IMAGE_RECORD_HEAD_LEN + r.body.size();
        }
    }
    if (payload) std::memcpy(p + hl, desc.payload.data(), static_cast<std::size_t>(payload));
    store_be32(p, image_component_crc(out.first(static_cast<std::size_t>(total))));
    return IMAGE_BUILD_OK;
}

const char* image_build_status_text(int status) {
    switch (status) {
        case IMAGE_BUILD_OK: return "built";
        case IMAGE_BUILD_BAD_VERSION: return "header version must be 1, 2 or 3";
        case IMAGE_BUILD_RECORDS_NOT_V3: return "header records need a version-3 header";
        case IMAGE_BUILD_RECORD_TOO_LONG: return "header record longer than 65535 bytes";
        case IMAGE_BUILD_HEADER_TOO_LONG: return "header longer than 65535 bytes";
        case IMAGE_BUILD_PAYLOAD_TOO_LONG: return "payload too long for the length field";
        case IMAGE_BUILD_AMBIGUOUS:
            return "a version-1 payload starting with \"HDR3\" would be read as a version-3 header";
        case IMAGE_BUILD_BUFFER_TOO_SMALL: return "output buffer too small";
    }
    return "unknown build status";
}

std::size_t image_signature_record_body(std::span<const std::uint8_t> signature,
                                        std::span<std::uint8_t> out) {
    const std::size_t body = 2 + signature.size();
    if (IMAGE_RECORD_HEAD_LEN + body > 0xFFFF || out.size() < body) return 0;
    store_be16(out.data(), static_cast<std::uint16_t>(signature.size()));
    if (!signature.empty()) std::memcpy(out.data() + 2, signature.data(), signature.size());
    return body;
}
