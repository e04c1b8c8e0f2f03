// Low security mode (developer-signed images accepted too) and the
// physical-presence test that enters and leaves it by counting blinks of the
// location LED; the key wipe of the rescue menu.
#pragma once

#include <cstdint>

inline constexpr const char* LOWSEC_MARKER = "/tmp/lowsec";

// True when the boot loader grants the mode (then prints "NOTE: Uboot low
// security mode override enabled" on every call) or the marker exists.
bool lowsec_active();

// On: creates the marker afresh with its 9 bytes ("plovimar\n"), replacing
// whatever was at its path and never following a link; off: removes it (a
// missing marker is no error). Returns whether the marker is now as asked.
bool lowsec_set(bool on);

// Enters or leaves low security mode on the operator's word. Returns 1 when
// the mode was switched or deliberately kept, 0 when the operator declined,
// an interrupt ended the test or the marker could not be made. Three wrong
// answers reboot the board.
int physical_presence_test();

// Asks for confirmation and removes the stored system keys (/user/*.pem).
// Returns 1.
int wipe_system_keys();

// Most blinks an attempt can show; every attempt lasts this many periods.
inline constexpr int LOWSEC_MAX_BLINKS = 14;

// A blink count drawn uniformly from 1 .. LOWSEC_MAX_BLINKS with the crypto
// library's global generator (initialising the library if need be), so that
// nothing an operator at a remote console can see (the clock, earlier
// counts) predicts it. 0 when the generator cannot give a number.
int lowsec_draw_blink_count();
