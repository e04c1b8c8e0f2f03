#include "tools/imagetool/imagetool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "byteorder.h"
#include "image/format.h"
#include "build_version.h"
#include "tools/imagetool/cli_util.h"
#include "tools/imagetool/key_verbs.h"
#include "tools/imagetool/sign_verbs.h"

namespace {

// ---- Help texts -------------------------------------------------------------

const char kMainHelp[] =
    "usage: imagetool VERB [options]\n"
    "\n"
    "Verbs:\n"
    "  create    build an image file from payload files\n"
    "  info      show the components of an image file (text or JSON)\n"
    "  extract   write the payload of one component to a file\n"
    "  sign      sign components with an RSA-2048 private key (PEM)\n"
    "  digest    print the payload digests to sign with a key held elsewhere\n"
    "  attach    attach a signature made elsewhere\n"
    "  verify    verify the signatures with the boot manager's crypto library\n"
    "  keygen    make a signing key the switch accepts (RSA-2048, exponent 65537)\n"
    "  getpub    write a private key's public half in the form the build takes\n"
    "\n"
    "imagetool VERB --help shows the options of a verb; imagetool --version the\n"
    "version and the commit it was built from.\n"
    "Exit status: 0 success, 1 image invalid, check failed or file error,\n"
    "2 usage error.\n";

const char kCreateHelp[] =
    "usage: imagetool create -o OUT COMPONENT [COMPONENT ...]\n"
    "\n"
    "Builds an image file: the components one after the other, in the order\n"
    "given. Each COMPONENT is a group of options ended by --payload:\n"
    "  --type T            component type: app, uboot, kernel, rfs, dft, diags,\n"
    "                      velta, a type number 1-255, or a whole type word\n"
    "                      (decimal or 0x-hex); required\n"
    "  --version A.B.C.D   component version (default 0.0.0.0)\n"
    "  --header N          header version 1, 2 or 3 (default 3)\n"
    "  --alt-type T        add an alternative-type record (tag 6) with type T\n"
    "                      (header version 3 only)\n"
    "  --record TAG:HEX    add a header record with that tag and contents given\n"
    "                      in hex, e.g. 4:0011aabb (header version 3 only;\n"
    "                      may be repeated, records keep their order)\n"
    "  --payload FILE      the payload; ends the component\n"
    "Options:\n"
    "  -o, --output OUT    the image file to write (replaced if it exists)\n"
    "\n"
    "Readers stop when fewer than 24 bytes are left, so the last component must\n"
    "be at least 24 bytes long in all; a shorter one is refused.\n"
    "\n"
    "Example: imagetool create -o img --type kernel --version 1.0.0.2 \\\n"
    "           --payload uImage --type app --version 2.1.0.0 --payload app.tgz\n";

const char kInfoHelp[] =
    "usage: imagetool info FILE [--json]\n"
    "\n"
    "Walks the image file as the boot manager's readers do and shows every\n"
    "component: offset, type, header version, header and payload length,\n"
    "version, CRC (good or bad), header records and signature. The walk stops\n"
    "at the first component whose lengths are impossible.\n"
    "Exit status 0 when the file holds at least one component and every\n"
    "component is sound (possible lengths, well-formed records, good CRC).\n"
    "\n"
    "--json prints one JSON object (stable; fields may be added, never removed\n"
    "or changed):\n"
    "  file              the path given\n"
    "  size              file size in bytes\n"
    "  valid             true when the exit status is 0\n"
    "  error             null, or why the walk stopped early\n"
    "  trailing_bytes    bytes after the last component (fewer than 24)\n"
    "  components        array, one object per component, in file order:\n"
    "    index, offset          position in the file (bytes)\n"
    "    type                   type word, \"0x%08x\" (magic, bit 31 cleared)\n"
    "    type_name              \"APPLICATION\", \"UBOOT\", \"KERNEL\", \"RFS\",\n"
    "                           \"DFT\", \"DIAGS\", \"VELTA APPLICATION\" or null\n"
    "    effective_type         type after an alternative-type record, \"0x%08x\"\n"
    "    effective_type_name    as type_name\n"
    "    magic                  the raw magic word, \"0x%08x\"\n"
    "    header_version         1, 2 or 3\n"
    "    header_length, payload_offset, payload_length, total_length  (bytes)\n"
    "    version                \"A.B.C.D\"\n"
    "    lengths_ok             false when the lengths are impossible\n"
    "    crc                    the crc field, \"0x%08x\"\n"
    "    crc_computed           the CRC of the bytes, \"0x%08x\", or null when\n"
    "                           they could not be read\n"
    "    crc_ok                 true when both agree\n"
    "    records                array of {\"offset\", \"tag\", \"length\"}\n"
    "    records_ok             false when a record is malformed\n"
    "    signed                 true when a usable signature record is present\n"
    "    signature_length       bytes of signature (0 when unsigned)\n"
    "    error                  null, or what is wrong with the component\n";

const char kExtractHelp[] =
    "usage: imagetool extract FILE --type T [-o OUT]\n"
    "\n"
    "Writes the payload of the first component of type T (app, uboot, kernel,\n"
    "rfs, dft, diags, velta, a number 1-255 or a type word; the type from the\n"
    "magic word) to OUT, or to standard output without -o. The component's\n"
    "CRC must be good; nothing is written otherwise.\n"
    "Exit status 1 when no such component exists or its CRC is bad.\n";

bool parse_hex(std::string_view text, std::vector<std::uint8_t>* out) {
    if (text.size() % 2) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    out->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool parse_tag(std::string_view text, std::uint16_t* tag) {
    if (text.empty() || text.size() > 5) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFF) return false;
    *tag = static_cast<std::uint16_t>(v);
    return true;
}

// ---- create -------------------------------------------------------------------

struct PendingComponent {
    bool has_type = false;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    int header_version = 3;
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> records;
    std::string payload_path;
};

int cmd_create(int argc, char** argv) {
    const char* verb = "create";
    std::string output;
    std::vector<PendingComponent> components;
    PendingComponent cur;
    bool cur_started = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (is_help(a)) {
            std::fputs(kCreateHelp, stdout);
            return IMAGETOOL_OK;
        }
        const bool takes_value = a == "-o" || a == "--output" || a == "--type" ||
                                 a == "--version" || a == "--header" || a == "--alt-type" ||
                                 a == "--record" || a == "--payload";
        if (!takes_value) return usage_error(verb, "unknown argument '%s'", argv[i]);
        if (i + 1 >= argc) return usage_error(verb, "%s needs a value", argv[i]);
        const char* v = argv[++i];
        if (a == "-o" || a == "--output") {
            output = v;
            continue;
        }
        cur_started = true;
        if (a == "--type") {
            if (!image_type_from_name(v, &cur.type))
                return usage_error(verb, "unknown component type '%s'", v);
            cur.has_type = true;
        } else if (a == "--version") {
            if (!image_parse_version(v, &cur.id))
                return usage_error(verb, "version '%s' is not A.B.C.D (0-255 each)", v);
        } else if (a == "--header") {
            const std::string_view h = v;
            if (h != "1" && h != "2" && h != "3")
                return usage_error(verb, "header version '%s' is not 1, 2 or 3", v);
            cur.header_version = h[0] - '0';
        } else if (a == "--alt-type") {
            std::uint32_t t = 0;
            if (!image_type_from_name(v, &t))
                return usage_error(verb, "unknown alternative type '%s'", v);
            std::vector<std::uint8_t> body(4);
            store_be32(body.data(), t);
            cur.records.emplace_back(IMAGE_RECORD_ALT_TYPE, std::move(body));
        } else if (a == "--record") {
            const std::string_view r = v;
            const auto colon = r.find(':');
            std::uint16_t tag = 0;
            std::vector<std::uint8_t> body;
            if (colon == std::string_view::npos || !parse_tag(r.substr(0, colon), &tag) ||
                !parse_hex(r.substr(colon + 1), &body))
                return usage_error(verb, "record '%s' is not TAG:HEX", v);
            cur.records.emplace_back(tag, std::move(body));
        } else {  // --payload ends the component
            if (!cur.has_type) return usage_error(verb, "component with payload '%s' has no --type", v);
            cur.payload_path = v;
            components.push_back(std::move(cur));
            cur = PendingComponent{};
            cur_started = false;
        }
    }
    if (cur_started) return usage_error(verb, "%s", "the last component has no --payload");
    if (output.empty()) return usage_error(verb, "%s", "no output file (-o OUT)");
    if (components.empty()) return usage_error(verb, "%s", "no component (--type T ... --payload FILE)");

    OutputFile out;
    if (!out.open_for(verb, output.c_str())) return IMAGETOOL_FAILED;
    for (std::size_t n = 0; n < components.size(); ++n) {
        const PendingComponent& c = components[n];
        std::unique_ptr<std::uint8_t[]> payload;
        std::size_t payload_size = 0;
        if (!read_file(c.payload_path.c_str(), &payload, &payload_size)) return IMAGETOOL_FAILED;
        std::vector<ImageRecordDesc> records;
        for (const auto& [tag, body] : c.records) records.push_back({tag, body});
        const ImageComponentDesc desc{c.type, c.id, c.header_version, records,
                                      {payload.get(), payload_size}};
        std::uint64_t total = 0;
        int st = image_build_size(desc, &total);
        std::unique_ptr<std::uint8_t[]> buf;
        if (st == IMAGE_BUILD_OK) {
            buf.reset(new (std::nothrow) std::uint8_t[total]);
            if (!buf) {
                std::fprintf(stderr, "imagetool create: out of memory for component %zu\n", n + 1);
                return IMAGETOOL_FAILED;
            }
            st = image_build_component(desc, {buf.get(), static_cast<std::size_t>(total)});
        }
        if (st != IMAGE_BUILD_OK) {
            std::fprintf(stderr, "imagetool create: component %zu (%s): %s\n", n + 1,
                         c.payload_path.c_str(), image_build_status_text(st));
            return IMAGETOOL_FAILED;
        }
        // Readers stop when fewer than 24 bytes are left, so a last
        // component shorter than that would never be seen.
        if (n + 1 == components.size() && total < IMAGE_PROBE_LEN) {
            std::fprintf(stderr,
                         "imagetool create: component %zu (%s): the last component is %llu bytes "
                         "long; readers never see a last component shorter than 24 bytes\n",
                         n + 1, c.payload_path.c_str(), static_cast<unsigned long long>(total));
            return IMAGETOOL_FAILED;
        }
        if (!write_all(out.fd, buf.get(), static_cast<std::size_t>(total))) {
            std::fprintf(stderr, "imagetool create: cannot write %s: %s\n", output.c_str(),
                         std::strerror(errno));
            return IMAGETOOL_FAILED;
        }
    }
    return out.commit(verb) ? IMAGETOOL_OK : IMAGETOOL_FAILED;
}

// ---- info ---------------------------------------------------------------------

struct ComponentInfo {
    ImageComponent comp{};
    bool lengths_ok = true;
    ImageLengthStatus lengths = IMAGE_LENGTHS_OK;
    std::uint32_t effective_type = 0;
    std::vector<ImageRecord> records;
    int records_status = IMAGE_RECORDS_END;
    bool has_signature = false;
    std::uint16_t signature_length = 0;
    int signature_status = IMAGE_RECORDS_END;
    int crc_status = -1;  // 1 good, 0 bad, -1 not read
    std::uint32_t crc_computed = 0;
    std::string error;
};

bool records_ok(const ComponentInfo& ci) {
    return ci.records_status == IMAGE_RECORDS_END &&
           (ci.signature_status == IMAGE_RECORD_FOUND || ci.signature_status == IMAGE_RECORDS_END);
}

bool component_sound(const ComponentInfo& ci) {
    return ci.lengths_ok && ci.crc_status == 1 && records_ok(ci);
}

// Fills the record, signature and CRC facts of a component whose lengths
// have passed the checks.
void examine_component(const ImageSource& src, ComponentInfo* ci, std::uint8_t* header_buf) {
    const ImageComponent& c = ci->comp;
    const std::int64_t hn = image_read_header(src, c, {header_buf, IMAGE_MAX_HEADER_LEN});
    if (hn < 0) {
        ci->error = "cannot read the header";
        return;
    }
    const std::span<const std::uint8_t> header(header_buf, static_cast<std::size_t>(hn));
    ImageRecordWalk w = image_records_begin(header);
    ImageRecord r{};
    while ((ci->records_status = image_record_next(w, &r)) == IMAGE_RECORD_FOUND)
        ci->records.push_back(r);
    ci->effective_type = image_effective_type(header, c.header.magic, nullptr);
    ImageSignature sig{};
    ci->signature_status = image_find_signature(header, &sig);
    if (ci->signature_status == IMAGE_RECORD_FOUND) {
        ci->has_signature = true;
        ci->signature_length = sig.length;
    }
    ci->crc_status = image_check_component_crc(src, c, &ci->crc_computed);
    if (ci->crc_status < 0)
        ci->error = "cannot read the component";
    else if (ci->records_status != IMAGE_RECORDS_END)
        ci->error = image_record_status_text(ci->records_status);
    else if (ci->signature_status != IMAGE_RECORD_FOUND && ci->signature_status != IMAGE_RECORDS_END)
        ci->error = image_record_status_text(ci->signature_status);
    else if (ci->crc_status == 0)
        ci->error = "CRC mismatch";
}

void json_string(const char* s) {
    std::fputc('"', stdout);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p == '"' || *p == '\\')
            std::printf("\\%c", *p);
        else if (*p < 0x20)
            std::printf("\\u%04x", *p);
        else
            std::fputc(*p, stdout);
    }
    std::fputc('"', stdout);
}

void json_name_or_null(const char* s) {
    if (s)
        json_string(s);
    else
        std::fputs("null", stdout);
}

const char* type_label(std::uint32_t type) {
    const char* n = image_type_name(type);
    return n ? n : "unknown";
}

void print_json(const char* path, std::uint64_t size, const std::vector<ComponentInfo>& infos,
                std::uint64_t trailing, const std::string& error, bool valid) {
    std::fputs("{\"file\": ", stdout);
    json_string(path);
    std::printf(", \"size\": %llu, \"valid\": %s, \"error\": ", static_cast<unsigned long long>(size),
                valid ? "true" : "false");
    if (error.empty())
        std::fputs("null", stdout);
    else
        json_string(error.c_str());
    std::printf(", \"trailing_bytes\": %llu, \"components\": [", static_cast<unsigned long long>(trailing));
    for (std::size_t i = 0; i < infos.size(); ++i) {
        const ComponentInfo& ci = infos[i];
        const ImageHeader& h = ci.comp.header;
        std::printf("%s\n  {\"index\": %zu, \"offset\": %llu, \"type\": \"0x%08x\", \"type_name\": ",
                    i ? "," : "", i, static_cast<unsigned long long>(ci.comp.offset),
                    static_cast<unsigned>(ci.comp.type));
        json_name_or_null(image_type_name(ci.comp.type));
        std::printf(", \"effective_type\": \"0x%08x\", \"effective_type_name\": ",
                    static_cast<unsigned>(ci.effective_type));
        json_name_or_null(image_type_name(ci.effective_type));
        std::printf(
            ", \"magic\": \"0x%08x\", \"header_version\": %d, \"header_length\": %u, "
            "\"payload_offset\": %u, \"payload_length\": %llu, \"total_length\": %llu, "
            "\"version\": \"%s\", \"lengths_ok\": %s, \"crc\": \"0x%08x\", \"crc_computed\": ",
            static_cast<unsigned>(h.magic), h.version, static_cast<unsigned>(h.header_length),
            static_cast<unsigned>(h.payload_offset), static_cast<unsigned long long>(h.payload_length),
            static_cast<unsigned long long>(h.total_length), image_version_text(h.id).text,
            ci.lengths_ok ? "true" : "false", static_cast<unsigned>(h.crc));
        if (ci.crc_status >= 0)
            std::printf("\"0x%08x\"", static_cast<unsigned>(ci.crc_computed));
        else
            std::fputs("null", stdout);
        std::printf(", \"crc_ok\": %s, \"records\": [", ci.crc_status == 1 ? "true" : "false");
        for (std::size_t r = 0; r < ci.records.size(); ++r)
            std::printf("%s{\"offset\": %u, \"tag\": %u, \"length\": %u}", r ? ", " : "",
                        static_cast<unsigned>(ci.records[r].offset),
                        static_cast<unsigned>(ci.records[r].tag),
                        static_cast<unsigned>(ci.records[r].length));
        std::printf("], \"records_ok\": %s, \"signed\": %s, \"signature_length\": %u, \"error\": ",
                    records_ok(ci) ? "true" : "false", ci.has_signature ? "true" : "false",
                    static_cast<unsigned>(ci.signature_length));
        if (ci.error.empty())
            std::fputs("null", stdout);
        else
            json_string(ci.error.c_str());
        std::fputs("}", stdout);
    }
    std::fputs(infos.empty() ? "]}\n" : "\n]}\n", stdout);
}

const char* record_name(std::uint16_t tag) {
    switch (tag) {
        case IMAGE_RECORD_SIGNATURE: return " (signature)";
        case IMAGE_RECORD_ALT_TYPE: return " (alternative type)";
        default: return "";
    }
}

void print_text(const char* path, std::uint64_t size, const std::vector<ComponentInfo>& infos,
                std::uint64_t trailing, const std::string& error) {
    std::printf("%s: %llu bytes, %zu component%s\n", path, static_cast<unsigned long long>(size),
                infos.size(), infos.size() == 1 ? "" : "s");
    for (std::size_t i = 0; i < infos.size(); ++i) {
        const ComponentInfo& ci = infos[i];
        const ImageHeader& h = ci.comp.header;
        std::printf("component %zu at offset %llu (0x%llx)\n", i, static_cast<unsigned long long>(ci.comp.offset),
                    static_cast<unsigned long long>(ci.comp.offset));
        std::printf("  type:           %s (0x%08x)\n", type_label(ci.comp.type),
                    static_cast<unsigned>(ci.comp.type));
        if (ci.lengths_ok && ci.effective_type != ci.comp.type)
            std::printf("  boots as:       %s (0x%08x), alternative-type record\n",
                        type_label(ci.effective_type), static_cast<unsigned>(ci.effective_type));
        std::printf("  header version: %d\n", h.version);
        std::printf("  header length:  %u\n", static_cast<unsigned>(h.header_length));
        std::printf("  payload length: %llu\n", static_cast<unsigned long long>(h.payload_length));
        std::printf("  total length:   %llu\n", static_cast<unsigned long long>(h.total_length));
        std::printf("  version:        %s\n", image_version_text(h.id).text);
        if (!ci.lengths_ok) {
            std::printf("  lengths:        bad: %s\n", image_length_status_text(ci.lengths));
            continue;
        }
        if (ci.crc_status < 0)
            std::printf("  crc:            0x%08x unreadable\n", static_cast<unsigned>(h.crc));
        else
            std::printf("  crc:            0x%08x %s\n", static_cast<unsigned>(h.crc),
                        ci.crc_status == 1 ? "good" : "BAD");
        if (ci.crc_status == 0)
            std::printf("  crc computed:   0x%08x\n", static_cast<unsigned>(ci.crc_computed));
        if (h.version == 3) {
            std::printf("  records:       %s", ci.records.empty() ? " none" : "");
            for (const auto& r : ci.records)
                std::printf(" tag %u%s length %u;", static_cast<unsigned>(r.tag), record_name(r.tag),
                            static_cast<unsigned>(r.length));
            std::printf("\n");
            if (ci.records_status != IMAGE_RECORDS_END)
                std::printf("  records error:  %s\n", image_record_status_text(ci.records_status));
        }
        if (ci.has_signature)
            std::printf("  signature:      yes, %u bytes\n", static_cast<unsigned>(ci.signature_length));
        else if (ci.signature_status == IMAGE_SIGNATURE_PAST_RECORD)
            std::printf("  signature:      bad: %s\n", image_record_status_text(ci.signature_status));
        else
            std::printf("  signature:      no\n");
    }
    if (trailing) std::printf("trailing bytes: %llu\n", static_cast<unsigned long long>(trailing));
    if (!error.empty()) std::printf("error: %s\n", error.c_str());
}

int cmd_info(int argc, char** argv) {
    const char* verb = "info";
    const char* path = nullptr;
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (is_help(a)) {
            std::fputs(kInfoHelp, stdout);
            return IMAGETOOL_OK;
        }
        if (a == "--json")
            json = true;
        else if (!a.empty() && a[0] == '-')
            return usage_error(verb, "unknown option '%s'", argv[i]);
        else if (path)
            return usage_error(verb, "more than one file ('%s')", argv[i]);
        else
            path = argv[i];
    }
    if (!path) return usage_error(verb, "%s", "no image file given");

    UniqueFd f(open(path, O_RDONLY | O_CLOEXEC));
    ImageSource src{};
    if (!f || !image_source_file(f.get(), &src)) {
        std::fprintf(stderr, "imagetool info: cannot read %s: %s\n", path,
                     !f ? std::strerror(errno) : "not a regular file");
        return IMAGETOOL_FAILED;
    }
    std::unique_ptr<std::uint8_t[]> header_buf(new (std::nothrow) std::uint8_t[IMAGE_MAX_HEADER_LEN]);
    if (!header_buf) {
        std::fprintf(stderr, "imagetool info: out of memory\n");
        return IMAGETOOL_FAILED;
    }
    std::vector<ComponentInfo> infos;
    std::string error;
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    int st;
    while ((st = image_walk_next(w, &c)) == IMAGE_WALK_COMPONENT) {
        ComponentInfo ci;
        ci.comp = c;
        ci.effective_type = c.type;
        examine_component(src, &ci, header_buf.get());
        infos.push_back(std::move(ci));
    }
    std::uint64_t trailing = 0;
    if (st == IMAGE_WALK_BAD_LENGTHS && infos.empty()) {
        // Whatever the first bytes are, they are no component: describing
        // them as one would only mislead.
        error = std::string("not an image file: its first 24 bytes are no component header (") +
                image_length_status_text(w.lengths) + ")";
    } else if (st == IMAGE_WALK_BAD_LENGTHS) {
        ComponentInfo ci;
        ci.comp = c;
        ci.effective_type = c.type;
        ci.lengths_ok = false;
        ci.lengths = w.lengths;
        ci.error = image_length_status_text(w.lengths);
        infos.push_back(std::move(ci));
        error = std::string("component at offset ") + std::to_string(c.offset) + ": " +
                image_length_status_text(w.lengths);
    } else if (st == IMAGE_WALK_READ_ERROR) {
        error = "read error";
    } else {
        trailing = src.size - w.offset;
        if (w.count == 0) error = "not an image file: it holds no complete 24-byte component header";
    }
    if (!infos.empty() && (infos[0].comp.type & IMAGE_TYPE_SUFFIX_MASK) != IMAGE_TYPE_SUFFIX &&
        infos[0].crc_status != 1) {
        // A first "component" of no known type whose CRC fails is other
        // data that merely has a possible length field.
        infos.clear();
        trailing = 0;
        error = "not an image file: its first component has no known type and a wrong CRC";
    }
    bool valid = error.empty();
    for (const auto& ci : infos) valid = valid && component_sound(ci);
    if (json)
        print_json(path, src.size, infos, trailing, error, valid);
    else
        print_text(path, src.size, infos, trailing, error);
    if (!valid) {
        if (!error.empty())
            std::fprintf(stderr, "imagetool info: %s: %s\n", path, error.c_str());
        else
            std::fprintf(stderr, "imagetool info: %s: a component is damaged\n", path);
    }
    return valid ? IMAGETOOL_OK : IMAGETOOL_FAILED;
}

// ---- extract ------------------------------------------------------------------

int cmd_extract(int argc, char** argv) {
    const char* verb = "extract";
    const char* path = nullptr;
    const char* output = nullptr;
    std::uint32_t type = 0;
    bool has_type = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (is_help(a)) {
            std::fputs(kExtractHelp, stdout);
            return IMAGETOOL_OK;
        }
        if (a == "--type" || a == "-o" || a == "--output") {
            if (i + 1 >= argc) return usage_error(verb, "%s needs a value", argv[i]);
            const char* v = argv[++i];
            if (a == "--type") {
                if (!image_type_from_name(v, &type))
                    return usage_error(verb, "unknown component type '%s'", v);
                has_type = true;
            } else {
                output = v;
            }
        } else if (!a.empty() && a[0] == '-') {
            return usage_error(verb, "unknown option '%s'", argv[i]);
        } else if (path) {
            return usage_error(verb, "more than one file ('%s')", argv[i]);
        } else {
            path = argv[i];
        }
    }
    if (!path) return usage_error(verb, "%s", "no image file given");
    if (!has_type) return usage_error(verb, "%s", "no --type given");

    UniqueFd f(open(path, O_RDONLY | O_CLOEXEC));
    ImageSource src{};
    if (!f || !image_source_file(f.get(), &src)) {
        std::fprintf(stderr, "imagetool extract: cannot read %s: %s\n", path,
                     !f ? std::strerror(errno) : "not a regular file");
        return IMAGETOOL_FAILED;
    }
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    int st;
    while ((st = image_walk_next(w, &c)) == IMAGE_WALK_COMPONENT && c.type != type) {
    }
    if (st != IMAGE_WALK_COMPONENT) {
        if (st == IMAGE_WALK_BAD_LENGTHS)
            std::fprintf(stderr, "imagetool extract: %s: component at offset %llu: %s\n", path,
                         static_cast<unsigned long long>(c.offset), image_length_status_text(w.lengths));
        else
            std::fprintf(stderr, "imagetool extract: %s: no component of type 0x%08x\n", path,
                         static_cast<unsigned>(type));
        return IMAGETOOL_FAILED;
    }
    std::uint32_t computed = 0;
    const int crc = image_check_component_crc(src, c, &computed);
    if (crc != 1) {
        std::fprintf(stderr, "imagetool extract: %s: component at offset %llu: %s\n", path,
                     static_cast<unsigned long long>(c.offset),
                     crc < 0 ? "cannot be read" : "CRC mismatch, nothing extracted");
        return IMAGETOOL_FAILED;
    }
    OutputFile out;
    if (!out.open_for(verb, output)) return IMAGETOOL_FAILED;
    constexpr std::size_t kPiece = 1u << 20;
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kPiece]);
    if (!buf) {
        std::fprintf(stderr, "imagetool extract: out of memory\n");
        return IMAGETOOL_FAILED;
    }
    std::uint64_t pos = c.offset + c.header.payload_offset;
    std::uint64_t left = c.header.payload_length;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(left < kPiece ? left : kPiece);
        if (image_source_read(src, pos, buf.get(), want) != static_cast<std::int64_t>(want) ||
            !write_all(out.fd, buf.get(), want)) {
            std::fprintf(stderr, "imagetool extract: copying the payload failed: %s\n",
                         std::strerror(errno));
            return IMAGETOOL_FAILED;
        }
        pos += want;
        left -= want;
    }
    return out.commit(verb) ? IMAGETOOL_OK : IMAGETOOL_FAILED;
}

}  // namespace

int imagetool_main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return IMAGETOOL_USAGE;
    }
    const std::string_view verb = argv[1];
    if (is_help(verb) || verb == "help") {
        std::fputs(kMainHelp, stdout);
        return IMAGETOOL_OK;
    }
    if (verb == "--version") {
        std::printf("imagetool %s (commit %s)\n", BOOTMGR_VERSION, BOOTMGR_COMMIT);
        return IMAGETOOL_OK;
    }
    // The verb's own arguments start after the verb.
    int rest_argc = argc - 2;
    char** rest = argv + 2;
    if (verb == "create") return cmd_create(rest_argc, rest);
    if (verb == "info") return cmd_info(rest_argc, rest);
    if (verb == "extract") return cmd_extract(rest_argc, rest);
    if (verb == "sign") return cmd_sign(rest_argc, rest);
    if (verb == "digest") return cmd_digest(rest_argc, rest);
    if (verb == "attach") return cmd_attach(rest_argc, rest);
    if (verb == "verify") return cmd_verify(rest_argc, rest);
    if (verb == "keygen") return cmd_keygen(rest_argc, rest);
    if (verb == "getpub") return cmd_getpub(rest_argc, rest);
    std::fprintf(stderr, "imagetool: unknown verb '%s'\n", argv[1]);
    std::fputs(kMainHelp, stderr);
    return IMAGETOOL_USAGE;
}
