#include "security/lowsec.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "board/led.h"
#include "boot/reboot.h"
#include "boot/shell.h"
#include "boot_settings.h"
#include "console/console.h"
#include "crypto_platform.h"
#include "random.h"
#include "unique_fd.h"

namespace {

constexpr int kAttempts = 3;
// Every attempt shows this many periods whatever the count, so neither the
// dots nor the attempt's length tell the count.
constexpr int kPeriods = LOWSEC_MAX_BLINKS;
constexpr char kMarkerText[] = "plovimar\n";

// The key read with getkey, echoed back with a line end.
unsigned char ask_key(const char* question) {
    std::fputs(question, stdout);
    std::fflush(stdout);
    const unsigned char key = console_getkey();
    std::printf("%c\n", key);
    return key;
}

bool is_yes(unsigned char key) { return std::toupper(key) == 'Y'; }

// One period of the LED: `first` for a second, then the rest value for a
// second. Returns false when the interrupt key was pressed before it.
bool period(std::uint8_t first, std::uint8_t rest) {
    if (g_boot_settings.interrupted) return false;
    std::putchar('.');
    std::fflush(stdout);
    led_reg_write(LED_REGISTER, first);
    ::sleep(1);
    led_reg_write(LED_REGISTER, rest);
    ::sleep(1);
    return true;
}

int leave_low_security() {
    const unsigned char key = ask_key("Switch is in low security mode. Confirm disabling Y/n? ");
    if (key == 0) return 0;
    // Y/n: the default is yes, and an explicit n (either case) keeps the mode.
    if (std::toupper(key) == 'N') return 1;
    lowsec_set(false);
    return 1;
}

}  // namespace

int lowsec_draw_blink_count() {
    CRYPTO_libraryInit();
    RandomCtx* rng = RANDOM_globalContext();
    if (rng == nullptr) return 0;
    // Bytes from 252 up are drawn again: 252 is the largest multiple of 14
    // that fits, so every count is equally likely.
    for (;;) {
        std::uint8_t byte = 0;
        if (RANDOM_generate(rng, &byte, 1) != 0) return 0;
        if (byte < 252) return 1 + byte % LOWSEC_MAX_BLINKS;
    }
}

bool lowsec_active() {
    if (g_boot_settings.lowsecAuthorised) {
        std::puts("NOTE: Uboot low security mode override enabled");
        return true;
    }
    return ::access(LOWSEC_MARKER, F_OK) == 0;
}

bool lowsec_set(bool on) {
    // Whatever stands at the marker's path (a link, a directory, a pipe, a
    // file linked elsewhere) is removed, and the new marker is made afresh
    // without following a link, so writing it can never reach another file.
    if (std::remove(LOWSEC_MARKER) != 0 && errno != ENOENT) return false;
    if (!on) return true;
    UniqueFd fd(::open(LOWSEC_MARKER, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return false;
    const std::size_t len = sizeof kMarkerText - 1;
    return ::write(fd.get(), kMarkerText, len) == static_cast<ssize_t>(len) && fd.close();
}

int physical_presence_test() {
    if (lowsec_active()) return leave_low_security();

    const unsigned char key = ask_key(
        "WARNING: the following test is used to determine physical presence and if completed "
        "will put the switch in low security mode.\nDo you wish to continue y/N? ");
    if (!is_yes(key)) return 0;

    std::uint8_t reg = 0;
    board_reg_read(LED_REGISTER, &reg);
    const std::uint8_t rest = led_rest_value(reg);
    const std::uint8_t blink = led_blink_value(reg);

    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        led_reg_write(LED_REGISTER, rest);
        ask_key("Hit a key to start the test. The blue location LED will blink a number of times.");
        const int count = lowsec_draw_blink_count();
        if (count == 0) {
            std::puts("No random numbers: the physical presence test cannot run");
            return 0;
        }
        for (int i = 0; i < count; ++i) {
            if (!period(blink, rest)) return 0;
        }
        for (int i = count; i < kPeriods; ++i) {
            if (!period(rest, rest)) return 0;
        }
        std::printf("\nHow many times did the LED blink? ");
        char answer[8];
        console_readline(answer, sizeof answer);
        if (g_boot_settings.interrupted) return 0;
        if (std::atoi(answer) == count) {  // NOLINT(cert-err34-c): the leading number is the answer; 7 characters cannot overflow
            if (!lowsec_set(true)) {
                std::printf("Could not create %s: low security mode not enabled\n", LOWSEC_MARKER);
                return 0;
            }
            std::puts("Correct. Physical presence established and low security mode enabled");
            return 1;
        }
        std::printf("Incorrect. Try again (attempt %d of %d)\n", attempt, kAttempts);
    }
    std::puts("Maximum number of test failed. Board is resetting");
    ::sleep(1);
    reboot_board();
}

int wipe_system_keys() {
    std::fputs("Confirm: wiping system keys y/N: ", stdout);
    std::fflush(stdout);
    const unsigned char key = console_getkey();
    std::putchar('\n');
    if (!is_yes(key)) return 1;
    shell_run("rm /user/*.pem");
    std::puts("System keys have been deleted. Reset the switch to complete the operation");
    return 1;
}
