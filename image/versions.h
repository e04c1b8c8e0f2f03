// What is installed now, by component type: the first 16 header bytes of the
// slot file or flash partition that holds that type, and the same-version
// test the installer skips on.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t UBOOT_HEADER_OFFSET = 240;  // in the boot-loader payload

// Clears `out` and reads the 16 installed bytes for `type` (bit 31 ignored):
// the application from /user/images/image<slot>, the boot loader from offset
// 240 of its partition, kernel, root file system, device tree and
// diagnostics from offset 0 of theirs. Returns 1 when the location exists
// (for a partition also when its read failed; `out` then stays zero), 0 when
// the slot file cannot be opened, and 0 after printing "Unknown image type
// 0x%x " for any other type.
int image_read_installed_header(std::uint32_t type, std::uint8_t out[16], int slot);

// True when the component whose 16 basic header bytes are `basic` is already
// installed (for `slot` when it is an application): bytes 4-15 equal for the
// boot loader, all 16 bytes equal otherwise. False when the lookup fails.
bool image_same_version(const std::uint8_t basic[16], int slot);
