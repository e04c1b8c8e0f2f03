#include "boot/reboot.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "boot/shell.h"

void reboot_board() {
    ::sleep(1);
    if (shell_run("reboot") < 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
