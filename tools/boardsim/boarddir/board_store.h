// Offline access to a board directory's persistent state, used by the
// "new", "env" and "nvram" verbs while the board is not running.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/env_block.h"

inline constexpr std::uint32_t kSerialAddress = 0x000D;
inline constexpr std::size_t kSerialLength = 12;

// Makes a board in dir: board.conf, flash/NAME.bin erased to 0xFF, an empty
// environment block at the start of ubootenv, eeprom.bin erased to 0xFF with
// serial (exactly 12 printable ASCII characters) at 0x000D, empty user/ and
// tftp/, usb/ with the stick removed, an empty events.log. With force an
// existing board.conf is overwritten and the old flash, EEPROM, user/, usb/
// and events.log are replaced; without it an existing board is an error.
// Returns an empty string or a one-sentence error.
std::string board_create(const std::string& dir, const std::string& serial, bool force);

// Checks that images_dir holds the demo images board_install_demo needs.
// Returns an empty string or a one-sentence error naming the missing one.
std::string board_demo_check(const std::string& images_dir, bool developer);

// Fills a freshly made board with the demo images found in images_dir:
// image1.img and image2.img become /user/images/image1 and image2,
// rescue.img is programmed at offset 0 of the rescue partition, the root file
// system partition gets rfs-production.img (a production switch) or, for a
// developer switch, rfs-unsigned.img, and every *.img (gdb.img too) is copied
// to tftp/ for the rescue downloads. Returns an empty string or a
// one-sentence error (missing image, image too big).
std::string board_install_demo(const std::string& dir, const BoardConfig& cfg, const std::string& images_dir,
                               bool developer);

// Reads / writes the environment block (env_size bytes at offset 0 of
// flash/ubootenv.bin). Writing replaces the block as the boot loader does
// (erase, then program), leaving the rest of the partition alone.
std::string board_env_read(const std::string& dir, const BoardConfig& cfg, std::vector<std::uint8_t>& block);
std::string board_env_write(const std::string& dir, const BoardConfig& cfg, const std::vector<std::uint8_t>& block);

// EEPROM bytes; address + count must stay within 64 KiB.
std::string board_nvram_read(const std::string& dir, std::uint32_t address, std::uint32_t count,
                             std::vector<std::uint8_t>& out);
std::string board_nvram_write(const std::string& dir, std::uint32_t address, const std::vector<std::uint8_t>& bytes);

// One file on the USB stick: path relative to DIR/usb, size, MD5 digest as
// 32 lowercase hex digits (what the board's md5sum prints).
struct UsbFile {
    std::string path;
    std::uint64_t size = 0;
    std::string md5;
};

// The files under DIR/usb, sub-folders included, sorted by path. Returns an
// empty string or a one-sentence error (a file that cannot be read).
std::string board_usb_files(const std::string& dir, std::vector<UsbFile>& files);
