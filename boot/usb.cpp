#include "boot/usb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "boot/reboot.h"
#include "boot/shell.h"
#include "boot_settings.h"
#include "console/console.h"
#include "image/file_writer.h"
#include "image/install_log.h"
#include "image/installer.h"
#include "unique_fd.h"

namespace {

constexpr int kMountWaitSeconds = 10;
constexpr const char* kDigestScratch = "/tmp/img_md5string";

bool exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool is_digest(const char* text, std::size_t len) {
    if (len != 32) return false;
    for (std::size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string marker_path(const char* digest) {
    return std::string(USB_REJECTED_DIR) + "/" + digest;
}

// True when the boot image's digest is the one recorded at its last install.
bool boot_image_installed_before(const char* digest) {
    char stored[IMAGE_MD5_TEXT] = {};
    FILE* f = std::fopen(USB_BOOT_INSTALLED, "rb");
    if (!f) return false;
    const std::size_t n = std::fread(stored, 1, 32, f);
    std::fclose(f);
    return n == 32 && std::memcmp(stored, digest, 32) == 0;
}

// Installs one replacement image into `slot`. Returns false when the
// operator declined a rejected image (the stick is then left alone).
bool replace_slot(const char* path, const char* name, int slot, int* result) {
    if (!exists(path)) return true;
    std::printf("USB image (file '%s') replacement for image%d found\n", name, slot);
    if (is_image_rejected(path)) {
        if (!console_ask_timed("Replacement USB image is in rejected list.\nWould you still like to load it? ")) {
            return false;
        }
        std::puts("Continuing with replacement USB image...");
    }
    if (install_image(path, true, slot) == 1) {
        install_log_append(path, "USB");
        std::printf("Image%d has been successfully replaced\n", slot);
        *result = slot;
    }
    return true;
}

}  // namespace

int usb_wait_mount() {
    if (!g_boot_settings.usbPresent) return 0;
    std::printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
                kMountWaitSeconds);
    ::sleep(1);
    for (int i = 0; i < kMountWaitSeconds; ++i) {
        if (exists(USB_MOUNT_MARKER)) {
            std::puts("USB mounted and ready!");
            return 0;
        }
        std::putchar('.');
        std::fflush(stdout);
        ::sleep(1);
    }
    std::puts("USB mount timed out");
    return -1;
}

void usb_install_boot_image() {
    if (!exists(USB_BOOT_IMAGE)) {
        std::puts("No boot image found on USB.");
        return;
    }
    std::puts("Boot image found on USB.");
    char digest[IMAGE_MD5_TEXT];
    const bool have_digest = image_md5(USB_BOOT_IMAGE, digest) == 1;
    if (have_digest && boot_image_installed_before(digest)) {
        // Installing it again would reboot at every start while the stick is in.
        std::puts("Boot image on USB was installed before. Skipping it.");
        return;
    }
    if (install_image(USB_BOOT_IMAGE, true, 0) != 1) return;
    install_log_append(USB_BOOT_IMAGE, "USB");
    if (have_digest) {
        install_images_dir();
        write_file_durably(USB_BOOT_INSTALLED, reinterpret_cast<const std::uint8_t*>(digest), 32, false);
    }
    reboot_board();
}

int usb_check_images() {
    int result = 0;
    if (!replace_slot(USB_REPLACE2_IMAGE, "NPX7710_replace2_OS.img", 2, &result)) return 0;
    if (!replace_slot(USB_REPLACE1_IMAGE, "NPX7710_replace1_OS.img", 1, &result)) return 0;
    if (result != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", result);
        return result;
    }
    if (exists(USB_OS_IMAGE)) return 3;
    std::puts("No valid image found on USB");
    return 0;
}

bool usb_admit_os_image(const char* path) {
    if (!is_image_rejected(path)) {
        reject_image(path);
        return true;
    }
    if (!console_ask_timed("USB image is in rejected list.\nWould you still like to load it? ")) {
        return false;
    }
    std::puts("Continuing to load USB image...");
    return true;
}

int image_md5(const char* path, char* text) {
    text[0] = '\0';
    shell_run(shell_format("/bin/busybox md5sum %s > %s", shell_quote(path).c_str(), kDigestScratch));
    FILE* f = std::fopen(kDigestScratch, "rb");
    if (!f) return 0;
    char got[32];
    const std::size_t n = std::fread(got, 1, sizeof got, f);
    std::fclose(f);
    // Only a digest may become part of a path.
    if (!is_digest(got, n)) return 0;
    std::memcpy(text, got, 32);
    text[32] = '\0';
    return 1;
}

int is_image_rejected(const char* path) {
    char digest[IMAGE_MD5_TEXT];
    if (!image_md5(path, digest)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    return exists(marker_path(digest).c_str()) ? 1 : 0;
}

void reject_image(const char* path) {
    char digest[IMAGE_MD5_TEXT];
    if (!image_md5(path, digest)) {
        std::puts("Warning: Cannot add image to rejected list!");
        return;
    }
    const std::string marker = marker_path(digest);
    if (exists(marker.c_str())) return;
    install_images_dir();
    if (::mkdir(USB_REJECTED_DIR, 0755) != 0 && errno != EEXIST) {
        std::printf("Warning: Cannot create %s (err %d)\n", USB_REJECTED_DIR, errno);
        return;
    }
    UniqueFd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd || ::fsync(fd.get()) != 0 || !fd.close()) {
        std::printf("Warning: Cannot add image to rejected list (err %d)\n", errno);
        return;
    }
    sync_directory(USB_REJECTED_DIR);
}
