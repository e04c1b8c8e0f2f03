// What the boot manager reads on the board, as boardsim names it for people:
// the boot-loader environment variables and the NVRAM map. One table each,
// used by "env set" (its typo warning), "status" and "boot --trace".
// docs/operator-guide.md sections 1 and 2 describe the same; the names are
// cross-checked against boot/settings.cpp by tests/tools/boardsim_map_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "board/nvram.h"

// A variable of the boot-loader environment that bootmgr reads.
struct EnvVariable {
    const char* name;    // without '='
    const char* values;  // what it takes, e.g. "on"
};

// Every name bootmgr looks for in the environment (boot/settings.cpp).
std::span<const EnvVariable> env_variables();

// True when bootmgr reads a variable of exactly this name.
bool env_variable_known(std::string_view name);

// The known name closest to `name` by edit distance when it is at most 2
// away (a typo), else an empty string.
std::string env_variable_suggestion(std::string_view name);

// A field of the board NVRAM, as docs/operator-guide.md section 2 maps it
// (addresses from bootmgr's board/nvram.h).
struct NvramField {
    std::uint16_t address;
    std::uint16_t length;
    const char* name;  // "bootSlot", "bootedImage", ...
};

std::span<const NvramField> nvram_fields();

// The field holding `address`, or null.
const NvramField* nvram_field_at(std::uint32_t address);

// Slot 1's trial byte in a trial-boot build with the default address
// (BOOTMGR_TRIAL_NVRAM); slot 2's is the next.
inline constexpr std::uint16_t kNvramTrial = 0x140;

// What a bootedImage value means: "slot 1", "slot 2", "USB OS image",
// "rescue partition", or "none" for any other value.
const char* booted_image_text(std::uint8_t value);
