// Code that runs inside the sandbox, from the same binary bound at
// /run/boardsim/tool:
//   - the board init ("tool _init MASTER_FD"): makes /dev/ttyS0 the
//     controlling terminal of a new session, starts /sbin/bootmgr in the
//     foreground process group, watches for debugger and memory-checker
//     runs, makes a tcdrain on the console wait until the console's master
//     side (MASTER_FD, inherited from boardsim) has the output, records
//     bootmgr's exit, and stops the board when a reboot was requested but
//     bootmgr keeps running;
//   - the stand-ins, chosen by the name they are called by: mount, umount,
//     reboot, date, flash_eraseall, backtrace, gdbserver, dhclient (busybox
//     udhcpc against the board's network peer), /etc/udhcpc/default.script
//     (udhcpc's lease script) and /usr/bin/rx (lrzsz rx with -U, for
//     absolute paths). Each records itself in the event log and does what
//     the board would.
#pragma once

// Returns the exit status for main, or -1 when argv does not name an
// in-sandbox role (then main goes on with the command line).
int standin_main(int argc, char** argv);
