#include "board/rtc.h"

#include "board/i2c.h"

bool rtc_read(std::uint8_t regs[RTC_REG_COUNT]) {
    return i2c_read_regs(2, I2C_ADDR_RTC, 0, RTC_REG_COUNT, 1, regs);
}
