#include "boot/build_options.h"

#ifndef BOOTMGR_VERIFY_AT_BOOT
#define BOOTMGR_VERIFY_AT_BOOT 0
#endif
#ifndef BOOTMGR_TRIAL_BOOT
#define BOOTMGR_TRIAL_BOOT 0
#endif
#ifndef BOOTMGR_TRIAL_ATTEMPTS
#define BOOTMGR_TRIAL_ATTEMPTS 3
#endif
#ifndef BOOTMGR_TRIAL_NVRAM
#define BOOTMGR_TRIAL_NVRAM 0x140
#endif

static_assert(BOOTMGR_TRIAL_ATTEMPTS >= 1 && BOOTMGR_TRIAL_ATTEMPTS <= 100,
              "BOOTMGR_TRIAL_ATTEMPTS must be 1 to 100");
static_assert(BOOTMGR_TRIAL_NVRAM >= 0 && BOOTMGR_TRIAL_NVRAM <= 0xFFFE,
              "BOOTMGR_TRIAL_NVRAM must leave room for two bytes in the 64 KiB NVRAM");

bool boot_verify_at_boot() { return BOOTMGR_VERIFY_AT_BOOT != 0; }
bool boot_trial_enabled() { return BOOTMGR_TRIAL_BOOT != 0; }
std::uint8_t boot_trial_attempts() { return BOOTMGR_TRIAL_ATTEMPTS; }
std::uint16_t boot_trial_nvram() { return BOOTMGR_TRIAL_NVRAM; }
