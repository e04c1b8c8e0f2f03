// The application slots in /user: one whole image file per slot, written by
// the installer and read by the boot road, the rescue menu and the version
// report.
#pragma once

inline constexpr const char* IMAGES_DIR = "/user/images";
inline constexpr const char* SLOT_IMAGE1 = "/user/images/image1";
inline constexpr const char* SLOT_IMAGE2 = "/user/images/image2";

// The image file of slot 1 or 2; null for any other slot.
constexpr const char* slot_image_path(int slot) {
    return slot == 1 ? SLOT_IMAGE1 : slot == 2 ? SLOT_IMAGE2 : nullptr;
}
