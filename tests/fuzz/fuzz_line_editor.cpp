// The console line editor fed any key stream an operator or a line noise
// can produce: the buffer always holds a NUL-terminated string of at most
// size - 1 characters with zeros behind it, and the cursor stays inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console/console.h"

namespace {
void no_echo(int) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the buffer size (1..64), the rest are keys.
    const std::size_t bufsize = 1 + data[0] % 64;
    char buf[64 + 1];
    std::memset(buf, 0x55, sizeof buf);
    LineEditor ed;
    line_editor_init(&ed, buf, bufsize);
    for (std::size_t i = 1; i < size && !ed.done; ++i) {
        line_editor_key(&ed, data[i], no_echo);
        const std::size_t len = strnlen(buf, bufsize);
        if (len >= bufsize || ed.cursor > len) std::abort();
        for (std::size_t j = len; j < bufsize; ++j) {
            if (buf[j] != '\0') std::abort();
        }
        if (buf[bufsize] != 0x55) std::abort();  // nothing written past the buffer
    }
    return 0;
}
