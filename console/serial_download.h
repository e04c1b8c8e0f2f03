// The serial console switched to download mode and back: 115200 bps raw
// for a file transfer, then the console's own settings again, with the
// operator changing the terminal's speed by hand at both ends. And the byte
// operations a receiver uses on the switched line.
//
// One download at a time: the console's settings are kept in one
// process-wide copy between serial_open_download and serial_restore.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* SERIAL_DEVICE = "/dev/ttyS0";

// How long the operator has to press Enter after changing the terminal's
// speed before the switch gives up waiting (a terminal left at the other
// speed can never send an Enter the switch understands).
inline constexpr int SERIAL_ENTER_WAIT_SECONDS = 300;

// Opens `device` (read-write, non-blocking, not as controlling terminal),
// asks the operator to change to 115200 bps, keeps the line's settings and
// switches it to 115200 bps 8N1 raw (no input or output processing, no
// echo, no signals), then waits for a carriage return, reminding the
// operator every 11 seconds. Returns the descriptor (the caller closes it
// after serial_restore), or -1 when the device cannot be opened or is not a
// terminal ("Can't open serial port!"), when the line is hung up, or when
// no Enter came within SERIAL_ENTER_WAIT_SECONDS; in the last two cases the
// line's own settings are back and the descriptor is closed, so nothing is
// left for serial_restore to do.
int serial_open_download(const char* device = SERIAL_DEVICE);

// Asks the operator to change back to 9600 bps, puts back the settings kept
// by serial_open_download and waits for Enter (a line feed or a carriage
// return). Returns at once when the line is hung up, and after
// SERIAL_ENTER_WAIT_SECONDS without Enter. Does not close `fd`.
void serial_restore(int fd);

// Writes one byte to the line; a failed write is not reported.
void serial_put_byte(int fd, std::uint8_t byte);

enum SerialRead {
    SERIAL_BYTE = 1,     // a byte was read
    SERIAL_TIMEOUT = 0,  // nothing came within the time-out
    SERIAL_GONE = -1,    // the line is hung up or cannot be read any more
};

// Waits up to `timeout_ms` milliseconds for one byte from the non-blocking
// descriptor `fd`. On SERIAL_BYTE the byte is in *byte; otherwise *byte
// keeps its value.
SerialRead serial_get_byte(int fd, int timeout_ms, std::uint8_t* byte);

// As serial_get_byte, but takes whatever is waiting, up to `size` bytes
// (size >= 1), into `buf`: on SERIAL_BYTE *got holds their number (at least
// one). A receiver reads a whole burst with one call instead of one call a
// byte.
SerialRead serial_get_bytes(int fd, int timeout_ms, std::uint8_t* buf, std::size_t size,
                            std::size_t* got);

// Reads and discards what is waiting on the line, until a read delivers
// nothing.
void serial_drain(int fd);
