#include "boot/rescue_image.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "board/mtd.h"
#include "board/nvram.h"
#include "boot/launch.h"
#include "boot/reboot.h"
#include "boot/trial.h"
#include "console/console.h"
#include "fd_io.h"
#include "image/file_writer.h"
#include "image/format.h"
#include "image/installer.h"
#include "image/slot_files.h"
#include "unique_fd.h"

int boot_rescue_partition() {
    UniqueFd out(open_for_writing(LAUNCH_ARCHIVE));
    if (!out) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_board();
    }

    const int mtd = mtd_handle(MTD_RESCUE);
    std::uint8_t probe[IMAGE_PROBE_LEN];
    std::memset(probe, 0xFF, sizeof probe);
    MtdInfo info{};
    const bool readable = mtd_get_info(mtd, &info) &&
                          mtd_read_partition(probe, mtd, 0, sizeof probe) == 0;
    const ImageHeader h = image_classify_header(probe);
    const std::uint32_t type = image_header_type(h);
    if (!readable || !image_type_bootable(type)) {
        std::fputs("Image not found... \n", stderr);
        return 0;
    }
    const ImageLengthStatus lengths = image_check_lengths(h, info.size);
    if (lengths != IMAGE_LENGTHS_OK) {
        image_print_refused(stderr, ImageComponent{0, h, type}, lengths);
        return 0;
    }

    const ImageComponent c{0, h, type};
    std::unique_ptr<std::uint8_t[]> buf = image_component_buffer(c);
    if (!buf) image_print_no_memory(stderr, h);
    const std::span<std::uint8_t> whole(buf.get(), buf ? h.total_length : 0);
    if (!buf ||
        mtd_read_partition(buf.get(), mtd, 0, static_cast<std::uint32_t>(h.total_length)) != 0 ||
        !image_crc_ok(whole, h.total_length)) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        return 0;
    }

    const std::uint8_t* payload = buf.get() + h.payload_offset;
    if (!write_all(out.get(), payload, h.payload_length)) {
        std::fputs("Failed to write AppOS tarfile.\n", stderr);
        reboot_board();
    }
    out.reset();

    if (type == IMAGE_TYPE_DIAGS) {
        std::puts("Launching diagnostics image");
        UniqueFd again(open_for_writing(LAUNCH_ARCHIVE));
        if (!again || !write_all(again.get(), payload, h.payload_length)) {
            std::fputs("Failed to open diags image file.\n", stderr);
            reboot_board();
        }
        nvram_set_booted_image(4);
    } else {
        std::printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
        std::fflush(stdout);
        char answer[8] = {};
        if (console_read_answer(answer, sizeof answer)) {
            const char ch = answer[0];
            if (ch != '1' && ch != '2') {
                std::puts("\nBooting recovery image. You will need to download and install an "
                          "image before rebooting");
                nvram_set_booted_image(4);
            } else {
                std::printf("\nInstalling recovery image as image%c...\n", ch);
                const int slot = ch - '0';
                install_images_dir();
                // The slot file is replaced whole or not at all; the boot slot
                // follows only a completed copy. Without one the recovery
                // image is still booted, as if only booting had been asked.
                if (write_file_durably(slot_image_path(slot), buf.get(), h.total_length, false) !=
                    DURABLE_WRITE_OK) {
                    std::fprintf(stderr, "Failed to install the recovery image as image%d (err %d).\n",
                                 slot, errno);
                    nvram_set_booted_image(4);
                } else {
                    std::printf("Setting boot image to %d\n", slot);
                    trial_start(slot);
                    nvram_set_boot_slot(slot);
                    nvram_set_booted_image(slot);
                }
            }
        }
    }
    buf.reset();
    launch_application(type == IMAGE_TYPE_DIAGS);
}
