// The built-in XMODEM receiver: CRC-16 mode only, 128-byte (SOH) and
// 1024-byte (STX) blocks, which may be mixed.
//
// The receiver runs over a port of two byte operations, so the protocol is
// the same on the serial line (xmodem_serial_port) and in tests and fuzzing
// (a scripted sender). It never waits without a bound:
//   - before the first block it asks for CRC mode ("C") once per second, at
//     most XMODEM_FIRST_BLOCK_TRIES times, then gives up;
//   - while a header is awaited, at most XMODEM_MAX_SKIPPED bytes that are
//     no header byte are skipped before that counts as an error;
//   - after the first block, three errors in a row abort the transfer, and a
//     block out of sequence aborts it at once;
//   - two CAN bytes from the sender cancel it;
//   - an end of transmission counts only when the sender confirms it: the
//     first EOT is answered with NAK and a second EOT must follow. A stray
//     EOT followed by more blocks is forgotten; one followed by silence costs
//     retries like any other error and ends in an abort, never in a file
//     taken as complete.
// Every accepted block is written in full (the sender's padding of the last
// block included) before it is acknowledged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "console/serial_download.h"

inline constexpr std::uint8_t XMODEM_SOH = 0x01;
inline constexpr std::uint8_t XMODEM_STX = 0x02;
inline constexpr std::uint8_t XMODEM_EOT = 0x04;
inline constexpr std::uint8_t XMODEM_ACK = 0x06;
inline constexpr std::uint8_t XMODEM_NAK = 0x15;
inline constexpr std::uint8_t XMODEM_CAN = 0x18;
inline constexpr std::uint8_t XMODEM_CRC_MODE = 'C';

inline constexpr int XMODEM_FIRST_BLOCK_TRIES = 60;
inline constexpr std::size_t XMODEM_MAX_SKIPPED = std::size_t{2} * (1024 + 5);

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final
// inversion) continued from `crc` over `data`.
std::uint16_t xmodem_crc16(std::uint16_t crc, std::span<const std::uint8_t> data);

// The byte operations the receiver runs on. `get` waits up to `timeout_ms`
// for one byte and answers as serial_get_byte does; `put` sends one byte.
struct XmodemPort {
    void* ctx;
    SerialRead (*get)(void* ctx, int timeout_ms, std::uint8_t* byte);
    void (*put)(void* ctx, std::uint8_t byte);
};

// An open serial line read through a buffer: one read takes whatever has
// arrived (a block comes as one burst) and the receiver is handed the bytes
// one at a time from it.
struct XmodemLine {
    int fd;
    std::uint8_t buf[2048] = {};
    std::size_t pos = 0;
    std::size_t len = 0;
};

// The port over a serial line; `line` must outlive the port.
XmodemPort xmodem_serial_port(XmodemLine* line);

// Reads up to `dest.size()` data bytes of one block, each within a second;
// the block ends early only when two seconds in a row bring nothing (or the
// line is gone). Returns the number of bytes read and their CRC in *crc.
std::size_t xmodem_read_block(const XmodemPort& port, std::span<std::uint8_t> dest,
                              std::uint16_t* crc);

enum XmodemEnd {
    XMODEM_COMPLETE,       // the sender's EOT was confirmed
    XMODEM_NO_SENDER,      // no block came within the first-block tries
    XMODEM_CANCELLED,      // the sender sent CAN CAN
    XMODEM_OUT_OF_SEQUENCE,
    XMODEM_TOO_MANY_ERRORS,
    XMODEM_LINE_GONE,
    XMODEM_WRITE_FAILED,   // the output could not take a block
};

struct XmodemResult {
    XmodemEnd end;
    std::uint64_t bytes;  // written to the output
};

// Receives one file from `port` into the open descriptor `out`, asking for
// CRC mode at most `first_block_tries` times before the first block. Ends a
// transfer that does not complete by sending CAN five times and discarding
// what the sender still sends. Prints nothing: on the serial line any text
// would reach the sender as protocol bytes.
XmodemResult xmodem_transfer(const XmodemPort& port, int out, int first_block_tries);

// The whole download over the serial console `device`: serial_open_download,
// the transfer into `path` (created or truncated, mode 0644),
// serial_restore, close, then one line on the console: "All done", or why
// the transfer ended. Returns the bytes written when the transfer
// completed; 0 when it did not, and the partial file is then removed so
// that nothing of it can pass for a download; -1 when the line could not be
// switched to download mode or `path` cannot be created ("Can't open
// file!").
std::int64_t xmodem_receive(const char* path, const char* device = SERIAL_DEVICE);
