// Loading an image slot: find the application component, check it and hand
// its archive to the launch.
#pragma once

// Boots slot 1 or 2 (/user/images/image1, image2) or 3 (the USB OS image).
// Returns 0 on failure; on success launches and does not return.
int boot_image_slot(int slot);

// Boots the image of the rescue partition. Returns 0 when it holds no usable
// image; otherwise launches and does not return.
int boot_rescue_partition();
