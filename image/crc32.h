// Image CRC-32: the reflected CRC-32 (polynomial 0xEDB88320) as image
// components carry it. The register is returned as it stands after the last
// byte, with no final inversion: callers start it at 0xFFFFFFFF, and the
// result is then the bitwise complement of the usual CRC-32 of the same bytes
// (for "abc": 0xCADBBE3D, the complement of 0x352441C2).
//
// Two implementations give identical results:
//   - a portable table-driven one, correct on either byte order, always
//     available: long inputs run as four interleaved lanes joined at the end,
//     shorter ones 16 bytes per step;
//   - on x86-64, a carry-less-multiply (PCLMULQDQ) one, used by image_crc32
//     when the processor has it (checked once, at run time).
#pragma once

#include <cstddef>
#include <cstdint>

// Initial register value every caller of the image CRC uses.
inline constexpr std::uint32_t IMAGE_CRC_INIT = 0xFFFFFFFFu;

// Feeds `count` bytes at `data` into the register `crc` and returns the new
// register. `data` may be null only when `count` is 0. Chooses the fastest
// implementation the processor supports. Never fails.
std::uint32_t image_crc32(const std::uint8_t* data, std::size_t count, std::uint32_t crc);

// The portable table-driven implementation, same contract as image_crc32.
std::uint32_t image_crc32_portable(const std::uint8_t* data, std::size_t count,
                                   std::uint32_t crc);

// The bit-at-a-time definition, same contract; slow, kept as the reference
// the fast paths are tested against.
std::uint32_t image_crc32_bitwise(const std::uint8_t* data, std::size_t count,
                                  std::uint32_t crc);

// True when the carry-less-multiply implementation can run on this processor
// (always false off x86-64).
bool image_crc32_clmul_available();

// The carry-less-multiply implementation, same contract as image_crc32.
// Must only be called when image_crc32_clmul_available() is true; elsewhere
// it falls back to the portable code.
std::uint32_t image_crc32_clmul(const std::uint8_t* data, std::size_t count, std::uint32_t crc);
