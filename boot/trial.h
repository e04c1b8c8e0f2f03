// Trial boot (build option BOOTMGR_TRIAL_BOOT): an application newly written
// into a slot and made the boot slot is on trial for a number of starts, and
// unless it confirms itself (`bootmgr confirm`) before they are used up, the
// board returns to the other slot by itself.
//
// One NVRAM byte per slot (boot_trial_nvram() for slot 1, the next for
// slot 2), each change a single-byte write so a power cut leaves either the
// old or the new value:
//   1..N   on trial, that many starts left
//   0      on trial, no start left: the slot is given up at its next boot
//   other  not on trial (0xFF, the erased value, or confirmed)
// With the option off nothing here reads or writes NVRAM.
#pragma once

inline constexpr unsigned char TRIAL_CONFIRMED = 0xFF;

// Puts `slot` (1 or 2) on trial with boot_trial_attempts() starts. Called
// after the slot's file was written and before it becomes the boot slot.
void trial_start(int slot);

// At the start of `slot` (1 or 2) when the trial option is on: false when the
// slot may go on booting; true when it is on trial with no start left. It
// then prints "Image N was not confirmed; returning to image M.", notes it in
// the install log and makes M the boot slot (only when this is not already
// the second attempt: the other slot has failed then too).
bool trial_given_up(int slot, bool second_attempt);

// Uses one start of `slot` when it is on trial, just before the launch.
void trial_use_attempt(int slot);

// The verbs of `bootmgr` for the running system. Each prints one line and
// returns the process exit status: 0, or 1 when the NVRAM cannot be read.
// confirm: ends the trial of the image running now (bootedImage); does
// nothing when none runs. status: the boot slot, the image booted and each
// slot's trial state.
int trial_confirm_verb();
int trial_status_verb();
