// Booting from the rescue partition: what the diagnostics start runs (the
// diags boot flag, or D in the rescue menu).
#pragma once

// Boots the first component of the rescue partition: a diagnostics image, or
// a recovery application that the operator may first copy into a slot.
// Returns 0 when the partition holds no usable image; otherwise launches and
// does not return.
int boot_rescue_partition();
