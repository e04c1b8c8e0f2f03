// The console operations on a real pseudo-terminal: raw keys without echo,
// the y/N confirmation, the timed question and the interrupt key.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "boot/settings.h"
#include "console/console.h"
#include "tests/common/terminal_child.h"

namespace {

const TerminalReady kAsked = terminal_prompt("(y/n) ");

TEST(ConsoleTerminal, GetkeyIsRawAndSilent) {
    const TerminalRun r = run_on_terminal([] { return static_cast<int>(console_getkey()); }, "q",
                                          terminal_raw);
    EXPECT_EQ(r.status, 'q');
    EXPECT_EQ(r.output, "");  // no echo, no Enter needed
}

TEST(ConsoleTerminal, GetkeyRestoresLineMode) {
    const TerminalRun r = run_on_terminal(
        [] {
            console_getkey();
            termios t{};
            ::tcgetattr(STDIN_FILENO, &t);
            return (t.c_lflag & ICANON) && (t.c_lflag & ECHO) ? 0 : 1;
        },
        "x", terminal_raw);
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
        const TerminalRun r = run_on_terminal([] { return console_confirm("Install anyway"); }, c.key,
                                                terminal_raw);
        EXPECT_EQ(r.status, c.answer) << c.key;
        EXPECT_EQ(r.output, "Install anyway y/N? " + c.echo + "\r\n") << c.key;
    }
}

TEST(ConsoleTerminal, TimedQuestionAcceptsOnlyLowerCase) {
    const TerminalRun yes = run_on_terminal([] { return console_ask_timed("Load it? "); }, "y\n", kAsked);
    EXPECT_EQ(yes.status, 1);
    const TerminalRun no = run_on_terminal([] { return console_ask_timed("Load it? "); }, "n\n", kAsked);
    EXPECT_EQ(no.status, 0);
    // Y and its line end each ask again; then y answers.
    const TerminalRun upper = run_on_terminal([] { return console_ask_timed("Load it? "); }, "Y\ny\n",
                                              kAsked);
    EXPECT_EQ(upper.status, 1);
    std::size_t prompts = 0;
    for (std::size_t at = 0; (at = upper.output.find("(y/n) ", at)) != std::string::npos; ++at) {
        ++prompts;
    }
    EXPECT_EQ(prompts, 3u);
}

TEST(ConsoleTerminal, TimedQuestionSilenceIsNo) {
    const TerminalRun r = run_on_terminal([] { return console_ask_timed("Load it? "); }, "", kAsked);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Timeout. Assuming \"no\"."), std::string::npos);
}

TEST(ConsoleTerminal, InterruptKeyEndsARead) {
    const TerminalRun r = run_on_terminal(
        [] {
            install_interrupt_handler();
            const unsigned char key = console_getkey();
            // An interrupted read is no end of input.
            return key == 0 && g_boot_settings.interrupted && !console_input_ended() ? 0 : 1;
        },
        "\x03", terminal_raw);
    EXPECT_EQ(r.status, 0);
}

TEST(ConsoleTerminal, ReadlineEditsOverTheTerminal) {
    const TerminalRun r = run_on_terminal(
        [] {
            char buf[8];
            console_readline(buf, sizeof buf);
            return std::string(buf) == "abXcd" ? 0 : 1;
        },
        "abcd\x02\x02X\r", terminal_raw);
    EXPECT_EQ(r.status, 0);
}

// A console that goes away mid-line (a closed terminal, a terminal server
// dropping the line) ends the line as an empty answer instead of ringing the
// bell for ever.
TEST(ConsoleTerminal, ReadlineEndsEmptyWhenTheConsoleHangsUp) {
    const TerminalRun r = run_on_terminal(
        [] {
            // A serial line sends no hang-up signal; only the reads end.
            ::signal(SIGHUP, SIG_IGN);
            char buf[8];
            console_readline(buf, sizeof buf);
            return buf[0] == '\0' ? 0 : 1;
        },
        "ab", terminal_raw, TerminalEnd::HangUp);
    EXPECT_EQ(r.status, 0);
}

// Once the console has gone, every later question can tell that no answer
// will come. The child reads from a terminal of its own, whose other side
// it closes after the first key.
TEST(ConsoleTerminal, InputEndsWhenTheConsoleHangsUp) {
    const TerminalRun r = run_on_terminal(
        [] {
            ::signal(SIGHUP, SIG_IGN);
            int master = -1, slave = -1;
            if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 2;
            ::dup2(slave, STDIN_FILENO);
            ::close(slave);
            if (::write(master, "a", 1) != 1) return 3;
            const unsigned char typed = console_getkey();
            const bool ended_early = console_input_ended();
            ::close(master);
            const unsigned char after = console_getkey();
            return typed == 'a' && !ended_early && after == 0 && console_input_ended() ? 0 : 1;
        },
        "", [](const std::string&, const termios&) { return true; });
    EXPECT_EQ(r.status, 0);
}

// An answer read from a pipe (keys typed ahead arrive together): the line
// is taken a byte at a time, so what follows it stays for the next read.
struct AnswerCase {
    const char* input;
    std::size_t size;
    bool answered;
    std::string answer;
    unsigned char next_key;  // what console_getkey reads afterwards
};

TEST(ConsoleAnswer, LeavesTypedAheadKeysForTheNextRead) {
    const AnswerCase cases[] = {
        {"1\ne", 32, true, "1\n", 'e'},
        {"\nq", 32, true, "\n", 'q'},
        {"123456789\nz", 4, true, "123", 'z'},  // the rest of a long line is dropped
        {"2", 32, true, "2", 0},                 // the input ends without a line end
        {"", 32, false, "", 0},
    };
    for (const AnswerCase& c : cases) {
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        const std::string in = c.input;
        ASSERT_EQ(::write(p[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
        ::close(p[1]);
        const int saved = ::dup(STDIN_FILENO);
        ::dup2(p[0], STDIN_FILENO);
        ::close(p[0]);
        char buf[32];
        const bool answered = console_read_answer(buf, c.size);
        const unsigned char next = console_getkey();
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
        EXPECT_EQ(answered, c.answered) << c.input;
        EXPECT_EQ(std::string(buf), c.answer) << c.input;
        EXPECT_EQ(next, c.next_key) << c.input;
    }
}

}  // namespace
