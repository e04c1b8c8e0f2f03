#include "image/install_log.h"

#include <cstdio>
#include <unistd.h>

#include "board/rtc.h"
#include "strformat.h"

namespace {

// " at hh:mm:ss on d-m-20yy\n" from the 7 clock registers.
std::string clock_suffix(const std::uint8_t clock[7]) {
    // The year keeps two digits: with a bare %x, 2005 would read "205".
    return strformat(" at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n", clock[2] & 0x3F, clock[1] & 0x7F,
                     clock[0] & 0x7F, clock[4] & 0x3F, clock[5] & 0x1F, clock[6]);
}

// Appends `line` to the log and syncs it. False when the log cannot be
// opened (said on the console).
bool append(const std::string& line) {
    FILE* log = std::fopen(INSTALL_LOG_PATH, "a");
    if (!log) {
        std::printf("Could not open %s; the entry was not logged.\n", INSTALL_LOG_PATH);
        return false;
    }
    std::fputs(line.c_str(), log);
    if (std::fflush(log) == 0) ::fsync(fileno(log));
    std::fclose(log);
    return true;
}

std::string now_suffix() {
    std::uint8_t clock[RTC_REG_COUNT] = {};
    rtc_read(clock);
    return clock_suffix(clock);
}

}  // namespace

std::string install_log_line(const char* file, const char* source, const std::uint8_t clock[7]) {
    return strformat("File %s installed from %s", file, source) + clock_suffix(clock);
}

int install_log_append(const char* file, const char* source) {
    std::uint8_t clock[RTC_REG_COUNT] = {};
    rtc_read(clock);
    const std::string line = install_log_line(file, source, clock);
    std::printf("Updating install log. %s", line.c_str());
    append(line);
    return 1;
}

void install_log_event(const char* text) { append(text + now_suffix()); }
