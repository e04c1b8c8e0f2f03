#include "console/rescue_menu.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

#include "boot/reboot.h"
#include "boot/shell.h"
#include "boot/rescue_image.h"
#include "boot_settings.h"
#include "byteorder.h"
#include "console/console.h"
#include "console/mgmt_network.h"
#include "console/rescue_download.h"
#include "image/format.h"
#include "image/versions.h"
#include "security/lowsec.h"
#include "security/signature_policy.h"

namespace {

struct MenuLetter {
    char letter;
    const char* text;  // null for a hidden letter
    int (*action)();   // null for Reboot and Exit, which the menu does itself
};

constexpr MenuLetter kLetters[] = {
    {'T', "Configure networking and tftp download an image", tftp_rescue},
    {'X', "Use xmodem 1K to serial download an image", xmodem_rescue},
    {'P', "Physical presence (low security mode)", physical_presence_test},
    {'R', "Reboot", nullptr},
    {'E', "Exit", nullptr},
    {'U', nullptr, usb_choose_image},
    {'V', nullptr, show_installed_versions},
    {'M', nullptr, set_mgmt_mac},
    {'K', nullptr, wipe_system_keys},
    {'D', nullptr, diags_start},
};

const MenuLetter* find_letter(unsigned char key) {
    const int upper = std::toupper(key);
    for (const MenuLetter& l : kLetters) {
        if (l.letter == upper) return &l;
    }
    return nullptr;
}

void print_menu() {
    std::puts("Please select one of the following options:");
    for (const MenuLetter& l : kLetters) {
        if (l.text) std::printf("\t%c) %s\n", l.letter, l.text);
    }
}

// The operator's choice; null when the console's input has ended.
const MenuLetter* ask_choice() {
    BootSettings& bs = g_boot_settings;
    for (;;) {
        std::fputs("\nOption? : ", stdout);
        std::fflush(stdout);
        const unsigned char key = console_getkey();
        if (key != 0) std::putchar(key);
        std::putchar('\n');
        if (bs.interrupted) {
            bs.interrupted = 0;
            continue;
        }
        if (key == 0) {
            if (console_input_ended()) return nullptr;
            continue;
        }
        if (const MenuLetter* l = find_letter(key)) return l;
        std::printf("unknown option \"%c\". Please try again\n", std::toupper(key));
    }
}

struct VersionRow {
    std::uint32_t type;
    int slot;
    const char* label;
};

constexpr VersionRow kVersionRows[] = {
    {IMAGE_TYPE_UBOOT, 0, "Boot image  "}, {IMAGE_TYPE_RFS, 0, "RFS image   "},
    {IMAGE_TYPE_KERNEL, 0, "Kernel image"}, {IMAGE_TYPE_DFT, 0, "DFT image   "},
    {IMAGE_TYPE_APPLICATION, 1, "OS image 1  "}, {IMAGE_TYPE_APPLICATION, 2, "OS image 2  "},
};

// Rebuilds the user file system; each step says what it does first. The
// results are not checked: the diagnostics start in any case.
void rebuild_user_filesystem() {
    std::puts("unmount filesystem");
    shell_run("/bin/umount /user > /dev/null 2>&1");
    std::puts("\nErasing filesystem for clean install");
    shell_run("flash_eraseall /dev/mtd-user-char");
    std::puts("Mounting...");
    shell_run("/bin/mount -o sync -t jffs2 /dev/mtd-user /user > /dev/null 2>&1");
    std::puts("creating default filesystem");
    shell_run("mkdir /user/images > /dev/null 2>&1");
}

}  // namespace

int rescue_menu() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        print_menu();
        const MenuLetter* choice = ask_choice();
        if (!choice) {
            std::puts("Console input ended. Leaving rescue mode.");
            return 1;
        }
        if (choice->letter == 'E') return 1;
        if (choice->letter == 'R') {
            ::sleep(1);
            reboot_board();
        }
        choice->action();
        g_boot_settings.interrupted = 0;
    }
}

int diags_start() {
    if (imgsign_developer_images()) {
        std::puts("NOTE: switch running developer signed images");
    } else if (!lowsec_active()) {
        std::puts("Standalone diags cannot be run on a secured switch");
        std::puts("Please establish physical presence first");
        return 0;
    }
    std::fputs("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
               stdout);
    std::fflush(stdout);
    const unsigned char key = console_getkey();
    std::putchar('\n');
    if (std::toupper(key) == 'Y') rebuild_user_filesystem();
    std::puts("Booting diags image...");
    boot_rescue_partition();
    return 1;
}

int show_installed_versions() {
    std::puts("Installed images versions: ");
    for (const VersionRow& row : kVersionRows) {
        std::uint8_t header[16];
        image_read_installed_header(row.type, header, row.slot);
        std::printf("\t%s: %s\n", row.label, image_version_text(load_be32(header + 12)).text);
    }
    return 0;
}
