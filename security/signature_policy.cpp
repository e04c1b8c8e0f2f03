#include "security/signature_policy.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mtd/mtd-user.h>
#include <new>
#include <span>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console/console.h"
#include "digest.h"
#include "image/format.h"
#include "imgsign_verify.h"
#include "security/lowsec.h"
#include "security/system_keys.h"
#include "unique_fd.h"

namespace {

constexpr const char* kRfsDevice = "/dev/mtd-rfs";

std::int32_t g_developer_images_known = 0;
std::int32_t g_developer_images = 0;

// The signature and the payload digest of a checked component.
struct Signed {
    ImageSignature signature;
    std::uint8_t digest[32];
    std::uint32_t digest_len;
};

enum class SignedStatus { Ok, Unsigned, Malformed, HashFailed };

// Finds the signature of the component in `data` (whose lengths must already
// be known to fit) and hashes its payload.
SignedStatus read_signed(std::span<const std::uint8_t> data, const ImageHeader& h, Signed* out) {
    const std::span<const std::uint8_t> header = data.first(h.header_length);
    const int found = image_find_signature(header, &out->signature);
    if (found == IMAGE_RECORDS_END || found == IMAGE_RECORD_ZERO_LENGTH) {
        return SignedStatus::Unsigned;
    }
    if (found != IMAGE_RECORD_FOUND) return SignedStatus::Malformed;
    std::memset(out->digest, 0, sizeof out->digest);
    out->digest_len = 0;
    const MSTATUS rc = IMGSIGN_computeSHA256(data.data() + h.payload_offset,
                                             static_cast<std::uint32_t>(h.payload_length),
                                             out->digest, &out->digest_len);
    if (rc != 0) {
        std::printf("HASH calculation for signed image failed: rc = %d \n", static_cast<int>(rc));
        return SignedStatus::HashFailed;
    }
    return SignedStatus::Ok;
}

// Loads the key of `path` and verifies the signature with it. *loaded
// reports whether the key could be loaded at all.
bool verify_with(const char* path, std::span<const std::uint8_t> data, const Signed& s,
                 bool* loaded) {
    SystemKey key{};
    *loaded = imgsign_load_system_key(&key, path);
    if (!*loaded) return false;
    return IMGSIGN_verifySignature(s.digest, s.digest_len, data.data() + s.signature.offset,
                                   s.signature.length,
                                   reinterpret_cast<const std::uint8_t*>(key.text),
                                   key.length) == 0;
}

bool verdict(bool pass) {
    std::fputs(pass ? " Image signature verified. " : " Image rejected. ", stdout);
    std::fflush(stdout);
    return pass;
}

}  // namespace

bool imgsign_check_unsigned() {
    const bool developer = imgsign_developer_images();
    const bool lowsec = lowsec_active();
    if (developer && lowsec) {
        std::puts("\nWARNING: Image is unsigned but you are running developer images and are in "
                  "low security mode");
        return console_confirm("Install image anyway?") == 1;
    }
    std::puts(" Image rejected as it has no signature");
    return false;
}

bool imgsign_check_image(const std::uint8_t* component, std::size_t len) {
    const bool lowsec = lowsec_active();
    if (component == nullptr || len < IMAGE_PROBE_LEN) return verdict(false);
    const std::span<const std::uint8_t> data(component, len);
    const ImageHeader h = image_classify_header(component);
    if (h.version != 3) return imgsign_check_unsigned();
    const ImageLengthStatus lengths = image_check_lengths(h, len);
    if (lengths != IMAGE_LENGTHS_OK) {
        std::printf("Image header refused: %s.\n", image_length_status_text(lengths));
        return verdict(false);
    }

    Signed s{};
    switch (read_signed(data, h, &s)) {
    case SignedStatus::Unsigned:
        return imgsign_check_unsigned();
    case SignedStatus::Malformed:
        std::puts("Image header refused: its signature record is malformed.");
        return verdict(false);
    case SignedStatus::HashFailed:
        return false;
    case SignedStatus::Ok:
        break;
    }

    bool loaded = false;
    bool pass = verify_with(PRODUCTION_KEY_PATH, data, s, &loaded);
    if (!loaded) return false;
    if (!pass) {
        const bool developer = imgsign_developer_images();
        if (developer || lowsec) {
            std::puts(developer ? "\nNOTE - developer images operational. Checking developer keys...."
                                : "\nNOTE - low security mode is operational. Checking developer "
                                  "keys....");
            pass = verify_with(DEVELOPMENT_KEY_PATH, data, s, &loaded);
            if (!loaded) return false;
            if (!pass && developer && lowsec) {
                std::puts("\nWARNING: All checks failed but you are running developer images and "
                          "are in low security mode");
                pass = console_confirm("Install image anyway?") == 1;
            }
        }
    }
    return verdict(pass);
}

bool imgsign_developer_images() {
    if (g_developer_images_known) return g_developer_images != 0;

    UniqueFd rfs(::open(kRfsDevice, O_RDONLY | O_CLOEXEC));
    if (!rfs) return false;
    const int fd = rfs.get();

    std::uint8_t probe[IMAGE_PROBE_LEN];
    if (::pread(fd, probe, sizeof probe, 0) != static_cast<ssize_t>(sizeof probe)) return false;
    const ImageHeader h = image_classify_header(probe);
    if (h.version != 3) {
        g_developer_images_known = 1;
        g_developer_images = 1;
        return true;
    }

    // The partition's size bounds what its header may claim.
    mtd_info_user mi{};
    if (::ioctl(fd, MEMGETINFO, &mi) < 0) return false;
    if (image_check_lengths(h, mi.size) != IMAGE_LENGTHS_OK) return false;
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[h.total_length]);
    if (!buf) return false;
    if (::pread(fd, buf.get(), h.total_length, 0) != static_cast<ssize_t>(h.total_length)) {
        return false;
    }
    rfs.reset();

    const std::span<const std::uint8_t> data(buf.get(), h.total_length);
    Signed s{};
    if (read_signed(data, h, &s) != SignedStatus::Ok) return false;
    bool loaded = false;
    const bool developer = verify_with(DEVELOPMENT_KEY_PATH, data, s, &loaded);
    if (!loaded) return false;
    g_developer_images = developer ? 1 : 0;
    g_developer_images_known = 1;
    return developer;
}
