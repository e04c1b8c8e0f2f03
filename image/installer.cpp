#include "image/installer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

#include "board/mtd.h"
#include "board/nvram.h"
#include "boot/launch.h"
#include "boot/trial.h"
#include "console/console.h"
#include "image/file_writer.h"
#include "image/format.h"
#include "image/versions.h"
#include "fd_io.h"
#include "image/slot_files.h"
#include "security/signature_policy.h"
#include "unique_fd.h"

namespace {

// How one flash component type is checked and written.
struct FlashTarget {
    std::uint32_t type;
    const char* banner;
    const char* crc_name;       // in "Bad crc for %s"
    const char* size_name;      // in "%s image is too big for flash"
    std::uint64_t limit;
    bool limit_on_payload;      // the boot loader: its payload alone is checked and written
    bool needs_signature;
    MtdPartition partition;
    const char* write_failed;
};

constexpr FlashTarget kFlashTargets[] = {
    {IMAGE_TYPE_UBOOT, "Installing Boot Loader: ", "UBOOT", "UBOOT", 0x80000, true, false, MTD_UBOOT,
     "Uboot image update failed"},
    {IMAGE_TYPE_KERNEL, "Installing Kernel: ", "KERNEL", "KERNEL", 0x800000, false, true, MTD_KERNEL,
     "kernel image update failed"},
    {IMAGE_TYPE_RFS, "Installing Root Filesystem: ", "RFS", "RFS", 0xA00000, false, true, MTD_RFS,
     "RFS image update failed"},
    {IMAGE_TYPE_DFT, "Installing Device Tree: ", "DFT", "DFT", 0x40000, false, true, MTD_DEVICETREE,
     "DFT image update failed"},
    {IMAGE_TYPE_DIAGS, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS", 0xA00000, false,
     false, MTD_RESCUE, "DIAGS image update failed"},
};

const FlashTarget* flash_target(std::uint32_t type) {
    for (const FlashTarget& t : kFlashTargets) {
        if (t.type == type) return &t;
    }
    return nullptr;
}

enum Outcome { NEXT, FAILED };

struct Install {
    bool skip_same_version;
    int slot;
    bool installed = false;
};

// One component in memory: `data` holds total_length bytes.
struct Loaded {
    const ImageComponent& c;
    const std::uint8_t* data;
    std::span<const std::uint8_t> whole() const {
        return {data, static_cast<std::size_t>(c.header.total_length)};
    }
    std::span<const std::uint8_t> payload() const {
        return {data + c.header.payload_offset, static_cast<std::size_t>(c.header.payload_length)};
    }
};

void announce(const char* banner) {
    std::fputs(banner, stdout);
    std::fflush(stdout);
}

bool crc_ok(const Loaded& l, const char* name) {
    if (image_crc_ok(l.whole(), l.c.header.total_length)) return true;
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", name, image_component_crc(l.whole()));
    return false;
}

// The operator's line for a slot question: up to 31 characters. False at
// end of input.
void save_uboot_header(const Loaded& l) {
    install_images_dir();
    const DurableWriteStatus s = write_file_durably(INSTALL_UBOOT_HEADER_PATH, l.data,
                                                    l.c.header.header_length, false);
    if (s == DURABLE_WRITE_CREATE_FAILED) {
        std::printf("WARNING: Unable to open %s for writing\n", INSTALL_UBOOT_HEADER_PATH);
    } else if (s == DURABLE_WRITE_FAILED) {
        std::printf("WARNING: Uboot header file updated failed (err %d)\n", errno);
    }
}

Outcome install_flash(Install& st, const FlashTarget& t, const Loaded& l) {
    announce(t.banner);
    if (!crc_ok(l, t.crc_name)) return FAILED;
    const std::span<const std::uint8_t> data = t.limit_on_payload ? l.payload() : l.whole();
    if (data.size() > t.limit) {
        std::printf("%s image is too big for flash (%llu > %llu)\n", t.size_name,
                    static_cast<unsigned long long>(data.size()),
                    static_cast<unsigned long long>(t.limit));
        return FAILED;
    }
    if (t.needs_signature && !imgsign_check_image(l.data, l.whole().size())) return FAILED;
    if (st.skip_same_version && image_same_version(l.data, 0)) {
        std::puts("Image has same version as existing image. Skipping update...");
        return NEXT;
    }
    // The limits keep every flash component far below 4 GiB.
    if (mtd_write_partition(data.data(), mtd_handle(t.partition), 0,
                            static_cast<std::uint32_t>(data.size()), true) != 0) {
        std::puts(t.write_failed);
        return FAILED;
    }
    st.installed = true;
    if (t.type == IMAGE_TYPE_DIAGS) std::puts("done");
    if (t.type == IMAGE_TYPE_UBOOT) save_uboot_header(l);
    return NEXT;
}

// Boots the application straight from the download; returns only when its
// archive could not be written.
Outcome boot_download(const Loaded& l) {
    std::puts("Booting downloaded image");
    UniqueFd out(open_for_writing(LAUNCH_ARCHIVE));
    const std::span<const std::uint8_t> payload = l.payload();
    bool ok = out && write_all(out.get(), payload.data(), payload.size());
    ok = out.close() && ok;
    if (!ok) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return FAILED;
    }
    std::puts("Image ready to boot...");
    launch_application(false);
}

Outcome install_application(Install& st, const Loaded& l) {
    announce("Installing Application: ");
    if (!crc_ok(l, "APPLICATION")) return FAILED;
    if (!imgsign_check_image(l.data, l.whole().size())) return FAILED;
    if (st.slot == 0) {
        std::fputs("Install image as image 1 or 2 (hit return to just boot image): ", stdout);
        char line[32];
        if (console_read_answer(line, sizeof line) && (line[0] == '1' || line[0] == '2')) {
            st.slot = line[0] - '0';
        }
    }
    if (st.slot == 0) return boot_download(l);

    std::printf("Installing image as image%d: ", st.slot);
    if (st.skip_same_version && image_same_version(l.data, st.slot)) {
        std::printf("Image%d has same version as existing image. Skipping update...\n", st.slot);
        return NEXT;
    }
    install_images_dir();
    if (write_file_durably(slot_image_path(st.slot), l.data, l.whole().size(), true) != DURABLE_WRITE_OK) {
        std::printf("Image%d update failed (err %d)\n", st.slot, errno);
        return FAILED;
    }
    std::printf("\nImage%d updated succeeded\n", st.slot);
    st.installed = true;
    trial_start(st.slot);
    nvram_set_boot_slot(st.slot);
    stamp_image_time(st.slot);
    return NEXT;
}

Outcome install_velta(Install& st, const Loaded& l) {
    announce("Installing VELTA application: ");
    if (!crc_ok(l, "VELTA APPLICATION")) return FAILED;
    while (st.slot == 0) {
        std::fputs("Install image as image 1 or 2 (q to quit): ", stdout);
        char line[32];
        if (!console_read_answer(line, sizeof line) || line[0] == 'q' || line[0] == 'Q') return FAILED;
        if (line[0] == '1' || line[0] == '2') st.slot = line[0] - '0';
    }
    std::printf("Installing image as image%d: ", st.slot);
    std::fputs("Preparing image for installation: ", stdout);
    const std::span<const std::uint8_t> payload = l.payload();
    if (!write_file_with_progress(INSTALL_VELTA_PATH, payload.data(), payload.size())) {
        std::printf("WARNING: writing image file failed (err %d)\n", errno);
        return FAILED;
    }
    std::printf("\nImage%d updated succeeded\n", st.slot);
    st.installed = true;
    nvram_set_boot_slot(st.slot);
    return NEXT;
}

}  // namespace

void install_images_dir() {
    if (::mkdir(IMAGES_DIR, 0755) != 0 && errno != EEXIST) {
        std::printf("Cannot create %s (err %d)\n", IMAGES_DIR, errno);
    }
}

void install_discard_leftovers() {
    for (const int slot : {1, 2}) discard_unfinished_write(slot_image_path(slot));
}

int install_image(const char* path, bool skip_same_version, int slot) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    ImageSource source{};
    if (!fd || !image_source_file(fd.get(), &source)) {
        std::printf("Cannot open image file %s (err %d)\n", path, errno);
        return 0;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");

    Install st{skip_same_version, slot == 1 || slot == 2 ? slot : 0};
    ImageWalk walk = image_walk_begin(source);
    ImageComponent c{};
    for (;;) {
        const int status = image_walk_next(walk, &c);
        if (status == IMAGE_WALK_END) break;
        if (status == IMAGE_WALK_BAD_LENGTHS) {
            // Nothing is allocated or read for a component the file cannot hold.
            image_print_refused(stdout, c, walk.lengths);
            return 0;
        }
        if (status != IMAGE_WALK_COMPONENT) {
            std::printf("Image file %s could not be read (err %d)\n", path, errno);
            return 0;
        }
        image_dump_header(c.header, false);
        const FlashTarget* flash = flash_target(c.type);
        if (!flash && c.type != IMAGE_TYPE_APPLICATION && c.type != IMAGE_TYPE_VELTA) continue;

        std::unique_ptr<std::uint8_t[]> buf = image_component_buffer(c);
        if (!buf) {
            std::printf("Failed to allocate buffer for image (%llu)\n",
                        static_cast<unsigned long long>(c.header.total_length));
            return 0;
        }
        const std::span<std::uint8_t> whole(buf.get(), static_cast<std::size_t>(c.header.total_length));
        if (image_read_component(source, c, whole) != static_cast<std::int64_t>(whole.size())) {
            std::printf("Image file %s could not be read (err %d)\n", path, errno);
            return 0;
        }
        const Loaded loaded{c, buf.get()};
        const Outcome o = flash ? install_flash(st, *flash, loaded)
                          : c.type == IMAGE_TYPE_APPLICATION ? install_application(st, loaded)
                                                             : install_velta(st, loaded);
        if (o == FAILED) return 0;
    }
    if (!st.installed) std::puts("ERROR: No valid image found");
    return st.installed ? 1 : 0;
}
