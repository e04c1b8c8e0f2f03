// Starting programs and handing descriptors between processes: shared by the
// stand-ins, the board's uplink and the console's transfer port.
#pragma once

#include <string>
#include <vector>

// Runs cmd (found through PATH) with this process's standard streams and
// waits for it. Returns its exit status, 128 + signal when it was killed, or
// 127 when it could not be started (with a message on standard error).
int run_and_wait(const std::vector<std::string>& cmd);

// Sends fd over the Unix socket sock (SCM_RIGHTS), or, with fd < 0, a message
// that carries no descriptor. receive_fd returns the received descriptor
// (close-on-exec) or -1 when the message carried none or the socket failed.
void send_fd(int sock, int fd);
int receive_fd(int sock);
