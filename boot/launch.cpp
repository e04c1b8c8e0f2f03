#include "boot/launch.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "boot/reboot.h"
#include "boot/shell.h"
#include "boot_settings.h"

#ifdef BOOTMGR_COVERAGE
extern "C" void __gcov_dump();
#endif

namespace {

constexpr const char* kApplication = "/tmp/home/bin/mp.elf.strip";
constexpr const char* kInstallScript = "/tmp/home/bin/install.sh";
constexpr const char* kEnvFile = "/tmp/home/bin/env-setup";
constexpr const char* kLauncher = "/bin/backtrace";
constexpr const char* kDebugger = "/tmp/gdb";

bool exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

constexpr std::size_t kMaxWord = 511;

// The next whitespace-separated word of `f` into *word. Returns 1 for a word,
// 0 at end of file, -1 for a word longer than kMaxWord, which is read to its
// end and not kept.
int read_word(FILE* f, std::string* word) {
    word->clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && std::isspace(c)) {
    }
    if (c == EOF) return 0;
    bool too_long = false;
    for (; c != EOF && !std::isspace(c); c = std::fgetc(f)) {
        if (word->size() < kMaxWord) {
            word->push_back(static_cast<char>(c));
        } else {
            too_long = true;
        }
    }
    if (!too_long) return 1;
    word->clear();
    return -1;
}

void run_operator_shell() {
    std::puts("Dropping into shell");
    shell_run("/bin/sh\n");
    std::puts("Dropping out of shell");
}

}  // namespace

LaunchMode launch_mode(const BootSettings& s) {
    if (s.gdbserver) return s.memchk ? LAUNCH_GDBSERVER_MEMCHK : LAUNCH_GDBSERVER;
    if (s.gdb) return LAUNCH_GDB;
    if (s.memchk) return LAUNCH_MEMCHK;
    return LAUNCH_NORMAL;
}

int launch_apply_env_file(const char* path) {
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    int count = 0;
    std::string name;
    std::string value;
    for (;;) {
        const int n = read_word(f, &name);
        if (n == 0) break;
        const int v = read_word(f, &value);
        if (n > 0 && v >= 0) {
            ::setenv(name.c_str(), v > 0 ? value.c_str() : "", 1);
            ++count;
        }
        if (v == 0) break;
    }
    std::fclose(f);
    return count;
}

bool launch_unpack() {
    ::sleep(1);
    // tar's exit status is the only sign of an archive that unpacked in part.
    const int status = shell_run(shell_format(
        "cd /tmp \nrm -rf /tmp/home /tmp/mpdiag.elf.strip \ntar mxzf %s \nstatus=$? \nrm %s\n"
        "exit $status\n",
        LAUNCH_ARCHIVE, LAUNCH_ARCHIVE));
    if (status < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_board();
    }
    return shell_succeeded(status);
}

void launch_application(bool diags) {
    if (!launch_unpack()) {
        std::fputs("Failed to unpack Application OS.\n", stderr);
        reboot_board();
    }
    launch_start(diags);
}

void launch_start(bool diags) {
    const BootSettings& bs = g_boot_settings;
    i2c_close_buses();

    if (diags) {
        std::puts("install diags image");
        shell_run("mkdir -p /tmp/home/bin");
        shell_run("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }

    if (exists(kInstallScript)) {
        std::puts("Running install script");
        shell_run(kInstallScript);
        launch_apply_env_file(kEnvFile);
    }

    if (bs.shell) run_operator_shell();

    switch (launch_mode(bs)) {
    case LAUNCH_GDBSERVER:
        shell_run(shell_format("/bin/gdbserver :%d %s\n", static_cast<int>(bs.gdbport),
                               kApplication));
        reboot_board();
    case LAUNCH_GDBSERVER_MEMCHK:
        shell_run(shell_format("LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d %s\n",
                               static_cast<int>(bs.gdbport), kApplication));
        reboot_board();
    case LAUNCH_GDB:
        if (exists(kDebugger)) {
            std::puts("*** Launching under GDB ***");
            shell_run(shell_format("%s %s", kDebugger, kApplication));
            reboot_board();
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        break;
    case LAUNCH_MEMCHK:
        if (shell_run(shell_format("LD_PRELOAD=libduma.so.0.0.0 %s\n", kApplication)) < 0) {
            std::fputs("Failed to start Application OS.\n", stderr);
        }
        reboot_board();
    case LAUNCH_NORMAL:
        break;
    }

    std::fflush(stdout);
    std::fflush(stderr);
#ifdef BOOTMGR_COVERAGE
    // The counters of a coverage build are written at exit, which exec skips.
    __gcov_dump();
#endif
    ::execlp(kLauncher, kLauncher, static_cast<char*>(nullptr));
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_board();
}
