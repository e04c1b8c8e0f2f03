#include "tools/boardsim/console/board_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "unique_fd.h"
#include "tools/boardsim/console/trace.h"
#include "tools/boardsim/console/transfer_port.h"
#include "tools/boardsim/network/uplink.h"
#include "tools/boardsim/sandbox/process.h"
#include "tools/boardsim/sandbox/stop_watchdog.h"

namespace {

std::atomic<pid_t> g_sandbox_pid{0};
std::atomic<bool> g_power_cut{false};
volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int sig) { g_stop_signal = sig; }

// Runs on the device server's thread, inside the write that used up the
// budget. The writer stays blocked in that write while the sandbox dies, so
// nothing on the board runs on after the cut (a process waiting on FUSE
// dies with SIGKILL; the rest of the sandbox follows its pid 1).
void on_power_cut(void*) {
    g_power_cut = true;
    pid_t pid = g_sandbox_pid.load();
    if (pid > 0) kill(pid, SIGKILL);
    struct timespec ts {0, 300'000'000};
    nanosleep(&ts, nullptr);
}

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) { struct pollfd pf{fd, POLLOUT, 0}; poll(&pf, 1, 100); continue; }
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
}

// The sandbox's first process as bubblewrap reports it on --info-fd
// ({"child-pid": N, ...}), or -1 when bubblewrap ended first.
pid_t read_sandbox_pid(int info) {
    std::string text;
    const std::int64_t deadline = monotonic_ns() + 15'000'000'000;
    while (text.find('}') == std::string::npos) {
        const std::int64_t left = deadline - monotonic_ns();
        struct pollfd pf {info, POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, static_cast<int>(left / 1'000'000) + 1) == 0) return -1;
        char buf[512];
        ssize_t n = ::read(info, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        text.append(buf, static_cast<std::size_t>(n));
    }
    auto key = text.find("\"child-pid\"");
    auto colon = key == std::string::npos ? key : text.find(':', key);
    if (colon == std::string::npos) return -1;
    long pid = std::strtol(text.c_str() + colon + 1, nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : -1;
}

// Starts the sandbox for req; its command runs once the board's uplink is
// ready (network/uplink.h). pass: further descriptors for the command.
// Returns bubblewrap's pid, or -1 with err set. A bubblewrap that fails on
// its own is returned too: its status and messages say why.
pid_t start_sandbox(const Session& s, SandboxRequest req, int in, int out, int errfd, std::vector<int> pass,
                    Uplink& uplink, std::string& err) {
    int info[2], block[2];
    if (pipe2(info, O_CLOEXEC) != 0) {
        err = "cannot make a pipe for bubblewrap.";
        return -1;
    }
    UniqueFd info_read(info[0]), info_write(info[1]);
    if (pipe2(block, O_CLOEXEC) != 0) {
        err = "cannot make a pipe for bubblewrap.";
        return -1;
    }
    UniqueFd block_read(block[0]), block_write(block[1]);
    req.info_fd = info[1];
    req.block_fd = block[0];
    ProgramIo io;
    io.in = in;
    io.out = out;
    io.err = errfd;
    io.keep = std::move(pass);
    io.keep.insert(io.keep.end(), {info[1], block[0]});
    pid_t pid = start_program(sandbox_argv(s, req), io);
    info_write.reset();
    block_read.reset();
    if (pid < 0) {
        err = "cannot start bubblewrap.";
        return -1;
    }
    pid_t inner = read_sandbox_pid(info_read.get());
    if (inner < 0) return pid;
    err = uplink_start(uplink, s, inner);
    if (!err.empty()) {
        kill_and_reap(pid);
        return -1;
    }
    write_all(block_write.get(), "x", 1);
    return pid;
}

std::vector<std::string> with_parent_dirs(const std::vector<std::string>& command,
                                          const std::vector<std::string>& ro_paths) {
    std::vector<std::string> out = ro_paths;
    if (!command.empty() && command[0].size() > 1 && command[0][0] == '/') {
        std::string parent = std::filesystem::path(command[0]).parent_path().string();
        // Paths of the board's own world are taken from inside the sandbox.
        bool board_path = false;
        // (/tmp is fresh and empty when the command starts, so a /tmp path is the host's.)
        for (const char* p : {"/bin", "/sbin", "/usr", "/lib", "/etc", "/dev", "/proc", "/user",
                              "/mnt", "/run", "/var"}) {
            std::string prefix = p;
            if (parent == prefix || parent.rfind(prefix + "/", 0) == 0) board_path = true;
        }
        std::error_code ec;
        if (!parent.empty() && parent != "/" && !board_path && std::filesystem::is_directory(parent, ec))
            out.push_back(parent);
    }
    return out;
}

struct RawTerminal {
    bool active = false;
    struct termios saved {};
    void enter() {
        if (!isatty(0) || tcgetattr(0, &saved) != 0) return;
        struct termios raw = saved;
        cfmakeraw(&raw);
        if (tcsetattr(0, TCSANOW, &raw) == 0) active = true;
    }
    void leave() {
        if (active) tcsetattr(0, TCSANOW, &saved);
        active = false;
    }
    ~RawTerminal() { leave(); }
};

struct Console {
    int master = -1;
    int slave = -1;          // kept open so the line survives between boots
    std::string slave_path;
    bool stdin_open = true;
    bool at_line_start = true;
    std::int64_t last_out_ns = 0;
    RawTerminal raw;
    TransferPort port;       // a program such as an XMODEM sender may take the line
    Trace trace;             // with --trace: the event log, shown between the board's lines
};

// How long a trace line waits for the board to finish a line it began (a
// prompt) before it is shown on a line of its own anyway.
constexpr std::int64_t kTraceLineWaitNs = 300'000'000;

std::string console_open(Console& c) {
    c.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (c.master < 0 || grantpt(c.master) != 0 || unlockpt(c.master) != 0)
        return "cannot allocate a pseudo-terminal for the console.";
    const char* name = ptsname(c.master);
    if (!name) return "cannot name the console pseudo-terminal.";
    c.slave_path = name;
    c.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (c.slave < 0) return "cannot open the console pseudo-terminal.";
    struct termios t {};
    tcgetattr(c.slave, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(c.slave, TCSANOW, &t);
    fcntl(c.master, F_SETFL, fcntl(c.master, F_GETFL) | O_NONBLOCK);
    return {};
}

void console_close(Console& c) {
    trace_close(c.trace);
    transfer_port_close(c.port);
    if (c.master >= 0) ::close(c.master);
    if (c.slave >= 0) ::close(c.slave);
    c.master = c.slave = -1;
}

void console_out(Console& c, const char* p, std::size_t n) {
    if (n == 0) return;
    write_all(1, p, n);
    c.at_line_start = p[n - 1] == '\n';
    c.last_out_ns = monotonic_ns();
}

// The events logged up to until_ns, as dimmed lines of their own. While the
// board is in the middle of a line they wait a little for its end.
void show_trace(Console& c, std::int64_t until_ns, bool flush = false) {
    if (c.trace.fd < 0) return;
    if (!c.at_line_start && !flush && monotonic_ns() - c.last_out_ns < kTraceLineWaitNs) return;
    const char* end = c.raw.active ? "\r\n" : "\n";
    std::string text = trace_take(c.trace, end, until_ns, flush);
    if (text.empty()) return;
    if (!c.at_line_start) text = end + text;
    console_out(c, text.data(), text.size());
}

// A boardsim message on its own line, whatever the board printed last.
void say(Console& c, const std::string& text) {
    std::string line = c.at_line_start ? "" : (c.raw.active ? "\r\n" : "\n");
    line += text + (c.raw.active ? "\r\n" : "\n");
    console_out(c, line.data(), line.size());
}

// Everything the board wrote and nobody read yet, unless a program has the line.
void drain(Console& c) {
    show_trace(c, monotonic_ns());
    if (c.port.client) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(c.master, buf, sizeof buf);
        if (n <= 0) break;
        console_out(c, buf, static_cast<std::size_t>(n));
    }
}

enum class Relay { child_exited, timeout, user_stop, signal_stop };

// Relays until the child ends. deadline_ns 0 = none. While a program has
// the line (console/transfer_port.h), neither the console nor standard input
// is read here.
Relay relay(Console& c, pid_t child, int& status, std::int64_t deadline_ns) {
    char buf[4096];
    for (;;) {
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) { drain(c); return Relay::child_exited; }
        if (g_stop_signal) return Relay::signal_stop;
        if (deadline_ns && monotonic_ns() >= deadline_ns) return Relay::timeout;
        const bool attached = static_cast<bool>(c.port.client);
        struct pollfd pf[4] = {{attached ? -1 : c.master, POLLIN, 0},
                               {attached || !c.stdin_open ? -1 : 0, POLLIN, 0},
                               {c.port.listener.get(), POLLIN, 0},
                               {c.port.client.get(), POLLIN, 0}};
        int n = poll(pf, 4, 20);
        if (n < 0) continue;
        // Events logged before the board's output was there come first; the
        // rest after it, at the next turn.
        show_trace(c, monotonic_ns());
        if (pf[0].revents & POLLIN) {
            ssize_t k = ::read(c.master, buf, sizeof buf);
            if (k > 0) console_out(c, buf, static_cast<std::size_t>(k));
        }
        if (pf[1].revents & (POLLIN | POLLHUP)) {
            ssize_t k = ::read(0, buf, sizeof buf);
            if (k <= 0) {
                c.stdin_open = false;
            } else {
                if (c.raw.active && std::memchr(buf, 0x1d, static_cast<std::size_t>(k))) return Relay::user_stop;
                write_all(c.master, buf, static_cast<std::size_t>(k));
            }
        }
        if (pf[2].revents & POLLIN) transfer_port_accept(c.port, c.master);
        if (pf[3].revents) {
            std::string back;
            transfer_port_take(c.port, c.master, back);
            console_out(c, back.data(), back.size());
        }
    }
}

}  // namespace

int board_boot(Session& s, const BootOptions& opt) {
    Console c;
    std::string err = console_open(c);
    if (err.empty()) err = transfer_port_open(c.port, s.board_dir);
    if (!err.empty()) {
        std::printf("boardsim: %s\n", err.c_str());
        console_close(c);
        return kBootSetupError;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    s.power.on_cut = on_power_cut;
    if (opt.trace) trace_open(c.trace, board_events_path(s.board_dir), s.log.t0_ns);
    event_log_start(s.log, "boot");
    c.raw.enter();

    const std::int64_t deadline = opt.timeout_seconds > 0
        ? monotonic_ns() + static_cast<std::int64_t>(opt.timeout_seconds * 1e9) : 0;
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int result = kBootNoLaunch;
    std::string last;
    for (int boot = 1;; ++boot) {
        session_prepare_boot(s, boot, opt.fast);
        event_log_write(s.log, "boot", opt.fast ? ",\"fast\":true" : "");
        if (boot > 1) say(c, "[boardsim: boot " + std::to_string(boot) + "]");
        SandboxRequest req;
        req.boot = true;
        req.console = c.slave_path;
        req.bootmgr = opt.bootmgr;
        req.ro_paths = opt.ro_paths;
        req.command = {std::string(kBoardRunDir) + "/tool", "_init", std::to_string(c.master)};
        g_power_cut = false;
        stop_watchdog_disarm();
        Uplink uplink;
        std::string net_err;
        pid_t child = start_sandbox(s, req, null, null, 2, {c.master}, uplink, net_err);
        if (child < 0) {
            result = kBootSetupError;
            last = net_err;
            break;
        }
        g_sandbox_pid = child;
        int status = 0;
        Relay why = relay(c, child, status, deadline);
        g_sandbox_pid = 0;
        stop_watchdog_arm("ending the board's processes");
        if (why != Relay::child_exited) {
            kill_and_reap(child);
            drain(c);
        }
        stop_watchdog_step("stopping the board's network");
        uplink_stop(uplink);
        stop_watchdog_step("ending the boot");
        if (why == Relay::timeout) {
            event_log_write(s.log, "timeout");
            result = kBootTimeout;
            char secs[32];
            std::snprintf(secs, sizeof secs, "%g", opt.timeout_seconds);
            last = std::string("timeout after ") + secs + " s in boot " + std::to_string(boot);
            break;
        }
        if (why == Relay::user_stop || why == Relay::signal_stop) {
            event_log_write(s.log, "stopped");
            result = kBootNoLaunch;
            last = "stopped " + std::string(why == Relay::user_stop ? "by the user" : "by a signal") +
                   " in boot " + std::to_string(boot) + ", no application launched";
            break;
        }
        if (session_marker(s, "launched")) {
            result = kBootLaunched;
            last = "application launched in boot " + std::to_string(boot) + " and ended";
            break;
        }
        bool reboot = session_marker(s, "reboot");
        if (g_power_cut) {
            // Power comes back: the board starts again with what the flash holds.
            power_restore(s.power);
            say(c, "[boardsim: power cut]");
            reboot = true;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 125 && !reboot) {
            result = kBootSetupError;
            last = "the sandbox could not start (see the messages above)";
            break;
        }
        if (!reboot) {
            last = "bootmgr ended without a reboot or an application launch in boot " + std::to_string(boot);
            break;
        }
        if (opt.max_boots > 0 && boot >= opt.max_boots) {
            last = std::to_string(boot) + " boot(s) ended without an application launch";
            break;
        }
    }
    if (null >= 0) ::close(null);
    show_trace(c, monotonic_ns(), true);
    std::string line = "boardsim: " + last;
    say(c, line);
    c.raw.leave();
    console_close(c);
    return result;
}

int board_run(Session& s, const std::vector<std::string>& command, const std::vector<std::string>& ro_paths) {
    event_log_start(s.log, "run");
    session_prepare_boot(s, 0, false);
    event_log_write(s.log, "run", ",\"command\":" + json_string_array(command));
    SandboxRequest req;
    req.ro_paths = with_parent_dirs(command, ro_paths);
    req.command = command;
    signal(SIGPIPE, SIG_IGN);
    // A stop request (a test runner's timeout, Ctrl-C) ends the sandbox
    // first, so that the device file system is unmounted cleanly.
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    Uplink uplink;
    std::string err;
    pid_t child = start_sandbox(s, req, -1, -1, -1, {}, uplink, err);
    if (child < 0) {
        std::fprintf(stderr, "boardsim: %s\n", err.c_str());
        return 2;
    }
    g_sandbox_pid = child;
    s.power.on_cut = on_power_cut;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) break;
        if (g_stop_signal) kill(child, SIGKILL);
    }
    g_sandbox_pid = 0;
    stop_watchdog_arm("stopping the board's network");
    uplink_stop(uplink);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
