#include "boot/usb.h"

// USB media handling is not built yet: the stick is reported as not ready,
// so the boot road goes on from the board's own slots.

int usb_wait_mount() { return -1; }

void usb_install_boot_image() {}

int usb_check_images() { return 0; }

bool usb_admit_os_image(const char*) { return false; }
