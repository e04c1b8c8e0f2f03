// One run of the board on the host: the device file system, a private
// session directory and the bubblewrap command line of the sandbox.
//
// Session directory (a fresh temporary directory, removed at the end):
//   dev/        FUSE mount point of the device files
//   user/       FUSE mount point of /user (DIR/user passed through)
//   etc/        the board's /etc (passwd, group, hosts, ld.so.cache, and
//               udhcpc/default.script: the DHCP client's lease script,
//               a stand-in)
//   run/        bound read-write at /run/boardsim inside the sandbox:
//               tool (this binary, read-only: stand-ins and the board init),
//               events.log (DIR/events.log), session (t0, boot number, fast
//               flag, stick mount delay, run number), stick (in a boot: the USB stick,
//               read-only, until the init mounts it at /mnt/usb), and the
//               markers "reboot", "launched" and "memchk" that the stand-ins
//               leave for the boot loop.
//   dnsmasq.leases  the DHCP leases of the board's network peer (network/uplink.h)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/devices/device_server.h"
#include "tools/boardsim/devices/devices.h"
#include "tools/boardsim/devices/power.h"
#include "tools/boardsim/devices/user_fs.h"
#include "tools/boardsim/boarddir/event_log.h"

struct Session {
    std::string board_dir;
    std::string self_exe;
    std::string dir;          // session directory
    BoardConfig cfg;
    BoardFaults faults;
    Power power;
    BoardDevices devices;
    DeviceServer server;
    UserFs user;
    EventLog log;
    std::vector<std::string> applets;  // busybox applets for /bin
};

// Checks that the host can run the board: bwrap, busybox, ip, dnsmasq,
// /dev/fuse, user namespaces. Returns an empty string or one sentence saying what to install
// or enable.
std::string session_check_host();

// Loads DIR, applies extra fault entries ("KEY=VALUE", as for board.conf
// without "fault."), opens the devices, makes the session directory and
// mounts the device files. Returns an empty string or a one-sentence error;
// on error everything made so far is undone.
std::string session_start(Session& s, const std::string& board_dir,
                          const std::vector<std::string>& extra_faults);

// Unmounts, closes and removes the session directory.
void session_stop(Session& s);

// Takes the USB stick's state from board.conf as it is now (a stick can
// be inserted or removed between boots), writes run/session for the next
// boot and clears the markers.
void session_prepare_boot(Session& s, int boot, bool fast);

bool session_marker(const Session& s, const char* name);

struct SandboxRequest {
    bool boot = false;                   // the board init runs and mounts the USB stick
                                         // (else the stick is mounted at once)
    std::string console;                 // host pty slave for /dev/ttyS0, or empty
    std::string bootmgr;                 // host binary for /sbin/bootmgr, or empty
    std::vector<std::string> ro_paths;   // host paths bound read-only at the same place
    std::vector<std::string> command;    // what runs inside
    int info_fd = -1;                    // bubblewrap reports the sandbox's pid here (--info-fd)
    int block_fd = -1;                   // and waits for a byte here before the command starts (--block-fd)
};

// The complete bwrap argument vector (argv[0] = bwrap path).
std::vector<std::string> sandbox_argv(const Session& s, const SandboxRequest& req);

// Names of the tools this binary stands in for inside the sandbox.
const std::vector<std::string>& standin_names();

// Board-side location of the tool and the session files.
inline constexpr const char* kBoardRunDir = "/run/boardsim";

// "boot --fast": the board's time passes this many times faster than the
// host's, for bootmgr's waits and the platform's stick mount delay alike.
inline constexpr int kFastFactor = 10;
