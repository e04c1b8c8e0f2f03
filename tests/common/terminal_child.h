// Runs a piece of console code in a child process whose controlling
// terminal, standard input and standard output are a fresh pseudo-terminal,
// types keys at it, and collects what it printed: console tests see exactly
// what an operator at the serial console would.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// When the child is ready for the keys: given what it printed so far and the
// terminal's current mode. Typing before a program reads would let the
// terminal echo or buffer the keys in the wrong mode.
using TerminalReady = std::function<bool(const std::string& output, const termios& mode)>;

// Ready once the child has switched the terminal to raw keys.
inline bool terminal_raw(const std::string&, const termios& mode) {
    return (mode.c_lflag & ICANON) == 0;
}

// Ready once the child has printed `text`.
inline TerminalReady terminal_prompt(std::string text) {
    return [text](const std::string& output, const termios&) {
        return output.find(text) != std::string::npos;
    };
}

struct TerminalRun {
    int status;          // the child's exit code (body's value & 0xff), -1 if it died
    std::string output;  // everything it printed, as the terminal shows it
};

// What the operator's side does after typing: stay and read until the child
// has gone (or 10 seconds of silence), or hang up at once, as a terminal
// server dropping the line does. A child that has not ended 10 seconds after
// a hang-up is killed (status -1).
enum class TerminalEnd { Stay, HangUp };

// Types `keys` once `ready` holds (at most 10 seconds), then ends as `end`
// says.
inline TerminalRun run_on_terminal(const std::function<int()>& body, const std::string& keys,
                                   const TerminalReady& ready, TerminalEnd end = TerminalEnd::Stay) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {-1, "openpty failed"};
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, STDIN_FILENO);
        ::dup2(slave, STDOUT_FILENO);
        const int rc = body();
        std::fflush(stdout);
        std::_Exit(rc & 0xff);
    }
    ::close(slave);
    std::string out;
    for (int waited = 0; waited < 1000; ++waited) {
        termios mode{};
        ::tcgetattr(master, &mode);
        if (ready(out, mode)) break;
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (!keys.empty()) {
        [[maybe_unused]] ssize_t n = ::write(master, keys.data(), keys.size());
    }
    if (end == TerminalEnd::HangUp) {
        ::close(master);
        master = -1;
        int status = 0;
        for (int waited = 0; waited < 1000; ++waited) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
            }
            ::usleep(10000);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return {-1, out};
    }
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        out.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}
