// Fuzz target: the XMODEM receiver fed an arbitrary sender. The input is the
// sender's bursts, each a 16-bit big-endian length and that many bytes (the
// last one cut short by the end of the input): the sender keeps quiet until
// the receiver answers, and each answer lets the next burst arrive. Between
// bursts the line is silent, so the receiver's waits for quiet end there, as
// they do on a real line; once the bursts are used up the sender is silent
// for good. Besides the sanitizers, it checks that only whole blocks are
// written, never more than the sender put on the line, and that the receiver gives up
// after a bounded number of answers once the sender is silent.
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "console/xmodem.h"

namespace {

struct Sender {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;         // next byte of the input
    std::size_t burst_end;  // end of the burst on the line; at == burst_end: silence
    std::size_t answers;
};

// Puts the next burst on the line.
void next_burst(Sender& s) {
    if (s.size - s.at < 2) {
        s.at = s.burst_end = s.size;
        return;
    }
    const std::size_t len = (std::size_t{s.data[s.at]} << 8) | s.data[s.at + 1];
    s.at += 2;
    s.burst_end = s.at + (len < s.size - s.at ? len : s.size - s.at);
}

SerialRead get(void* ctx, int, std::uint8_t* byte) {
    Sender& s = *static_cast<Sender*>(ctx);
    if (s.at == s.burst_end) return SERIAL_TIMEOUT;
    *byte = s.data[s.at++];
    return SERIAL_BYTE;
}

void put(void* ctx, std::uint8_t) {
    Sender& s = *static_cast<Sender*>(ctx);
    ++s.answers;
    // What is left of the current burst is still on the line.
    if (s.at == s.burst_end) next_burst(s);
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    Sender s{data, size, 0, 0, 0};
    const XmodemResult r = xmodem_transfer(XmodemPort{&s, get, put}, out, XMODEM_FIRST_BLOCK_TRIES);
    check(r.bytes % 128 == 0);
    check(r.bytes <= s.at);  // never more than reached the line
    // At most one answer per byte received, plus the first-block tries and
    // the closing CAN bytes.
    check(s.answers <= size + XMODEM_FIRST_BLOCK_TRIES + 10);
    return 0;
}
