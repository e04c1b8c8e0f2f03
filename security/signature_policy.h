// Whether a component may be installed: its RSA signature (the last tag-3
// record of a version-3 header, over the SHA-256 of the payload) must verify
// against the production key; the development key counts on a switch that
// runs developer images or is in low security mode, and the operator may
// override a failure when both hold.
#pragma once

#include <cstddef>
#include <cstdint>

// `component` holds a whole component, header first, `len` bytes. Prints the
// verdict (" Image signature verified. " or " Image rejected. ", or the
// unsigned-image lines) and returns whether the component may be installed.
// A component whose lengths or records do not fit in `len` is rejected.
bool imgsign_check_image(const std::uint8_t* component, std::size_t len);

// The policy for a component without a signature: the operator decides on a
// switch that runs developer images and is in low security mode; otherwise
// " Image rejected as it has no signature".
bool imgsign_check_unsigned();

// True when the installed root file system (/dev/mtd-rfs) is unsigned or
// signed with the development key. The verdict, once reached, holds for the
// rest of the process.
bool imgsign_developer_images();
