// The board's management port, eth0, and what is at the other end of its
// cable.
//
// Namespaces. Every sandbox (one boot, or one "run") gets a network
// namespace of its own from bubblewrap, holding only lo. Before the
// sandbox's command starts (bubblewrap waits on --block-fd), boardsim starts
// the uplink process: this binary as "boardsim _uplink". It joins the
// sandbox's user namespace, makes a second network namespace nested in it,
// the peer, and creates a veth pair from there: "uplink" stays in the peer,
// "eth0" goes into the board's namespace. bubblewrap cannot join a namespace
// made beforehand, and a namespace made by the sandbox itself would put the
// server among the board's processes; this way the server runs outside the
// sandbox (the host's files and process tree) and still on a link of its
// own. The process makes nothing before it has checked that the namespace it
// made holds only lo, so nothing is ever created in the host's namespaces;
// neither namespace has a route out, and when the sandbox ends the pair goes
// with its namespace.
//
// Addresses. The board's eth0 has the MAC address kBoardMac and starts down
// with no address, as after power-on. In the peer, uplink (kPeerMac) has
// kPeerAddress/24 and is the only interface besides lo; its only route is
// the connected 192.168.1.0/24.
//
// Server. dnsmasq (Debian dnsmasq-base) runs in the peer, bound to
// kPeerAddress on uplink only, with no configuration file, no DNS (port 0),
// no upstream servers: it serves TFTP from DIR/tftp and, while board.conf
// says dhcp=on, DHCP from the pool kPoolFirst..kPoolLast (netmask
// 255.255.255.0, lease one hour, no router and no DNS server offered). Its
// log is appended to DIR/network.log.
//
// Cable. The uplink process follows board.conf while it runs (inotify on
// DIR): cable=unplugged sets uplink down, so eth0 loses its carrier (no
// IFF_RUNNING, ETHTOOL_GLINK reports 0); cable=plugged sets it up again.
// dhcp=on|off restarts dnsmasq with or without DHCP. Changes made during a
// run are events in events.log: "cable" {"plugged":BOOL} and "dhcp-server"
// {"on":BOOL}.
#pragma once

#include <sys/types.h>

#include <string>

#include "tools/boardsim/sandbox/session.h"

inline constexpr const char* kPeerAddress = "192.168.1.10";
inline constexpr const char* kPoolFirst = "192.168.1.100";
inline constexpr const char* kPoolLast = "192.168.1.150";
inline constexpr const char* kBoardMac = "02:00:00:00:00:02";
inline constexpr const char* kPeerMac = "02:00:00:00:00:10";

// The programs the uplink needs: iproute2's ip (inside the sandbox "ip" is
// busybox's) and dnsmasq.
inline constexpr const char* kIpTool = "/usr/bin/ip";
inline constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

struct Uplink {
    pid_t pid = -1;
    int control = -1;  // the uplink's standard input; closing it stops the uplink
};

// Starts the uplink of the sandbox whose first process is sandbox_pid (in
// this process's pid namespace) and waits until eth0 exists in the sandbox
// and the server listens. Returns an empty string or a one-sentence error
// (the uplink is then stopped).
std::string uplink_start(Uplink& u, const Session& s, pid_t sandbox_pid);

// Stops the server and the uplink process and waits for them.
void uplink_stop(Uplink& u);

// The uplink process: argv = {self, "_uplink", SANDBOX_PID, BOARD_DIR,
// LEASE_FILE, T0_NS, BOOT}. Reports "ready" or one error sentence on standard
// output, then runs until standard input ends. Returns the exit status.
int uplink_main(int argc, char** argv);
