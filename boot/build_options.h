// Build settings of the boot manager that change its behaviour, kept in one
// small file of their own (build_options.cpp) so that the tests can link a
// second bootmgr with other settings from the same library.
#pragma once

#include <cstdint>

// -DBOOTMGR_VERIFY_AT_BOOT=ON: the slot boot applies the installer's
// signature policy to the application component before unpacking it, and a
// refusal fails the slot like a bad CRC (the other slot, then the rescue
// road).
bool boot_verify_at_boot();

// -DBOOTMGR_TRIAL_BOOT=ON: an application newly written into a slot boots on
// trial and the board returns to the other slot by itself unless the
// application confirms it (see boot/trial.h).
bool boot_trial_enabled();

// -DBOOTMGR_TRIAL_ATTEMPTS=N (default 3): starts a slot on trial gets.
std::uint8_t boot_trial_attempts();

// -DBOOTMGR_TRIAL_NVRAM=ADDR (default 0x140): the board NVRAM address of
// slot 1's trial byte; slot 2's is the next one. Other software on a board
// may use NVRAM too, so the place is a build setting.
std::uint16_t boot_trial_nvram();
