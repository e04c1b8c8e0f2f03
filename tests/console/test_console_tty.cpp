// The console operations on a real pseudo-terminal: raw keys without echo,
// the y/N confirmation, the timed question and the interrupt key.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "boot/settings.h"
#include "console/console.h"

namespace {

struct TermRun {
    int status;          // the child's exit code
    std::string output;  // everything it printed on the terminal
};

// Runs `body` in a child whose controlling terminal, standard input and
// standard output are a fresh pseudo-terminal; the parent types `keys`
// after `delay_ms` and collects the output. The child exits with body's value.
TermRun on_terminal(const std::function<int()>& body, const std::string& keys, int delay_ms = 100) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {-1, "openpty"};
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
    ::usleep(delay_ms * 1000);
    if (!keys.empty()) {
        [[maybe_unused]] ssize_t n = ::write(master, keys.data(), keys.size());
    }
    std::string out;
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

TEST(ConsoleTerminal, GetkeyIsRawAndSilent) {
    const TermRun r = on_terminal([] { return static_cast<int>(console_getkey()); }, "q");
    EXPECT_EQ(r.status, 'q');
    EXPECT_EQ(r.output, "");  // no echo, no Enter needed
}

TEST(ConsoleTerminal, GetkeyRestoresLineMode) {
    const TermRun r = on_terminal(
        [] {
            console_getkey();
            termios t{};
            ::tcgetattr(STDIN_FILENO, &t);
            return (t.c_lflag & ICANON) && (t.c_lflag & ECHO) ? 0 : 1;
        },
        "x");
    EXPECT_EQ(r.status, 0);
}

struct ConfirmCase {
    std::string key;
    int answer;
    std::string echo;  // as the terminal shows it: line ends become CR LF
};

TEST(ConsoleTerminal, ConfirmDefaultsToNo) {
    // Enter arrives as a line end (the terminal maps CR to LF on input).
    const ConfirmCase cases[] = {{"y", 1, "y"},      {"Y", 1, "Y"}, {"n", 0, "n"},
                                 {"N", 0, "N"},      {" ", 0, " "}, {"x", 0, "x"},
                                 {"\r", 0, "\r\n"}};
    for (const ConfirmCase& c : cases) {
        const TermRun r = on_terminal([] { return console_confirm("Install anyway"); }, c.key);
        EXPECT_EQ(r.status, c.answer) << c.key;
        EXPECT_EQ(r.output, "Install anyway y/N? " + c.echo + "\r\n") << c.key;
    }
}

TEST(ConsoleTerminal, TimedQuestionAcceptsOnlyLowerCase) {
    const TermRun yes = on_terminal([] { return console_ask_timed("Load it? "); }, "y\n");
    EXPECT_EQ(yes.status, 1);
    const TermRun no = on_terminal([] { return console_ask_timed("Load it? "); }, "n\n");
    EXPECT_EQ(no.status, 0);
    // Y and its line end each ask again; then y answers.
    const TermRun upper = on_terminal([] { return console_ask_timed("Load it? "); }, "Y\ny\n");
    EXPECT_EQ(upper.status, 1);
    std::size_t prompts = 0;
    for (std::size_t at = 0; (at = upper.output.find("(y/n) ", at)) != std::string::npos; ++at) {
        ++prompts;
    }
    EXPECT_EQ(prompts, 3u);
}

TEST(ConsoleTerminal, TimedQuestionSilenceIsNo) {
    const TermRun r = on_terminal([] { return console_ask_timed("Load it? "); }, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Timeout. Assuming \"no\"."), std::string::npos);
}

TEST(ConsoleTerminal, InterruptKeyEndsARead) {
    const TermRun r = on_terminal(
        [] {
            install_interrupt_handler();
            const unsigned char key = console_getkey();
            return key == 0 && g_boot_settings.interrupted ? 0 : 1;
        },
        "\x03");
    EXPECT_EQ(r.status, 0);
}

TEST(ConsoleTerminal, ReadlineEditsOverTheTerminal) {
    const TermRun r = on_terminal(
        [] {
            char buf[8];
            console_readline(buf, sizeof buf);
            return std::string(buf) == "abXcd" ? 0 : 1;
        },
        "abcd\x02\x02X\r");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
