// The board's hardware models, independent of how they are reached (FUSE in
// boardsim, direct calls in the tests). Every operation returns a count or a
// negative errno, exactly as the matching Linux driver would report it.
//
// Flash: NOR partitions backed by DIR/flash/NAME.bin. Erase sets 0xFF and
// needs erase-block-aligned start and length (EINVAL otherwise, like the
// MTD layer); programming can only clear bits (stored = old AND new).
// Reads and writes past the end are clipped like the MTD char device; a
// write starting at the end gives ENOSPC.
//
// Flash writes and erases and EEPROM bytes draw power (devices/power.h):
// with the power off they fail with EIO; a write the power fails within
// stores the bytes that got power and fails with EIO.
//
// I2C: three buses. Bus 0: multiplexer 0x71 (one control byte, bit 0 =
// channel 0), EEPROM 0x52 behind channel 0 (64 KiB, 16-bit address, 128-byte
// pages that wrap like the real part, busy - ENXIO - for a few milliseconds
// after a write cycle), board control device 0x58 (256 one-byte registers,
// 1-byte register pointer, 0x11 is the LED register). Bus 2: real-time clock
// 0x68 (BCD registers 0..6 from the host clock + offset or a frozen time,
// 56 bytes of RAM at 0x08..0x3F). Bus 1: nothing. An address with no device
// answers ENXIO, as i2c-dev reports a NACK.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/event_log.h"
#include "tools/boardsim/devices/power.h"

inline constexpr int kEepromAddr = 0x52;
inline constexpr int kMuxAddr = 0x71;
inline constexpr int kBoardCtlAddr = 0x58;
inline constexpr int kRtcAddr = 0x68;
inline constexpr std::uint8_t kLedRegister = 0x11;
inline constexpr std::uint32_t kEepromSize = 65536;
inline constexpr std::uint32_t kEepromPage = 128;
inline constexpr std::int64_t kEepromBusyNs = 5'000'000;

struct FlashPartitionState {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t erase_size = 0;
    int fd = -1;  // backing file, owned
};

struct BoardDevices {
    std::vector<FlashPartitionState> flash;
    BoardFaults faults;
    const EventLog* log = nullptr;       // not owned; may be null

    int eeprom_fd = -1;                  // backing file, owned
    std::uint8_t mux_mask = 0;
    std::uint16_t eeprom_ptr = 0;
    std::int64_t eeprom_busy_until_ns = 0;

    std::uint8_t ctl_regs[256] = {};
    std::uint8_t ctl_ptr = 0;

    std::uint8_t rtc_ptr = 0;
    std::uint8_t rtc_ram[64] = {};
    std::int64_t clock_offset = 0;       // seconds added to the host clock
    bool clock_is_frozen = false;
    std::int64_t clock_frozen = 0;       // epoch seconds when frozen

    Power* power = nullptr;              // not owned; null: the power never fails

    // Clock source for the EEPROM busy time and the RTC; tests replace it.
    std::int64_t (*now_ns)() = nullptr;        // monotonic; null = real
    std::int64_t (*wall_seconds)() = nullptr;  // epoch; null = real
};

// Opens the backing files of DIR for the configuration. Returns an empty
// string or an error naming the file. On error, devices holds no open files.
std::string devices_open(BoardDevices& devices, const std::string& dir,
                         const BoardConfig& cfg, const BoardFaults& faults);
void devices_close(BoardDevices& devices);

// Index of the partition called name in devices.flash, or -1.
int devices_find_partition(const BoardDevices& devices, const std::string& name);

// MTD. part is an index into devices.flash.
struct FlashInfo {
    std::uint8_t type;
    std::uint32_t flags, size, erasesize, writesize, oobsize;
};
FlashInfo flash_info(const BoardDevices& devices, int part);
long flash_read(BoardDevices& devices, int part, std::uint64_t offset,
                std::uint8_t* buf, std::size_t len);
long flash_write(BoardDevices& devices, int part, std::uint64_t offset,
                 const std::uint8_t* buf, std::size_t len);
int flash_erase(BoardDevices& devices, int part, std::uint32_t start, std::uint32_t length);

// I2C, one transfer each (what one read(2)/write(2) on i2c-dev does).
// addr is the 7-bit address set with I2C_SLAVE, or -1 when none was set.
long i2c_write(BoardDevices& devices, int bus, int addr, const std::uint8_t* buf, std::size_t len);
long i2c_read(BoardDevices& devices, int bus, int addr, std::uint8_t* buf, std::size_t len);

// The seven clock registers for an epoch time (BCD, 24-hour, weekday 1 =
// Sunday, year within the century).
void rtc_registers(std::int64_t epoch, std::uint8_t regs[7]);
