#include "security/lowsec.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "board/led.h"
#include "board/rtc.h"
#include "boot/sequence.h"
#include "boot/settings.h"
#include "boot/shell.h"
#include "console/console.h"

namespace {

constexpr int kAttempts = 3;
constexpr int kPeriods = 11;
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

// A count the operator cannot predict when the clock cannot be read: 1..14
// from the kernel's random source, or from the process clock if even that
// fails.
int fallback_blink_count() {
    unsigned char r = 0;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::read(fd, &r, 1) != 1) {
        r = static_cast<unsigned char>(::getpid() ^ std::time(nullptr));
    }
    if (fd >= 0) ::close(fd);
    return 1 + r % 14;
}

int draw_blink_count() {
    std::uint8_t clock[RTC_REG_COUNT] = {};
    if (!rtc_read(clock)) return fallback_blink_count();
    return lowsec_blink_count(clock[0]);
}

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

int lowsec_blink_count(std::uint8_t seconds_register) {
    const int count = (seconds_register >> 4) + (seconds_register & 0x0F);
    return count == 0 ? 1 : count;
}

bool lowsec_active() {
    if (g_boot_settings.lowsecAuthorised) {
        std::puts("NOTE: Uboot low security mode override enabled");
        return true;
    }
    return ::access(LOWSEC_MARKER, F_OK) == 0;
}

bool lowsec_set(bool on) {
    if (!on) return std::remove(LOWSEC_MARKER) == 0 || ::access(LOWSEC_MARKER, F_OK) != 0;
    FILE* f = std::fopen(LOWSEC_MARKER, "w");
    if (!f) return false;
    const bool written = std::fputs(kMarkerText, f) >= 0;
    return std::fclose(f) == 0 && written;
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
        const int count = draw_blink_count();
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
        if (std::atoi(answer) == count) {
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
