// The image installer: takes one downloaded image file apart and puts each
// component where it belongs.
//
//   type            checked size     signed  written                  where
//   boot loader     payload <= 512K  no      payload                  mtd-uboot at 0, header
//                                                                     to /user/images/uboot-hdr
//   kernel          whole <= 8M      yes     whole component          mtd-kernel at 0
//   root fs         whole <= 10M     yes     whole component          mtd-rfs at 0
//   device tree     whole <= 256K    yes     whole component          mtd-devicetree at 0
//   diagnostics     whole <= 10M     no      whole component          mtd-rescue at 0
//   application     -                yes     whole component          /user/images/image<slot>
//   network app     -                no      payload                  /tmp/vel-image.gz
//
// Components are handled one at a time in the file's order, each checked
// (lengths against the file, CRC, size, signature with the component alone
// in memory, same version) before it is written and freed before the next
// is read. Other types are skipped. A failure ends the call; components
// written before it stay written.
#pragma once

inline constexpr const char* INSTALL_DOWNLOAD_PATH = "/tmp/image";
inline constexpr const char* INSTALL_VELTA_PATH = "/tmp/vel-image.gz";
inline constexpr const char* INSTALL_UBOOT_HEADER_PATH = "/user/images/uboot-hdr";

// Installs the components of the image file at `path`. With
// `skip_same_version`, components already installed in the same version are
// skipped. `slot` 1 or 2 is where an application goes; 0 asks the operator,
// whose answer then holds for the rest of the file (an empty answer to the
// application's question boots the download without storing it, and that
// road does not return). Returns 1 when at least one component was installed
// and no failure ended the call, else 0 ("ERROR: No valid image found" when
// the file held nothing installable). A slot file is replaced durably:
// "Image<N> updated succeeded", bootSlot and the image timestamp follow only
// a completed replacement, and a failure leaves the old file as it was.
int install_image(const char* path, bool skip_same_version, int slot);

// Creates /user/images (mode 0755) when it is missing; says so on the
// console when it cannot.
void install_images_dir();

// Removes what a write cut short by a power failure may have left beside the
// slot files (/user/images/image1.new, image2.new), so no half-written copy
// keeps taking flash space. Called at start-up once /user is mounted.
void install_discard_leftovers();
