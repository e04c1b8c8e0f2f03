// "boardsim status": what a board directory holds, read offline as the boot
// manager would see it at its next start. Images are read with the image
// format of the project (image/format.h), the environment with the boot
// manager's own reader (boot/settings.h), the NVRAM through its map
// (boarddir/board_map.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_store.h"

// One component of an image file, as the walk found it.
struct StatusComponent {
    std::uint64_t offset = 0;
    std::string type;        // "APPLICATION", ..., or the type word as 0x%08x
    std::string version;     // "1.0.0.1"
    int header_version = 0;
    std::uint64_t total_length = 0;
    std::string crc;         // "good", "bad", "unreadable"
    bool is_signed = false;  // a signature record (tag 3) in the header
};

// An image file (slot file) or the image at the start of a flash partition.
//   state: "missing"       no such file
//          "empty"         no complete header (an erased partition, a file of
//                          fewer than 24 bytes, or not an image at all)
//          "bad-lengths"   a component's lengths are impossible (the walk
//                          stops there)
//          "bad-crc"       a component's CRC does not match
//          "good"          every component sound
struct StatusImage {
    std::string name;        // "slot 1", "kernel", ...
    std::string path;        // board path (/user/images/image1) or mtd-NAME
    std::string state;
    std::uint64_t size = 0;  // bytes of the file (slots) or the partition
    std::string version;     // the installed version as bootmgr shows it ("V" of the rescue menu)
    std::vector<StatusComponent> components;
};

struct StatusNvram {
    std::uint8_t boot_slot = 0xFF;
    std::uint8_t booted_image = 0xFF;
    std::uint8_t usb_boot_enable = 0xFF;
    std::array<std::optional<std::string>, 2> timestamp;  // slot 1 and 2, "2026-12-07T09:47:05"; none when erased
    std::string serial;                       // printable characters, '?' for others; empty when unset
};

struct BoardStatus {
    std::string dir;
    std::vector<StatusImage> slots;        // slot 1, slot 2
    std::vector<StatusImage> partitions;   // uboot, devicetree, kernel, rfs, rescue (that order)
    StatusNvram nvram;
    std::vector<std::string> key_files;    // of production_key.pub.pem, development_key.pub.pem: those present
    std::vector<std::string> rejected;     // /user/images/rejected: USB OS images seen before
    std::vector<std::string> install_log;  // its last lines (at most kInstallLogTail)
    std::size_t install_log_lines = 0;
    bool env_crc_ok = false;
    EnvEntries env;
    // The environment as bootmgr reads it (boot/settings.cpp).
    bool gdb = false, gdbserver = false, shell = false, memchk = false, rescue = false, diags = false;
    bool lowsec_authorised = false;
    int gdbport = 1234;
    std::vector<std::pair<std::string, std::string>> faults;  // KEY (without "fault."), VALUE
    bool usb_inserted = false;
    double usb_mount_after = 0;
    std::vector<UsbFile> usb_files;
    std::string clock;                     // the board's time now, "2026-12-07T09:47:05"
    bool clock_frozen = false;
    bool cable_plugged = true;
    bool dhcp = false;
};

inline constexpr std::size_t kInstallLogTail = 5;

// Reads everything above from DIR. Returns an empty string or a one-sentence
// error (not a board, unreadable EEPROM or flash).
std::string board_status_read(const std::string& dir, BoardStatus& st);

// The status for people: one section per subject.
std::string board_status_text(const BoardStatus& st);

// The status as one JSON object (the format "boardsim status --help" documents).
std::string board_status_json(const BoardStatus& st);
