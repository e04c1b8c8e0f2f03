// Low security mode (developer-signed images accepted too) and the
// physical-presence test that enters and leaves it by counting blinks of the
// location LED; the key wipe of the rescue menu.
#pragma once

#include <cstdint>

inline constexpr const char* LOWSEC_MARKER = "/tmp/lowsec";

// True when the boot loader grants the mode (then prints "NOTE: Uboot low
// security mode override enabled" on every call) or the marker exists.
bool lowsec_active();

// On: creates the marker with its 9 bytes ("plovimar\n"); off: removes it (a
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

// The number of blinks for a clock seconds register (BCD, bit 7 included as
// read): the sum of its two digits, at least 1.
int lowsec_blink_count(std::uint8_t seconds_register);
