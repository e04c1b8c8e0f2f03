// Whether slot boots check signatures: a build setting, kept in a file of
// its own so that a second bootmgr with the other setting can be linked
// from the same library.
#include "boot/slot.h"

#ifndef BOOTMGR_VERIFY_AT_BOOT
#define BOOTMGR_VERIFY_AT_BOOT 0
#endif

bool boot_verify_at_boot() { return BOOTMGR_VERIFY_AT_BOOT != 0; }
