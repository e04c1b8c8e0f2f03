// Starting programs and handing descriptors between processes: shared by the
// stand-ins, the sandbox, the board's uplink and the console's transfer port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProgramIo {
    int in = -1, out = -1, err = -1;  // the program's standard streams; -1: this process's
    std::vector<int> keep;            // further descriptors it inherits, close-on-exec or not
    bool die_with_parent = false;     // SIGKILL when the thread that started it ends
};

// Starts argv (argv[0] found through PATH unless it holds a slash) in a child,
// with SIGPIPE at its default action (other ignored signals stay ignored,
// handlers are reset by the exec). A program that cannot start makes the child
// print "boardsim: cannot run ARGV0: REASON" on its standard error and exit
// with 127. Returns the child's pid, or -1 when fork failed.
pid_t start_program(const std::vector<std::string>& argv, const ProgramIo& io = {});

// Waits for pid; returns its exit status, or 128 + signal when it was killed.
int wait_exit_status(pid_t pid);

// start_program with this process's standard streams, then wait_exit_status
// (127 also when fork failed).
int run_and_wait(const std::vector<std::string>& cmd);

// Sends fd over the Unix socket sock (SCM_RIGHTS), or, with fd < 0, a message
// that carries no descriptor. receive_fd returns the received descriptor
// (close-on-exec) or -1 when the message carried none or the socket failed.
void send_fd(int sock, int fd);
int receive_fd(int sock);
