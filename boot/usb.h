// USB boot media: the stick at /mnt/usb, its boot, replacement and OS
// images, and the rejected list (/user/images/rejected/<md5>: an OS image
// boots unattended from the stick only once).
#pragma once

#include <cstddef>

inline constexpr const char* USB_MOUNT_DIR = "/mnt/usb";
inline constexpr const char* USB_MOUNT_MARKER = "/tmp/usb";
inline constexpr const char* USB_BOOT_IMAGE = "/mnt/usb/NPX7710_Boot.img";
inline constexpr const char* USB_REPLACE1_IMAGE = "/mnt/usb/NPX7710_replace1_OS.img";
inline constexpr const char* USB_REPLACE2_IMAGE = "/mnt/usb/NPX7710_replace2_OS.img";
inline constexpr const char* USB_OS_IMAGE = "/mnt/usb/NPX7710_OS.img";
inline constexpr const char* USB_REJECTED_DIR = "/user/images/rejected";
// The digest of the boot image last installed from a stick, so that a boot
// image left in the port is installed once and not at every start.
inline constexpr const char* USB_BOOT_INSTALLED = "/user/images/usb-boot-installed";
inline constexpr std::size_t IMAGE_MD5_TEXT = 33;  // 32 hex characters and a NUL

// Waits for the stick when BootSettings.usbPresent is set: up to 10 seconds
// for /tmp/usb, a dot per second. Returns 0 when it is ready (or USB is not
// enabled), -1 when the wait timed out ("USB mount timed out").
int usb_wait_mount();

// Installs the stick's boot image if there is one, unless it is the very
// file (by digest) installed from a stick before; reboots after a successful
// install, returns otherwise.
void usb_install_boot_image();

// Admission of the USB OS image at `path` before its boot: an image not yet
// in the rejected list is added to it and admitted; one already in the list
// is admitted only when the operator answers yes within five seconds.
// Returns true to go on.
bool usb_admit_os_image(const char* path);

// The slot choice the stick asks for: 0 nothing, 1 or 2 a replacement image
// was installed into that slot, 3 an OS image is on the stick.
int usb_check_images();

// The MD5 digest of the file at `path` as 32 lower-case hex characters and a
// NUL in `text` (at least IMAGE_MD5_TEXT bytes). Returns 1 when `text` holds
// such a digest, 0 otherwise (`text` then holds an empty string).
int image_md5(const char* path, char* text);

// 1 when the image at `path` is in the rejected list; 0 when it is not or its
// digest cannot be made (with a warning).
int is_image_rejected(const char* path);

// Adds the image at `path` to the rejected list (its marker file), creating
// the list's directory when needed. Warns when the digest cannot be made.
void reject_image(const char* path);
