// The boot loader's environment block, as stored at the start of the
// ubootenv partition:
//   bytes 0..3   CRC-32 (IEEE 802.3, as zlib computes it) of the data area,
//                stored little-endian as the boot loader writes it;
//   bytes 4..    the data area: NAME=VALUE entries, each ended by a NUL, a
//                further NUL after the last one, zero padding to the end.
// The block is env_size bytes long; the data area is env_size - 4 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

using EnvEntries = std::vector<std::pair<std::string, std::string>>;

std::uint32_t crc32_ieee(std::span<const std::uint8_t> data);

// Builds a block of block_size bytes from the entries, in their order.
// Returns false (block untouched) when block_size < 6 or the entries do not
// fit, or when a name is empty or holds '=' or NUL, or a value holds NUL.
bool env_encode(const EnvEntries& entries, std::size_t block_size,
                std::vector<std::uint8_t>& block);

// Splits a block into entries. crc_ok tells whether the stored CRC matches.
// Parsing stops at the first empty entry (double NUL) or the end of the
// data area; a fragment without '=' is kept as a name with an empty value
// and reported through malformed. Returns false when the block is < 5 bytes.
bool env_decode(std::span<const std::uint8_t> block, EnvEntries& entries,
                bool& crc_ok, bool& malformed);

// Sets NAME to VALUE, replacing the first entry of that name in place (and
// dropping later duplicates) or appending a new entry.
void env_set(EnvEntries& entries, const std::string& name, const std::string& value);

// Removes every entry named NAME; returns true if there was one.
bool env_unset(EnvEntries& entries, const std::string& name);
