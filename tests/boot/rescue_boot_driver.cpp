// Boots the rescue partition the way the diagnostics start does, for
// scenario tests run inside the emulated board ("boardsim run").
#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/rescue_image.h"

int main() {
    i2c_open_buses();
    mtd_open_all();
    return boot_rescue_partition() == 0 ? 1 : 0;
}
