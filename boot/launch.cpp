#include "boot/launch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "boot/sequence.h"
#include "boot/settings.h"
#include "boot/shell.h"

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
    char name[512];
    char value[512];
    for (;;) {
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        const int n = std::fscanf(f, "%511s %511s", name, value);
        if (n < 1) break;
        ::setenv(name, value, 1);
        ++count;
        if (n < 2) break;
    }
    std::fclose(f);
    return count;
}

void launch_application(bool diags) {
    const BootSettings& bs = g_boot_settings;
    ::sleep(1);

    if (shell_run(shell_format("cd /tmp \ntar mxzf %s \nrm %s\n", LAUNCH_ARCHIVE,
                               LAUNCH_ARCHIVE)) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_board();
    }
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
    ::execlp(kLauncher, kLauncher, static_cast<char*>(nullptr));
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_board();
}
