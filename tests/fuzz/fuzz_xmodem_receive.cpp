// Fuzz target: the XMODEM receiver fed an arbitrary sender's byte stream
// (silence once the stream has ended). Besides the sanitizers, it checks that
// only whole blocks are written, never more than the sender sent, and that
// the receiver gives up after a bounded number of answers once the sender is
// silent.
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "console/xmodem.h"

namespace {

struct Stream {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
    std::size_t answers;
};

SerialRead get(void* ctx, int, std::uint8_t* byte) {
    Stream& s = *static_cast<Stream*>(ctx);
    if (s.at == s.size) return SERIAL_TIMEOUT;
    *byte = s.data[s.at++];
    return SERIAL_BYTE;
}

void put(void* ctx, std::uint8_t) { ++static_cast<Stream*>(ctx)->answers; }

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    Stream s{data, size, 0, 0};
    const XmodemResult r = xmodem_transfer(XmodemPort{&s, get, put}, out, XMODEM_FIRST_BLOCK_TRIES);
    check(r.bytes % 128 == 0);
    check(r.bytes <= size);
    // At most one answer per byte received, plus the first-block tries and
    // the closing CAN bytes.
    check(s.answers <= size + XMODEM_FIRST_BLOCK_TRIES + 10);
    return 0;
}
