// The bound on stopping a board: a step that does not end makes boardsim
// name it and exit; a bound taken back lets the process go on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tools/boardsim/sandbox/stop_watchdog.h"

namespace {

struct Outcome {
    int status;
    std::string said;
};

// Runs `body` in a child with standard error on a pipe.
template <typename Body>
Outcome in_child(Body body) {
    int p[2];
    if (::pipe(p) != 0) return {-1, ""};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], STDERR_FILENO);
        ::close(p[0]);
        body();
        _exit(0);
    }
    ::close(p[1]);
    std::string said;
    char buf[256];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0) said.append(buf, static_cast<std::size_t>(n));
    ::close(p[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), said};
}

TEST(StopWatchdog, AStepThatDoesNotEndIsNamed) {
    const Outcome o = in_child([] {
        stop_watchdog_arm("ending the board's processes", 1);
        stop_watchdog_step("unmounting the board's file systems");
        for (;;) ::pause();
    });
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.said, "boardsim: unmounting the board's file systems did not end within 1 s; giving up.\n");
}

TEST(StopWatchdog, DisarmedBoundLetsTheProcessGoOn) {
    const Outcome o = in_child([] {
        stop_watchdog_arm("stopping the board's network", 1);
        stop_watchdog_disarm();
        ::sleep(2);
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.said, "");
}

}  // namespace
