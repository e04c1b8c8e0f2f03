// The persistent description of one emulated board: DIR/board.conf.
//
// board.conf is a key=value text file, one entry per line, '#' starts a
// comment. Keys written by board_config_save:
//   erase_size=65536              erase block of every flash partition
//   part.NAME=BYTES               one line per partition, in device order
//   env_size=16384                size of the boot-loader environment block
//   serial=TEXT                   serial number written by "new" (record only)
//   clock_offset=SECONDS          board clock = host clock + offset
//   clock_frozen=EPOCH            if present, the board clock stands still
//   usb=inserted|removed          whether DIR/usb is offered as the USB stick
//   usb_mount_after=SECONDS       the platform mounts the stick that many
//                                 seconds of board time after bootmgr starts
//                                 (absent: at once)
//   led_reg=0xNN                  board control register 0x11 at power-on
//   cable=plugged|unplugged       the management port's cable (network/uplink.h)
//   dhcp=on|off                   whether the port's peer answers DHCP too
//   fault.KEY=VALUE               injected faults (see board_fault_set)
// Unknown keys are kept and written back unchanged, so later versions can add
// entries without older tools losing them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct PartitionGeometry {
    std::string name;        // "uboot", "ubootenv", ... (device /dev/mtd-NAME)
    std::uint32_t size = 0;  // bytes, a multiple of the erase size
};

// Faults, parsed from the fault.* keys:
//   fault.flash.PART.read=BLOCK   reads touching erase block BLOCK fail (EIO);
//                                 BLOCK may be a comma-separated list
//   fault.flash.PART.short=BLOCK  reads touching BLOCK stop where it begins
//                                 (a short count, no error)
//   fault.flash.PART.erase=BLOCK  erases touching BLOCK fail (EIO)
//   fault.flash.PART.write=BLOCK  writes touching BLOCK fail (EIO)
//   fault.i2c.BUS=error           every transfer on the bus fails (EIO)
//   fault.i2c.BUS.ADDR=nack|error the device does not answer (ENXIO) or its
//                                 transfers fail (EIO); ADDR is 7-bit hex
//   fault.nvram.write=ADDR[,...]  NVRAM write cycles that store into one of
//                                 these (hex) addresses fail (EIO), as a worn
//                                 EEPROM cell would
//   fault.missing=DEV[,DEV...]    device files that do not exist (mtd-onie,
//                                 i2c-1, ...)
//   fault.power_cut_after=BYTES[@WHERE]
//                                 power fails once BYTES bytes of durable
//                                 writes (at WHERE only, when given) have
//                                 been stored in this run
//   fault.power_cut_at=KIND:N[@WHERE]
//                                 power fails at the Nth durable event of
//                                 KIND in this run (counting from 1; only
//                                 events at WHERE, when given); that event
//                                 does not take effect
// The durable events and their places are described at DurableKind and
// PowerPlace; devices/power.h tells how a cut is counted.
struct FlashFault {
    std::string partition;
    std::string op;          // "read", "short", "erase" or "write"
    std::uint32_t block = 0;
};

struct I2cFault {
    int bus = 0;
    int addr = -1;           // -1: the whole bus
    bool nack = false;       // true: ENXIO, false: EIO
};

// Every change of the board that outlives a power cut is one event of a
// kind, named as its line in events.log:
//   flash-write    one write(2) on an MTD device; carries its bytes
//   flash-erase    one MEMERASE request
//   nvram-write    one EEPROM byte (one per write cycle as bootmgr writes)
//   user-write     the writes through one open /user file up to its
//                  close(2); carries their bytes
//   user-create    a new file (or symbolic link) under /user
//   user-truncate  an ftruncate/truncate, or an open with O_TRUNC
//   user-rename, user-unlink, user-mkdir, user-rmdir
enum class DurableKind {
    flash_write, flash_erase, nvram_write, user_write, user_create, user_truncate,
    user_rename, user_unlink, user_mkdir, user_rmdir,
};
const char* durable_kind_name(DurableKind kind);

// Where an event happens, or which events a fault counts. As text (WHERE):
//   /user/PATH     that file, or that folder and everything under it
//                  (a rename is at both its old and its new name)
//   mtd-PART       that flash partition
//   nvram          the whole EEPROM; nvram:ADDR one byte (hex address)
// A place of area "any" (no @WHERE) holds every event.
struct PowerPlace {
    enum class Area { any, flash, nvram, user };
    Area area = Area::any;
    std::string name;        // flash: partition; user: "/user/..." path
    int address = -1;        // nvram: byte address, -1 = every byte
};

// True when the event place `event` lies within `where`.
bool power_place_holds(const PowerPlace& where, const PowerPlace& event);

// One power cut trigger from power_cut_after or power_cut_at.
struct PowerCutTrigger {
    std::string cause;       // the entry as written, "power_cut_at=user-rename:1"
    bool bytes = false;      // true: count bytes (power_cut_after); false: events
    DurableKind kind = DurableKind::flash_write;  // events of this kind only
    std::uint64_t count = 0; // BYTES, or N (>= 1)
    PowerPlace where;
};

struct BoardFaults {
    std::vector<FlashFault> flash;
    std::vector<I2cFault> i2c;
    std::vector<std::uint16_t> nvram_write;
    std::vector<std::string> missing;
    std::vector<PowerCutTrigger> power_cuts;   // at most one of each key
};

struct BoardConfig {
    std::uint32_t erase_size = 65536;
    std::vector<PartitionGeometry> partitions;
    std::uint32_t env_size = 16384;
    std::int64_t clock_offset = 0;
    std::optional<std::int64_t> clock_frozen;
    bool usb_inserted = false;
    double usb_mount_after = 0;  // seconds of board time; 0 = at once
    std::uint8_t led_reg = 0x00;
    bool cable_plugged = true;
    bool dhcp = false;
    std::map<std::string, std::string> entries;  // every key as read, faults included
};

// The partition table of the board, in the order the devices are listed.
std::vector<PartitionGeometry> board_default_partitions();

// Reads DIR/board.conf into cfg. Returns an empty string on success, else a
// one-sentence error (file missing, malformed line, bad number, bad geometry).
std::string board_config_load(const std::string& dir, BoardConfig& cfg);

// Writes cfg back to DIR/board.conf (via a temporary file and rename).
// Returns an empty string or a one-sentence error.
std::string board_config_save(const std::string& dir, const BoardConfig& cfg);

// Parses the fault.* entries of cfg.entries. Returns an empty string or an
// error naming the bad entry.
std::string board_faults_parse(const BoardConfig& cfg, BoardFaults& faults);

// Sets one fault entry "KEY=VALUE" (KEY without the "fault." prefix) in cfg,
// after checking that it parses. Returns an empty string or an error.
std::string board_fault_set(BoardConfig& cfg, const std::string& assignment);

// Number parsing shared by the command line: decimal, or hex with 0x.
bool parse_u64(const std::string& text, std::uint64_t& value);
bool parse_i64(const std::string& text, std::int64_t& value);

// A stick mount delay: decimal seconds, fractions allowed, 0 to kMaxMountAfter.
inline constexpr int kMaxMountAfter = 3600;
bool parse_seconds(const std::string& text, double& seconds);

// Paths inside a board directory.
// The board clock's time as the command line takes and shows it,
// "YYYY-MM-DDThh:mm:ss" in UTC. Parsing refuses other text and years outside
// 2000-2099 (the clock holds 20YY only).
bool board_time_parse(const std::string& text, std::int64_t& epoch);
std::string board_time_text(std::int64_t epoch);

std::string board_flash_path(const std::string& dir, const std::string& partition);
std::string board_eeprom_path(const std::string& dir);
std::string board_events_path(const std::string& dir);
