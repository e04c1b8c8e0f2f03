#include "tools/boardsim/devices/devices.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

static std::int64_t now_ns(const BoardDevices& d) { return d.now_ns ? d.now_ns() : monotonic_ns(); }

static std::int64_t wall_seconds(const BoardDevices& d) {
    if (d.wall_seconds) return d.wall_seconds();
    return static_cast<std::int64_t>(std::time(nullptr));
}

static void log_event(const BoardDevices& d, const char* kind, const std::string& fields) {
    if (d.log) event_log_write(*d.log, kind, fields);
}

std::string devices_open(BoardDevices& devices, const std::string& dir,
                         const BoardConfig& cfg, const BoardFaults& faults) {
    devices_close(devices);
    devices.faults = faults;
    for (const auto& p : cfg.partitions) {
        std::string path = board_flash_path(dir, p.name);
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(p.size)) {
            if (fd >= 0) ::close(fd);
            devices_close(devices);
            return "flash file " + path + " is missing or not " + std::to_string(p.size) + " bytes long.";
        }
        devices.flash.push_back({p.name, p.size, cfg.erase_size, fd});
    }
    std::string eeprom = board_eeprom_path(dir);
    devices.eeprom_fd = ::open(eeprom.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (devices.eeprom_fd < 0 || fstat(devices.eeprom_fd, &st) != 0 || st.st_size != kEepromSize) {
        devices_close(devices);
        return "EEPROM file " + eeprom + " is missing or not 65536 bytes long.";
    }
    devices.ctl_regs[kLedRegister] = cfg.led_reg;
    devices.clock_offset = cfg.clock_offset;
    devices.clock_is_frozen = cfg.clock_frozen.has_value();
    devices.clock_frozen = cfg.clock_frozen.value_or(0);
    return {};
}

void devices_close(BoardDevices& devices) {
    for (auto& p : devices.flash)
        if (p.fd >= 0) ::close(p.fd);
    devices.flash.clear();
    if (devices.eeprom_fd >= 0) ::close(devices.eeprom_fd);
    devices.eeprom_fd = -1;
}

int devices_find_partition(const BoardDevices& devices, const std::string& name) {
    for (std::size_t i = 0; i < devices.flash.size(); ++i)
        if (devices.flash[i].name == name) return static_cast<int>(i);
    return -1;
}

// --- flash ---------------------------------------------------------------

static bool flash_faulty(const BoardDevices& d, int part, const char* op,
                         std::uint64_t offset, std::uint64_t len) {
    if (len == 0) return false;
    const auto& p = d.flash[part];
    std::uint64_t first = offset / p.erase_size, last = (offset + len - 1) / p.erase_size;
    for (const auto& f : d.faults.flash)
        if (f.partition == p.name && f.op == op && f.block >= first && f.block <= last) return true;
    return false;
}

FlashInfo flash_info(const BoardDevices& devices, int part) {
    const auto& p = devices.flash[part];
    return FlashInfo{MTD_NORFLASH, MTD_CAP_NORFLASH, p.size, p.erase_size, 1, 0};
}

long flash_read(BoardDevices& d, int part, std::uint64_t offset, std::uint8_t* buf, std::size_t len) {
    const auto& p = d.flash[part];
    if (offset >= p.size) return 0;
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, p.size - offset));
    if (flash_faulty(d, part, "read", offset, len)) return -EIO;
    for (const auto& f : d.faults.flash) {
        const std::uint64_t start = static_cast<std::uint64_t>(f.block) * p.erase_size;
        if (f.partition == p.name && f.op == "short" && start < offset + len && offset < start + p.erase_size)
            len = start > offset ? static_cast<std::size_t>(start - offset) : 0;
    }
    ssize_t n = ::pread(p.fd, buf, len, static_cast<off_t>(offset));
    return n < 0 ? -EIO : static_cast<long>(n);
}

// Asks for power for a durable event of the device models: the number of
// bytes that may be stored, -1 with the power off. Without a power model
// every byte gets power.
static long draw(BoardDevices& d, const DurableEvent& event, bool& fails) {
    fails = false;
    return d.power ? power_draw(*d.power, event, &fails) : static_cast<long>(event.bytes);
}

static void fail(BoardDevices& d, const DurableEvent& event, const std::string& fields) {
    if (d.power) power_fail(*d.power, event, fields);
}

static PowerPlace flash_place(const FlashPartitionState& p) {
    return {PowerPlace::Area::flash, p.name, -1};
}

long flash_write(BoardDevices& d, int part, std::uint64_t offset, const std::uint8_t* buf, std::size_t len) {
    const auto& p = d.flash[part];
    if (d.power && power_is_off(*d.power)) return -EIO;
    if (len == 0) return 0;
    if (offset >= p.size) return -ENOSPC;
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, p.size - offset));
    if (flash_faulty(d, part, "write", offset, len)) {
        log_event(d, "flash-fault", ",\"partition\":" + json_string(p.name) + ",\"op\":\"write\",\"offset\":" +
                                        json_hex(offset) + ",\"length\":" + std::to_string(len));
        return -EIO;
    }
    const DurableEvent event{DurableKind::flash_write, flash_place(p), {}, len, true};
    bool cut = false;
    const long granted = draw(d, event, cut);
    if (granted < 0) return -EIO;
    const auto todo = static_cast<std::size_t>(granted);
    if (todo > 0) {
        std::vector<std::uint8_t> old(todo);
        if (::pread(p.fd, old.data(), todo, static_cast<off_t>(offset)) != static_cast<ssize_t>(todo)) return -EIO;
        for (std::size_t i = 0; i < todo; ++i) old[i] &= buf[i];  // NOR: only 1 -> 0
        if (::pwrite(p.fd, old.data(), todo, static_cast<off_t>(offset)) != static_cast<ssize_t>(todo)) return -EIO;
        log_event(d, "flash-write", ",\"partition\":" + json_string(p.name) + ",\"offset\":" +
                                        json_hex(offset) + ",\"length\":" + std::to_string(todo));
    }
    if (cut) {
        fail(d, event, ",\"partition\":" + json_string(p.name) + ",\"offset\":" + json_hex(offset + todo));
        return -EIO;
    }
    return static_cast<long>(todo);
}

int flash_erase(BoardDevices& d, int part, std::uint32_t start, std::uint32_t length) {
    const auto& p = d.flash[part];
    if (start >= p.size || length > p.size - start) return -EINVAL;
    if (start % p.erase_size != 0 || length % p.erase_size != 0) return -EINVAL;
    if (length == 0) return 0;
    if (d.power && power_is_off(*d.power)) return -EIO;
    if (flash_faulty(d, part, "erase", start, length)) {
        log_event(d, "flash-fault", ",\"partition\":" + json_string(p.name) + ",\"op\":\"erase\",\"offset\":" +
                                        json_hex(start) + ",\"length\":" + std::to_string(length));
        return -EIO;
    }
    const DurableEvent event{DurableKind::flash_erase, flash_place(p), {}, 0, true};
    bool cut = false;
    if (draw(d, event, cut) < 0) return -EIO;
    if (cut) {
        fail(d, event, ",\"partition\":" + json_string(p.name) + ",\"offset\":" + json_hex(start));
        return -EIO;
    }
    std::vector<std::uint8_t> ff(p.erase_size, 0xFF);
    for (std::uint32_t off = start; off < start + length; off += p.erase_size)
        if (::pwrite(p.fd, ff.data(), ff.size(), off) != static_cast<ssize_t>(ff.size())) return -EIO;
    log_event(d, "flash-erase", ",\"partition\":" + json_string(p.name) + ",\"offset\":" +
                                    json_hex(start) + ",\"length\":" + std::to_string(length));
    return 0;
}

// --- I2C -----------------------------------------------------------------

enum class I2cTarget { none, mux, eeprom, boardctl, rtc };

static I2cTarget i2c_target(const BoardDevices& d, int bus, int addr) {
    if (bus == 0 && addr == kMuxAddr) return I2cTarget::mux;
    if (bus == 0 && addr == kEepromAddr && (d.mux_mask & 0x01)) return I2cTarget::eeprom;
    if (bus == 0 && addr == kBoardCtlAddr) return I2cTarget::boardctl;
    if (bus == 2 && addr == kRtcAddr) return I2cTarget::rtc;
    return I2cTarget::none;
}

// 0 when no fault applies, else the negative errno of the fault.
static int i2c_fault(const BoardDevices& d, int bus, int addr) {
    for (const auto& f : d.faults.i2c)
        if (f.bus == bus && (f.addr < 0 || f.addr == addr)) return f.nack ? -ENXIO : -EIO;
    return 0;
}

static std::uint8_t bcd(int v) { return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10)); }
static int from_bcd(std::uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }

void rtc_registers(std::int64_t epoch, std::uint8_t regs[7]) {
    std::time_t t = static_cast<std::time_t>(epoch);
    struct tm tm {};
    gmtime_r(&t, &tm);
    regs[0] = bcd(tm.tm_sec);
    regs[1] = bcd(tm.tm_min);
    regs[2] = bcd(tm.tm_hour);
    regs[3] = static_cast<std::uint8_t>(tm.tm_wday + 1);
    regs[4] = bcd(tm.tm_mday);
    regs[5] = bcd(tm.tm_mon + 1);
    regs[6] = bcd(tm.tm_year % 100);
}

static std::int64_t board_epoch(const BoardDevices& d) {
    return d.clock_is_frozen ? d.clock_frozen : wall_seconds(d) + d.clock_offset;
}

// A write to the time registers sets the board clock, as on a real RTC: the
// registers as they would read now are patched and turned back into an epoch.
static void rtc_store(BoardDevices& d, std::uint8_t reg, std::uint8_t value) {
    if (reg >= 8) {
        if (reg < 64) d.rtc_ram[reg] = value;
        return;
    }
    if (reg == 7) return;  // control register: accepted, no effect
    std::uint8_t regs[7];
    rtc_registers(board_epoch(d), regs);
    regs[reg] = value;
    struct tm tm {};
    tm.tm_sec = from_bcd(regs[0] & 0x7F);
    tm.tm_min = from_bcd(regs[1] & 0x7F);
    tm.tm_hour = from_bcd(regs[2] & 0x3F);
    tm.tm_mday = from_bcd(regs[4] & 0x3F);
    tm.tm_mon = from_bcd(regs[5] & 0x1F) - 1;
    tm.tm_year = 100 + from_bcd(regs[6]);
    std::int64_t set = static_cast<std::int64_t>(timegm(&tm));
    if (d.clock_is_frozen) d.clock_frozen = set;
    else d.clock_offset = set - wall_seconds(d);
}

long i2c_write(BoardDevices& d, int bus, int addr, const std::uint8_t* buf, std::size_t len) {
    if (int f = i2c_fault(d, bus, addr)) return f;
    switch (i2c_target(d, bus, addr)) {
    case I2cTarget::none:
        return -ENXIO;
    case I2cTarget::mux:
        if (len > 0) d.mux_mask = buf[len - 1];
        return static_cast<long>(len);
    case I2cTarget::eeprom: {
        if (now_ns(d) < d.eeprom_busy_until_ns) return -ENXIO;
        if (len == 0) return 0;
        if (len == 1) {
            d.eeprom_ptr = static_cast<std::uint16_t>((buf[0] << 8) | (d.eeprom_ptr & 0xFF));
            return 1;
        }
        d.eeprom_ptr = static_cast<std::uint16_t>((buf[0] << 8) | buf[1]);
        if (len == 2) return 2;
        // A write cycle: bytes go into the page of the address, wrapping at
        // the page boundary like the real part's address counter.
        std::uint32_t page = d.eeprom_ptr & ~(kEepromPage - 1);
        std::uint32_t col = d.eeprom_ptr & (kEepromPage - 1);
        for (std::size_t i = 2; i < len; ++i) {
            const std::uint32_t cell = page + ((col + i - 2) & (kEepromPage - 1));
            for (std::uint16_t bad : d.faults.nvram_write)
                if (bad == cell) return -EIO;
        }
        for (std::size_t i = 2; i < len; ++i) {
            std::uint32_t a = page + col;
            const DurableEvent event{DurableKind::nvram_write, {PowerPlace::Area::nvram, {}, static_cast<int>(a)}, {},
                                     1, true};
            bool cut = false;
            if (draw(d, event, cut) < 0) return -EIO;
            if (cut) {
                // The cycle stops here: the bytes before this one are stored.
                fail(d, event, ",\"address\":" + json_hex(a));
                return -EIO;
            }
            if (::pwrite(d.eeprom_fd, &buf[i], 1, a) != 1) return -EIO;
            log_event(d, "nvram-write", ",\"address\":" + json_hex(a) + ",\"value\":" + std::to_string(buf[i]));
            col = (col + 1) & (kEepromPage - 1);
        }
        d.eeprom_ptr = static_cast<std::uint16_t>(page + col);
        d.eeprom_busy_until_ns = now_ns(d) + kEepromBusyNs;
        return static_cast<long>(len);
    }
    case I2cTarget::boardctl:
        if (len == 0) return 0;
        d.ctl_ptr = buf[0];
        for (std::size_t i = 1; i < len; ++i) {
            d.ctl_regs[d.ctl_ptr] = buf[i];
            if (d.ctl_ptr == kLedRegister) log_event(d, "led", ",\"value\":" + std::to_string(buf[i]));
            d.ctl_ptr = static_cast<std::uint8_t>(d.ctl_ptr + 1);
        }
        return static_cast<long>(len);
    case I2cTarget::rtc:
        if (len == 0) return 0;
        d.rtc_ptr = buf[0] & 0x3F;
        for (std::size_t i = 1; i < len; ++i) {
            rtc_store(d, d.rtc_ptr, buf[i]);
            d.rtc_ptr = static_cast<std::uint8_t>((d.rtc_ptr + 1) & 0x3F);
        }
        return static_cast<long>(len);
    }
    return -ENXIO;
}

long i2c_read(BoardDevices& d, int bus, int addr, std::uint8_t* buf, std::size_t len) {
    if (int f = i2c_fault(d, bus, addr)) return f;
    switch (i2c_target(d, bus, addr)) {
    case I2cTarget::none:
        return -ENXIO;
    case I2cTarget::mux:
        std::memset(buf, d.mux_mask, len);
        return static_cast<long>(len);
    case I2cTarget::eeprom:
        if (now_ns(d) < d.eeprom_busy_until_ns) return -ENXIO;
        for (std::size_t i = 0; i < len; ++i) {
            if (::pread(d.eeprom_fd, &buf[i], 1, d.eeprom_ptr) != 1) return -EIO;
            d.eeprom_ptr = static_cast<std::uint16_t>(d.eeprom_ptr + 1);  // wraps at 64 KiB
        }
        return static_cast<long>(len);
    case I2cTarget::boardctl:
        for (std::size_t i = 0; i < len; ++i) {
            buf[i] = d.ctl_regs[d.ctl_ptr];
            d.ctl_ptr = static_cast<std::uint8_t>(d.ctl_ptr + 1);
        }
        return static_cast<long>(len);
    case I2cTarget::rtc: {
        std::uint8_t regs[7];
        rtc_registers(board_epoch(d), regs);
        for (std::size_t i = 0; i < len; ++i) {
            std::uint8_t r = d.rtc_ptr;
            buf[i] = r < 7 ? regs[r] : r == 7 ? 0 : d.rtc_ram[r];
            d.rtc_ptr = static_cast<std::uint8_t>((d.rtc_ptr + 1) & 0x3F);
        }
        return static_cast<long>(len);
    }
    }
    return -ENXIO;
}
