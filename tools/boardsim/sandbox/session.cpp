#include "tools/boardsim/sandbox/session.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "strformat.h"
#include "unique_fd.h"
#include "tools/boardsim/network/uplink.h"
#include "tools/boardsim/sandbox/process.h"

namespace fs = std::filesystem;

static const char* kBwrap = "/usr/bin/bwrap";
static const char* kBusybox = "/usr/bin/busybox";

const std::vector<std::string>& standin_names() {
    static const std::vector<std::string> names{"mount", "umount", "reboot", "date", "flash_eraseall",
                                                "backtrace", "gdbserver", "dhclient"};
    return names;
}

static bool run_quiet(const std::vector<std::string>& argv) {
    UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    ProgramIo io;
    io.in = io.out = io.err = null.get();
    pid_t pid = start_program(argv, io);
    return pid > 0 && wait_exit_status(pid) == 0;
}

std::string session_check_host() {
    if (access(kBwrap, X_OK) != 0)
        return "bubblewrap is missing: install the Debian package bubblewrap (scripts/install-deps).";
    if (access(kBusybox, X_OK) != 0)
        return "busybox is missing: install the Debian package busybox (scripts/install-deps).";
    if (access(kIpTool, X_OK) != 0)
        return "ip is missing: install the Debian package iproute2 (scripts/install-deps).";
    if (access(kDnsmasq, X_OK) != 0)
        return "dnsmasq is missing: install the Debian package dnsmasq-base (scripts/install-deps).";
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return "/dev/fuse is missing or not usable by this user: install fuse3 and load the fuse "
               "kernel module (modprobe fuse), or run with access to /dev/fuse.";
    ::close(fd);
    if (geteuid() != 0 && access("/usr/bin/fusermount3", X_OK) != 0)
        return "fusermount3 is missing: install the Debian package fuse3 (scripts/install-deps).";
    if (!run_quiet({kBwrap, "--unshare-user", "--uid", "0", "--gid", "0", "--ro-bind", "/", "/",
                    "/bin/true"}))
        return "user namespaces are not available: enable them (sysctl kernel.unprivileged_userns_clone=1 "
               "and user.max_user_namespaces > 0) so that bubblewrap can start the sandbox.";
    return {};
}

static std::vector<std::string> busybox_applets() {
    std::vector<std::string> out;
    FILE* p = popen("/usr/bin/busybox --list", "r");  // NOLINT(cert-env33-c): a fixed command line
    if (!p) return out;
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
        std::string a(line);
        while (!a.empty() && (a.back() == '\n' || a.back() == '\r')) a.pop_back();
        if (!a.empty() && a.find('/') == std::string::npos) out.push_back(a);
    }
    pclose(p);
    return out;
}

static bool write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::trunc);
    f << text;
    return static_cast<bool>(f.flush());
}

// The session's mount points, relative to the session directory.
static const char* const kMountPoints[] = {"/dev", "/user"};

// Removes the session directory once none of its mount points is left:
// removing it through a mount would delete the board's own files. (A mount
// point, live or dead, cannot be removed with rmdir.)
static void remove_session_dir(const std::string& dir) {
    bool mounted = false;
    for (const char* m : kMountPoints)
        if (::rmdir((dir + m).c_str()) != 0 && errno != ENOENT) mounted = true;
    std::error_code ec;
    if (!mounted) fs::remove_all(dir, ec);
}

// File systems of boardsim runs that were killed outright stay mounted with
// no server behind them ("transport endpoint is not connected"). They are
// recognised by their name and that error, and detached, so /tmp does not
// fill with dead mounts.
static void remove_dead_mounts(const std::string& tmp_root) {
    std::ifstream mounts("/proc/self/mounts");
    std::string fsname, where, rest;
    while (mounts >> fsname >> where && std::getline(mounts, rest)) {
        if (fsname != "boardsim" || where.rfind(tmp_root + "/boardsim.", 0) != 0) continue;
        // statfs always reaches the server (stat may be answered from the
        // attribute cache for a second); a live mount of another run answers.
        struct statfs sf {};
        if (::statfs(where.c_str(), &sf) == 0 || errno != ENOTCONN) continue;
        if (umount2(where.c_str(), MNT_DETACH) != 0) continue;
        remove_session_dir(fs::path(where).parent_path().string());
    }
}

std::string session_start(Session& s, const std::string& board_dir,
                          const std::vector<std::string>& extra_faults) {
    s.board_dir = fs::absolute(board_dir).lexically_normal().string();
    while (s.board_dir.size() > 1 && s.board_dir.back() == '/') s.board_dir.pop_back();
    std::string err = board_config_load(s.board_dir, s.cfg);
    if (!err.empty()) return err;
    for (const auto& f : extra_faults) {
        err = board_fault_set(s.cfg, f);
        if (!err.empty()) return err;
    }
    err = board_faults_parse(s.cfg, s.faults);
    if (!err.empty()) return err;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "cannot find the boardsim binary (/proc/self/exe).";
    s.self_exe.assign(exe, static_cast<std::size_t>(n));

    const char* tmp = std::getenv("TMPDIR");
    const std::string tmp_root = tmp && *tmp ? tmp : "/tmp";
    if (geteuid() == 0) remove_dead_mounts(tmp_root);
    std::string templ = tmp_root + "/boardsim.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "cannot make a session directory under " + templ;
    s.dir = buf.data();
    std::error_code ec;
    for (const char* sub : {"/dev", "/user", "/etc", "/run"}) fs::create_directory(s.dir + sub, ec);
    write_file(s.dir + "/etc/passwd", "root:x:0:0:root:/:/bin/sh\n");
    write_file(s.dir + "/etc/group", "root:x:0:\n");
    write_file(s.dir + "/etc/hosts", "127.0.0.1 localhost\n");
    write_file(s.dir + "/etc/hostname", "switch\n");
    fs::copy_file("/etc/ld.so.cache", s.dir + "/etc/ld.so.cache", ec);
    fs::create_directory(s.dir + "/etc/udhcpc", ec);
    fs::create_symlink(std::string(kBoardRunDir) + "/tool", s.dir + "/etc/udhcpc/default.script", ec);
    write_file(s.dir + "/run/tool", "");
    fs::create_directory(s.dir + "/run/stick", ec);
    write_file(s.dir + "/run/events.log", "");

    fs::create_directories(s.board_dir + "/user", ec);
    std::int64_t t0 = monotonic_ns();
    if (!event_log_open(s.log, board_events_path(s.board_dir), t0, 0)) {
        session_stop(s);
        return "cannot open " + board_events_path(s.board_dir) + " for appending.";
    }
    s.log.run = event_log_last_run(board_events_path(s.board_dir)) + 1;
    s.devices.log = &s.log;
    s.power.log = &s.log;
    power_arm(s.power, s.faults.power_cuts);
    s.devices.power = &s.power;
    err = devices_open(s.devices, s.board_dir, s.cfg, s.faults);
    if (err.empty()) err = device_server_start(s.server, s.devices, s.dir + "/dev");
    if (err.empty()) err = user_fs_start(s.user, s.board_dir + "/user", s.power, &s.log, s.dir + "/user");
    if (!err.empty()) {
        session_stop(s);
        return err;
    }
    s.applets = busybox_applets();
    if (s.applets.empty()) {
        session_stop(s);
        return "busybox --list gave no applets: install the Debian package busybox.";
    }
    return {};
}

void session_stop(Session& s) {
    user_fs_stop(s.user);
    device_server_stop(s.server);
    devices_close(s.devices);
    event_log_close(s.log);
    if (!s.dir.empty()) {
        remove_session_dir(s.dir);
        s.dir.clear();
    }
}

void session_prepare_boot(Session& s, int boot, bool fast) {
    BoardConfig now;
    if (board_config_load(s.board_dir, now).empty()) {
        s.cfg.usb_inserted = now.usb_inserted;
        s.cfg.usb_mount_after = now.usb_mount_after;
    }
    s.log.boot = boot;
    ::unlink((s.dir + "/run/reboot").c_str());
    ::unlink((s.dir + "/run/launched").c_str());
    ::unlink((s.dir + "/run/memchk").c_str());
    const double stick = s.cfg.usb_inserted ? s.cfg.usb_mount_after : -1;
    write_file(s.dir + "/run/session", std::to_string(s.log.t0_ns) + " " + std::to_string(boot) + " " +
                                           (fast ? "1" : "0") + " " + strformat("%g", stick) + " " +
                                           std::to_string(s.log.run) + "\n");
}

bool session_marker(const Session& s, const char* name) {
    return access((s.dir + "/run/" + name).c_str(), F_OK) == 0;
}

std::vector<std::string> sandbox_argv(const Session& s, const SandboxRequest& req) {
    std::vector<std::string> a{kBwrap,
                               "--unshare-user", "--uid", "0", "--gid", "0", "--cap-add", "ALL",
                               "--unshare-net", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
                               "--hostname", "switch", "--die-with-parent", "--clearenv",
                               "--setenv", "PATH", "/bin:/sbin:/usr/bin:/usr/sbin",
                               "--setenv", "HOME", "/", "--setenv", "TERM", "vt100",
                               "--ro-bind", "/usr", "/usr",
                               "--symlink", "usr/lib", "/lib"};
    auto add = [&](std::initializer_list<std::string> items) { a.insert(a.end(), items); };
    if (fs::exists("/usr/lib64")) add({"--symlink", "usr/lib64", "/lib64"});
    if (fs::exists("/usr/lib32")) add({"--symlink", "usr/lib32", "/lib32"});
    add({"--ro-bind", s.dir + "/etc", "/etc", "--proc", "/proc", "--dev", "/dev",
         "--dir", "/bin", "--dir", "/sbin", "--dir", "/mnt", "--dir", "/var", "--dir", "/run"});
    std::string tool = std::string(kBoardRunDir) + "/tool";
    auto is_standin = [](const std::string& n) {
        for (const auto& x : standin_names())
            if (x == n) return true;
        return false;
    };
    // The board calls some tools through busybox itself ("/bin/busybox md5sum").
    add({"--symlink", kBusybox, "/bin/busybox"});
    for (const auto& ap : s.applets)
        if (!is_standin(ap)) add({"--symlink", kBusybox, "/bin/" + ap});
    for (const auto& n : standin_names()) add({"--symlink", tool, "/bin/" + n});
    for (const char* n : {"reboot", "flash_eraseall", "dhclient"}) add({"--symlink", tool, std::string("/sbin/") + n});
    for (const auto& f : s.server.files) add({"--bind", s.dir + "/dev/" + f, "/dev/" + f});
    if (!req.console.empty()) add({"--dev-bind", req.console, "/dev/ttyS0"});
    add({"--tmpfs", "/tmp", "--bind", s.dir + "/user", "/user", "--dir", "/mnt/usb"});
    add({"--bind", s.dir + "/run", kBoardRunDir,
         "--ro-bind", s.self_exe, tool,
         "--bind", board_events_path(s.board_dir), std::string(kBoardRunDir) + "/events.log"});
    if (s.cfg.usb_inserted) {
        std::error_code ec;
        fs::create_directories(s.board_dir + "/usb", ec);
        if (req.boot) add({"--ro-bind", s.board_dir + "/usb", std::string(kBoardRunDir) + "/stick"});
        else add({"--ro-bind", s.board_dir + "/usb", "/mnt/usb", "--dir", "/tmp/usb"});
    }
    if (access("/usr/bin/rx", X_OK) == 0 && access("/usr/bin/rz", X_OK) == 0)
        add({"--ro-bind", s.self_exe, "/usr/bin/rx"});
    if (!req.bootmgr.empty()) add({"--ro-bind", req.bootmgr, "/sbin/bootmgr"});
    // A coverage build writes its counters beside its objects: that tree is
    // writable at its own path (BOARDSIM_COVERAGE_DIR, set by make coverage).
    if (const char* cov = std::getenv("BOARDSIM_COVERAGE_DIR"); cov != nullptr && *cov == '/')
        add({"--bind", cov, cov});
    for (const auto& p : req.ro_paths) add({"--ro-bind", p, p});
    if (req.info_fd >= 0) add({"--info-fd", std::to_string(req.info_fd)});
    if (req.block_fd >= 0) add({"--block-fd", std::to_string(req.block_fd)});
    add({"--chdir", "/", "--"});
    a.insert(a.end(), req.command.begin(), req.command.end());
    return a;
}
