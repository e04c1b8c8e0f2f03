#include "console/xmodem.h"

#include <array>
#include <cstdio>
#include <unistd.h>

#include "fd_io.h"
#include "unique_fd.h"

namespace {

constexpr int kFirstHeaderMs = 1000;  // before the first block header
constexpr int kHeaderMs = 5000;       // from the first block header on
constexpr int kFieldMs = 3000;        // block number, its complement, CRC bytes, second CAN
constexpr int kDataByteMs = 1000;
constexpr int kMaxErrorsInARow = 3;
constexpr int kRepeatQuietMs = 1000;  // the rest of a repeated block has passed
constexpr int kErrorQuietMs = 2000;   // the rest of a bad block has passed
constexpr std::size_t kMaxPurged = std::size_t{16} * 1024;
constexpr int kCancelBytes = 5;

constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        t[i] = static_cast<std::uint16_t>(crc);
    }
    return t;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

const char* end_text(XmodemEnd end) {
    switch (end) {
    case XMODEM_COMPLETE: return "All done";
    case XMODEM_NO_SENDER: return "XMODEM transfer not started: no sender answered";
    case XMODEM_CANCELLED: return "XMODEM transfer cancelled by the sender";
    case XMODEM_OUT_OF_SEQUENCE: return "XMODEM transfer aborted: a block out of sequence";
    case XMODEM_TOO_MANY_ERRORS: return "XMODEM transfer aborted: too many errors in a row";
    case XMODEM_LINE_GONE: return "XMODEM transfer aborted: the line was hung up";
    case XMODEM_WRITE_FAILED: return "XMODEM transfer aborted: the file could not be written";
    }
    return "";
}

SerialRead line_get(void* ctx, int timeout_ms, std::uint8_t* byte) {
    XmodemLine& line = *static_cast<XmodemLine*>(ctx);
    if (line.pos == line.len) {
        line.pos = line.len = 0;
        const SerialRead r = serial_get_bytes(line.fd, timeout_ms, line.buf, sizeof line.buf, &line.len);
        if (r != SERIAL_BYTE) return r;
    }
    *byte = line.buf[line.pos++];
    return SERIAL_BYTE;
}

void line_put(void* ctx, std::uint8_t byte) {
    serial_put_byte(static_cast<XmodemLine*>(ctx)->fd, byte);
}

// Header bytes that end the wait for a block, and what else can end it.
enum Header { HEADER_SOH, HEADER_STX, HEADER_EOT, HEADER_CAN, HEADER_TIMEOUT, HEADER_NOISE, HEADER_GONE };

enum Step { STEP_OK, STEP_ERROR, STEP_END };

struct Receiver {
    const XmodemPort& port;
    int out;
    std::uint8_t last = 0;      // number of the last accepted block
    bool accepted = false;      // a block was accepted
    bool seen_header = false;   // a block header arrived
    bool in_block = false;      // this cycle's header announced a block
    bool eot_pending = false;   // an EOT was answered with NAK and awaits its confirmation
    std::uint64_t bytes = 0;
    XmodemEnd end = XMODEM_COMPLETE;
    std::uint8_t block[1024] = {};
};

SerialRead get(Receiver& r, int timeout_ms, std::uint8_t* byte) {
    return r.port.get(r.port.ctx, timeout_ms, byte);
}

void put(Receiver& r, std::uint8_t byte) { r.port.put(r.port.ctx, byte); }

// Discards bytes until `quiet_ms` pass without one (0: what is waiting now).
// A sender that never falls silent is cut off after kMaxPurged bytes.
void purge(Receiver& r, int quiet_ms) {
    std::uint8_t b = 0;
    for (std::size_t n = 0; n < kMaxPurged && get(r, quiet_ms, &b) == SERIAL_BYTE; ++n) {
    }
}

Header wait_header(Receiver& r) {
    const int timeout = r.seen_header ? kHeaderMs : kFirstHeaderMs;
    for (std::size_t skipped = 0; skipped <= XMODEM_MAX_SKIPPED; ++skipped) {
        std::uint8_t b = 0;
        const SerialRead s = get(r, timeout, &b);
        if (s == SERIAL_GONE) return HEADER_GONE;
        if (s == SERIAL_TIMEOUT) return HEADER_TIMEOUT;
        switch (b) {
        case XMODEM_SOH: return HEADER_SOH;
        case XMODEM_STX: return HEADER_STX;
        case XMODEM_EOT: return HEADER_EOT;
        case XMODEM_CAN: return HEADER_CAN;
        default: break;
        }
    }
    return HEADER_NOISE;
}

Step stop(Receiver& r, XmodemEnd end) {
    r.end = end;
    return STEP_END;
}

// One byte of a block's frame, within kFieldMs.
Step field(Receiver& r, std::uint8_t* byte) {
    const SerialRead s = get(r, kFieldMs, byte);
    if (s == SERIAL_GONE) return stop(r, XMODEM_LINE_GONE);
    return s == SERIAL_BYTE ? STEP_OK : STEP_ERROR;
}

// The rest of a block after its header byte.
Step receive_block(Receiver& r, std::size_t size) {
    std::uint8_t number = 0;
    std::uint8_t complement = 0;
    Step s = field(r, &number);
    if (s == STEP_OK) s = field(r, &complement);
    if (s != STEP_OK) return s;
    if (number + complement != 255) return STEP_ERROR;

    if (number == static_cast<std::uint8_t>(r.last + 1)) {
        std::uint16_t crc = 0;
        const std::span<std::uint8_t> data(r.block, size);
        if (xmodem_read_block(r.port, data, &crc) != size) return STEP_ERROR;
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        s = field(r, &high);
        if (s == STEP_OK) s = field(r, &low);
        if (s != STEP_OK) return s;
        if (((high << 8) | low) != crc) return STEP_ERROR;
        if (!write_all(r.out, r.block, size)) return stop(r, XMODEM_WRITE_FAILED);
        r.bytes += size;
        r.last = number;
        r.accepted = true;
        purge(r, 0);
        put(r, XMODEM_ACK);
        return STEP_OK;
    }
    // Block 0 first is a batch header of another protocol, not a block of ours.
    if (!r.accepted) return number == 0 ? STEP_ERROR : stop(r, XMODEM_OUT_OF_SEQUENCE);
    if (number == r.last) {
        // Our ACK was lost and the sender repeats the block: it is written already.
        purge(r, kRepeatQuietMs);
        put(r, XMODEM_ACK);
        return STEP_OK;
    }
    return stop(r, XMODEM_OUT_OF_SEQUENCE);
}

Step on_eot(Receiver& r) {
    if (r.eot_pending) {
        put(r, XMODEM_ACK);
        return stop(r, XMODEM_COMPLETE);
    }
    // An EOT counts only when repeated: a corrupted header byte must not end
    // the file early.
    r.eot_pending = true;
    purge(r, 0);
    put(r, XMODEM_NAK);
    return STEP_OK;
}

Step on_can(Receiver& r) {
    std::uint8_t second = 0;
    const SerialRead s = get(r, kFieldMs, &second);
    if (s == SERIAL_GONE) return stop(r, XMODEM_LINE_GONE);
    if (s == SERIAL_BYTE && (second & 0x7F) == XMODEM_CAN) return stop(r, XMODEM_CANCELLED);
    return STEP_ERROR;
}

Step cycle(Receiver& r) {
    const Header h = wait_header(r);
    if (h != HEADER_EOT) r.eot_pending = false;
    r.in_block = h == HEADER_SOH || h == HEADER_STX;
    switch (h) {
    case HEADER_SOH:
    case HEADER_STX:
        r.seen_header = true;
        return receive_block(r, h == HEADER_SOH ? 128 : 1024);
    case HEADER_EOT: return on_eot(r);
    case HEADER_CAN: return on_can(r);
    case HEADER_GONE: return stop(r, XMODEM_LINE_GONE);
    case HEADER_TIMEOUT:
    case HEADER_NOISE: break;
    }
    return STEP_ERROR;
}

}  // namespace

std::uint16_t xmodem_crc16(std::uint16_t crc, std::span<const std::uint8_t> data) {
    for (std::uint8_t b : data) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
    }
    return crc;
}

XmodemPort xmodem_serial_port(XmodemLine* line) { return XmodemPort{line, line_get, line_put}; }

std::size_t xmodem_read_block(const XmodemPort& port, std::span<std::uint8_t> dest,
                              std::uint16_t* crc) {
    std::size_t got = 0;
    bool quiet = true;  // nothing came since the last time-out
    while (got < dest.size()) {
        const SerialRead s = port.get(port.ctx, kDataByteMs, &dest[got]);
        if (s == SERIAL_GONE) break;
        if (s == SERIAL_TIMEOUT) {
            if (quiet) break;
            quiet = true;
            continue;
        }
        ++got;
        quiet = false;
    }
    *crc = xmodem_crc16(0, dest.first(got));
    return got;
}

XmodemResult xmodem_transfer(const XmodemPort& port, int out, int first_block_tries) {
    Receiver r{port, out};
    purge(r, 0);
    put(r, XMODEM_CRC_MODE);
    int tries = 1;
    int errors = 0;  // in a row since the last accepted block
    for (;;) {
        const std::uint64_t before = r.bytes;
        const Step s = cycle(r);
        if (s == STEP_END) break;
        if (s == STEP_OK) {
            if (r.bytes != before) errors = 0;
            continue;
        }
        if (!r.accepted) {
            if (tries >= first_block_tries) {
                r.end = XMODEM_NO_SENDER;
                break;
            }
            ++tries;
            // What is left of a refused block must not be read as headers.
            if (r.in_block) purge(r, kErrorQuietMs);
            put(r, XMODEM_CRC_MODE);
            continue;
        }
        if (++errors >= kMaxErrorsInARow) {
            r.end = XMODEM_TOO_MANY_ERRORS;
            break;
        }
        purge(r, kErrorQuietMs);
        put(r, XMODEM_NAK);
    }
    if (r.end != XMODEM_COMPLETE && r.end != XMODEM_CANCELLED) {
        for (int i = 0; i < kCancelBytes; ++i) put(r, XMODEM_CAN);
    }
    if (r.end != XMODEM_COMPLETE) purge(r, kErrorQuietMs);
    return XmodemResult{r.end, r.bytes};
}

std::int64_t xmodem_receive(const char* path, const char* device) {
    int line = serial_open_download(device);
    if (line < 0) return -1;
    UniqueFd out(open_for_writing(path));
    if (!out) {
        std::perror("Can't open file!");
        serial_restore(line);
        ::close(line);
        return -1;
    }
    XmodemLine buffered{line};
    const XmodemResult r =
        xmodem_transfer(xmodem_serial_port(&buffered), out.get(), XMODEM_FIRST_BLOCK_TRIES);
    const bool complete = r.end == XMODEM_COMPLETE && r.bytes > 0 && out.close();
    serial_restore(line);
    ::close(line);
    // Said only now: on the line during the transfer any text is noise to
    // the sender (lrzsz's sx answers each stray byte with another EOT).
    std::puts(end_text(r.end));
    if (!complete) {
        out.reset();
        std::remove(path);
        return 0;
    }
    return static_cast<std::int64_t>(r.bytes);
}
