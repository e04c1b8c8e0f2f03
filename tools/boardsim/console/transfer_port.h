// The console's transfer port: how a program on the host, an XMODEM sender
// for example, gets the running board's serial line to itself, as a
// terminal program hands its line to a transfer program.
//
// While "boardsim boot DIR" runs it listens on the Unix socket
// DIR/run/console.sock (and holds a lock on DIR/run, so a second boot of the
// same board is refused). A client ("boardsim send", console/line_relay.h)
// connects; boot answers with the console's pseudo-terminal master
// (SCM_RIGHTS) and from then on reads neither the console nor its own
// standard input: the client has the line to itself, and no byte of a
// transfer ever meets boot's stop key (Ctrl-], 0x1D), which is looked for in
// boot's standard input only. Further clients get a message without a
// descriptor until the first one is done. When done, the client writes the
// board output that its program did not take back on the socket and closes
// its side; boot prints those bytes, turns the master's packet mode off (the
// client may have turned it on) and relays again. When boot ends it closes
// the connection, which tells the client that the board is gone.
#pragma once

#include <string>

#include "unique_fd.h"

inline constexpr const char* kTransferPortName = "console.sock";  // in DIR/run

struct TransferPort {
    UniqueFd run_dir;    // DIR/run, locked while the port is open
    UniqueFd listener;
    UniqueFd client;     // the attached client, if any
};

// Makes DIR/run and listens there. Returns an empty string or a one-sentence
// error (another boot holds the board, the socket cannot be made).
std::string transfer_port_open(TransferPort& port, const std::string& board_dir);

// Closes the client's connection and the socket, and removes it.
void transfer_port_close(TransferPort& port);

// Accepts one waiting client: hands it master when no client is attached
// (returns true), else refuses it.
bool transfer_port_accept(TransferPort& port, int master);

// Reads what the attached client sends back into out (appending). Returns
// false once the client is done; the connection is then closed and the
// master out of packet mode.
bool transfer_port_take(TransferPort& port, int master, std::string& out);

// The client's side: connects to the running board's port in DIR/run.
// Returns the console's master with sock holding the connection, or -1 with
// err set (no board running there, or the console is taken).
int transfer_port_attach(const std::string& board_dir, UniqueFd& sock, std::string& err);
