#include "image/versions.h"

#include <cstdio>
#include <cstring>

#include "board/mtd.h"
#include "byteorder.h"
#include "image/format.h"
#include "image/slot_files.h"

namespace {

// A partition always exists as a location; a failed read leaves `out` zero.
int read_partition(MtdPartition p, std::uint32_t offset, std::uint8_t out[16]) {
    mtd_read_partition(out, mtd_handle(p), offset, 16);
    return 1;
}

}  // namespace

int image_read_installed_header(std::uint32_t type, std::uint8_t out[16], int slot) {
    std::memset(out, 0, 16);
    switch (type & ~IMAGE_MAGIC_V2_FLAG) {
    case IMAGE_TYPE_APPLICATION: {
        const char* path = slot_image_path(slot);
        FILE* f = path ? std::fopen(path, "rb") : nullptr;
        if (!f) return 0;
        if (std::fread(out, 1, 16, f) != 16) std::memset(out, 0, 16);
        std::fclose(f);
        return 1;
    }
    case IMAGE_TYPE_UBOOT:
        return read_partition(MTD_UBOOT, UBOOT_HEADER_OFFSET, out);
    case IMAGE_TYPE_KERNEL:
        return read_partition(MTD_KERNEL, 0, out);
    case IMAGE_TYPE_RFS:
        return read_partition(MTD_RFS, 0, out);
    case IMAGE_TYPE_DFT:
        return read_partition(MTD_DEVICETREE, 0, out);
    case IMAGE_TYPE_DIAGS:
        return read_partition(MTD_RESCUE, 0, out);
    default:
        std::printf("Unknown image type 0x%x \n", type);
        return 0;
    }
}

bool image_same_version(const std::uint8_t basic[16], int slot) {
    const std::uint32_t type = load_be32(basic + 8) & ~IMAGE_MAGIC_V2_FLAG;
    std::uint8_t installed[16];
    if (!image_read_installed_header(type, installed, slot)) return false;
    const std::size_t from = type == IMAGE_TYPE_UBOOT ? 4 : 0;
    return std::memcmp(installed + from, basic + from, 16 - from) == 0;
}
