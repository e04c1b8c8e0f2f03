#include "tools/imagetool/sign_verbs.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byteorder.h"
#include "image/format.h"
#include "tools/imagetool/cli_util.h"
#include "tools/imagetool/imagetool.h"
#include "tools/imagetool/openssl_sign.h"
#include "tools/imagetool/sig_check.h"

namespace {

// ---- Help texts -------------------------------------------------------------

const char kSignHelp[] =
    "usage: imagetool sign FILE --key PRIVATE.pem [--component N | --type T] [-o OUT]\n"
    "                      [--allow-any-key]\n"
    "\n"
    "Signs components with an RSA private key (PEM): RSASSA-PKCS1-v1_5 with\n"
    "SHA-256 over the payload, stored as a signature record (tag 3) in the\n"
    "component's version-3 header. Without a selection every version-3\n"
    "component is signed and the others are left as they are.\n"
    "  --key FILE          the private key (PEM, RSA-2048 with the public\n"
    "                      exponent 65537, the only keys the switch accepts)\n"
    "  --allow-any-key     sign with any other RSA key of at most 4096 bits\n"
    "                      whose exponent is odd and at least 65537, with a\n"
    "                      warning: the switch will refuse such signatures\n"
    "  --component N       sign component N (from 0, as 'info' counts)\n"
    "  --type T            sign the components of type T (app, kernel, rfs, ...)\n"
    "                      --component and --type may be repeated\n"
    "  -o, --output OUT    write the signed image to OUT (default: replace FILE)\n"
    "\n"
    "A key whose public exponent is below 65537 or even is always refused:\n"
    "with such an exponent signatures can be made without the private key.\n"
    "An existing signature record is replaced: the component ends up with one\n"
    "signature record, after its other records. Before writing, each new\n"
    "signature is checked with the boot manager's own crypto library.\n"
    "Refused (exit 1, nothing written): a selected component with a version-1\n"
    "or 2 header (it cannot carry a signature), a bad CRC or malformed\n"
    "records (signing would hide the damage), an image without a version-3\n"
    "component.\n"
    "Prints one line per signed component.\n";

const char kDigestHelp[] =
    "usage: imagetool digest FILE [--component N | --type T] [--binary | --digestinfo] [-o OUT]\n"
    "\n"
    "Prints what must be signed for each selected component (default: every\n"
    "version-3 component), for keys that cannot leave a hardware security\n"
    "module. The format is stable, one line per component:\n"
    "  INDEX TYPE SHA256\n"
    "INDEX counts components from 0, TYPE is the short type name (app,\n"
    "uboot, kernel, rfs, dft, diags, velta) or the type word as 0x%08x, SHA256\n"
    "is the SHA-256 of the payload as 64 lower-case hex digits.\n"
    "  --binary            write the 32 raw digest bytes instead\n"
    "  --digestinfo        write the DER DigestInfo (SHA-256 algorithm and\n"
    "                      digest, 51 bytes) instead\n"
    "                      both need exactly one selected component\n"
    "  -o, --output OUT    write to OUT (default: standard output)\n"
    "  --component N, --type T   select, as for 'sign'\n"
    "\n"
    "Sign the result elsewhere, then attach it with 'imagetool attach':\n"
    "  imagetool digest img --component 0 --binary -o d.bin\n"
    "  openssl pkeyutl -sign -inkey key.pem -pkeyopt digest:sha256 -in d.bin -out sig.bin\n"
    "or, for a signer that pads but does not wrap the digest:\n"
    "  imagetool digest img --component 0 --digestinfo -o d.der\n"
    "  openssl pkeyutl -sign -inkey key.pem -in d.der -out sig.bin\n"
    "A component with a bad CRC or malformed records is refused (exit 1).\n";

const char kAttachHelp[] =
    "usage: imagetool attach FILE --signature SIG.bin --key PUBLIC.pem\n"
    "                        [--component N | --type T] [-o OUT]\n"
    "\n"
    "Attaches a signature made elsewhere (raw bytes, as 'openssl pkeyutl\n"
    "-sign' or 'openssl dgst -sha256 -sign' write them) to one version-3\n"
    "component, replacing any signature record it has.\n"
    "  --signature FILE    the signature\n"
    "  --key FILE          the public key (PEM) it must verify with\n"
    "  --component N, --type T   the component; may be left out when the image\n"
    "                      has exactly one version-3 component\n"
    "  -o, --output OUT    write the image to OUT (default: replace FILE)\n"
    "\n"
    "The signature must be as long as the key's modulus and must verify over\n"
    "the component's payload with the boot manager's own crypto library;\n"
    "otherwise nothing is written and the exit status is 1. A key whose\n"
    "public exponent is below 65537 or even is refused, as the boot manager\n"
    "refuses it.\n";

const char kVerifyHelp[] =
    "usage: imagetool verify FILE --key PUBLIC.pem [--key PUBLIC.pem ...]\n"
    "                        [--component N | --type T]\n"
    "\n"
    "Verifies the signature of every component (or of the selected ones) as\n"
    "the boot manager does, with its own crypto library: SHA-256 of the\n"
    "payload, then RSA PKCS #1 v1.5 against each key in the order given.\n"
    "Prints one line per component:\n"
    "  component INDEX (TYPE): verified with KEYFILE\n"
    "  component INDEX (TYPE): FAILED: REASON\n"
    "where REASON is one sentence: no HDR3 header, no signature record,\n"
    "wrong length, wrong key, digest mismatch (the payload changed after\n"
    "signing), a bad CRC or malformed records.\n"
    "A key whose public exponent is below 65537 or even is refused before any\n"
    "component is checked, as the boot manager refuses it (with such an\n"
    "exponent signatures can be made without the private key).\n"
    "Exit status 0 when every component checked verified, 1 otherwise.\n";

// ---- Arguments ----------------------------------------------------------------

struct Args {
    const char* file = nullptr;
    const char* output = nullptr;
    const char* signature = nullptr;
    std::vector<const char*> keys;
    std::vector<std::uint32_t> indices;
    std::vector<std::uint32_t> types;
    bool binary = false;
    bool digestinfo = false;
    bool allow_any_key = false;
    bool help = false;

    bool selects() const { return !indices.empty() || !types.empty(); }
};

bool parse_index(std::string_view text, std::uint32_t* index) {
    if (text.empty() || text.size() > 9) return false;
    std::uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
    }
    *index = v;
    return true;
}

// Parses the options a verb accepts (`allowed` lists the value options and
// flags besides --help). Returns IMAGETOOL_OK or the usage error's status.
int parse_args(const char* verb, int argc, char** argv, std::initializer_list<std::string_view> allowed,
               Args* args) {
    auto accepts = [&](std::string_view o) {
        return std::find(allowed.begin(), allowed.end(), o) != allowed.end();
    };
    for (int i = 0; i < argc; ++i) {
        std::string_view a = argv[i];
        if (is_help(a)) {
            args->help = true;
            return IMAGETOOL_OK;
        }
        if (a == "--output") a = "-o";
        if (a.empty() || a[0] != '-') {
            if (args->file) return usage_error(verb, "more than one file ('%s')", argv[i]);
            args->file = argv[i];
            continue;
        }
        if (!accepts(a)) return usage_error(verb, "unknown option '%s'", argv[i]);
        if (a == "--binary") {
            args->binary = true;
            continue;
        }
        if (a == "--digestinfo") {
            args->digestinfo = true;
            continue;
        }
        if (a == "--allow-any-key") {
            args->allow_any_key = true;
            continue;
        }
        if (i + 1 >= argc) return usage_error(verb, "%s needs a value", argv[i]);
        const char* v = argv[++i];
        if (a == "-o") {
            args->output = v;
        } else if (a == "--key") {
            args->keys.push_back(v);
        } else if (a == "--signature") {
            args->signature = v;
        } else if (a == "--component") {
            std::uint32_t n = 0;
            if (!parse_index(v, &n)) return usage_error(verb, "component '%s' is not a number", v);
            args->indices.push_back(n);
        } else if (a == "--type") {
            std::uint32_t t = 0;
            if (!image_type_from_name(v, &t)) return usage_error(verb, "unknown component type '%s'", v);
            args->types.push_back(t);
        }
    }
    if (!args->file) return usage_error(verb, "%s", "no image file given");
    return IMAGETOOL_OK;
}

// ---- The image in memory --------------------------------------------------------

struct LoadedImage {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::vector<ImageComponent> components;
    std::uint64_t end = 0;  // offset after the last component

    std::span<const std::uint8_t> bytes(const ImageComponent& c) const {
        return {data.get() + c.offset, static_cast<std::size_t>(c.header.total_length)};
    }
    std::span<const std::uint8_t> header(const ImageComponent& c) const {
        return {data.get() + c.offset, c.header.header_length};
    }
    std::span<const std::uint8_t> payload(const ImageComponent& c) const {
        return {data.get() + c.offset + c.header.payload_offset,
                static_cast<std::size_t>(c.header.payload_length)};
    }
};

// Reads and walks the whole file. Prints its own message and returns false
// when the file cannot be read, holds no component, or a component has
// impossible lengths (the components after it cannot be found then).
bool load_image(const char* verb, const char* path, LoadedImage* img) {
    if (!read_file(path, &img->data, &img->size)) return false;
    const ImageSource src = image_source_memory({img->data.get(), img->size});
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    int st;
    while ((st = image_walk_next(w, &c)) == IMAGE_WALK_COMPONENT) img->components.push_back(c);
    if (st == IMAGE_WALK_BAD_LENGTHS) {
        std::fprintf(stderr, "imagetool %s: %s: component %zu at offset %llu: %s\n", verb, path,
                     img->components.size(), static_cast<unsigned long long>(c.offset),
                     image_length_status_text(w.lengths));
        return false;
    }
    if (st != IMAGE_WALK_END || img->components.empty()) {
        std::fprintf(stderr, "imagetool %s: %s: %s\n", verb, path,
                     st == IMAGE_WALK_END ? "no complete 24-byte component header" : "read error");
        return false;
    }
    img->end = w.offset;
    return true;
}

std::string type_text(std::uint32_t type) {
    if (const char* n = image_type_short_name(type)) return n;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(type));
    return buf;
}

std::string component_label(std::size_t index, const ImageComponent& c) {
    const char* name = image_type_name(c.type);
    return "component " + std::to_string(index) + " (" + (name ? name : type_text(c.type)) + ")";
}

// The components a verb works on, in file order. Without a selection:
// every version-3 component (`default_v3`) or every component. With one:
// each named component must exist and, when `need_v3`, have a version-3
// header. Prints its own message; returns IMAGETOOL_OK or IMAGETOOL_FAILED.
int select_components(const char* verb, const Args& args, const LoadedImage& img, bool default_v3,
                      bool need_v3, std::vector<std::size_t>* out) {
    const std::size_t n = img.components.size();
    std::vector<bool> chosen(n, false);
    if (!args.selects()) {
        for (std::size_t i = 0; i < n; ++i) chosen[i] = !default_v3 || img.components[i].header.version == 3;
    }
    for (std::uint32_t index : args.indices) {
        if (index >= n) {
            std::fprintf(stderr, "imagetool %s: %s has no component %u (it has %zu, counted from 0)\n",
                         verb, args.file, static_cast<unsigned>(index), n);
            return IMAGETOOL_FAILED;
        }
        chosen[index] = true;
    }
    for (std::uint32_t type : args.types) {
        bool found = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (img.components[i].type == type) chosen[i] = found = true;
        }
        if (!found) {
            std::fprintf(stderr, "imagetool %s: %s has no component of type %s\n", verb, args.file,
                         type_text(type).c_str());
            return IMAGETOOL_FAILED;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!chosen[i]) continue;
        const ImageComponent& c = img.components[i];
        if (need_v3 && c.header.version != 3) {
            std::fprintf(stderr,
                         "imagetool %s: %s has a version-%d header, which cannot carry a signature "
                         "(build it with --header 3)\n",
                         verb, component_label(i, c).c_str(), c.header.version);
            return IMAGETOOL_FAILED;
        }
        out->push_back(i);
    }
    if (out->empty()) {
        std::fprintf(stderr, "imagetool %s: %s has no version-3 component%s\n", verb, args.file,
                     std::strcmp(verb, "digest") == 0 ? "" : " to sign");
        return IMAGETOOL_FAILED;
    }
    return IMAGETOOL_OK;
}

// Why a component may not be signed as it stands: a bad CRC or malformed
// records. Empty when it may.
std::string damage(const LoadedImage& img, const ImageComponent& c) {
    if (!image_crc_ok(img.bytes(c), c.header.total_length)) return "its CRC does not match";
    ImageRecordWalk w = image_records_begin(img.header(c));
    ImageRecord r{};
    int st;
    while ((st = image_record_next(w, &r)) == IMAGE_RECORD_FOUND) {
    }
    if (st != IMAGE_RECORDS_END)
        return std::string("its header records are malformed: ") + image_record_status_text(st);
    return {};
}

// The payload digest, printing the failure.
bool payload_digest(const char* verb, const LoadedImage& img, std::size_t index,
                    std::span<std::uint8_t, 32> digest) {
    const ImageComponent& c = img.components[index];
    const std::int32_t st = sigcheck_payload_digest(img.payload(c), digest);
    if (st != 0) {
        std::fprintf(stderr, "imagetool %s: %s: the payload digest failed (status %d)\n", verb,
                     component_label(index, c).c_str(), static_cast<int>(st));
        return false;
    }
    return true;
}

// A rebuilt component.
struct Rebuilt {
    std::size_t index;
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size;
    bool replaced;  // it had a signature record before
};

// Rebuilds a version-3 component (checked by damage()) with `signature` as
// its only signature record, after its other records. Prints its own
// message on failure.
bool rebuild_signed(const char* verb, const LoadedImage& img, std::size_t index,
                    std::span<const std::uint8_t> signature, Rebuilt* out) {
    const ImageComponent& c = img.components[index];
    const std::span<const std::uint8_t> old = img.bytes(c);
    std::vector<ImageRecordDesc> records;
    bool replaced = false;
    ImageRecordWalk w = image_records_begin(img.header(c));
    ImageRecord r{};
    while (image_record_next(w, &r) == IMAGE_RECORD_FOUND) {
        if (r.tag == IMAGE_RECORD_SIGNATURE) {
            replaced = true;
            continue;
        }
        records.push_back({r.tag, old.subspan(r.offset + IMAGE_RECORD_HEAD_LEN, r.length - IMAGE_RECORD_HEAD_LEN)});
    }
    std::vector<std::uint8_t> body(2 + signature.size());
    if (image_signature_record_body(signature, body) != body.size()) {
        std::fprintf(stderr, "imagetool %s: %s: a %zu-byte signature does not fit in a record\n", verb,
                     component_label(index, c).c_str(), signature.size());
        return false;
    }
    records.push_back({IMAGE_RECORD_SIGNATURE, body});
    ImageComponentDesc desc{c.header.magic, c.header.id, 3, records, img.payload(c)};
    std::uint64_t total = 0;
    int st = image_build_size(desc, &total);
    std::unique_ptr<std::uint8_t[]> buf;
    if (st == IMAGE_BUILD_OK) {
        buf.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(total)]);
        if (!buf) {
            std::fprintf(stderr, "imagetool %s: out of memory\n", verb);
            return false;
        }
        st = image_build_component(desc, {buf.get(), static_cast<std::size_t>(total)});
    }
    if (st != IMAGE_BUILD_OK) {
        std::fprintf(stderr, "imagetool %s: %s: %s\n", verb, component_label(index, c).c_str(),
                     image_build_status_text(st));
        return false;
    }
    // Keep what the builder does not carry over: the magic word as it was
    // (bit 31 may be set in a version-3 header) and the uninterpreted bytes
    // 20-21. The CRC then covers them again.
    std::memcpy(buf.get() + 8, old.data() + 8, 4);
    std::memcpy(buf.get() + 20, old.data() + 20, 2);
    const std::span<const std::uint8_t> built(buf.get(), static_cast<std::size_t>(total));
    store_be32(buf.get(), image_component_crc(built));
    *out = Rebuilt{index, std::move(buf), static_cast<std::size_t>(total), replaced};
    return true;
}

// Writes the image with the rebuilt components in place of the old ones.
bool write_image(const char* verb, const char* target, const LoadedImage& img,
                 const std::vector<Rebuilt>& rebuilt) {
    OutputFile out;
    if (!out.open_for(verb, target)) return false;
    std::size_t next = 0;
    bool ok = true;
    for (std::size_t i = 0; i < img.components.size() && ok; ++i) {
        if (next < rebuilt.size() && rebuilt[next].index == i) {
            ok = write_all(out.fd, rebuilt[next].data.get(), rebuilt[next].size);
            ++next;
        } else {
            const auto b = img.bytes(img.components[i]);
            ok = write_all(out.fd, b.data(), b.size());
        }
    }
    if (ok && img.end < img.size)
        ok = write_all(out.fd, img.data.get() + img.end, img.size - static_cast<std::size_t>(img.end));
    if (!ok) {
        std::fprintf(stderr, "imagetool %s: cannot write %s: %s\n", verb, target, std::strerror(errno));
        return false;
    }
    return out.commit(verb);
}

// Reads and imports a public key file. Prints its own message.
bool load_verify_key(const char* verb, const char* path, VerifyKey* key) {
    std::unique_ptr<std::uint8_t[]> text;
    std::size_t size = 0;
    if (!read_file(path, &text, &size)) return false;
    std::string error;
    if (sigcheck_key_from_text(path, {text.get(), size}, key, &error) != 0) {
        std::fprintf(stderr, "imagetool %s: %s\n", verb, error.c_str());
        return false;
    }
    return true;
}

bool start_crypto(const char* verb) {
    std::string error;
    if (sigcheck_init(&error)) return true;
    std::fprintf(stderr, "imagetool %s: %s\n", verb, error.c_str());
    return false;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace

// ---- sign -------------------------------------------------------------------------

int cmd_sign(int argc, char** argv) {
    const char* verb = "sign";
    Args args;
    int st = parse_args(verb, argc, argv, {"-o", "--key", "--component", "--type", "--allow-any-key"}, &args);
    if (args.help) {
        std::fputs(kSignHelp, stdout);
        return IMAGETOOL_OK;
    }
    if (st != IMAGETOOL_OK) return st;
    if (args.keys.size() != 1) return usage_error(verb, "%s", "give exactly one --key");
    if (!start_crypto(verb)) return IMAGETOOL_FAILED;

    std::string error, public_pem;
    SigningKeyPtr key = signing_key_load(args.keys[0], &error);
    if (!key || !signing_key_public_pem(*key, &public_pem, &error)) {
        std::fprintf(stderr, "imagetool sign: %s\n", error.c_str());
        return IMAGETOOL_FAILED;
    }
    // The boot manager must be able to use the key: import its public half
    // with the same library.
    VerifyKey check{};
    const std::span<const std::uint8_t> pem(reinterpret_cast<const std::uint8_t*>(public_pem.data()),
                                            public_pem.size());
    if (sigcheck_key_from_text(args.keys[0], pem, &check, &error) != 0) {
        std::fprintf(stderr, "imagetool sign: %s\n", error.c_str());
        return IMAGETOOL_FAILED;
    }
    if (!sigcheck_switch_key(check)) {
        if (!args.allow_any_key) {
            std::fprintf(stderr,
                         "imagetool sign: %s is an RSA-%u key with the public exponent %u, but the switch "
                         "accepts only RSA-2048 keys with the exponent 65537 (--allow-any-key signs all the "
                         "same)\n",
                         args.keys[0], static_cast<unsigned>(check.modulus_bits),
                         static_cast<unsigned>(check.exponent));
            return IMAGETOOL_FAILED;
        }
        std::fprintf(stderr,
                     "imagetool sign: warning: %s is an RSA-%u key with the public exponent %u; the switch "
                     "will refuse images signed with it\n",
                     args.keys[0], static_cast<unsigned>(check.modulus_bits), static_cast<unsigned>(check.exponent));
    }

    LoadedImage img;
    if (!load_image(verb, args.file, &img)) return IMAGETOOL_FAILED;
    std::vector<std::size_t> targets;
    if ((st = select_components(verb, args, img, true, true, &targets)) != IMAGETOOL_OK) return st;

    std::vector<Rebuilt> rebuilt;
    for (std::size_t index : targets) {
        const ImageComponent& c = img.components[index];
        const std::string why = damage(img, c);
        if (!why.empty()) {
            std::fprintf(stderr, "imagetool sign: %s: %s; not signed\n", component_label(index, c).c_str(),
                         why.c_str());
            return IMAGETOOL_FAILED;
        }
        std::uint8_t digest[32];
        if (!payload_digest(verb, img, index, digest)) return IMAGETOOL_FAILED;
        std::vector<std::uint8_t> signature;
        if (!signing_key_sign_sha256(*key, digest, &signature, &error)) {
            std::fprintf(stderr, "imagetool sign: %s: %s\n", component_label(index, c).c_str(), error.c_str());
            return IMAGETOOL_FAILED;
        }
        const std::int32_t vst = sigcheck_verify(check, digest, signature);
        if (vst != 0) {
            std::fprintf(stderr,
                         "imagetool sign: %s: the new signature does not verify with the boot "
                         "manager's crypto library (status %d); nothing written\n",
                         component_label(index, c).c_str(), static_cast<int>(vst));
            return IMAGETOOL_FAILED;
        }
        Rebuilt r{};
        if (!rebuild_signed(verb, img, index, signature, &r)) return IMAGETOOL_FAILED;
        rebuilt.push_back(std::move(r));
    }
    const char* target = args.output ? args.output : args.file;
    if (!write_image(verb, target, img, rebuilt)) return IMAGETOOL_FAILED;
    for (const Rebuilt& r : rebuilt)
        std::printf("%s: signed with %s, %zu-byte signature%s\n",
                    component_label(r.index, img.components[r.index]).c_str(), args.keys[0],
                    static_cast<std::size_t>(check.modulus_length),
                    r.replaced ? " (replaced the old signature)" : "");
    return IMAGETOOL_OK;
}

// ---- digest -----------------------------------------------------------------------

int cmd_digest(int argc, char** argv) {
    const char* verb = "digest";
    Args args;
    int st = parse_args(verb, argc, argv, {"-o", "--component", "--type", "--binary", "--digestinfo"}, &args);
    if (args.help) {
        std::fputs(kDigestHelp, stdout);
        return IMAGETOOL_OK;
    }
    if (st != IMAGETOOL_OK) return st;
    if (args.binary && args.digestinfo)
        return usage_error(verb, "%s", "--binary and --digestinfo exclude each other");
    if (!start_crypto(verb)) return IMAGETOOL_FAILED;
    LoadedImage img;
    if (!load_image(verb, args.file, &img)) return IMAGETOOL_FAILED;
    std::vector<std::size_t> targets;
    if ((st = select_components(verb, args, img, true, true, &targets)) != IMAGETOOL_OK) return st;
    if ((args.binary || args.digestinfo) && targets.size() != 1)
        return usage_error(verb, "%s selects more than one component; choose one with --component",
                           args.binary ? "--binary" : "--digestinfo");

    std::string text;
    std::vector<std::uint8_t> raw;
    for (std::size_t index : targets) {
        const ImageComponent& c = img.components[index];
        const std::string why = damage(img, c);
        if (!why.empty()) {
            std::fprintf(stderr, "imagetool digest: %s: %s\n", component_label(index, c).c_str(), why.c_str());
            return IMAGETOOL_FAILED;
        }
        std::uint8_t digest[32];
        if (!payload_digest(verb, img, index, digest)) return IMAGETOOL_FAILED;
        text += std::to_string(index) + " " + type_text(c.type) + " " + hex(digest) + "\n";
        if (args.digestinfo) {
            // DigestInfo ::= SEQUENCE { AlgorithmIdentifier { id-sha256, NULL },
            // OCTET STRING digest } (RFC 8017 section 9.2, note 1).
            static const std::uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
            raw.assign(prefix, prefix + sizeof prefix);
        }
        raw.insert(raw.end(), digest, digest + 32);
    }
    if (args.binary || args.digestinfo)
        return write_output(verb, args.output, raw.data(), raw.size()) ? IMAGETOOL_OK : IMAGETOOL_FAILED;
    return write_output(verb, args.output, reinterpret_cast<const std::uint8_t*>(text.data()), text.size())
               ? IMAGETOOL_OK
               : IMAGETOOL_FAILED;
}

// ---- attach -----------------------------------------------------------------------

int cmd_attach(int argc, char** argv) {
    const char* verb = "attach";
    Args args;
    int st = parse_args(verb, argc, argv, {"-o", "--key", "--signature", "--component", "--type"}, &args);
    if (args.help) {
        std::fputs(kAttachHelp, stdout);
        return IMAGETOOL_OK;
    }
    if (st != IMAGETOOL_OK) return st;
    if (!args.signature) return usage_error(verb, "%s", "no --signature given");
    if (args.keys.size() != 1) return usage_error(verb, "%s", "give exactly one --key");
    if (!start_crypto(verb)) return IMAGETOOL_FAILED;

    VerifyKey key{};
    if (!load_verify_key(verb, args.keys[0], &key)) return IMAGETOOL_FAILED;
    std::unique_ptr<std::uint8_t[]> sig_data;
    std::size_t sig_size = 0;
    if (!read_file(args.signature, &sig_data, &sig_size)) return IMAGETOOL_FAILED;
    if (sig_size != key.modulus_length) {
        std::fprintf(stderr, "imagetool attach: %s is %zu bytes, but signatures of %s are %u bytes long\n",
                     args.signature, sig_size, args.keys[0], static_cast<unsigned>(key.modulus_length));
        return IMAGETOOL_FAILED;
    }
    const std::span<const std::uint8_t> signature(sig_data.get(), sig_size);

    LoadedImage img;
    if (!load_image(verb, args.file, &img)) return IMAGETOOL_FAILED;
    std::vector<std::size_t> targets;
    if ((st = select_components(verb, args, img, true, true, &targets)) != IMAGETOOL_OK) return st;
    if (targets.size() != 1) {
        std::fprintf(stderr,
                     "imagetool attach: %zu components are selected; a signature belongs to one: "
                     "choose it with --component\nTry 'imagetool attach --help'.\n",
                     targets.size());
        return IMAGETOOL_USAGE;
    }
    const std::size_t index = targets[0];
    const ImageComponent& c = img.components[index];
    const std::string why = damage(img, c);
    if (!why.empty()) {
        std::fprintf(stderr, "imagetool attach: %s: %s; nothing attached\n", component_label(index, c).c_str(),
                     why.c_str());
        return IMAGETOOL_FAILED;
    }
    std::uint8_t digest[32];
    if (!payload_digest(verb, img, index, digest)) return IMAGETOOL_FAILED;
    const SigcheckVerdict v = sigcheck_check({&key, 1}, digest, signature);
    if (!v.verified) {
        std::fprintf(stderr, "imagetool attach: %s: the signature does not verify: %s; nothing attached\n",
                     component_label(index, c).c_str(), v.reason.c_str());
        return IMAGETOOL_FAILED;
    }
    Rebuilt r{};
    if (!rebuild_signed(verb, img, index, signature, &r)) return IMAGETOOL_FAILED;
    const bool replaced = r.replaced;
    std::vector<Rebuilt> rebuilt;
    rebuilt.push_back(std::move(r));
    if (!write_image(verb, args.output ? args.output : args.file, img, rebuilt)) return IMAGETOOL_FAILED;
    std::printf("%s: attached a %zu-byte signature that verifies with %s%s\n", component_label(index, c).c_str(),
                sig_size, args.keys[0], replaced ? " (replaced the old signature)" : "");
    return IMAGETOOL_OK;
}

// ---- verify -----------------------------------------------------------------------

int cmd_verify(int argc, char** argv) {
    const char* verb = "verify";
    Args args;
    int st = parse_args(verb, argc, argv, {"--key", "--component", "--type"}, &args);
    if (args.help) {
        std::fputs(kVerifyHelp, stdout);
        return IMAGETOOL_OK;
    }
    if (st != IMAGETOOL_OK) return st;
    if (args.keys.empty()) return usage_error(verb, "%s", "no --key given");
    if (!start_crypto(verb)) return IMAGETOOL_FAILED;
    std::vector<VerifyKey> keys(args.keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!load_verify_key(verb, args.keys[i], &keys[i])) return IMAGETOOL_FAILED;

    LoadedImage img;
    if (!load_image(verb, args.file, &img)) return IMAGETOOL_FAILED;
    std::vector<std::size_t> targets;
    if ((st = select_components(verb, args, img, false, false, &targets)) != IMAGETOOL_OK) return st;

    std::size_t failed = 0;
    for (std::size_t index : targets) {
        const ImageComponent& c = img.components[index];
        std::string reason;
        const VerifyKey* by = nullptr;
        ImageSignature sig{};
        int sst = IMAGE_RECORDS_END;
        std::uint8_t digest[32];
        std::int32_t dst = 0;
        if (c.header.version != 3) {
            reason = "no HDR3 header: a version-" + std::to_string(c.header.version) +
                     " header cannot carry a signature";
        } else if (!(reason = damage(img, c)).empty()) {
            // The boot manager refuses such a component before it looks at
            // the signature.
        } else if ((sst = image_find_signature(img.header(c), &sig)) != IMAGE_RECORD_FOUND) {
            reason = sst == IMAGE_RECORDS_END || sst == IMAGE_RECORD_ZERO_LENGTH
                         ? "no signature record"
                         : std::string("the signature record is malformed: ") + image_record_status_text(sst);
        } else if ((dst = sigcheck_payload_digest(img.payload(c), digest)) != 0) {
            reason = "the payload digest failed (status " + std::to_string(dst) + ")";
        } else {
            const SigcheckVerdict v =
                sigcheck_check(keys, digest, img.bytes(c).subspan(sig.offset, sig.length));
            if (v.verified)
                by = v.key;
            else
                reason = v.reason;
        }
        if (by) {
            std::printf("%s: verified with %s\n", component_label(index, c).c_str(), by->name.c_str());
        } else {
            ++failed;
            std::printf("%s: FAILED: %s\n", component_label(index, c).c_str(), reason.c_str());
        }
    }
    std::fflush(stdout);
    if (failed) {
        std::fprintf(stderr, "imagetool verify: %s: %zu of %zu component%s failed\n", args.file, failed,
                     targets.size(), targets.size() == 1 ? "" : "s");
        return IMAGETOOL_FAILED;
    }
    return IMAGETOOL_OK;
}
