#include "boot/slot.h"

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <span>
#include <unistd.h>

#include "board/nvram.h"
#include "boot/build_options.h"
#include "boot/launch.h"
#include "boot/reboot.h"
#include "boot/shell.h"
#include "boot/trial.h"
#include "boot/usb.h"
#include "boot_settings.h"
#include "byteorder.h"
#include "fd_io.h"
#include "console/rescue_menu.h"
#include "image/slot_files.h"
#include "security/signature_policy.h"
#include "unique_fd.h"

namespace {

constexpr const char* kGdbArchive = "/tmp/gdb.gz";

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

void shell_if_wanted() {
    if (g_boot_settings.shell) shell_run("/bin/sh\n");
}

[[noreturn]] void rescue_shell_reboot() {
    rescue_menu();
    shell_if_wanted();
    reboot_board();
}

// Slot 1 or 2 cannot be booted for `why`: back to the caller for the other
// slot, or, when this was the other slot already, the shell and a reboot.
int slot_failed(int slot, const char* why) {
    if (g_boot_settings.secondAttempt) {
        std::fputs("Both image1 and image2 failed.\n", stderr);
        shell_if_wanted();
        reboot_board();
    }
    std::fprintf(stderr, "Image%d %s, trying Image%d now.\n", slot, why, other_slot(slot));
    return 0;
}

// The signature policy on the component about to be booted; its verdict
// gets a line of its own.
bool signature_accepted(std::span<const std::uint8_t> component) {
    const bool ok = imgsign_check_image(component.data(), component.size());
    std::putchar('\n');
    return ok;
}

}  // namespace

int find_app_image(const ImageSource& source, FoundComponent* found, std::uint32_t* last_magic) {
    *last_magic = 0;
    ImageWalk walk = image_walk_begin(source);
    ImageComponent c{};
    std::unique_ptr<std::uint8_t[]> header;
    for (;;) {
        const int status = image_walk_next(walk, &c);
        if (status == IMAGE_WALK_BAD_LENGTHS) {
            *last_magic = c.header.magic;
            image_print_refused(stderr, c, walk.lengths);
            return 0;
        }
        if (status != IMAGE_WALK_COMPONENT) return 0;
        *last_magic = c.header.magic;

        std::uint32_t type = c.type;
        if (c.header.version == 3) {
            if (!header) header.reset(new (std::nothrow) std::uint8_t[IMAGE_MAX_HEADER_LEN]);
            if (!header) return 0;
            const std::int64_t n =
                image_read_header(source, c, std::span(header.get(), IMAGE_MAX_HEADER_LEN));
            if (n < 0) return 0;
            int records = 0;
            type = image_effective_type(std::span(header.get(), static_cast<std::size_t>(n)),
                                        c.header.magic, &records);
            if (records == IMAGE_RECORD_ZERO_LENGTH) std::puts("Image header error");
        }
        if (image_type_bootable(type)) {
            found->component = c;
            found->type = type;
            store_be32(found->basic, c.header.crc);
            store_be32(found->basic + 4, c.header.len);
            store_be32(found->basic + 8, c.header.magic);
            store_be32(found->basic + 12, c.header.id);
            return 1;
        }
    }
}

int boot_image_slot(int slot) {
    BootSettings& bs = g_boot_settings;
    if (slot < 1 || slot > 3) return 0;

    if (trial_given_up(slot, bs.secondAttempt)) {
        if (!bs.secondAttempt) return 0;
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        rescue_shell_reboot();
    }

    UniqueFd in;
    if (slot == 3) {
        in.reset(::open(USB_OS_IMAGE, O_RDONLY | O_CLOEXEC));
        if (!in) {
            std::fputs("Failed to open application image from USB.\n", stderr);
            return 0;
        }
        if (!usb_admit_os_image(USB_OS_IMAGE)) return 0;
    } else {
        in.reset(::open(slot_image_path(slot), O_RDONLY | O_CLOEXEC));
        if (!in) {
            std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot,
                         other_slot(slot));
            slot = other_slot(slot);
            in.reset(::open(slot_image_path(slot), O_RDONLY | O_CLOEXEC));
            if (!in) {
                std::fprintf(stderr, "Failed to open Application image %d.\n", slot);
                rescue_shell_reboot();
            }
        }
    }

    UniqueFd out(open_for_writing(LAUNCH_ARCHIVE));
    if (!out) {
        std::fputs("Failed to open application image output file.\n", stderr);
        shell_if_wanted();
        reboot_board();
    }

    ImageSource source{};
    FoundComponent found{};
    std::uint32_t last_magic = 0;
    if (!image_source_file(in.get(), &source) || !find_app_image(source, &found, &last_magic)) {
        if (slot == 3) {
            std::fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
            return 0;
        }
        if (bs.secondAttempt) {
            std::fputs("No valid application image found. Trying rescue image\n", stderr);
            rescue_shell_reboot();
        }
        std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", last_magic,
                     IMAGE_TYPE_DIAGS);
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot,
                     other_slot(slot));
        return 0;
    }

    const ImageComponent& c = found.component;
    std::unique_ptr<std::uint8_t[]> buf = image_component_buffer(c);
    if (!buf) image_print_no_memory(stderr, c.header);
    const std::span<std::uint8_t> whole(buf.get(), buf ? c.header.total_length : 0);
    const bool crc_ok = buf && image_read_component(source, c, whole) ==
                                   static_cast<std::int64_t>(c.header.total_length) &&
                        image_crc_ok(whole, c.header.total_length);
    if (!crc_ok) {
        buf.reset();
        if (slot == 3) {
            std::fputs("USB image CRC failed.", stderr);
            return 0;
        }
        return slot_failed(slot, "CRC failed");
    }
    if (boot_verify_at_boot() && !signature_accepted(whole)) {
        buf.reset();
        if (slot == 3) {
            std::fputs("USB image signature not accepted.\n", stderr);
            return 0;
        }
        if (bs.secondAttempt) {
            std::fprintf(stderr, "Image%d signature not accepted.\n", slot);
            std::fputs("No valid application image found. Trying rescue image\n", stderr);
            rescue_shell_reboot();
        }
        std::fprintf(stderr, "Image%d signature not accepted, trying Image%d now.\n", slot,
                     other_slot(slot));
        return 0;
    }

    // A partly written archive would unpack into a broken application, so a
    // failed write is handled like an archive that cannot be created.
    if (!write_all(out.get(), buf.get() + c.header.payload_offset, c.header.payload_length) ||
        !out.close()) {
        std::fputs("Failed to write application image output file.\n", stderr);
        shell_if_wanted();
        reboot_board();
    }
    in.reset();
    buf.reset();

    if (!launch_unpack()) {
        if (slot == 3) {
            std::fputs("USB image could not be unpacked.\n", stderr);
            return 0;
        }
        return slot_failed(slot, "could not be unpacked");
    }
    nvram_set_booted_image(slot);
    trial_use_attempt(slot);
    if (bs.gdb && !bs.gdbserver) extract_gdb(slot);
    launch_start(found.type == IMAGE_TYPE_DIAGS);
}

int extract_gdb(int slot) {
    if (slot != 1 && slot != 2) return 0;
    const int from = other_slot(slot);
    std::printf("Extracting GDB from image slot %d\n", from);

    UniqueFd in(::open(slot_image_path(from), O_RDONLY | O_CLOEXEC));
    if (!in) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", from);
        return 0;
    }
    UniqueFd out(open_for_writing(kGdbArchive));
    if (!out) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }

    ImageSource source{};
    std::uint8_t probe[IMAGE_PROBE_LEN];
    if (!image_source_file(in.get(), &source) ||
        image_source_read(source, 0, probe, sizeof probe) != static_cast<std::int64_t>(sizeof probe)) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", 0u);
        return 0;
    }
    const ImageHeader h = image_classify_header(probe);
    if (image_header_type(h) != IMAGE_TYPE_APPLICATION) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    const ImageLengthStatus lengths = image_check_lengths(h, source.size);
    if (lengths != IMAGE_LENGTHS_OK) {
        image_print_refused(stderr, ImageComponent{0, h, image_header_type(h)}, lengths);
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", from,
                static_cast<unsigned>(h.payload_length));
    if (image_check_component_crc(source, ImageComponent{0, h, IMAGE_TYPE_APPLICATION}, nullptr) != 1) {
        std::fputs("GDB image CRC failed.\n", stderr);
        return 0;
    }

    // Copied in pieces: the debugger need not fit in memory next to nothing.
    std::uint8_t piece[64 * 1024];
    for (std::uint64_t done = 0; done < h.payload_length;) {
        const std::size_t want = h.payload_length - done < sizeof piece
                                     ? static_cast<std::size_t>(h.payload_length - done)
                                     : sizeof piece;
        const std::int64_t n = image_source_read(source, h.payload_offset + done, piece, want);
        if (n <= 0 || !write_all(out.get(), piece, static_cast<std::uint64_t>(n))) {
            std::fputs("Failed to copy the GDB image.\n", stderr);
            return 0;
        }
        done += static_cast<std::uint64_t>(n);
    }
    out.reset();
    in.reset();

    std::puts("decompressing GDB....");
    shell_run("gunzip /tmp/gdb.gz");
    shell_run("chmod +x /tmp/gdb");
    return 1;
}
