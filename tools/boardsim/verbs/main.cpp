// boardsim: the emulated switch. See "boardsim --help".
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "build_version.h"
#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/board_map.h"
#include "tools/boardsim/boarddir/board_status.h"
#include "tools/boardsim/console/board_runner.h"
#include "tools/boardsim/console/line_relay.h"
#include "tools/boardsim/console/transfer_port.h"
#include "tools/boardsim/boarddir/board_store.h"
#include "tools/boardsim/boarddir/env_block.h"
#include "tools/boardsim/network/uplink.h"
#include "tools/boardsim/sandbox/session.h"
#include "tools/boardsim/sandbox/standins.h"
#include "tools/boardsim/sandbox/stop_watchdog.h"

namespace {

constexpr int kUsage = 2;

const char* const kMainHelp =
    "usage: boardsim VERB DIR ...\n"
    "The emulated switch: flash, I2C devices, console and tools of the board, in a sandbox.\n\n"
    "verbs:\n"
    "  new DIR [--serial TEXT] [--force] [--freeze TIME] [--fault KEY=VALUE] [--demo [--developer]]\n"
    "  env DIR show | set NAME=VALUE... | unset NAME...   boot-loader environment\n"
    "  nvram DIR get ADDR [COUNT] | set ADDR BYTE...       board NVRAM (hex)\n"
    "  clock DIR set|freeze YYYY-MM-DDThh:mm:ss | now | show   board clock\n"
    "  fault DIR show | set KEY=VALUE... | clear [KEY...]   injected faults\n"
    "  usb DIR insert [--mount-after S] | remove | show  the USB stick (DIR/usb)\n"
    "  cable DIR plug | unplug | show                   the management port's cable\n"
    "  net DIR show | dhcp on|off                       the network behind the cable (TFTP from DIR/tftp)\n"
    "  boot DIR [--max-boots N] [--timeout S] [--fast] [--trace] [--bootmgr PATH] [--fault KEY=VALUE]\n"
    "  run DIR [--ro PATH] [--fault KEY=VALUE] -- COMMAND [ARG...]\n"
    "  send DIR [--pace BPS] [--enter] -- PROGRAM [ARG...]   a program on the running board's console\n"
    "  status DIR [--json]                              slots, NVRAM, versions, keys, log, faults, stick\n"
    "\"boardsim VERB --help\" describes a verb; \"boardsim --version\" prints the version and commit.\n";

const char* verb_help(const std::string& verb) {
    if (verb == "new")
        return "usage: boardsim new DIR [--serial TEXT] [--force] [--freeze TIME] [--fault KEY=VALUE]\n"
               "                        [--demo [--developer] [--images DIR]]\n"
               "Makes a board in DIR: erased flash partitions (64 KiB erase blocks), an empty\n"
               "boot-loader environment, a 64 KiB EEPROM erased to 0xFF holding the 12-character\n"
               "serial number at 0x000D (default SIM000000001), empty user/, tftp/ and usb/ (stick\n"
               "removed), board.conf. Refuses an existing board unless --force is given.\n"
               "--freeze and --fault set the clock and faults as \"clock freeze\" and \"fault set\" do.\n"
               "--demo also installs the demo images (from --images DIR, default the demo/ folder\n"
               "of the build next to boardsim, or share/bootmgr/demo of an installed one): image1\n"
               "and image2 in /user/images, the diagnostics image in the rescue partition, a\n"
               "production-signed root file system in the rfs partition (a production switch; with\n"
               "--developer an unsigned one: a developer switch), and every image in tftp/.\n"
               "On failure nothing made by the command is left behind; a folder that existed before\n"
               "is never removed.\n";
    if (verb == "env")
        return "usage: boardsim env DIR show | set NAME=VALUE... | unset NAME...\n"
               "Reads or writes the boot-loader environment block at the start of mtd-ubootenv\n"
               "(CRC-32 little-endian, NUL-terminated NAME=VALUE entries, final NUL). show prints\n"
               "one entry per line and warns on stderr when the CRC is wrong (exit 1). set and unset\n"
               "keep the other entries; on a block with a bad CRC they start from an empty one.\n"
               "set warns on stderr (one line, and sets it all the same) about a name bootmgr never\n"
               "reads; it reads gdb, gdbserver, gdbport, shell, memchk, diagnostics and lowsec\n"
               "(docs/operator-guide.md).\n";
    if (verb == "nvram")
        return "usage: boardsim nvram DIR get ADDR [COUNT] | set ADDR BYTE...\n"
               "Reads or writes the board NVRAM (the 64 KiB EEPROM). Numbers are hexadecimal,\n"
               "with or without 0x. get prints the bytes as hex, 16 per line, each line\n"
               "starting with its address.\n";
    if (verb == "clock")
        return "usage: boardsim clock DIR set YYYY-MM-DDThh:mm:ss | freeze YYYY-MM-DDThh:mm:ss | now | show\n"
               "set: the board clock runs from that time (stored as an offset to the host clock).\n"
               "freeze: the board clock stands at that time. now: back to the host's time.\n"
               "show: print the board's current time. Times are UTC.\n";
    if (verb == "fault")
        return "usage: boardsim fault DIR show | set KEY=VALUE... | clear [KEY...]\n"
               "Faults kept in board.conf (KEY may omit the \"fault.\" prefix):\n"
               "  flash.PART.read|erase|write=BLOCK[,BLOCK]  that erase block fails with EIO\n"
               "  flash.PART.short=BLOCK[,BLOCK]  reads stop where that erase block begins\n"
               "  i2c.BUS=error                 every transfer on the bus fails (EIO)\n"
               "  i2c.BUS.ADDR=nack|error       the device (7-bit hex address) does not answer / fails\n"
               "  missing=DEV[,DEV]             device files that do not exist (mtd-onie, i2c-1, ...)\n"
               "  nvram.write=ADDR[,ADDR]       NVRAM write cycles storing into these (hex) addresses fail\n"
               "  power_cut_after=BYTES[@WHERE] power fails once BYTES bytes of durable writes were stored:\n"
               "                                the next byte is lost, and everything after it\n"
               "  power_cut_at=KIND:N[@WHERE]   power fails at the Nth event of KIND (from 1), which does\n"
               "                                not take effect; the events before it did\n"
               "Durable writes, one events.log line each (KIND):\n"
               "  flash-write   one write(2) on an MTD device (carries its bytes)\n"
               "  flash-erase   one MEMERASE request (no bytes)\n"
               "  nvram-write   one NVRAM byte (bootmgr writes one byte per write cycle)\n"
               "  user-write    the writes of one open file under /user up to its close (carries their\n"
               "                bytes; counted at its first write)\n"
               "  user-create, user-truncate, user-rename, user-unlink, user-mkdir, user-rmdir (no bytes)\n"
               "WHERE counts only what happens there: /user/PATH (a file, or a folder and all under it;\n"
               "a rename is at its old and its new name), mtd-PART, nvram, nvram:ADDR (hex).\n"
               "Examples: power_cut_at=nvram-write:1@nvram:100  the write of bootSlot (NVRAM 0x100);\n"
               "  power_cut_after=1000@/user/images/image2      image2 keeps exactly 1000 new bytes;\n"
               "  power_cut_at=user-rename:1@/user/production_key.pub.pem  the key file's rename.\n"
               "The cut happens once per boardsim run: the running board stops, every further durable\n"
               "write fails (EIO), events.log records a power-cut line (cause, event, where it stopped);\n"
               "\"boot\" then boots the board again from what the writes left, with a fresh /tmp.\n";
    if (verb == "usb")
        return "usage: boardsim usb DIR insert [--mount-after SECONDS] | remove | show\n"
               "The USB stick is the folder DIR/usb; put files there (imagetool builds images).\n"
               "insert: from the next boot on, the platform mounts the stick read-only at /mnt/usb\n"
               "  and then makes the marker /tmp/usb, which tells bootmgr the stick is mounted: at\n"
               "  once, or with --mount-after SECONDS (fractions allowed, up to 3600) that long after\n"
               "  bootmgr starts. The delay is board time: under \"boot --fast\" it passes ten times\n"
               "  faster, as bootmgr's own waits do. \"run\" mounts the stick at once.\n"
               "remove: the board boots without the stick (no /tmp/usb, /mnt/usb empty).\n"
               "show: whether the stick is inserted and its mount delay, then one line per file:\n"
               "  MD5, size in bytes, path on the stick.\n"
               "Each boot of a \"boot\" run takes the stick as board.conf has it at that boot.\n";
    if (verb == "cable")
        return "usage: boardsim cable DIR plug | unplug | show\n"
               "The management port's cable, kept in board.conf (cable=plugged|unplugged; a new board's\n"
               "is plugged). unplug takes the far end of the link down: the board's eth0 loses its\n"
               "carrier, so it is not RUNNING and ETHTOOL_GLINK reports no link. plug brings it back.\n"
               "A running board (boot or run) follows within milliseconds and events.log records the\n"
               "change (\"cable\"). show prints plugged or unplugged.\n";
    if (verb == "net")
        return "usage: boardsim net DIR show | dhcp on|off\n"
               "The board's management port eth0 is one end of a virtual Ethernet link whose other end\n"
               "lies in a network namespace of its own, 192.168.1.10/24, where dnsmasq serves TFTP from\n"
               "DIR/tftp and, with dhcp on, DHCP: addresses 192.168.1.100 to 192.168.1.150, netmask\n"
               "255.255.255.0, no router, no name server. Both namespaces are made for each boot (and\n"
               "each run) and hold nothing else, so nothing the board sends leaves them. eth0 starts\n"
               "down with no address; the board's ifconfig, route, tftp and dhclient (busybox udhcpc)\n"
               "work on it. dnsmasq's log is appended to DIR/network.log.\n"
               "dhcp on|off: whether the server answers DHCP (board.conf dhcp=on|off, off for a new\n"
               "board); a running board follows, and events.log records the change\n"
               "(\"dhcp-server\"). The board's leases are \"dhcp\" events.\n"
               "show: the cable, DHCP and the addresses.\n";
    if (verb == "send")
        return "usage: boardsim send DIR [--pace BPS] [--enter] -- PROGRAM [ARG...]\n"
               "Runs PROGRAM with its standard input and output on the console of the board that\n"
               "\"boardsim boot DIR\" is running, as a terminal program runs a transfer program on its\n"
               "line: e.g. \"boardsim send DIR --pace 115200 -- sx -k image.img\" sends a file by\n"
               "XMODEM to the board's rx. Meanwhile boot shows nothing and passes no keys on; every byte\n"
               "value goes through unchanged (Ctrl-] stops nothing). Afterwards boot shows the board's\n"
               "output again, from what PROGRAM left unread on.\n"
               "--pace BPS: the line's speed in bits per second (ten bits a character); without it\n"
               "bytes go as fast as the console takes them. --enter: type Enter (a carriage return)\n"
               "on the console once PROGRAM is attached, as the operator does to start the board's\n"
               "receiver. After the board writes, PROGRAM's bytes wait until the board flushes its\n"
               "input or 50 ms pass, so that a receiver that flushes after each answer (lrzsz rx) does\n"
               "not lose the start of the next block. Boot's transfer port is DIR/run/console.sock.\n"
               "Exit status: PROGRAM's; 2 when no board runs in DIR, the console is taken or the\n"
               "board stopped first.\n";
    if (verb == "boot")
        return "usage: boardsim boot DIR [--max-boots N] [--timeout SECONDS] [--fast] [--trace] [--bootmgr PATH]\n"
               "                         [--fault KEY=VALUE] [--ro PATH]\n"
               "Boots the board: bootmgr (default: the bootmgr next to boardsim, or lib/bootmgr/bootmgr\n"
               "of an installed one) runs as /sbin/bootmgr with the console on this terminal (Ctrl-]\n"
               "stops the board). A reboot request, or a power cut (\"boardsim fault --help\"), starts\n"
               "the next boot with the persistent flash, NVRAM and /user and a fresh /tmp; the USB\n"
               "stick is as board.conf has it then.\n"
               "--fast makes the board's time pass ten times faster: bootmgr's waits and the stick's\n"
               "mount delay. --fault adds a fault for this run only.\n"
               "--trace shows the board's events (events.log: clock set, mounts, NVRAM and flash writes,\n"
               "key files and other /user writes, tool calls, launches) on the console as they happen,\n"
               "one dimmed line each starting \"[trace SECONDS]\", between the board's own lines (plain\n"
               "when NO_COLOR is set). Without it the console carries the board's output alone.\n"
               "The management port eth0 has its cable and network as \"boardsim cable\" and \"boardsim\n"
               "net\" describe; \"boardsim send\" puts a program such as an XMODEM sender on the console.\n"
               "Exit status: 0 an application was launched and ended, 1 the boots ended without a\n"
               "launch, 2 usage or set-up error, 3 timeout. The last line starts with \"boardsim:\".\n"
               "Events go to DIR/events.log, one JSON object per line.\n";
    if (verb == "status")
        return "usage: boardsim status DIR [--json]\n"
               "What the board holds, read from DIR as bootmgr will find it at its next start:\n"
               "the slot files (/user/images/image1, image2: each component's type, version, CRC and\n"
               "signature record), the NVRAM's bootSlot, bootedImage (the image launched last),\n"
               "usbBootEnable and image timestamps, the installed version of every partition (as the\n"
               "rescue menu's V shows them), the key files in /user, the install log's last lines,\n"
               "low security mode, the environment (and the flags bootmgr reads from it), injected\n"
               "faults, the USB stick and its files, the clock and the network. Works while the board\n"
               "runs too (then it shows the state of the moment).\n"
               "--json prints one JSON object instead; its fields are stable (new ones may be added,\n"
               "none removed or changed):\n"
               "  board, serial (null when unset), clock {time, frozen}\n"
               "  slots: [{slot, name, path, state, size, version, written, components}] where state is\n"
               "    missing | empty | bad-lengths | bad-crc | good, version the first header's (as the\n"
               "    rescue menu shows it; 0.0.0.0 for no file), written the NVRAM timestamp (or null),\n"
               "    components [{offset, type, version, header_version, length, crc (good | bad |\n"
               "    unreadable), signed}]\n"
               "  boot_slot (1 or 2, as bootmgr takes the byte), last_booted (\"slot 1\", \"slot 2\",\n"
               "    \"USB OS image\", \"rescue partition\" or null), nvram {bootSlot, bootedImage,\n"
               "    usbBootEnable} (the raw bytes)\n"
               "  partitions: [{name, path, state, size, version, components}] for mtd-uboot (state\n"
               "    empty or good only), mtd-devicetree, mtd-kernel, mtd-rfs, mtd-rescue (their first\n"
               "    component)\n"
               "  key_files: names present in /user; rejected: /user/images/rejected entries\n"
               "  install_log {lines, tail (the last 5)}; low_security (granted by lowsec=authorised)\n"
               "  environment {crc_ok, entries {NAME: VALUE}, read {gdb, gdbserver, gdbport, shell,\n"
               "    memchk, rescue, diags, lowsec}}\n"
               "  faults {KEY: VALUE}; usb {inserted, mount_after, enabled, files [{path, size, md5}]}\n"
               "  network {cable, dhcp}\n";
    if (verb == "run")
        return "usage: boardsim run DIR [--ro PATH] [--fault KEY=VALUE] -- COMMAND [ARG...]\n"
               "Runs COMMAND inside the board's sandbox (devices, /user, a fresh /tmp, the USB stick\n"
               "mounted at once when inserted) and exits with its status (137 after a power cut).\n"
               "A COMMAND given by absolute path has its directory bound read-only at the same place;\n"
               "--ro binds further host paths. eth0 and its network are there as in a boot.\n";
    return nullptr;
}

int usage_error(const std::string& verb, const std::string& msg) {
    std::fprintf(stderr, "boardsim %s: %s\n", verb.c_str(), msg.c_str());
    if (const char* h = verb_help(verb)) std::fputs(h, stderr);
    return kUsage;
}

int fail(const std::string& msg, int status = kUsage) {
    std::fprintf(stderr, "boardsim: %s\n", msg.c_str());
    return status;
}

bool parse_hex(std::string text, std::uint64_t& v) {
    if (text.rfind("0x", 0) != 0 && text.rfind("0X", 0) != 0) text = "0x" + text;
    return parse_u64(text, v);
}

std::string self_dir() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return ".";
    return std::filesystem::path(std::string(exe, static_cast<std::size_t>(n))).parent_path().string();
}

// A file boardsim brings along: at `built` from its folder in a build tree,
// else at `installed` (the layout of "cmake --install" and the Debian
// package: bin/boardsim, lib/bootmgr/bootmgr, share/bootmgr/demo).
std::string companion(const char* built, const char* installed) {
    const std::string dir = self_dir();
    std::error_code ec;
    if (std::filesystem::exists(dir + "/" + built, ec) || !std::filesystem::exists(dir + "/" + installed, ec))
        return std::filesystem::path(dir + "/" + built).lexically_normal().string();
    return std::filesystem::path(dir + "/" + installed).lexically_normal().string();
}

int cmd_new(std::vector<std::string> a) {
    std::string dir, serial = "SIM000000001", freeze, images;
    std::vector<std::string> faults;
    bool force = false, demo = false, developer = false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--force") force = true;
        else if (a[i] == "--demo") demo = true;
        else if (a[i] == "--developer") developer = true;
        else if (a[i] == "--serial" && i + 1 < a.size()) serial = a[++i];
        else if (a[i] == "--freeze" && i + 1 < a.size()) freeze = a[++i];
        else if (a[i] == "--images" && i + 1 < a.size()) images = a[++i];
        else if (a[i] == "--fault" && i + 1 < a.size()) faults.push_back(a[++i]);
        else if (a[i].rfind("--", 0) == 0) return usage_error("new", "unknown option " + a[i]);
        else if (dir.empty()) dir = a[i];
        else return usage_error("new", "unexpected argument " + a[i]);
    }
    if (dir.empty()) return usage_error("new", "missing DIR");
    if (!images.empty() && !demo) return usage_error("new", "--images goes with --demo");
    if (developer && !demo) return usage_error("new", "--developer goes with --demo");
    if (images.empty()) images = companion("../demo", "../share/bootmgr/demo");
    std::int64_t frozen = 0;
    if (!freeze.empty() && !board_time_parse(freeze, frozen))
        return usage_error("new", "bad time " + freeze + " (YYYY-MM-DDThh:mm:ss, years 2000-2099)");
    // Everything that can be refused is refused before anything is made.
    BoardConfig check;  // as board_create makes it
    check.partitions = board_default_partitions();
    for (const auto& f : faults)
        if (std::string err = board_fault_set(check, f); !err.empty()) return usage_error("new", err);
    if (demo)
        if (std::string err = board_demo_check(images, developer); !err.empty()) return fail(err);
    // What this command makes, and so removes again if it fails: DIR when it
    // did not exist, with the parent folders it had to make. A folder that
    // existed before is never removed.
    std::error_code ec;
    std::filesystem::path made;
    for (auto p = std::filesystem::absolute(dir).lexically_normal(); !p.empty() && !std::filesystem::exists(p, ec);
         p = p.parent_path()) {
        made = p;
        if (p == p.parent_path()) break;
    }
    auto failed = [&](const std::string& err) {
        if (!made.empty()) std::filesystem::remove_all(made, ec);
        return fail(err);
    };
    std::string err = board_create(dir, serial, force);
    if (!err.empty()) return failed(err);
    if (demo) {
        BoardConfig fresh;
        err = board_config_load(dir, fresh);
        if (err.empty()) err = board_install_demo(dir, fresh, images, developer);
        if (!err.empty()) return failed(err);
    }
    if (freeze.empty() && faults.empty()) return 0;
    BoardConfig cfg;
    err = board_config_load(dir, cfg);
    if (!freeze.empty()) cfg.clock_frozen = frozen;
    for (const auto& f : faults)
        if (err.empty()) err = board_fault_set(cfg, f);
    if (err.empty()) err = board_config_save(dir, cfg);
    return err.empty() ? 0 : failed(err);
}

int load(const std::string& dir, BoardConfig& cfg) {
    std::string err = board_config_load(dir, cfg);
    if (!err.empty()) { fail(err); return kUsage; }
    return 0;
}

// One line on standard error for a name bootmgr never reads as such (a typo
// such as "shel"); the entry is set all the same.
void warn_unread_name(const std::string& name) {
    if (env_variable_known(name)) return;
    // bootmgr finds "NAME=" anywhere in the text, so a longer name ending in
    // a known one counts as that one.
    for (const auto& v : env_variables()) {
        const std::string known = v.name;
        if (name.size() > known.size() && name.compare(name.size() - known.size(), known.size(), known) == 0) {
            std::fprintf(stderr, "boardsim env: warning: bootmgr reads %s as %s (it finds \"%s=\" inside it); set anyway.\n",
                         name.c_str(), v.name, v.name);
            return;
        }
    }
    std::string known;
    for (const auto& v : env_variables()) known += (known.empty() ? "" : ", ") + std::string(v.name);
    const std::string guess = env_variable_suggestion(name);
    std::fprintf(stderr, "boardsim env: warning: bootmgr never reads %s (%s); set anyway.\n", name.c_str(),
                 guess.empty() ? ("it reads " + known).c_str() : ("did you mean " + guess + "?").c_str());
}

int cmd_env(const std::vector<std::string>& a) {
    if (a.size() < 2) return usage_error("env", "missing DIR or action");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    std::vector<std::uint8_t> block;
    std::string err = board_env_read(a[0], cfg, block);
    if (!err.empty()) return fail(err);
    EnvEntries entries;
    bool crc_ok = false, malformed = false;
    env_decode(block, entries, crc_ok, malformed);
    const std::string& action = a[1];
    if (action == "show") {
        if (a.size() != 2) return usage_error("env", "show takes no arguments");
        if (!crc_ok) {
            std::fprintf(stderr, "boardsim env: the environment CRC is wrong (erased or corrupt block)\n");
            return 1;
        }
        for (const auto& [k, v] : entries) std::printf("%s=%s\n", k.c_str(), v.c_str());
        return 0;
    }
    if (action != "set" && action != "unset") return usage_error("env", "unknown action " + action);
    if (a.size() < 3) return usage_error("env", action + " needs at least one argument");
    if (!crc_ok) {
        std::fprintf(stderr, "boardsim env: the environment CRC is wrong; starting from an empty one\n");
        entries.clear();
    }
    for (std::size_t i = 2; i < a.size(); ++i) {
        if (action == "set") {
            auto eq = a[i].find('=');
            if (eq == std::string::npos || eq == 0) return usage_error("env", "set needs NAME=VALUE: " + a[i]);
            warn_unread_name(a[i].substr(0, eq));
            env_set(entries, a[i].substr(0, eq), a[i].substr(eq + 1));
        } else {
            env_unset(entries, a[i]);
        }
    }
    if (!env_encode(entries, cfg.env_size, block))
        return fail("the environment does not fit in " + std::to_string(cfg.env_size) + " bytes, or a name is invalid.");
    err = board_env_write(a[0], cfg, block);
    return err.empty() ? 0 : fail(err);
}

int cmd_nvram(const std::vector<std::string>& a) {
    if (a.size() < 3) return usage_error("nvram", "missing DIR, action or address");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    std::uint64_t addr = 0;
    if (!parse_hex(a[2], addr) || addr > 0xFFFF) return usage_error("nvram", "bad address " + a[2]);
    if (a[1] == "get") {
        std::uint64_t count = 1;
        if (a.size() > 4 || (a.size() == 4 && (!parse_hex(a[3], count) || count == 0)))
            return usage_error("nvram", "bad count");
        std::vector<std::uint8_t> bytes;
        std::string err = board_nvram_read(a[0], static_cast<std::uint32_t>(addr),
                                           static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0x10000)), bytes);
        if (count > 0x10000) err = "address range beyond the 64 KiB EEPROM";
        if (!err.empty()) return fail(err);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i % 16 == 0) std::printf("%s%04zx:", i ? "\n" : "", static_cast<std::size_t>(addr) + i);
            std::printf(" %02x", bytes[i]);
        }
        std::printf("\n");
        return 0;
    }
    if (a[1] == "set") {
        if (a.size() < 4) return usage_error("nvram", "set needs at least one byte");
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 3; i < a.size(); ++i) {
            std::uint64_t b = 0;
            if (!parse_hex(a[i], b) || b > 0xFF) return usage_error("nvram", "bad byte " + a[i]);
            bytes.push_back(static_cast<std::uint8_t>(b));
        }
        std::string err = board_nvram_write(a[0], static_cast<std::uint32_t>(addr), bytes);
        return err.empty() ? 0 : fail(err);
    }
    return usage_error("nvram", "unknown action " + a[1]);
}

int cmd_clock(const std::vector<std::string>& a) {
    if (a.size() < 2) return usage_error("clock", "missing DIR or action");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    const std::int64_t host = static_cast<std::int64_t>(std::time(nullptr));
    if (a[1] == "show" && a.size() == 2) {
        std::int64_t t = cfg.clock_frozen ? *cfg.clock_frozen : host + cfg.clock_offset;
        std::printf("%s%s\n", board_time_text(t).c_str(), cfg.clock_frozen ? " (frozen)" : "");
        return 0;
    }
    if (a[1] == "now" && a.size() == 2) {
        cfg.clock_offset = 0;
        cfg.clock_frozen.reset();
        cfg.entries.erase("clock_frozen");
    } else if ((a[1] == "set" || a[1] == "freeze") && a.size() == 3) {
        std::int64_t t = 0;
        if (!board_time_parse(a[2], t)) return usage_error("clock", "bad time " + a[2] + " (YYYY-MM-DDThh:mm:ss, years 2000-2099)");
        if (a[1] == "set") {
            cfg.clock_offset = t - host;
            cfg.clock_frozen.reset();
            cfg.entries.erase("clock_frozen");
        } else {
            cfg.clock_frozen = t;
        }
    } else {
        return usage_error("clock", "unknown action or wrong arguments");
    }
    std::string err = board_config_save(a[0], cfg);
    return err.empty() ? 0 : fail(err);
}

int cmd_fault(const std::vector<std::string>& a) {
    if (a.size() < 2) return usage_error("fault", "missing DIR or action");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    if (a[1] == "show") {
        for (const auto& [k, v] : cfg.entries)
            if (k.rfind("fault.", 0) == 0) std::printf("%s=%s\n", k.c_str() + 6, v.c_str());
        return 0;
    }
    if (a[1] == "set") {
        if (a.size() < 3) return usage_error("fault", "set needs KEY=VALUE");
        for (std::size_t i = 2; i < a.size(); ++i) {
            std::string err = board_fault_set(cfg, a[i]);
            if (!err.empty()) return usage_error("fault", err);
        }
    } else if (a[1] == "clear") {
        for (auto it = cfg.entries.begin(); it != cfg.entries.end();) {
            bool match = it->first.rfind("fault.", 0) == 0 && a.size() == 2;
            for (std::size_t i = 2; i < a.size(); ++i)
                match = match || it->first == "fault." + a[i] || it->first == a[i];
            it = match ? cfg.entries.erase(it) : std::next(it);
        }
    } else {
        return usage_error("fault", "unknown action " + a[1]);
    }
    std::string err = board_config_save(a[0], cfg);
    return err.empty() ? 0 : fail(err);
}

int cmd_usb(const std::vector<std::string>& a) {
    if (a.size() < 2) return usage_error("usb", "expected DIR insert|remove|show");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    if (a[1] == "show" && a.size() == 2) {
        std::vector<UsbFile> files;
        std::string err = board_usb_files(a[0], files);
        if (!err.empty()) return fail(err);
        if (!cfg.usb_inserted) std::printf("removed\n");
        else if (cfg.usb_mount_after > 0) std::printf("inserted, mounted %g s after bootmgr starts\n", cfg.usb_mount_after);
        else std::printf("inserted, mounted at once\n");
        for (const auto& f : files)
            std::printf("%s  %llu  %s\n", f.md5.c_str(), static_cast<unsigned long long>(f.size), f.path.c_str());
        return 0;
    }
    double mount_after = 0;
    if (a[1] == "insert" && a.size() == 4 && a[2] == "--mount-after") {
        if (!parse_seconds(a[3], mount_after))
            return usage_error("usb", "--mount-after needs seconds from 0 to " + std::to_string(kMaxMountAfter));
    } else if ((a[1] != "insert" && a[1] != "remove") || a.size() != 2) {
        return usage_error("usb", "expected DIR insert [--mount-after SECONDS] | remove | show");
    }
    cfg.usb_inserted = a[1] == "insert";
    cfg.usb_mount_after = mount_after;
    std::error_code ec;
    std::filesystem::create_directories(a[0] + "/usb", ec);
    std::string err = board_config_save(a[0], cfg);
    return err.empty() ? 0 : fail(err);
}

int cmd_cable(const std::vector<std::string>& a) {
    if (a.size() != 2) return usage_error("cable", "expected DIR plug|unplug|show");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    if (a[1] == "show") {
        std::printf("%s\n", cfg.cable_plugged ? "plugged" : "unplugged");
        return 0;
    }
    if (a[1] != "plug" && a[1] != "unplug") return usage_error("cable", "unknown action " + a[1]);
    cfg.cable_plugged = a[1] == "plug";
    std::string err = board_config_save(a[0], cfg);
    return err.empty() ? 0 : fail(err);
}

int cmd_net(const std::vector<std::string>& a) {
    if (a.size() < 2) return usage_error("net", "expected DIR show | dhcp on|off");
    BoardConfig cfg;
    if (int rc = load(a[0], cfg)) return rc;
    if (a[1] == "show" && a.size() == 2) {
        std::printf("cable: %s\n", cfg.cable_plugged ? "plugged" : "unplugged");
        std::printf("dhcp: %s\n", cfg.dhcp ? "on" : "off");
        std::printf("board eth0: %s, no address until the board sets one\n", kBoardMac);
        std::printf("server: %s/24 (%s), TFTP from %s/tftp\n", kPeerAddress, kPeerMac, a[0].c_str());
        std::printf("dhcp pool: %s-%s, netmask 255.255.255.0, no router\n", kPoolFirst, kPoolLast);
        return 0;
    }
    if (a[1] != "dhcp" || a.size() != 3 || (a[2] != "on" && a[2] != "off"))
        return usage_error("net", "expected DIR show | dhcp on|off");
    cfg.dhcp = a[2] == "on";
    std::string err = board_config_save(a[0], cfg);
    return err.empty() ? 0 : fail(err);
}

int cmd_status(const std::vector<std::string>& a) {
    std::string dir;
    bool json = false;
    for (const auto& x : a) {
        if (x == "--json") json = true;
        else if (x.rfind("--", 0) == 0) return usage_error("status", "unknown option " + x);
        else if (dir.empty()) dir = x;
        else return usage_error("status", "unexpected argument " + x);
    }
    if (dir.empty()) return usage_error("status", "missing DIR");
    BoardStatus st;
    std::string err = board_status_read(dir, st);
    if (!err.empty()) return fail(err);
    std::fputs((json ? board_status_json(st) : board_status_text(st)).c_str(), stdout);
    return 0;
}

int cmd_send(const std::vector<std::string>& a) {
    std::string dir;
    LineOptions opt;
    std::vector<std::string> command;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--") {
            command.assign(a.begin() + static_cast<long>(i) + 1, a.end());
            break;
        }
        std::uint64_t bps = 0;
        if (a[i] == "--enter") {
            opt.enter = true;
        } else if (a[i] == "--pace") {
            if (i + 1 >= a.size() || !parse_u64(a[i + 1], bps) || bps < 50 || bps > 10'000'000)
                return usage_error("send", "--pace needs bits per second from 50 to 10000000");
            opt.bps = static_cast<unsigned>(bps);
            ++i;
        } else if (a[i].rfind("--", 0) == 0) {
            return usage_error("send", "unknown option " + a[i]);
        } else if (dir.empty()) {
            dir = a[i];
        } else {
            return usage_error("send", "unexpected argument " + a[i] + " (the program goes after --)");
        }
    }
    if (dir.empty()) return usage_error("send", "missing DIR");
    if (command.empty()) return usage_error("send", "missing -- PROGRAM");
    UniqueFd sock;
    std::string err;
    UniqueFd master(transfer_port_attach(dir, sock, err));
    if (!master) return fail(err);
    return line_relay_run(master.get(), sock.get(), opt, command);
}


int cmd_boot_or_run(const std::string& verb, const std::vector<std::string>& a) {
    std::string dir;
    BootOptions opt;
    std::vector<std::string> faults, command;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto value = [&](std::string& out) {
            if (i + 1 >= a.size()) return false;
            out = a[++i];
            return true;
        };
        std::string v;
        if (a[i] == "--") {
            command.assign(a.begin() + static_cast<long>(i) + 1, a.end());
            break;
        } else if (a[i] == "--fault") {
            if (!value(v)) return usage_error(verb, "--fault needs KEY=VALUE");
            faults.push_back(v);
        } else if (a[i] == "--ro") {
            if (!value(v) || v.empty() || v[0] != '/') return usage_error(verb, "--ro needs an absolute path");
            opt.ro_paths.push_back(v);
        } else if (verb == "boot" && a[i] == "--fast") {
            opt.fast = true;
        } else if (verb == "boot" && a[i] == "--trace") {
            opt.trace = true;
        } else if (verb == "boot" && a[i] == "--bootmgr") {
            if (!value(opt.bootmgr)) return usage_error(verb, "--bootmgr needs a path");
        } else if (verb == "boot" && a[i] == "--max-boots") {
            std::uint64_t n = 0;
            if (!value(v) || !parse_u64(v, n) || n == 0 || n > 1000000) return usage_error(verb, "--max-boots needs a positive number");
            opt.max_boots = static_cast<int>(n);
        } else if (verb == "boot" && a[i] == "--timeout") {
            char* end = nullptr;
            if (!value(v)) return usage_error(verb, "--timeout needs seconds");
            opt.timeout_seconds = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(opt.timeout_seconds > 0)) return usage_error(verb, "--timeout needs a positive number of seconds");
        } else if (a[i].rfind("--", 0) == 0) {
            return usage_error(verb, "unknown option " + a[i]);
        } else if (dir.empty()) {
            dir = a[i];
        } else {
            return usage_error(verb, "unexpected argument " + a[i] +
                                         (verb == "run" ? " (the command goes after --)" : ""));
        }
    }
    if (dir.empty()) return usage_error(verb, "missing DIR");
    if (verb == "run" && command.empty()) return usage_error(verb, "missing -- COMMAND");
    if (verb == "boot") {
        if (opt.bootmgr.empty()) opt.bootmgr = companion("bootmgr", "../lib/bootmgr/bootmgr");
        opt.bootmgr = std::filesystem::absolute(opt.bootmgr).string();
        if (access(opt.bootmgr.c_str(), X_OK) != 0) {
            std::printf("boardsim: no executable bootmgr at %s; build it or give --bootmgr PATH\n", opt.bootmgr.c_str());
            return kBootSetupError;
        }
    }
    std::string err = session_check_host();
    Session s;
    if (err.empty()) err = session_start(s, dir, faults);
    if (!err.empty()) {
        std::printf("boardsim: %s\n", err.c_str());
        std::fflush(stdout);
        return kUsage;
    }
    std::fflush(stdout);
    int rc = verb == "boot" ? board_boot(s, opt) : board_run(s, command, opt.ro_paths);
    stop_watchdog_arm("unmounting the board's file systems");
    session_stop(s);
    stop_watchdog_disarm();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (int rc = standin_main(argc, argv); rc >= 0) return rc;
    if (argc >= 2 && std::strcmp(argv[1], "_uplink") == 0) return uplink_main(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kMainHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? kUsage : 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("boardsim %s (commit %s)\n", BOOTMGR_VERSION, BOOTMGR_COMMIT);
        return 0;
    }
    std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (!verb_help(verb)) {
        std::fprintf(stderr, "boardsim: unknown verb %s\n", verb.c_str());
        std::fputs(kMainHelp, stderr);
        return kUsage;
    }
    for (const auto& x : args) {
        if (x == "--") break;
        if (x == "--help" || x == "-h") {
            std::fputs(verb_help(verb), stdout);
            return 0;
        }
    }
    if (verb == "new") return cmd_new(args);
    if (verb == "env") return cmd_env(args);
    if (verb == "nvram") return cmd_nvram(args);
    if (verb == "clock") return cmd_clock(args);
    if (verb == "fault") return cmd_fault(args);
    if (verb == "usb") return cmd_usb(args);
    if (verb == "cable") return cmd_cable(args);
    if (verb == "net") return cmd_net(args);
    if (verb == "send") return cmd_send(args);
    if (verb == "status") return cmd_status(args);
    return cmd_boot_or_run(verb, args);
}
