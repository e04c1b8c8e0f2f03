// USB boot media: the stick at /mnt/usb, its boot, replacement and OS
// images, and the rejected list.
#pragma once

// Waits for the stick when BootSettings.usbPresent is set. Returns 0 when it
// is ready (or USB is not enabled), -1 when the wait timed out.
int usb_wait_mount();

// Installs the stick's boot image if there is one; reboots after a
// successful install, returns otherwise.
void usb_install_boot_image();

// Admission of the USB OS image at `path` before its boot: an image not yet
// in the rejected list is added to it and admitted; one already in the list
// is admitted only when the operator answers yes. Returns true to go on.
bool usb_admit_os_image(const char* path);

// The slot choice the stick asks for: 0 nothing, 1 or 2 a replacement image
// was installed into that slot, 3 an OS image is on the stick.
int usb_check_images();
