// Loading an image: find the application component of a slot file or the
// USB OS image, check its CRC, write its archive to
// /tmp/runosimage.tar.gz and hand over to the launch.
#pragma once

#include <cstdint>

#include "image/format.h"

// The component find_app_image stops at.
struct FoundComponent {
    ImageComponent component;     // offset, parsed header, magic type
    std::uint32_t type;           // after the alternative-type record, bit 31 clear
    std::uint8_t basic[16];       // crc, len, magic, id as stored
};

// Walks the components of `source` from offset 0 to the first APPLICATION or
// DIAGS component (the alternative-type record of a version-3 header counts;
// a zero-length record prints "Image header error"). Returns 1 with *found
// filled, or 0 when the end was reached first or a component's lengths are
// impossible (which is reported on standard error and ends the walk).
// *last_magic receives the magic word of the last header examined (0 when
// there was no complete header).
int find_app_image(const ImageSource& source, FoundComponent* found, std::uint32_t* last_magic);

// Boots slot 1 or 2 (/user/images/image1, image2) or 3 (the USB OS image).
// Returns 0 on the failures that leave the choice to the caller; launches and
// does not return on success; ends in rescue mode, a shell and a reboot where
// no other slot is left. Any other slot number returns 0 at once.
int boot_image_slot(int slot);

// Copies the debugger (the first component of the other slot, an APPLICATION
// whose payload is the gzip-compressed debugger) to /tmp/gdb. Returns 1 when
// /tmp/gdb was produced, 0 otherwise (slot 3 has no other slot).
int extract_gdb(int slot);
