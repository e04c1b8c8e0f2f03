#include "tools/boardsim/boarddir/board_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "strformat.h"

std::vector<PartitionGeometry> board_default_partitions() {
    return {
        {"uboot", 512u * 1024},     {"ubootenv", 128u * 1024},
        {"devicetree", 256u * 1024}, {"kernel", 8u * 1024 * 1024},
        {"rfs", 10u * 1024 * 1024}, {"rescue", 10u * 1024 * 1024},
        {"onie", 1u * 1024 * 1024},
    };
}

bool parse_u64(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

bool parse_i64(const std::string& text, std::int64_t& value) {
    if (text.empty() || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

std::string board_flash_path(const std::string& dir, const std::string& partition) {
    return dir + "/flash/" + partition + ".bin";
}
std::string board_eeprom_path(const std::string& dir) { return dir + "/eeprom.bin"; }
std::string board_events_path(const std::string& dir) { return dir + "/events.log"; }

static std::string load_u32(const std::string& key, const std::string& text,
                            std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!parse_u64(text, v) || v > 0xFFFFFFFFu)
        return "board.conf: " + key + " is not a 32-bit number: " + text;
    out = static_cast<std::uint32_t>(v);
    return {};
}

bool parse_seconds(const std::string& text, double& seconds) {
    if (text.empty() || text[0] == ' ') return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= 0 && v <= kMaxMountAfter)) return false;
    seconds = v;
    return true;
}

std::string board_config_load(const std::string& dir, BoardConfig& cfg) {
    std::ifstream in(dir + "/board.conf");
    if (!in) return dir + " is not a board directory (no readable board.conf); make one with \"boardsim new " + dir + "\".";
    cfg = BoardConfig{};
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (line.empty() || line[0] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            return "board.conf line " + std::to_string(lineno) + " is not KEY=VALUE: " + line;
        cfg.entries[line.substr(0, eq)] = line.substr(eq + 1);
        std::string key = line.substr(0, eq), val = line.substr(eq + 1);
        std::string err;
        if (key == "erase_size") {
            err = load_u32(key, val, cfg.erase_size);
        } else if (key.rfind("part.", 0) == 0) {
            PartitionGeometry p{key.substr(5), 0};
            err = load_u32(key, val, p.size);
            if (p.name.empty() || p.name.find('/') != std::string::npos)
                err = "board.conf: bad partition name in " + key;
            cfg.partitions.push_back(p);
        } else if (key == "env_size") {
            err = load_u32(key, val, cfg.env_size);
        } else if (key == "clock_offset") {
            if (!parse_i64(val, cfg.clock_offset)) err = "board.conf: clock_offset is not a number: " + val;
        } else if (key == "clock_frozen") {
            std::int64_t v = 0;
            if (!val.empty()) {
                if (!parse_i64(val, v)) err = "board.conf: clock_frozen is not a number: " + val;
                cfg.clock_frozen = v;
            }
        } else if (key == "usb") {
            if (val != "inserted" && val != "removed") err = "board.conf: usb must be inserted or removed";
            cfg.usb_inserted = val == "inserted";
        } else if (key == "usb_mount_after") {
            if (!parse_seconds(val, cfg.usb_mount_after))
                err = "board.conf: usb_mount_after must be seconds from 0 to " + std::to_string(kMaxMountAfter);
        } else if (key == "cable") {
            if (val != "plugged" && val != "unplugged") err = "board.conf: cable must be plugged or unplugged";
            cfg.cable_plugged = val == "plugged";
        } else if (key == "dhcp") {
            if (val != "on" && val != "off") err = "board.conf: dhcp must be on or off";
            cfg.dhcp = val == "on";
        } else if (key == "led_reg") {
            std::uint32_t v = 0;
            err = load_u32(key, val, v);
            if (err.empty() && v > 0xFF) err = "board.conf: led_reg must be a byte";
            cfg.led_reg = static_cast<std::uint8_t>(v);
        }
        if (!err.empty()) return err;
    }
    if (cfg.erase_size == 0 || (cfg.erase_size & (cfg.erase_size - 1)) != 0)
        return "board.conf: erase_size must be a power of two.";
    if (cfg.partitions.empty()) return "board.conf: no partitions (part.NAME=BYTES).";
    for (const auto& p : cfg.partitions) {
        if (p.size == 0 || p.size % cfg.erase_size != 0)
            return "board.conf: partition " + p.name + " is not a whole number of erase blocks.";
        if (p.name == "ubootenv" && (cfg.env_size < 8 || cfg.env_size > p.size))
            return "board.conf: env_size does not fit the ubootenv partition.";
    }
    BoardFaults faults;
    return board_faults_parse(cfg, faults);
}

std::string board_config_save(const std::string& dir, const BoardConfig& cfg) {
    std::ostringstream out;
    out << "# Emulated board. Edit with care; \"boardsim fault\" manages the fault.* keys.\n";
    out << "erase_size=" << cfg.erase_size << "\n";
    for (const auto& p : cfg.partitions) out << "part." << p.name << "=" << p.size << "\n";
    out << "env_size=" << cfg.env_size << "\n";
    out << "clock_offset=" << cfg.clock_offset << "\n";
    if (cfg.clock_frozen) out << "clock_frozen=" << *cfg.clock_frozen << "\n";
    out << "usb=" << (cfg.usb_inserted ? "inserted" : "removed") << "\n";
    if (cfg.usb_mount_after > 0) out << "usb_mount_after=" << strformat("%g", cfg.usb_mount_after) << "\n";
    char led[8];
    std::snprintf(led, sizeof led, "0x%02x", cfg.led_reg);
    out << "led_reg=" << led << "\n";
    out << "cable=" << (cfg.cable_plugged ? "plugged" : "unplugged") << "\n";
    out << "dhcp=" << (cfg.dhcp ? "on" : "off") << "\n";
    for (const auto& [k, v] : cfg.entries) {
        if (k == "erase_size" || k.rfind("part.", 0) == 0 || k == "env_size" ||
            k == "clock_offset" || k == "clock_frozen" || k == "usb" || k == "usb_mount_after" || k == "led_reg" ||
            k == "cable" || k == "dhcp")
            continue;
        out << k << "=" << v << "\n";
    }
    std::string tmp = dir + "/board.conf.tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        if (!f) return "cannot write " + tmp;
        f << out.str();
        if (!f.flush()) return "cannot write " + tmp;
    }
    if (std::rename(tmp.c_str(), (dir + "/board.conf").c_str()) != 0)
        return "cannot replace " + dir + "/board.conf";
    return {};
}

static std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) { out.push_back(cur); cur.clear(); }
        else cur += c;
    }
    out.push_back(cur);
    return out;
}

namespace {

struct KindName {
    DurableKind kind;
    const char* name;
    PowerPlace::Area area;
};

constexpr KindName kKinds[] = {
    {DurableKind::flash_write, "flash-write", PowerPlace::Area::flash},
    {DurableKind::flash_erase, "flash-erase", PowerPlace::Area::flash},
    {DurableKind::nvram_write, "nvram-write", PowerPlace::Area::nvram},
    {DurableKind::user_write, "user-write", PowerPlace::Area::user},
    {DurableKind::user_create, "user-create", PowerPlace::Area::user},
    {DurableKind::user_truncate, "user-truncate", PowerPlace::Area::user},
    {DurableKind::user_rename, "user-rename", PowerPlace::Area::user},
    {DurableKind::user_unlink, "user-unlink", PowerPlace::Area::user},
    {DurableKind::user_mkdir, "user-mkdir", PowerPlace::Area::user},
    {DurableKind::user_rmdir, "user-rmdir", PowerPlace::Area::user},
};

const KindName& kind_entry(DurableKind kind) {
    for (const auto& k : kKinds)
        if (k.kind == kind) return k;
    return kKinds[0];
}

bool parse_kind(const std::string& text, DurableKind& kind) {
    for (const auto& k : kKinds)
        if (text == k.name) {
            kind = k.kind;
            return true;
        }
    return false;
}

std::string kind_list() {
    std::string out;
    for (const auto& k : kKinds) out += (out.empty() ? "" : ", ") + std::string(k.name);
    return out;
}

bool place_fits_kind(const PowerPlace& where, DurableKind kind) {
    return where.area == PowerPlace::Area::any || where.area == kind_entry(kind).area;
}

// Returns an empty string or what is wrong with the place.
std::string parse_place(const BoardConfig& cfg, const std::string& text, PowerPlace& place) {
    place = PowerPlace{};
    if (text == "/user" || text.rfind("/user/", 0) == 0) {
        std::string path = text;
        while (path.size() > 5 && path.back() == '/') path.pop_back();
        if (path.find("//") != std::string::npos || path.find("/./") != std::string::npos ||
            path.find("/../") != std::string::npos || path.ends_with("/.") || path.ends_with("/.."))
            return "a plain path under /user";
        place.area = PowerPlace::Area::user;
        place.name = path;
        return {};
    }
    if (text.rfind("mtd-", 0) == 0) {
        for (const auto& p : cfg.partitions)
            if ("mtd-" + p.name == text) {
                place.area = PowerPlace::Area::flash;
                place.name = p.name;
                return {};
            }
        return "no partition " + text.substr(4);
    }
    if (text == "nvram" || text.rfind("nvram:", 0) == 0) {
        place.area = PowerPlace::Area::nvram;
        if (text == "nvram") return {};
        std::string hex = text.substr(6);
        if (hex.rfind("0x", 0) != 0) hex = "0x" + hex;
        std::uint64_t addr = 0;
        if (!parse_u64(hex, addr) || addr > 0xFFFF) return "hex NVRAM address";
        place.address = static_cast<int>(addr);
        return {};
    }
    return "WHERE is /user/PATH, mtd-PART, nvram or nvram:ADDR";
}

}  // namespace

const char* durable_kind_name(DurableKind kind) { return kind_entry(kind).name; }

bool power_place_holds(const PowerPlace& where, const PowerPlace& event) {
    if (where.area == PowerPlace::Area::any) return true;
    if (where.area != event.area) return false;
    switch (where.area) {
    case PowerPlace::Area::flash:
        return where.name == event.name;
    case PowerPlace::Area::nvram:
        return where.address < 0 || where.address == event.address;
    case PowerPlace::Area::user:
        return event.name == where.name || event.name.rfind(where.name + "/", 0) == 0;
    case PowerPlace::Area::any:
        break;
    }
    return true;
}

static std::string parse_one_fault(const BoardConfig& cfg, const std::string& key,
                                   const std::string& val, BoardFaults& f) {
    auto parts = split(key, '.');  // "flash", PART, OP / "i2c", BUS[, ADDR] / ...
    const std::string bad = "bad fault entry fault." + key + "=" + val;
    if (parts.size() == 3 && parts[0] == "flash") {
        bool known = false;
        for (const auto& p : cfg.partitions) known = known || p.name == parts[1];
        if (!known) return bad + " (no partition " + parts[1] + ")";
        if (parts[2] != "read" && parts[2] != "short" && parts[2] != "erase" && parts[2] != "write")
            return bad + " (operation must be read, short, erase or write)";
        for (const auto& b : split(val, ',')) {
            std::uint64_t block = 0;
            if (!parse_u64(b, block) || block > 0xFFFFFFFFu) return bad + " (block number)";
            f.flash.push_back({parts[1], parts[2], static_cast<std::uint32_t>(block)});
        }
        return {};
    }
    if ((parts.size() == 2 || parts.size() == 3) && parts[0] == "i2c") {
        std::uint64_t bus = 0, addr = 0;
        if (!parse_u64(parts[1], bus) || bus > 2) return bad + " (bus 0, 1 or 2)";
        I2cFault fault{static_cast<int>(bus), -1, false};
        if (parts.size() == 3) {
            std::string a = parts[2];
            if (a.rfind("0x", 0) != 0) a = "0x" + a;
            if (!parse_u64(a, addr) || addr > 0x7F) return bad + " (7-bit hex address)";
            fault.addr = static_cast<int>(addr);
        }
        if (val == "nack") fault.nack = true;
        else if (val != "error") return bad + " (value nack or error)";
        f.i2c.push_back(fault);
        return {};
    }
    if (parts.size() == 2 && parts[0] == "nvram" && parts[1] == "write") {
        for (const auto& a : split(val, ',')) {
            std::uint64_t addr = 0;
            std::string hex = a.rfind("0x", 0) == 0 ? a : "0x" + a;
            if (!parse_u64(hex, addr) || addr > 0xFFFF) return bad + " (hex NVRAM address)";
            f.nvram_write.push_back(static_cast<std::uint16_t>(addr));
        }
        return {};
    }
    if (parts.size() == 1 && parts[0] == "missing") {
        for (const auto& d : split(val, ',')) {
            if (d.empty()) continue;
            bool known = d == "i2c-0" || d == "i2c-1" || d == "i2c-2";
            for (const auto& p : cfg.partitions) known = known || d == "mtd-" + p.name;
            if (!known) return bad + " (no device " + d + ")";
            f.missing.push_back(d);
        }
        return {};
    }
    if (parts.size() == 1 && (parts[0] == "power_cut_after" || parts[0] == "power_cut_at")) {
        PowerCutTrigger t;
        t.cause = key + "=" + val;
        t.bytes = parts[0] == "power_cut_after";
        const auto at = val.find('@');
        std::string count = val.substr(0, at);
        if (!t.bytes) {
            const auto colon = count.find(':');
            if (colon == std::string::npos || !parse_kind(count.substr(0, colon), t.kind))
                return bad + " (KIND:N, KIND one of " + kind_list() + ")";
            count = count.substr(colon + 1);
        }
        if (!parse_u64(count, t.count) || (!t.bytes && t.count == 0))
            return bad + (t.bytes ? " (byte count)" : " (N counts from 1)");
        if (at != std::string::npos) {
            std::string err = parse_place(cfg, val.substr(at + 1), t.where);
            if (!err.empty()) return bad + " (" + err + ")";
            if (!t.bytes && !place_fits_kind(t.where, t.kind))
                return bad + " (" + durable_kind_name(t.kind) + " events do not happen at " + val.substr(at + 1) + ")";
        }
        f.power_cuts.push_back(t);
        return {};
    }
    return bad + " (unknown fault)";
}

std::string board_faults_parse(const BoardConfig& cfg, BoardFaults& faults) {
    faults = BoardFaults{};
    for (const auto& [k, v] : cfg.entries) {
        if (k.rfind("fault.", 0) != 0) continue;
        std::string err = parse_one_fault(cfg, k.substr(6), v, faults);
        if (!err.empty()) return err;
    }
    return {};
}

std::string board_fault_set(BoardConfig& cfg, const std::string& assignment) {
    auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) return "fault must be KEY=VALUE: " + assignment;
    std::string key = assignment.substr(0, eq), val = assignment.substr(eq + 1);
    if (key.rfind("fault.", 0) == 0) key = key.substr(6);
    BoardFaults scratch;
    std::string err = parse_one_fault(cfg, key, val, scratch);
    if (!err.empty()) return err;
    cfg.entries["fault." + key] = val;
    return {};
}

bool board_time_parse(const std::string& text, std::int64_t& epoch) {
    struct tm tm {};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end || *end != '\0') return false;
    if (tm.tm_year < 100 || tm.tm_year > 199) return false;  // the clock holds 20YY only
    epoch = static_cast<std::int64_t>(timegm(&tm));
    return true;
}

std::string board_time_text(std::int64_t epoch) {
    std::time_t t = static_cast<std::time_t>(epoch);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}
