#include "boot/sequence.h"

#include <cstdio>

#include "board/i2c.h"
#include "board/mtd.h"
#include "board/nvram.h"
#include "board/rtc.h"
#include "boot/reboot.h"
#include "boot/settings.h"
#include "boot/shell.h"
#include "boot/slot.h"
#include "boot/usb.h"
#include "console/mgmt_network.h"
#include "console/rescue_menu.h"
#include "image/installer.h"
#include "crypto_platform.h"
#include "security/system_keys.h"

namespace {

constexpr const char* kUsbOsImageName = "NPX7710_OS.img";

void set_clock_from_rtc() {
    std::uint8_t regs[RTC_REG_COUNT] = {};
    // Without a clock reading there is no time to set: running date with
    // made-up digits would only put a wrong time on the system.
    if (!rtc_read(regs)) return;
    shell_run(rtc_date_command(regs));
}

}  // namespace

std::string rtc_date_command(const std::uint8_t regs[7]) {
    return shell_format("date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n", regs[5] & 0x1F,
                        regs[4] & 0x3F, regs[2] & 0x3F, regs[1] & 0x7F, regs[6],
                        regs[0] & 0x7F);
}

void boot_main() {
    BootSettings& bs = g_boot_settings;

    install_interrupt_handler();
    i2c_open_buses();
    mtd_open_all();
    CRYPTO_libraryInit();
    read_bootloader_env();
    set_clock_from_rtc();
    shell_run("/bin/mount -t ubifs -o compr=none -o sync ubi0:user /user");
    install_discard_leftovers();
    if (!imgsign_load_system_keys()) {
        std::puts("WARNING - problem with security keys. No keys found");
    }

    if (bs.rescue) rescue_menu();
    if (bs.diags) diags_start();

    bs.usbPresent = nvram_get_usb_boot_enable() == NVRAM_USB_BOOT_ENABLED ? 1 : 0;
    if (bs.usbPresent && usb_wait_mount() < 0) bs.usbPresent = 0;

    int slot = 0;
    if (bs.usbPresent) {
        usb_install_boot_image();
        slot = usb_check_images();
        if (slot == 3) {
            std::printf("Booting image '%s' from USB stick.\n", kUsbOsImageName);
            boot_image_slot(3);
            std::puts("USB Boot failed. Trying flash images.");
            slot = 0;
        }
    }
    if (slot == 0) {
        slot = nvram_get_boot_slot();
        if (slot != 1 && slot != 2) slot = 1;
    }

    if (bs.gdbserver) mgmt_network_setup(true);

    std::printf("Booting image '%d'\n", slot);
    boot_image_slot(slot);

    const int other = slot == 1 ? 2 : 1;
    std::printf("Booting image '%d'\n", other);
    bs.secondAttempt = 1;
    boot_image_slot(other);

    reboot_board();
}
