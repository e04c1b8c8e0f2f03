#include "tools/boardsim/sandbox/stop_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// The step under way; the pointer itself is what the handler must see fresh.
const char* volatile g_step = "";
char g_bound[48] = "";  // " did not end within N s; giving up.\n", made when armed

void write_text(const char* text) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

void on_alarm(int) {
    // Only async-signal-safe calls here.
    write_text("boardsim: ");
    write_text(g_step);
    write_text(g_bound);
    _exit(2);
}

}  // namespace

void stop_watchdog_arm(const char* step, unsigned seconds) {
    std::snprintf(g_bound, sizeof g_bound, " did not end within %u s; giving up.\n", seconds);
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    g_step = step;
    alarm(seconds);
}

void stop_watchdog_step(const char* step) { g_step = step; }

void stop_watchdog_disarm() {
    alarm(0);
    g_step = "";
}
