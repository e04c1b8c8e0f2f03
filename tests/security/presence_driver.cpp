// Runs the physical-presence test on the emulated board's console, as the
// rescue menu's letter P does, for scenario tests ("boardsim boot --bootmgr"):
// start-up as far as the test needs, the test, then one line with its result
// and the marker's size ("presence result R marker N", N = -1 when absent).
#include <cstdio>
#include <sys/stat.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/settings.h"
#include "security/lowsec.h"

int main() {
    install_interrupt_handler();
    i2c_open_buses();
    mtd_open_all();
    read_bootloader_env();
    const int result = physical_presence_test();
    struct stat st;
    const long marker = ::stat(LOWSEC_MARKER, &st) == 0 ? static_cast<long>(st.st_size) : -1;
    std::printf("presence result %d marker %ld\n", result, marker);
    return 0;
}
