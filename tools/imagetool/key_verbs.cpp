#include "tools/imagetool/key_verbs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>

#include "tools/imagetool/cli_util.h"
#include "tools/imagetool/imagetool.h"
#include "tools/imagetool/openssl_sign.h"
#include "tools/imagetool/sig_check.h"

namespace {

const char kKeygenHelp[] =
    "usage: imagetool keygen -o PRIVATE.pem [--pub PUBLIC.pem]\n"
    "\n"
    "Makes a new RSA-2048 signing key with the public exponent 65537, the only\n"
    "kind the switch accepts, and writes it as an unencrypted PKCS #8 PEM\n"
    "readable by its owner only (mode 0600). An existing file is never\n"
    "overwritten. With --pub, the public half goes to PUBLIC.pem as getpub\n"
    "writes it. Keep production keys offline or in an HSM.\n";

const char kGetpubHelp[] =
    "usage: imagetool getpub PRIVATE.pem [-o PUBLIC.pem]\n"
    "\n"
    "Writes the public half of a private key (PEM) as a \"PUBLIC KEY\" PEM, the\n"
    "form the boot manager's build takes (-DBOOTMGR_PRODUCTION_KEY=...), to\n"
    "PUBLIC.pem or standard output. Warns when the switch cannot use the key\n"
    "(anything but RSA-2048 with the exponent 65537).\n";

// Creates `path` for the private key: never over an existing file, never
// readable by others.
bool write_private(const char* path, const std::string& pem) {
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        std::fprintf(stderr, "imagetool keygen: cannot create %s: %s\n", path,
                     errno == EEXIST ? "it exists already (a key is never overwritten)"
                                     : std::strerror(errno));
        return false;
    }
    if (!write_all(fd.get(), pem.data(), pem.size()) || !fd.close()) {
        std::fprintf(stderr, "imagetool keygen: writing %s failed: %s\n", path, std::strerror(errno));
        ::unlink(path);
        return false;
    }
    return true;
}

// Writes the public half, with a warning when the switch cannot use it.
bool write_public(const char* verb, const SigningKey& key, const char* out) {
    std::string pem, error;
    if (!signing_key_public_pem(key, &pem, &error)) {
        std::fprintf(stderr, "imagetool %s: %s\n", verb, error.c_str());
        return false;
    }
    VerifyKey vk;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pem.data());
    if (!sigcheck_init(&error) || sigcheck_key_from_text("the key", {bytes, pem.size()}, &vk, &error) != 0 ||
        !sigcheck_switch_key(vk)) {
        std::fprintf(stderr, "imagetool %s: warning: the switch will refuse this key: it accepts "
                             "RSA-2048 keys with the public exponent 65537 only\n", verb);
    }
    return write_output(verb, out, bytes, pem.size());
}

}  // namespace

int cmd_keygen(int argc, char** argv) {
    const char* verb = "keygen";
    const char* out = nullptr;
    const char* pub = nullptr;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (is_help(a)) {
            std::fputs(kKeygenHelp, stdout);
            return IMAGETOOL_OK;
        }
        if ((a == "-o" || a == "--output" || a == "--pub") && i + 1 < argc) {
            (a == "--pub" ? pub : out) = argv[++i];
        } else {
            return usage_error(verb, "unexpected argument '%s'", argv[i]);
        }
    }
    if (!out) return usage_error(verb, "%s", "no output file given (-o PRIVATE.pem)");
    std::string error, pem;
    const SigningKeyPtr key = signing_key_generate(&error);
    if (!key || !signing_key_private_pem(*key, &pem, &error)) {
        std::fprintf(stderr, "imagetool keygen: %s\n", error.c_str());
        return IMAGETOOL_FAILED;
    }
    if (!write_private(out, pem)) return IMAGETOOL_FAILED;
    if (pub && !write_public(verb, *key, pub)) return IMAGETOOL_FAILED;
    std::printf("RSA-2048 key written to %s%s%s\n", out, pub ? ", its public half to " : "", pub ? pub : "");
    return IMAGETOOL_OK;
}

int cmd_getpub(int argc, char** argv) {
    const char* verb = "getpub";
    const char* in = nullptr;
    const char* out = nullptr;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (is_help(a)) {
            std::fputs(kGetpubHelp, stdout);
            return IMAGETOOL_OK;
        }
        if ((a == "-o" || a == "--output") && i + 1 < argc) {
            out = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return usage_error(verb, "unknown option '%s'", argv[i]);
        } else if (in) {
            return usage_error(verb, "more than one key file ('%s')", argv[i]);
        } else {
            in = argv[i];
        }
    }
    if (!in) return usage_error(verb, "%s", "no private key file given");
    std::string error;
    const SigningKeyPtr key = signing_key_load(in, &error);
    if (!key) {
        std::fprintf(stderr, "imagetool getpub: %s\n", error.c_str());
        return IMAGETOOL_FAILED;
    }
    return write_public(verb, *key, out) ? IMAGETOOL_OK : IMAGETOOL_FAILED;
}
