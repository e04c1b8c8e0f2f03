#include "image/install_log.h"

#include <cstdio>

#include "board/rtc.h"
#include "strformat.h"

std::string install_log_line(const char* file, const char* source, const std::uint8_t clock[7]) {
    // The year keeps two digits: with a bare %x, 2005 would read "205".
    return strformat("File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n", file,
                        source, clock[2] & 0x3F, clock[1] & 0x7F, clock[0] & 0x7F,
                        clock[4] & 0x3F, clock[5] & 0x1F, clock[6]);
}

int install_log_append(const char* file, const char* source) {
    std::uint8_t clock[RTC_REG_COUNT] = {};
    rtc_read(clock);
    const std::string line = install_log_line(file, source, clock);
    std::printf("Updating install log. %s", line.c_str());
    FILE* log = std::fopen(INSTALL_LOG_PATH, "a");
    if (!log) {
        std::printf("Could not open %s; the entry was not logged.\n", INSTALL_LOG_PATH);
        return 1;
    }
    std::fputs(line.c_str(), log);
    std::fclose(log);
    return 1;
}
