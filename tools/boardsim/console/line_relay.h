// "boardsim send": a program on the host on the running board's serial
// line, as a terminal program runs an XMODEM sender on its line.
//
// The program's standard input and output are pipes to this relay; the
// relay has the console's pseudo-terminal master from the transfer port
// (console/transfer_port.h) and moves the bytes both ways unchanged: no byte
// value means anything to it. The board's bytes reach the program one at a
// time, each once it has read the one before, so what it leaves unread when
// it ends (text that follows the last ACK) goes back to the console.
//
// Line speed. A pseudo-terminal delivers bytes at once. With a speed (bits
// per second, 8N1: ten bits a character) each character reaches the other
// side one character time after the previous one has, in both directions,
// as on a serial line.
//
// Input flushes. A receiver that answers a block and then flushes its input
// (lrzsz rx does, right after each ACK) would lose the start of the next
// block whenever the sender's answer gets through before the flush; on a
// real line the answer is still on its way then. The relay therefore keeps
// the master in packet mode (TIOCPKT) and, each time the board has written
// something, holds the program's bytes back until the board flushes its
// input or kFlushWaitMs have passed without a flush. A receiver that lets
// kUnflushedHolds holds in a row pass without a flush is taken not to flush,
// and its sender is no longer held, until a flush shows otherwise.
#pragma once

#include <string>
#include <vector>

inline constexpr int kFlushWaitMs = 50;
inline constexpr int kUnflushedHolds = 3;

struct LineOptions {
    unsigned bps = 0;    // 0: no line speed, bytes go as fast as the terminal takes them
    bool enter = false;  // type Enter (a carriage return) on the console first
};

// Runs command (found through PATH) with its standard input and output on
// the board's console until it ends and its last bytes have crossed.
// master: the console's pseudo-terminal master; port: the transfer port's
// connection, which gets back the board output the program left unread and
// which ends when the board stops. Returns the program's exit status (128 +
// signal), 127 when it could not be started, or 2 with a message when the
// relay failed or the board stopped first.
int line_relay_run(int master, int port, const LineOptions& opt, const std::vector<std::string>& command);
