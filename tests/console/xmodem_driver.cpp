// Receives one file over the emulated board's console with the built-in
// XMODEM receiver, as the XMODEM rescue does on a board without rx, for
// scenario tests ("boardsim boot --bootmgr"): the whole download (speed
// switch, Enter keys, transfer), then one line "xmodem result N"; a received
// file is copied to /user/received for the test to compare.
#include <cinttypes>
#include <cstdio>

#include "boot/shell.h"
#include "console/xmodem.h"

int main() {
    const std::int64_t result = xmodem_receive("/tmp/image");
    std::printf("xmodem result %" PRId64 "\n", result);
    if (result > 0) shell_run("cp /tmp/image /user/received");
    return 0;
}
