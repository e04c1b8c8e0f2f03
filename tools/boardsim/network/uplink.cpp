#include "tools/boardsim/network/uplink.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "fd_io.h"
#include "unique_fd.h"
#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/event_log.h"
#include "tools/boardsim/sandbox/process.h"

namespace {

constexpr const char* kPort = "uplink";
constexpr std::int64_t kSecondNs = 1'000'000'000;
constexpr unsigned kTftpPort = 69;
constexpr unsigned kDhcpPort = 67;

std::string errno_text() { return std::strerror(errno); }

// Waits for pid to end, at most timeout_ns, then kills it. Returns its wait status.
int reap(pid_t pid, std::int64_t timeout_ns) {
    const std::int64_t deadline = monotonic_ns() + timeout_ns;
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return st;
        if (monotonic_ns() >= deadline) break;
        usleep(5000);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    return st;
}

// --- the uplink process ----------------------------------------------------

std::set<std::string> interface_names() {
    std::set<std::string> out;
    if (struct if_nameindex* list = if_nameindex()) {
        for (auto* p = list; p->if_index != 0; ++p) out.insert(p->if_name);
        if_freenameindex(list);
    }
    return out;
}

// bubblewrap writes the sandbox's uid map just after it reports the pid;
// a process that joined the namespace before would have no uid there.
bool wait_for_user_map(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/uid_map";
    const std::int64_t deadline = monotonic_ns() + 5 * kSecondNs;
    while (monotonic_ns() < deadline) {
        std::ifstream f(path);
        if (!f) return false;
        std::string line;
        if (std::getline(f, line) && !line.empty()) return true;
        usleep(1000);
    }
    return false;
}

bool set_link(bool up) {
    UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, kPort, IFNAMSIZ - 1);
    if (!s || ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0) return false;
    if (up) ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    else ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
    return ioctl(s.get(), SIOCSIFFLAGS, &ifr) == 0;
}

// True when a UDP socket of this process's network namespace is bound to port.
bool udp_port_bound(unsigned port) {
    std::ifstream f("/proc/self/net/udp");
    std::string line;
    std::getline(f, line);  // column titles
    while (std::getline(f, line)) {
        // "  12: 0A01A8C0:0045 00000000:0000 07 ...": slot, local address:port, ...
        std::istringstream in(line);
        std::string slot, local;
        in >> slot >> local;
        auto colon = local.find(':');
        if (colon != std::string::npos && std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
    }
    return false;
}

std::vector<std::string> dnsmasq_argv(const std::string& dir, const std::string& leases, bool dhcp) {
    std::vector<std::string> a{kDnsmasq,
                               "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                               "--port=0",  // no DNS
                               // Stay the namespace's root: there is no other user to change to.
                               "--user=", "--group=", "--pid-file=",
                               // uplink only: dnsmasq would add lo of its own accord
                               "--bind-interfaces", std::string("--interface=") + kPort, "--except-interface=lo",
                               std::string("--listen-address=") + kPeerAddress,
                               "--enable-tftp", "--tftp-root=" + dir + "/tftp",
                               "--log-facility=" + dir + "/network.log"};
    if (dhcp) {
        a.insert(a.end(), {std::string("--dhcp-range=") + kPoolFirst + "," + kPoolLast + ",255.255.255.0,1h",
                           // Options without a value are not sent: no router, no name server.
                           "--dhcp-option=option:router", "--dhcp-option=option:dns-server",
                           // Offer at once: a ping check of the address holds each offer for seconds.
                           "--no-ping", "--dhcp-leasefile=" + leases});
    }
    return a;
}

// Starts dnsmasq and waits until its sockets are bound. Returns its pid, or
// -1 (it ended, or did not bind in time).
pid_t start_server(const std::string& dir, const std::string& leases, bool dhcp) {
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ProgramIo io;
    io.in = null.get();
    io.out = 2;
    io.die_with_parent = true;
    pid_t pid = start_program(dnsmasq_argv(dir, leases, dhcp), io);
    if (pid < 0) return -1;
    const std::int64_t deadline = monotonic_ns() + 5 * kSecondNs;
    while (monotonic_ns() < deadline) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) return -1;
        if (udp_port_bound(kTftpPort) && (!dhcp || udp_port_bound(kDhcpPort))) return pid;
        usleep(2000);
    }
    reap(pid, 0);
    return -1;
}

void stop_server(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    reap(pid, 2 * kSecondNs);
    pid = -1;
}

// Reads the pending inotify events; true when one of them is about board.conf.
bool board_conf_touched(int watch) {
    alignas(struct inotify_event) char buf[4096];
    bool touched = false;
    for (;;) {
        ssize_t n = ::read(watch, buf, sizeof buf);
        if (n <= 0) return touched;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
            if (ev->len > 0 && std::strcmp(ev->name, "board.conf") == 0) touched = true;
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
    }
}

void report(const std::string& text) {
    std::string line = text + "\n";
    write_all(1, line.data(), line.size());
}

}  // namespace

int uplink_main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: boardsim _uplink SANDBOX_PID BOARD_DIR LEASE_FILE T0_NS BOOT RUN\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, SIG_IGN);  // boardsim decides when the board's network goes
    const pid_t sandbox = static_cast<pid_t>(std::atoi(argv[2]));  // NOLINT(cert-err34-c): boardsim passes it
    const std::string dir = argv[3], leases = argv[4];
    auto fail = [](const std::string& text) {
        report(text);
        return 1;
    };
    BoardConfig cfg;
    std::string err = board_config_load(dir, cfg);
    if (!err.empty()) return fail(err);

    if (!wait_for_user_map(sandbox)) return fail("the sandbox's user namespace did not get ready.");
    UniqueFd userns(::open(("/proc/" + std::to_string(sandbox) + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
    if (!userns || setns(userns.get(), CLONE_NEWUSER) != 0)
        return fail("cannot join the sandbox's user namespace: " + errno_text() + ".");
    if (unshare(CLONE_NEWNET) != 0) return fail("cannot make the peer's network namespace: " + errno_text() + ".");
    // The one check that keeps every following step away from the host's
    // network: a namespace made just now holds lo and nothing else.
    if (interface_names() != std::set<std::string>{"lo"})
        return fail("the peer's network namespace is not a fresh one; nothing was configured.");
    const std::vector<std::vector<std::string>> steps{
        {kIpTool, "link", "add", kPort, "address", kPeerMac, "type", "veth",
         "peer", "name", "eth0", "address", kBoardMac, "netns", std::to_string(sandbox)},
        {kIpTool, "link", "set", "lo", "up"},
        {kIpTool, "address", "add", std::string(kPeerAddress) + "/24", "dev", kPort},
    };
    for (const auto& step : steps) {
        if (run_and_wait(step) != 0) {
            std::string cmd;
            for (const auto& w : step) cmd += (cmd.empty() ? "" : " ") + w;
            return fail("cannot set up the link (" + cmd + " failed).");
        }
    }
    if (interface_names() != std::set<std::string>{"lo", kPort})
        return fail("eth0 did not move into the board's network namespace.");
    if (!set_link(cfg.cable_plugged)) return fail("cannot set the link state: " + errno_text() + ".");
    pid_t server = start_server(dir, leases, cfg.dhcp);
    if (server < 0) return fail("dnsmasq did not start (see " + dir + "/network.log and the messages above).");
    report("ready");
    dup2(2, 1);  // the status pipe has had its one line

    EventLog log;
    event_log_open(log, board_events_path(dir), std::strtoll(argv[5], nullptr, 10),
                   std::atoi(argv[6]));  // NOLINT(cert-err34-c): boardsim passes it
    log.run = std::atoi(argv[7]);  // NOLINT(cert-err34-c): boardsim passes it
    UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!watch || inotify_add_watch(watch.get(), dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
        std::fprintf(stderr, "boardsim: cannot watch %s/board.conf (%s); the cable stays as it is.\n", dir.c_str(),
                     errno_text().c_str());
    bool plugged = cfg.cable_plugged, dhcp = cfg.dhcp;
    for (;;) {
        struct pollfd pf[2] = {{0, POLLIN, 0}, {watch.get(), POLLIN, 0}};
        int n = poll(pf, 2, 250);
        int st = 0;
        if (server > 0 && waitpid(server, &st, WNOHANG) == server) {
            std::fprintf(stderr, "boardsim: dnsmasq, the board's TFTP/DHCP server, ended (see %s/network.log).\n",
                         dir.c_str());
            server = -1;
        }
        if (n <= 0) continue;
        if (pf[0].revents) {
            char b[64];
            if (::read(0, b, sizeof b) <= 0) break;
        }
        if (!(pf[1].revents & POLLIN) || !board_conf_touched(watch.get())) continue;
        BoardConfig now;
        if (!board_config_load(dir, now).empty()) continue;
        if (now.cable_plugged != plugged && set_link(now.cable_plugged)) {
            plugged = now.cable_plugged;
            event_log_write(log, "cable", std::string(",\"plugged\":") + (plugged ? "true" : "false"));
        }
        if (now.dhcp != dhcp) {
            dhcp = now.dhcp;
            stop_server(server);
            server = start_server(dir, leases, dhcp);
            if (server < 0)
                std::fprintf(stderr, "boardsim: dnsmasq did not start again (see %s/network.log).\n", dir.c_str());
            event_log_write(log, "dhcp-server", std::string(",\"on\":") + (dhcp ? "true" : "false"));
        }
    }
    stop_server(server);
    event_log_close(log);
    return 0;
}

// --- boardsim's side ---------------------------------------------------------

std::string uplink_start(Uplink& u, const Session& s, pid_t sandbox_pid) {
    std::error_code ec;
    std::filesystem::create_directories(s.board_dir + "/tftp", ec);
    int ctl[2], status[2];
    if (pipe2(ctl, O_CLOEXEC) != 0) return "cannot make a pipe for the board's uplink.";
    if (pipe2(status, O_CLOEXEC) != 0) {
        ::close(ctl[0]);
        ::close(ctl[1]);
        return "cannot make a pipe for the board's uplink.";
    }
    ProgramIo io;
    io.in = ctl[0];
    io.out = status[1];
    pid_t pid = start_program({s.self_exe, "_uplink", std::to_string(sandbox_pid), s.board_dir, s.dir + "/dnsmasq.leases",
                               std::to_string(s.log.t0_ns), std::to_string(s.log.boot), std::to_string(s.log.run)},
                              io);
    ::close(ctl[0]);
    ::close(status[1]);
    UniqueFd from(status[0]);
    u.control = ctl[1];
    u.pid = pid;
    if (pid < 0) {
        uplink_stop(u);
        return "cannot start the board's uplink.";
    }
    std::string line;
    const std::int64_t deadline = monotonic_ns() + 15 * kSecondNs;
    while (line.find('\n') == std::string::npos) {
        const std::int64_t left = deadline - monotonic_ns();
        struct pollfd pf {from.get(), POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, static_cast<int>(left / 1'000'000) + 1) == 0) break;
        char buf[256];
        ssize_t n = ::read(from.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    if (const std::size_t end = line.find('\n'); end != std::string::npos) line.resize(end);
    if (line == "ready") return {};
    uplink_stop(u);
    return "the management port could not be set up: " +
           (line.empty() ? std::string("the uplink process ended without a word.") : line);
}

void uplink_stop(Uplink& u) {
    if (u.control >= 0) ::close(u.control);
    u.control = -1;
    if (u.pid > 0) reap(u.pid, 5 * kSecondNs);
    u.pid = -1;
}
