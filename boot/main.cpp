// bootmgr: with no arguments the boot road (the switch's first program);
// the verbs `confirm` and `status` serve the running system.
#include <cstdio>
#include <cstring>

#include "board/i2c.h"
#include "build_version.h"
#include "boot/sequence.h"
#include "boot/trial.h"

int main(int argc, char** argv) {
    if (argc == 1) boot_main();
    if (argc == 2 && (std::strcmp(argv[1], "confirm") == 0 || std::strcmp(argv[1], "status") == 0)) {
        i2c_open_buses();
        const int rc = std::strcmp(argv[1], "confirm") == 0 ? trial_confirm_verb() : trial_status_verb();
        i2c_close_buses();
        return rc;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("bootmgr %s (commit %s)\n", BOOTMGR_VERSION, BOOTMGR_COMMIT);
        return 0;
    }
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    std::fputs("usage: bootmgr            the boot road (run by the platform at start-up)\n"
               "       bootmgr confirm    the running image is healthy: end its trial\n"
               "       bootmgr status     boot slot, image booted and trial state\n"
               "       bootmgr --version\n",
               help ? stdout : stderr);
    return help ? 0 : 2;
}
