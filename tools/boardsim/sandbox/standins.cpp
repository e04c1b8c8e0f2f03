#include "tools/boardsim/sandbox/standins.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <mtd/mtd-abi.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "strformat.h"
#include "unique_fd.h"
#include "tools/boardsim/boarddir/event_log.h"
#include "tools/boardsim/sandbox/process.h"
#include "tools/boardsim/sandbox/session.h"

namespace {

const std::string kRun = kBoardRunDir;  // NOLINT(cert-err58-cpp): without memory for a path no stand-in runs
constexpr const char* kBusybox = "/usr/bin/busybox";
constexpr const char* kApp = "/tmp/home/bin/mp.elf.strip";
constexpr std::int64_t kRebootGraceNs = 3'000'000'000;
constexpr std::int64_t kInitPeriodNs = 20'000'000;

struct BoardSessionInfo {
    std::int64_t t0 = 0;
    int boot = 0;
    bool fast = false;
    double stick_after = -1;  // board seconds until the stick is mounted; < 0: no stick
    int run = 0;
};

BoardSessionInfo read_session() {
    BoardSessionInfo info;
    std::ifstream f(kRun + "/session");
    int fast = 0;
    f >> info.t0 >> info.boot >> fast >> info.stick_after >> info.run;
    info.fast = fast != 0;
    return info;
}

EventLog open_log() {
    EventLog log;
    BoardSessionInfo info = read_session();
    event_log_open(log, kRun + "/events.log", info.t0, info.boot);
    log.run = info.run;
    return log;
}

void touch(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

std::vector<std::string> args_of(int argc, char** argv, int from = 1) {
    std::vector<std::string> out;
    for (int i = from; i < argc; ++i) out.emplace_back(argv[i]);
    return out;
}

void record_shell(const std::string& cmd, const std::vector<std::string>& args) {
    EventLog log = open_log();
    event_log_write(log, "shell", ",\"cmd\":" + json_string(cmd) + ",\"args\":" + json_string_array(args));
    event_log_close(log);
}

[[noreturn]] void exec_busybox(const std::string& applet, int argc, char** argv) {
    std::vector<char*> a{const_cast<char*>(kBusybox), const_cast<char*>(applet.c_str())};
    for (int i = 1; i < argc; ++i) a.push_back(argv[i]);
    a.push_back(nullptr);
    execv(kBusybox, a.data());
    std::fprintf(stderr, "%s: cannot run busybox: %s\n", applet.c_str(), std::strerror(errno));
    _exit(127);
}

// Last argument that is not an option: the mount point or device.
std::string last_operand(const std::vector<std::string>& args) {
    for (auto it = args.rbegin(); it != args.rend(); ++it)
        if (!it->empty() && (*it)[0] != '-') return *it;
    return {};
}

bool is_board_mount(const std::string& target) { return target == "/user" || target == "/mnt/usb"; }

int standin_mount(int argc, char** argv) {
    auto args = args_of(argc, argv);
    if (args.empty()) exec_busybox("mount", argc, argv);
    record_shell("mount", args);
    // /user and the USB stick are bound by the board itself: mounting them
    // succeeds without doing anything, whatever file system is named.
    if (is_board_mount(last_operand(args))) return 0;
    exec_busybox("mount", argc, argv);
}

int standin_umount(int argc, char** argv) {
    auto args = args_of(argc, argv);
    record_shell("umount", args);
    if (is_board_mount(last_operand(args))) return 0;
    exec_busybox("umount", argc, argv);
}

int standin_reboot(int argc, char** argv) {
    EventLog log = open_log();
    event_log_write(log, "reboot", ",\"args\":" + json_string_array(args_of(argc, argv)));
    event_log_close(log);
    touch(kRun + "/reboot");
    return 0;
}

int standin_date(int argc, char** argv) {
    auto args = args_of(argc, argv);
    // A request to set the clock: -s TIME, or a bare MMDDhhmm[[CC]YY][.ss].
    bool set = false;
    for (const auto& a : args)
        if (a == "-s" || a == "--set" || (!a.empty() && a[0] != '-' && a[0] != '+')) set = true;
    if (!set) exec_busybox("date", argc, argv);
    record_shell("date", args);
    return 0;
}

int erase_mtd(const std::string& dev) {
    int fd = ::open(dev.c_str(), O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "flash_eraseall: %s: %s\n", dev.c_str(), std::strerror(errno));
        return 1;
    }
    mtd_info_user info{};
    if (ioctl(fd, MEMGETINFO, &info) != 0) {
        std::fprintf(stderr, "flash_eraseall: %s: unable to get MTD device info\n", dev.c_str());
        ::close(fd);
        return 1;
    }
    for (std::uint32_t off = 0; off < info.size; off += info.erasesize) {
        erase_info_user e{off, info.erasesize};
        if (ioctl(fd, MEMERASE, &e) != 0) {
            std::fprintf(stderr, "flash_eraseall: %s: MTD Erase failure at 0x%x: %s\n", dev.c_str(), off,
                         std::strerror(errno));
            ::close(fd);
            return 1;
        }
    }
    std::printf("Erased %u Kibyte @ 0 -- 100 %% complete.\n", info.size / 1024);
    ::close(fd);
    return 0;
}

int standin_flash_eraseall(int argc, char** argv) {
    auto args = args_of(argc, argv);
    record_shell("flash_eraseall", args);
    std::string dev = last_operand(args);
    if (dev.empty()) {
        std::fprintf(stderr, "Usage: flash_eraseall [-q] MTD_DEVICE\n");
        return 1;
    }
    if (dev.find("mtd-user") != std::string::npos) {
        // The user partition holds /user: erasing it leaves an empty file system.
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/user", ec))
            std::filesystem::remove_all(e.path(), ec);
        std::printf("Erased user partition -- 100 %% complete.\n");
        return 0;
    }
    return erase_mtd(dev);
}

void record_exec(const std::string& program, const std::vector<std::string>& args) {
    EventLog log = open_log();
    std::string fields = ",\"program\":" + json_string(program) + ",\"args\":" + json_string_array(args);
    if (const char* pre = std::getenv("LD_PRELOAD"); pre && std::strstr(pre, "libduma"))
        fields += ",\"preload\":" + json_string(pre);
    event_log_write(log, "exec", fields);
    event_log_close(log);
    touch(kRun + "/launched");
}

int standin_backtrace(int argc, char** argv) {
    auto args = args_of(argc, argv);
    record_exec("/bin/backtrace", args);
    std::vector<std::string> cmd = args.empty() ? std::vector<std::string>{kApp} : args;
    if (access(cmd[0].c_str(), X_OK) != 0 && cmd[0].find('/') != std::string::npos) {
        std::fprintf(stderr, "backtrace: cannot start %s: %s\n", cmd[0].c_str(), std::strerror(errno));
        return 127;
    }
    return run_and_wait(cmd);
}

int standin_gdbserver(int argc, char** argv) {
    auto args = args_of(argc, argv);
    record_exec("/bin/gdbserver", args);
    // gdbserver [OPTIONS] COMM PROG [ARGS]: COMM is host:port or :port.
    std::size_t i = 0;
    while (i < args.size() && args[i].rfind("--", 0) == 0) ++i;
    if (i + 1 >= args.size()) {
        std::fprintf(stderr, "Usage: gdbserver COMM PROG [ARGS ...]\n");
        return 1;
    }
    std::printf("Listening on port %s\n", args[i].c_str() + (args[i].find(':') + 1));
    std::fflush(stdout);
    return run_and_wait(std::vector<std::string>(args.begin() + static_cast<long>(i) + 1, args.end()));
}

// lrzsz's rx refuses absolute paths in its restricted mode: the board's rx
// adds -U. The real program is the same binary as rz, which picks the
// protocol from the name it is called by, so it runs as "rx".
int standin_rx(int argc, char** argv) {
    record_shell("rx", args_of(argc, argv));
    std::vector<char*> a{const_cast<char*>("rx"), const_cast<char*>("-U")};
    for (int i = 1; i < argc; ++i) a.push_back(argv[i]);
    a.push_back(nullptr);
    execv("/usr/bin/rz", a.data());
    std::fprintf(stderr, "rx: cannot run /usr/bin/rz: %s\n", std::strerror(errno));
    return 127;
}

// The kernel reports a port running (IFF_RUNNING) only once its link watch
// has seen the carrier, which may take up to a second after the port went
// up. A switch waits three seconds after dhclient before it looks at the
// link; in a fast boot those are 0.3 s of host time, so the port could still
// look down although its cable is plugged. This waits, in host time (a raw
// nanosleep, which the fast boot's time library does not scale), until the
// port is reported running or has no carrier, for at most two seconds.
void wait_until_link_reported(const std::string& iface) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return;
    for (int i = 0; i < 100; ++i) {
        ifreq req{};
        std::strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ - 1);
        if (::ioctl(sock.get(), SIOCGIFFLAGS, &req) != 0 || (req.ifr_flags & IFF_RUNNING)) return;
        ethtool_value link{};
        link.cmd = ETHTOOL_GLINK;
        req.ifr_data = reinterpret_cast<char*>(&link);
        if (::ioctl(sock.get(), SIOCETHTOOL, &req) != 0 || link.data == 0) return;
        const timespec pause{0, 20'000'000};
        ::syscall(SYS_nanosleep, &pause, nullptr);
    }
}

// dhclient [-1] [-v] [-q] [-d] [IFACE]: the board's DHCP client is busybox's
// udhcpc, which asks up to three times, a second apart. -1 (one try, then
// give up with status 2) becomes -n; without it udhcpc goes on asking in the
// background. Either way udhcpc quits once it holds a lease (-q) instead of
// staying to renew it: a lease lasts an hour, longer than a boot. The lease
// is applied by /etc/udhcpc/default.script (standin_lease_script).
int standin_dhclient(int argc, char** argv) {
    auto args = args_of(argc, argv);
    record_shell("dhclient", args);
    bool once = false;
    std::string iface = "eth0";
    for (const auto& a : args) {
        if (a == "-1") {
            once = true;
        } else if (a == "-v" || a == "-q" || a == "-d") {
            continue;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "dhclient: unsupported option %s (the board's dhclient knows -1, -v, -q, -d)\n",
                         a.c_str());
            return 2;
        } else {
            iface = a;
        }
    }
    int rc = run_and_wait({kBusybox, "udhcpc", "-i", iface, "-f", "-q", "-t", "3", "-T", "1", once ? "-n" : "-b"});
    wait_until_link_reported(iface);
    return rc == 0 ? 0 : 2;
}

// udhcpc's script: $1 is the event, the lease is in the environment
// ($interface, $ip, $subnet, $serverid, $lease). deconfig brings the port up
// without an address, bound and renew set the lease's address and netmask
// with the board's ifconfig. The emulated network offers no router (it leads
// nowhere), so none is set. bound, renew and leasefail are "dhcp" events.
int standin_lease_script(int argc, char** argv) {
    const std::string event = argc > 1 ? argv[1] : "";
    auto env = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    const std::string iface = env("interface");
    if (event == "deconfig") return run_and_wait({kBusybox, "ifconfig", iface, "0.0.0.0", "up"});
    if (event != "bound" && event != "renew" && event != "leasefail") return 0;
    std::string fields = ",\"event\":" + json_string(event) + ",\"interface\":" + json_string(iface);
    int rc = 0;
    if (event != "leasefail") {
        fields += ",\"ip\":" + json_string(env("ip")) + ",\"subnet\":" + json_string(env("subnet")) +
                  ",\"server\":" + json_string(env("serverid")) + ",\"lease\":" + json_string(env("lease"));
        rc = run_and_wait({kBusybox, "ifconfig", iface, env("ip"), "netmask", env("subnet"), "up"});
    }
    EventLog log = open_log();
    event_log_write(log, "dhcp", fields);
    event_log_close(log);
    return rc;
}

// --- board init --------------------------------------------------------

std::vector<std::string> read_nul_list(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> out;
    std::string item;
    while (std::getline(f, item, '\0')) out.push_back(item);
    return out;
}

// Debugger runs (/tmp/gdb, started by bootmgr through the shell) and
// memory-checker runs (the application with the checker preloaded) have no
// stand-in of their own. The init sees every program start on the board
// through a seccomp user notification on execve/execveat, which holds the
// caller until the init has looked at the path, arguments and environment,
// so even a run of a few microseconds is recorded. On a kernel without
// that facility it falls back to looking at the process list now and then.

// Records a debugger start (a launch: it ends the boardsim run once it has
// ended) or a memory-checker run of the application (recorded once per boot,
// but not a launch: bootmgr reboots the board after it), unless a launcher
// was recorded already in this boot.
void record_launch(const std::string& path, const std::vector<std::string>& argv,
                   const std::vector<std::string>& envp) {
    if (access((kRun + "/launched").c_str(), F_OK) == 0) return;
    std::string preload;
    for (const auto& v : envp)
        if (v.rfind("LD_PRELOAD=", 0) == 0) preload = v.substr(11);
    std::vector<std::string> args(argv.size() > 1 ? argv.begin() + 1 : argv.end(), argv.end());
    if (path == "/tmp/gdb") {
        record_exec("/tmp/gdb", args);
    } else if (path == kApp && preload.find("libduma") != std::string::npos &&
               access((kRun + "/memchk").c_str(), F_OK) != 0) {
        EventLog log = open_log();
        event_log_write(log, "exec", ",\"program\":" + json_string(kApp) + ",\"args\":" +
                                         json_string_array(args) + ",\"preload\":" + json_string(preload));
        event_log_close(log);
        touch(kRun + "/memchk");
    }
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

// The console drains. A program that waits until its output has left
// (tcdrain: TCSBRK with a non-zero argument) and then flushes the line
// (lrzsz rx's last ACK, a prompt printed before switching the line's speed)
// finds on a UART that its output has gone. On the pseudo-terminal, bytes
// the master side has not taken in yet are thrown away by the flush, and
// tcdrain does not wait for anything. So the init, which holds the console's
// master, holds every tcdrain (seccomp notification) until the master side
// has read all the board wrote: a poll of the master takes pending bytes in
// and reports nothing once they have been read. A master side that does not
// read releases the caller after kDrainLimitNs, as a line would after a while.
constexpr std::int64_t kDrainLimitNs = 1'000'000'000;

void wait_console_drained(int master) {
    const std::int64_t deadline = monotonic_ns() + kDrainLimitNs;
    for (;;) {
        struct pollfd pf {master, POLLIN, 0};
        if (poll(&pf, 1, 0) == 0 || monotonic_ns() >= deadline) return;
        usleep(200);
    }
}

// Low 32 bits of a system call argument (both architectures are little-endian).
constexpr std::uint32_t arg_offset(std::size_t i) {
    return static_cast<std::uint32_t>(offsetof(struct seccomp_data, args) + sizeof(std::uint64_t) * i);
}

// In the child, before it executes bootmgr: returns the listener descriptor
// or -1 when notifications are not available. Notified: execve, execveat,
// and ioctl(fd, TCSBRK, non-zero) (tcdrain).
int install_listener() {
    if (kAuditArch == 0) return -1;
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 7, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 6, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_offset(1)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TCSBRK, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_offset(2)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    struct sock_fprog prog {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    long fd = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    return fd < 0 ? -1 : static_cast<int>(fd);
}

// Reads a NUL-terminated string of at most 4095 bytes at addr in the
// process's memory; empty when it cannot be read.
std::string read_string(int mem, std::uint64_t addr) {
    std::string out;
    char buf[256];
    while (addr != 0 && out.size() < 4096) {
        ssize_t n = pread(mem, buf, sizeof buf, static_cast<off_t>(addr));
        if (n <= 0) break;
        const char* nul = static_cast<const char*>(std::memchr(buf, 0, static_cast<std::size_t>(n)));
        if (nul) return out.append(buf, static_cast<std::size_t>(nul - buf));
        out.append(buf, static_cast<std::size_t>(n));
        addr += static_cast<std::uint64_t>(n);
    }
    return out;
}

// Reads a NULL-terminated pointer array (argv or envp), at most limit items.
std::vector<std::string> read_string_array(int mem, std::uint64_t addr, std::size_t limit) {
    std::vector<std::string> out;
    while (addr != 0 && out.size() < limit) {
        std::uint64_t p = 0;
        if (pread(mem, &p, sizeof p, static_cast<off_t>(addr)) != sizeof p || p == 0) break;
        out.push_back(read_string(mem, p));
        addr += sizeof p;
    }
    return out;
}

// Serves one notification: look at an exec, or let the console drain; then
// let the call go on.
void serve_notification(int listener, int console_master) {
    struct seccomp_notif_sizes sizes {};
    if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) return;
    std::vector<char> req_buf(std::max<std::size_t>(sizes.seccomp_notif, sizeof(seccomp_notif)), 0);
    std::vector<char> resp_buf(std::max<std::size_t>(sizes.seccomp_notif_resp, sizeof(seccomp_notif_resp)), 0);
    auto* req = reinterpret_cast<seccomp_notif*>(req_buf.data());
    auto* resp = reinterpret_cast<seccomp_notif_resp*>(resp_buf.data());
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, req) != 0) return;
    if (req->data.nr == __NR_ioctl) {
        wait_console_drained(console_master);
    } else if (access((kRun + "/launched").c_str(), F_OK) != 0) {
        const bool at = req->data.nr == __NR_execveat;
        std::uint64_t path_arg = req->data.args[at ? 1 : 0];
        std::uint64_t argv_arg = req->data.args[at ? 2 : 1];
        std::uint64_t envp_arg = req->data.args[at ? 3 : 2];
        int mem = ::open(("/proc/" + std::to_string(req->pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
        if (mem >= 0) {
            std::string path = read_string(mem, path_arg);
            if (path == "/tmp/gdb" || path == kApp)
                record_launch(path, read_string_array(mem, argv_arg, 256), read_string_array(mem, envp_arg, 1024));
            ::close(mem);
        }
    }
    resp->id = req->id;
    resp->error = 0;
    resp->val = 0;
    resp->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, resp);
}

// Fallback: the process list, every poll period.
void scan_launches(std::set<int>& seen) {
    if (access((kRun + "/launched").c_str(), F_OK) == 0) return;
    DIR* d = opendir("/proc");
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        int pid = std::atoi(e->d_name);  // NOLINT(cert-err34-c): names that are not numbers give 0, skipped below
        if (pid <= 0 || seen.count(pid)) continue;
        auto cmd = read_nul_list(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmd.empty()) continue;
        // A script runs as "/bin/sh SCRIPT ARGS": look at the script.
        if (cmd.size() > 1 && (cmd[1] == "/tmp/gdb" || cmd[1] == kApp)) cmd.erase(cmd.begin());
        if (cmd[0] != "/tmp/gdb" && cmd[0] != kApp) continue;
        seen.insert(pid);
        record_launch(cmd[0], cmd, read_nul_list(std::string("/proc/") + e->d_name + "/environ"));
    }
    closedir(d);
}

// The platform mounts the USB stick (bound read-only at run/stick) at
// /mnt/usb, then makes the marker /tmp/usb that bootmgr waits for.
void mount_stick(double after) {
    const std::string stick = kRun + "/stick";
    if (::mount(stick.c_str(), "/mnt/usb", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        ::mount(nullptr, "/mnt/usb", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        std::fprintf(stderr, "boardsim init: cannot mount the USB stick: %s\n", std::strerror(errno));
        return;
    }
    ::mkdir("/tmp/usb", 0755);
    EventLog log = open_log();
    event_log_write(log, "usb-mount", ",\"after\":" + strformat("%g", after));
    event_log_close(log);
}

// console_master: the console's pseudo-terminal master, passed down by
// boardsim (kept by the init alone; see wait_console_drained).
int board_init(int console_master) {
    fcntl(console_master, F_SETFD, FD_CLOEXEC);
    BoardSessionInfo info = read_session();
    setsid();
    int tty = ::open("/dev/ttyS0", O_RDWR);
    if (tty < 0) {
        std::perror("boardsim init: /dev/ttyS0");
        return 125;
    }
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, 0);
    dup2(tty, 1);
    dup2(tty, 2);
    if (tty > 2) ::close(tty);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);

    if (info.stick_after == 0) mount_stick(0);
    int socks[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socks);
    pid_t child = fork();
    if (child < 0) return 125;
    if (child == 0) {
        ::close(socks[0]);
        int listener = install_listener();
        send_fd(socks[1], listener);
        if (listener >= 0) ::close(listener);
        ::close(socks[1]);
        setpgid(0, 0);
        tcsetpgrp(0, getpid());
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGTSTP, SIG_DFL);
        signal(SIGTTOU, SIG_DFL);
        if (info.fast) {
            setenv("LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1", 1);
            setenv("FAKETIME", ("+0 x" + std::to_string(kFastFactor)).c_str(), 1);
            setenv("FAKETIME_DONT_RESET", "1", 1);
            // rx relies on alarm(), which the library scales badly.
            setenv("FAKETIME_SKIP_CMDS", "rx", 1);
            // A sanitizer build of bootmgr must tolerate the preload.
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        }
        execl("/sbin/bootmgr", "/sbin/bootmgr", static_cast<char*>(nullptr));
        std::perror("boardsim init: /sbin/bootmgr");
        _exit(127);
    }
    setpgid(child, child);
    // The stick's delay counts from bootmgr's start, in board time.
    std::int64_t stick_due = 0;
    if (info.stick_after > 0)
        stick_due = monotonic_ns() + static_cast<std::int64_t>(info.stick_after * 1e9 / (info.fast ? kFastFactor : 1));
    ::close(socks[1]);
    const int listener = receive_fd(socks[0]);
    ::close(socks[0]);

    std::set<int> seen;
    std::int64_t reboot_seen_at = 0;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) break;
        if (stick_due != 0 && monotonic_ns() >= stick_due) {
            mount_stick(info.stick_after);
            stick_due = 0;
        }
        if (listener < 0) scan_launches(seen);
        if (access((kRun + "/reboot").c_str(), F_OK) == 0) {
            if (reboot_seen_at == 0) reboot_seen_at = monotonic_ns();
            else if (monotonic_ns() - reboot_seen_at > kRebootGraceNs) {
                // The board restarts whether or not bootmgr is done.
                EventLog log = open_log();
                event_log_write(log, "exit", ",\"reason\":\"reboot\"");
                event_log_close(log);
                kill(-1, SIGKILL);
                return 0;
            }
        }
        // Look again after 20 ms, or when the stick is due if that is sooner.
        std::int64_t wait_ns = kInitPeriodNs;
        if (stick_due != 0) wait_ns = std::clamp<std::int64_t>(stick_due - monotonic_ns(), 0, wait_ns);
        struct pollfd pf {listener, POLLIN, 0};
        bool waited = false;
        if (listener >= 0) {
            int n = poll(&pf, 1, static_cast<int>((wait_ns + 999'999) / 1'000'000));
            if (n > 0 && (pf.revents & POLLIN)) {
                serve_notification(listener, console_master);
                continue;
            }
            waited = n == 0;  // a hung-up listener returns at once
        }
        if (!waited) {
            struct timespec ts {0, static_cast<long>(wait_ns)};
            nanosleep(&ts, nullptr);
        }
    }
    EventLog log = open_log();
    if (WIFEXITED(status))
        event_log_write(log, "exit", ",\"status\":" + std::to_string(WEXITSTATUS(status)));
    else
        event_log_write(log, "exit", ",\"signal\":" + std::to_string(WTERMSIG(status)));
    event_log_close(log);
    kill(-1, SIGKILL);  // nothing of this boot outlives it
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int standin_main(int argc, char** argv) {
    if (argc < 1) return -1;
    std::string name = argv[0];
    if (auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
    if (name == "tool" && argc == 3 && std::strcmp(argv[1], "_init") == 0)
        return board_init(std::atoi(argv[2]));  // NOLINT(cert-err34-c): boardsim passes the descriptor
    if (name == "mount") return standin_mount(argc, argv);
    if (name == "umount") return standin_umount(argc, argv);
    if (name == "reboot") return standin_reboot(argc, argv);
    if (name == "date") return standin_date(argc, argv);
    if (name == "flash_eraseall") return standin_flash_eraseall(argc, argv);
    if (name == "backtrace") return standin_backtrace(argc, argv);
    if (name == "gdbserver") return standin_gdbserver(argc, argv);
    if (name == "dhclient") return standin_dhclient(argc, argv);
    if (name == "default.script") return standin_lease_script(argc, argv);
    if (name == "rx") return standin_rx(argc, argv);
    return -1;
}
