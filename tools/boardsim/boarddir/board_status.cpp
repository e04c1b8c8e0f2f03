#include "tools/boardsim/boarddir/board_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>

#include "boot/settings.h"
#include "byteorder.h"
#include "image/format.h"
#include "image/versions.h"
#include "security/system_keys.h"
#include "strformat.h"
#include "tools/boardsim/boarddir/board_map.h"
#include "tools/boardsim/boarddir/event_log.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

std::string type_text(std::uint32_t type) {
    const char* name = image_type_name(type);
    return name ? name : strformat("0x%08x", type);
}

bool all_ff(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Walks the image in fd (limit: the bytes to look at); with first_only the
// walk ends after the first component, as for a partition whose image is
// followed by erased flash.
void walk_image(int fd, std::uint64_t limit, bool first_only, StatusImage& img) {
    ImageSource src = image_source_fd(fd, limit);
    std::uint8_t probe[IMAGE_PROBE_LEN];
    if (limit >= IMAGE_PROBE_LEN && image_source_read(src, 0, probe, sizeof probe) == IMAGE_PROBE_LEN &&
        all_ff(probe)) {
        img.state = "empty";
        return;
    }
    ImageWalk walk = image_walk_begin(src);
    img.state = "good";
    for (;;) {
        ImageComponent c{};
        const int rc = image_walk_next(walk, &c);
        if (rc == IMAGE_WALK_END) break;
        if (rc == IMAGE_WALK_READ_ERROR) {
            img.state = "bad-lengths";
            break;
        }
        if (rc == IMAGE_WALK_BAD_LENGTHS) {
            img.state = "bad-lengths";
            break;
        }
        StatusComponent sc;
        sc.offset = c.offset;
        sc.header_version = c.header.version;
        sc.total_length = c.header.total_length;
        sc.version = image_version_text(c.header.id).text;
        std::vector<std::uint8_t> header(std::min<std::uint64_t>(c.header.header_length, IMAGE_MAX_HEADER_LEN));
        const std::int64_t got = image_read_header(src, c, header);
        std::uint32_t type = c.type;
        if (got > 0) {
            const std::span<const std::uint8_t> h(header.data(), static_cast<std::size_t>(got));
            type = image_effective_type(h, c.header.magic, nullptr);
            ImageSignature sig{};
            sc.is_signed = image_find_signature(h, &sig) == IMAGE_RECORD_FOUND;
        }
        sc.type = type_text(type);
        const int crc = image_check_component_crc(src, c, nullptr);
        sc.crc = crc == 1 ? "good" : crc == 0 ? "bad" : "unreadable";
        if (crc != 1 && img.state == "good") img.state = "bad-crc";
        img.components.push_back(sc);
        if (first_only) break;
    }
    if (img.components.empty() && img.state == "good") img.state = "empty";
}

StatusImage read_slot(const std::string& dir, int slot) {
    StatusImage img;
    img.name = "slot " + std::to_string(slot);
    img.path = slot == 1 ? "/user/images/image1" : "/user/images/image2";
    img.version = "0.0.0.0";  // what the rescue menu shows for a slot without a file
    UniqueFd f(::open((dir + img.path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) {
        img.state = "missing";
        return img;
    }
    const off_t size = ::lseek(f.get(), 0, SEEK_END);
    img.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    std::uint8_t basic[16] = {};
    if (::pread(f.get(), basic, 16, 0) != 16) std::fill(std::begin(basic), std::end(basic), 0);
    img.version = image_version_text(load_be32(basic + 12)).text;
    walk_image(f.get(), img.size, false, img);
    return img;
}

StatusImage read_partition(const std::string& dir, const BoardConfig& cfg, const std::string& part,
                           const char* name) {
    StatusImage img;
    img.name = name;
    img.path = "mtd-" + part;
    img.state = "missing";
    for (const auto& p : cfg.partitions)
        if (p.name == part) img.size = p.size;
    UniqueFd f(::open(board_flash_path(dir, part).c_str(), O_RDONLY | O_CLOEXEC));
    if (!f || img.size == 0) return img;
    // The installed version as image_read_installed_header reads it.
    const std::uint32_t at = part == "uboot" ? UBOOT_HEADER_OFFSET : 0;
    std::uint8_t basic[16] = {};
    if (::pread(f.get(), basic, 16, at) != 16) std::fill(std::begin(basic), std::end(basic), 0);
    img.version = image_version_text(load_be32(basic + 12)).text;
    if (part == "uboot") {
        // The boot loader is a raw binary with a header inside, not an image.
        img.state = all_ff(basic) ? "empty" : "good";
        return img;
    }
    walk_image(f.get(), img.size, true, img);
    return img;
}

std::optional<std::string> timestamp(const std::uint8_t r[7]) {
    if (all_ff(std::span<const std::uint8_t>(r, 7))) return std::nullopt;
    // BCD registers: seconds, minutes, hours, weekday, day, month, year in 20YY.
    return strformat("20%02x-%02x-%02xT%02x:%02x:%02x", r[6], r[5], r[4], r[2], r[1], r[0]);
}

std::string hex2(std::uint8_t v) { return strformat("0x%02x", v); }

std::string json_bool(bool b) { return b ? "true" : "false"; }

std::string json_opt(const std::optional<std::string>& s) { return s ? json_string(*s) : "null"; }

std::string json_image(const StatusImage& img) {
    std::string out = "{\"name\":" + json_string(img.name) + ",\"path\":" + json_string(img.path) +
                      ",\"state\":" + json_string(img.state) + ",\"size\":" + std::to_string(img.size) +
                      ",\"version\":" + json_string(img.version) + ",\"components\":[";
    for (std::size_t i = 0; i < img.components.size(); ++i) {
        const auto& c = img.components[i];
        out += std::string(i ? "," : "") + "{\"offset\":" + std::to_string(c.offset) + ",\"type\":" +
               json_string(c.type) + ",\"version\":" + json_string(c.version) + ",\"header_version\":" +
               std::to_string(c.header_version) + ",\"length\":" + std::to_string(c.total_length) +
               ",\"crc\":" + json_string(c.crc) + ",\"signed\":" + json_bool(c.is_signed) + "}";
    }
    return out + "]}";
}

std::string image_line(const StatusImage& img) {
    std::string out;
    if (img.state == "missing") return "no file";
    if (img.state == "empty") out = "nothing installed";
    else out = img.state == "good" ? "CRC good" : img.state == "bad-crc" ? "CRC BAD" : "impossible lengths";
    for (const auto& c : img.components)
        out += strformat("\n      %s %s at %llu, %llu bytes, header %d, CRC %s, %s", c.type.c_str(), c.version.c_str(),
                         static_cast<unsigned long long>(c.offset), static_cast<unsigned long long>(c.total_length),
                         c.header_version, c.crc.c_str(), c.is_signed ? "signed" : "unsigned");
    return out;
}

}  // namespace

std::string board_status_read(const std::string& dir, BoardStatus& st) {
    st = BoardStatus{};
    st.dir = dir;
    BoardConfig cfg;
    std::string err = board_config_load(dir, cfg);
    if (!err.empty()) return err;

    for (int slot : {1, 2}) st.slots.push_back(read_slot(dir, slot));
    const std::pair<const char*, const char*> parts[] = {
        {"uboot", "boot loader"}, {"devicetree", "device tree"}, {"kernel", "kernel"},
        {"rfs", "root file system"}, {"rescue", "rescue (diagnostics)"}};
    for (const auto& [part, name] : parts) st.partitions.push_back(read_partition(dir, cfg, part, name));

    std::vector<std::uint8_t> nv;
    err = board_nvram_read(dir, 0, 0x10000, nv);
    if (!err.empty()) return err;
    st.nvram.boot_slot = nv[NVRAM_BOOT_SLOT];
    st.nvram.booted_image = nv[NVRAM_BOOTED_IMAGE];
    st.nvram.usb_boot_enable = nv[NVRAM_USB_BOOT_ENABLE];
    st.nvram.timestamp[0] = timestamp(&nv[NVRAM_IMAGE1_TIMESTAMP]);
    st.nvram.timestamp[1] = timestamp(&nv[NVRAM_IMAGE2_TIMESTAMP]);
    const std::span<const std::uint8_t> serial(&nv[NVRAM_SERIAL_NUMBER], NVRAM_SERIAL_LEN);
    if (!std::all_of(serial.begin(), serial.end(), [](std::uint8_t b) { return b == 0; }))
        for (std::uint8_t b : serial) st.nvram.serial += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?';

    std::error_code ec;
    for (const char* key : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH})
        if (fs::exists(dir + key, ec)) st.key_files.push_back(fs::path(key).filename().string());
    for (const auto& e : fs::directory_iterator(dir + "/user/images/rejected", ec))
        st.rejected.push_back(e.path().filename().string());
    std::sort(st.rejected.begin(), st.rejected.end());
    std::ifstream log(dir + "/user/install.log");
    for (std::string line; std::getline(log, line);) {
        ++st.install_log_lines;
        st.install_log.push_back(line);
        if (st.install_log.size() > kInstallLogTail) st.install_log.erase(st.install_log.begin());
    }

    std::vector<std::uint8_t> block;
    if (board_env_read(dir, cfg, block).empty()) {
        bool malformed = false;
        env_decode(block, st.env, st.env_crc_ok, malformed);
        // The text bootmgr applies: the data area with NULs as blanks (read_bootloader_env).
        const auto text_len = static_cast<std::ptrdiff_t>(std::min<std::size_t>(block.size() - 4, BOOTENV_TEXT_LEN));
        std::string text(block.begin() + 4, block.begin() + 4 + text_len);
        std::replace(text.begin(), text.end(), '\0', ' ');
        BootSettings s;
        bootenv_apply(text, &s);
        st.gdb = s.gdb;
        st.gdbserver = s.gdbserver;
        st.gdbport = s.gdbport;
        st.shell = s.shell;
        st.memchk = s.memchk;
        st.rescue = s.rescue;
        st.diags = s.diags;
        st.lowsec_authorised = s.lowsecAuthorised;
    }

    for (const auto& [k, v] : cfg.entries)
        if (k.rfind("fault.", 0) == 0) st.faults.emplace_back(k.substr(6), v);
    st.usb_inserted = cfg.usb_inserted;
    st.usb_mount_after = cfg.usb_mount_after;
    err = board_usb_files(dir, st.usb_files);
    if (!err.empty()) return err;
    st.clock_frozen = cfg.clock_frozen.has_value();
    st.clock = board_time_text(cfg.clock_frozen ? *cfg.clock_frozen
                                            : static_cast<std::int64_t>(std::time(nullptr)) + cfg.clock_offset);
    st.cable_plugged = cfg.cable_plugged;
    st.dhcp = cfg.dhcp;
    return {};
}

std::string board_status_text(const BoardStatus& st) {
    std::string out = "Board " + st.dir + ", serial " + (st.nvram.serial.empty() ? "not set" : st.nvram.serial) +
                      ", clock " + st.clock + (st.clock_frozen ? " (frozen)" : "") + "\n";
    out += "Slots:\n";
    for (const auto& s : st.slots)
        out += strformat("  %s  %-15s %s\n", s.name.c_str(), s.version.c_str(), image_line(s).c_str()) ;
    const int boot_slot = st.nvram.boot_slot == 2 ? 2 : 1;
    out += strformat("  bootSlot %s: boots slot %d%s\n", hex2(st.nvram.boot_slot).c_str(), boot_slot,
                     st.nvram.boot_slot == 1 || st.nvram.boot_slot == 2 ? "" : " (any value but 1 or 2 counts as 1)");
    out += strformat("  bootedImage %s: last launched %s\n", hex2(st.nvram.booted_image).c_str(),
                     booted_image_text(st.nvram.booted_image));
    for (int i = 0; i < 2; ++i)
        out += strformat("  slot %d written %s\n", i + 1,
                         st.nvram.timestamp[i] ? st.nvram.timestamp[i]->c_str() : "never (no timestamp)");
    out += "Installed versions:\n";
    for (const auto& p : st.partitions)
        out += strformat("  %-22s %-15s %s\n", p.name.c_str(), p.version.c_str(), image_line(p).c_str());
    out += "Key files: ";
    if (st.key_files.empty()) out += "none (bootmgr writes them at its next start)";
    for (std::size_t i = 0; i < st.key_files.size(); ++i) out += (i ? ", " : "") + st.key_files[i];
    out += "\n";
    out += strformat("Install log: %zu line%s\n", st.install_log_lines, st.install_log_lines == 1 ? "" : "s");
    for (const auto& l : st.install_log) out += "  " + l + "\n";
    if (!st.rejected.empty())
        out += strformat("USB OS images seen before: %zu (/user/images/rejected)\n", st.rejected.size());
    out += std::string("Low security: ") +
           (st.lowsec_authorised ? "granted by the boot loader (lowsec=authorised)"
                                 : "off (physical presence grants it for one start only)") + "\n";
    out += std::string("Environment") + (st.env_crc_ok ? ":" : " (CRC wrong: bootmgr still reads the text):");
    if (st.env.empty()) out += " empty";
    for (const auto& [k, v] : st.env) out += " " + k + "=" + v;
    out += "\n";
    std::string flags;
    auto flag = [&](bool on, const std::string& text) {
        if (on) flags += (flags.empty() ? "" : ", ") + text;
    };
    flag(st.gdbserver, strformat("gdbserver on port %d", st.gdbport));
    flag(st.gdb && !st.gdbserver, "gdb");
    flag(st.shell, "shell");
    flag(st.memchk, "memchk");
    flag(st.rescue, "rescue menu");
    flag(st.diags, "diagnostics");
    flag(st.lowsec_authorised, "low security");
    out += "  as bootmgr reads it: " + (flags.empty() ? std::string("no flag on") : flags) + "\n";
    out += strformat("USB stick: %s, %s by bootmgr (usbBootEnable %s)\n",
                     !st.usb_inserted ? "removed"
                     : st.usb_mount_after > 0 ? strformat("inserted, mounted %g s after bootmgr starts",
                                                           st.usb_mount_after).c_str()
                                              : "inserted",
                     st.nvram.usb_boot_enable == NVRAM_USB_BOOT_ENABLED ? "looked at" : "ignored",
                     hex2(st.nvram.usb_boot_enable).c_str());
    for (const auto& f : st.usb_files)
        out += strformat("  %s  %llu  %s\n", f.md5.c_str(), static_cast<unsigned long long>(f.size), f.path.c_str());
    out += "Faults:";
    if (st.faults.empty()) out += " none";
    for (const auto& [k, v] : st.faults) out += " " + k + "=" + v;
    out += "\n";
    out += strformat("Network: cable %s, DHCP %s\n", st.cable_plugged ? "plugged" : "unplugged", st.dhcp ? "on" : "off");
    return out;
}

std::string board_status_json(const BoardStatus& st) {
    std::string out = "{\"board\":" + json_string(st.dir);
    out += ",\"serial\":" + (st.nvram.serial.empty() ? std::string("null") : json_string(st.nvram.serial));
    out += ",\"clock\":{\"time\":" + json_string(st.clock) + ",\"frozen\":" + json_bool(st.clock_frozen) + "}";
    out += ",\"slots\":[";
    for (std::size_t i = 0; i < st.slots.size(); ++i) {
        std::string one = json_image(st.slots[i]);
        one.pop_back();
        out += std::string(i ? "," : "") + one + ",\"slot\":" + std::to_string(i + 1) +
               ",\"written\":" + json_opt(st.nvram.timestamp[i]) + "}";
    }
    out += "]";
    out += ",\"boot_slot\":" + std::to_string(st.nvram.boot_slot == 2 ? 2 : 1);
    out += ",\"nvram\":{\"bootSlot\":" + std::to_string(st.nvram.boot_slot) +
           ",\"bootedImage\":" + std::to_string(st.nvram.booted_image) +
           ",\"usbBootEnable\":" + std::to_string(st.nvram.usb_boot_enable) + "}";
    const char* booted = booted_image_text(st.nvram.booted_image);
    out += ",\"last_booted\":" + (std::string(booted) == "none" ? std::string("null") : json_string(booted));
    out += ",\"partitions\":[";
    for (std::size_t i = 0; i < st.partitions.size(); ++i) out += (i ? "," : "") + json_image(st.partitions[i]);
    out += "]";
    out += ",\"key_files\":" + json_string_array(st.key_files);
    out += ",\"rejected\":" + json_string_array(st.rejected);
    out += ",\"install_log\":{\"lines\":" + std::to_string(st.install_log_lines) +
           ",\"tail\":" + json_string_array(st.install_log) + "}";
    out += ",\"low_security\":" + json_bool(st.lowsec_authorised);
    out += ",\"environment\":{\"crc_ok\":" + json_bool(st.env_crc_ok) + ",\"entries\":{";
    for (std::size_t i = 0; i < st.env.size(); ++i)
        out += (i ? "," : "") + json_string(st.env[i].first) + ":" + json_string(st.env[i].second);
    out += "},\"read\":{\"gdb\":" + json_bool(st.gdb) + ",\"gdbserver\":" + json_bool(st.gdbserver) +
           ",\"gdbport\":" + std::to_string(st.gdbport) + ",\"shell\":" + json_bool(st.shell) +
           ",\"memchk\":" + json_bool(st.memchk) + ",\"rescue\":" + json_bool(st.rescue) +
           ",\"diags\":" + json_bool(st.diags) + ",\"lowsec\":" + json_bool(st.lowsec_authorised) + "}}";
    out += ",\"faults\":{";
    for (std::size_t i = 0; i < st.faults.size(); ++i)
        out += (i ? "," : "") + json_string(st.faults[i].first) + ":" + json_string(st.faults[i].second);
    out += "}";
    out += ",\"usb\":{\"inserted\":" + json_bool(st.usb_inserted) + ",\"mount_after\":" +
           strformat("%g", st.usb_mount_after) + ",\"enabled\":" +
           json_bool(st.nvram.usb_boot_enable == NVRAM_USB_BOOT_ENABLED) + ",\"files\":[";
    for (std::size_t i = 0; i < st.usb_files.size(); ++i) {
        const auto& f = st.usb_files[i];
        out += std::string(i ? "," : "") + "{\"path\":" + json_string(f.path) + ",\"size\":" + std::to_string(f.size) +
               ",\"md5\":" + json_string(f.md5) + "}";
    }
    out += "]}";
    out += ",\"network\":{\"cable\":" + json_string(st.cable_plugged ? "plugged" : "unplugged") +
           ",\"dhcp\":" + json_bool(st.dhcp) + "}";
    return out + "}\n";
}
