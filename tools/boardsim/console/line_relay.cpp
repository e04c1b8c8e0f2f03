#include "tools/boardsim/console/line_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fd_io.h"
#include "unique_fd.h"
#include "tools/boardsim/boarddir/event_log.h"
#include "tools/boardsim/sandbox/process.h"

namespace {

// One direction of the line: the bytes on their way, and when the first of
// them began to cross.
struct Direction {
    std::string queue;
    std::int64_t start_ns = 0;
    std::int64_t free_ns = 0;  // when the line finished its last character

    void add(const char* p, std::size_t n, std::int64_t now) {
        if (queue.empty()) start_ns = std::max(now, free_ns);
        queue.append(p, n);
    }
    // The head cannot begin to cross before now (it was held back).
    void not_before(std::int64_t now) {
        if (!queue.empty()) start_ns = std::max(start_ns, now);
    }
    // How many bytes have crossed by now: all of them without a line speed.
    std::size_t due(std::int64_t now, std::int64_t char_ns) const {
        if (char_ns == 0) return queue.size();
        if (now < start_ns) return 0;
        return std::min<std::size_t>(queue.size(), static_cast<std::size_t>((now - start_ns) / char_ns));
    }
    void delivered(std::size_t n, std::int64_t char_ns) {
        queue.erase(0, n);
        start_ns += static_cast<std::int64_t>(n) * char_ns;
        free_ns = start_ns;
    }
    // Nanoseconds until the next byte has crossed; -1 when nothing is on its way.
    std::int64_t wait(std::int64_t now, std::int64_t char_ns) const {
        if (queue.empty()) return -1;
        return std::max<std::int64_t>(0, start_ns + char_ns - now);
    }
};

// Writes what is due of d to fd (non-blocking), at most limit bytes. Returns
// false when fd took less than that (full, or gone).
bool deliver(Direction& d, int fd, std::int64_t now, std::int64_t char_ns, std::size_t limit) {
    const std::size_t n = std::min(limit, d.due(now, char_ns));
    if (n == 0) return true;
    ssize_t w = ::write(fd, d.queue.data(), n);
    if (w > 0) d.delivered(static_cast<std::size_t>(w), char_ns);
    return w == static_cast<ssize_t>(n);
}

std::string read_rest(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

}  // namespace

int line_relay_run(int master, int port, const LineOptions& opt, const std::vector<std::string>& command) {
    const std::int64_t char_ns = opt.bps ? 10'000'000'000LL / opt.bps : 0;
    int on = 1;
    if (ioctl(master, TIOCPKT, &on) != 0) {
        std::fprintf(stderr, "boardsim send: cannot put the console in packet mode: %s\n", std::strerror(errno));
        return 2;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "boardsim send: cannot make pipes: %s\n", std::strerror(errno));
        return 2;
    }
    UniqueFd prog_stdin(in[0]), to_prog_fd(in[1]), from_prog_fd(out[0]), prog_stdout(out[1]);
    signal(SIGPIPE, SIG_IGN);
    ProgramIo io;
    io.in = in[0];
    io.out = out[1];
    pid_t pid = start_program(command, io);
    prog_stdout.reset();
    if (pid < 0) return 2;
    // Our own copy of the program's standard input stays open: what the
    // program leaves unread there goes back to boardsim boot at the end.
    // (It shares the program's file status flags, so it stays blocking
    // until then.)
    for (int fd : {to_prog_fd.get(), from_prog_fd.get()}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    Direction to_board, to_prog;
    if (opt.enter) to_board.add("\r", 1, monotonic_ns());
    std::int64_t hold_until = 0;  // 0: the program's bytes may go
    // A receiver that has never flushed after kUnflushedHolds answers in a
    // row does not flush at all (the built-in receiver does not): holding
    // its sender back would only cost kFlushWaitMs a block. A flush seen
    // later brings the holds back.
    bool board_flushes = true;
    int unflushed_holds = 0;
    bool prog_open = true, board_full = false;
    std::int64_t recheck_ns = 0;  // how soon to look again whether the program has read its byte
    while (prog_open || !to_board.queue.empty()) {
        std::int64_t now = monotonic_ns();
        if (hold_until != 0 && now >= hold_until) {
            hold_until = 0;
            to_board.not_before(now);
            if (++unflushed_holds >= kUnflushedHolds) board_flushes = false;
        }
        if (hold_until == 0) board_full = !deliver(to_board, master, now, char_ns, to_board.queue.size());
        // The board's output reaches the program a byte at a time, each once
        // the program has read the one before: a program that ends (sx after
        // the last ACK) has not swallowed what came after, and that goes
        // back to the console.
        int unread = 0;
        ioctl(prog_stdin.get(), FIONREAD, &unread);
        if (unread == 0) {
            recheck_ns = 0;
            deliver(to_prog, to_prog_fd.get(), now, char_ns, 1);
        } else {
            recheck_ns = std::clamp<std::int64_t>(recheck_ns * 2, 100'000, 20'000'000);
        }

        std::int64_t wait = -1;
        auto sooner = [&wait](std::int64_t w) {
            if (w >= 0 && (wait < 0 || w < wait)) wait = w;
        };
        if (hold_until != 0) sooner(hold_until - now);
        else if (!board_full) sooner(to_board.wait(now, char_ns));
        if (!to_prog.queue.empty()) sooner(unread == 0 ? to_prog.wait(now, char_ns) : recheck_ns);
        struct pollfd pf[3] = {
            {master, static_cast<short>(POLLIN | POLLPRI | (board_full ? POLLOUT : 0)), 0},
            {prog_open ? from_prog_fd.get() : -1, POLLIN, 0},
            {port, POLLIN, 0},
        };
        struct timespec ts {wait / 1'000'000'000, wait % 1'000'000'000};
        if (ppoll(pf, 3, wait < 0 ? nullptr : &ts, nullptr) <= 0) continue;
        now = monotonic_ns();
        if (pf[2].revents) {
            std::fprintf(stderr, "boardsim send: the board stopped before %s ended.\n", command[0].c_str());
            kill(pid, SIGTERM);
            wait_exit_status(pid);
            return 2;
        }
        if (pf[0].revents & (POLLIN | POLLPRI)) {
            // Packet mode: a data packet starts with TIOCPKT_DATA (0), any
            // other first byte is a status packet. A status is reported
            // before data that came earlier, so a flush seen in the same
            // round as data is taken to have followed it.
            bool data = false, flushed = false;
            char buf[4097];
            ssize_t n;
            while ((n = ::read(master, buf, sizeof buf)) > 0) {
                if (buf[0] == TIOCPKT_DATA) {
                    to_prog.add(buf + 1, static_cast<std::size_t>(n - 1), now);
                    data = data || n > 1;
                } else if (buf[0] & TIOCPKT_FLUSHREAD) {
                    flushed = true;
                }
            }
            if (flushed) {
                hold_until = 0;
                to_board.not_before(now);
                board_flushes = true;
                unflushed_holds = 0;
            } else if (data && board_flushes) {
                hold_until = now + kFlushWaitMs * 1'000'000LL;
            }
        }
        if (pf[1].revents) {
            char buf[4096];
            ssize_t n = ::read(from_prog_fd.get(), buf, sizeof buf);
            if (n > 0) to_board.add(buf, static_cast<std::size_t>(n), now);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) prog_open = false;
        }
    }
    const int status = wait_exit_status(pid);
    fcntl(prog_stdin.get(), F_SETFL, fcntl(prog_stdin.get(), F_GETFL) | O_NONBLOCK);
    std::string back = read_rest(prog_stdin.get()) + to_prog.queue;
    write_all(port, back.data(), back.size());
    shutdown(port, SHUT_WR);
    return status;
}
