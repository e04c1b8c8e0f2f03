#include "console/serial_download.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The line's settings from before the download, put back afterwards.
termios g_saved_serial{};

constexpr int kRemindEvery = 11;  // quiet seconds between reminders

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

enum EnterWait { ENTER_PRESSED, ENTER_TIMED_OUT, ENTER_LINE_GONE };

// Waits for Enter, which arrives as a carriage return on the raw line and
// as a line feed once the console's own settings are back; both count, so
// the wait cannot miss the key whatever the settings say.
EnterWait wait_for_enter(int fd, const char* reminder) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(SERIAL_ENTER_WAIT_SECONDS);
    int quiet = 0;
    while (Clock::now() < deadline) {
        std::uint8_t byte = 0;
        const SerialRead r = serial_get_byte(fd, 1000, &byte);
        if (r == SERIAL_GONE) return ENTER_LINE_GONE;
        if (r == SERIAL_BYTE) {
            if (byte == '\r' || byte == '\n') return ENTER_PRESSED;
            continue;
        }
        if (++quiet % kRemindEvery == 0) {
            std::puts(reminder);
            std::fflush(stdout);
        }
    }
    return ENTER_TIMED_OUT;
}

// Once the output has drained only input is left to discard: flushing
// output too would drop, on a pseudo-terminal, text the other side has not
// read yet.
void drain_and_discard_input(int fd) {
    ::tcdrain(fd);
    ::tcflush(fd, TCIFLUSH);
}

void apply_saved(int fd) {
    drain_and_discard_input(fd);
    ::tcsetattr(fd, TCSADRAIN, &g_saved_serial);
    ::tcflow(fd, TCOON);
}

}  // namespace

int serial_open_download(const char* device) {
    const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    std::fflush(stdout);
    drain_and_discard_input(fd);
    if (::tcgetattr(fd, &g_saved_serial) != 0) {
        std::perror("Can't open serial port!");
        ::close(fd);
        return -1;
    }

    termios raw = g_saved_serial;
    ::cfsetispeed(&raw, B115200);
    ::cfsetospeed(&raw, B115200);
    raw.c_cflag &= static_cast<tcflag_t>(~(PARENB | CSTOPB | CSIZE));
    raw.c_cflag |= CS8;
    raw.c_iflag = IGNBRK;
    raw.c_oflag = 0;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ISIG | ECHO | ECHOE | ECHOKE));
    ::tcsetattr(fd, TCSADRAIN, &raw);
    ::tcflow(fd, TCOON);

    const EnterWait w = wait_for_enter(
        fd, "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    if (w == ENTER_PRESSED) return fd;
    apply_saved(fd);
    ::close(fd);
    if (w == ENTER_TIMED_OUT) {
        std::printf("No <ENTER> key within %d seconds: download cancelled.\n",
                    SERIAL_ENTER_WAIT_SECONDS);
    }
    return -1;
}

void serial_restore(int fd) {
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    std::fflush(stdout);
    apply_saved(fd);
    wait_for_enter(fd, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

void serial_put_byte(int fd, std::uint8_t byte) {
    for (int tries = 0; tries < 2; ++tries) {
        const ssize_t n = ::write(fd, &byte, 1);
        if (n == 1) return;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        // The output queue is full: give it up to a second to move.
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 1000);
    }
}

SerialRead serial_get_byte(int fd, int timeout_ms, std::uint8_t* byte) {
    std::uint8_t b = 0;
    std::size_t got = 0;
    const SerialRead r = serial_get_bytes(fd, timeout_ms, &b, 1, &got);
    if (r == SERIAL_BYTE) *byte = b;
    return r;
}

SerialRead serial_get_bytes(int fd, int timeout_ms, std::uint8_t* buf, std::size_t size,
                            std::size_t* got) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const ssize_t n = ::read(fd, buf, size);
        if (n > 0) {
            *got = static_cast<std::size_t>(n);
            return SERIAL_BYTE;
        }
        // EIO from a terminal whose other side has gone.
        if (n < 0 && errno != EAGAIN && errno != EINTR) return SERIAL_GONE;
        pollfd p{fd, POLLIN, 0};
        // Nothing read: a hung-up line says so; otherwise it was an empty
        // line (an end-of-file key in line mode) or nothing yet.
        if (n == 0 && (::poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)))) {
            return SERIAL_GONE;
        }
        const int left = remaining_ms(deadline);
        if (left == 0) return SERIAL_TIMEOUT;
        ::poll(&p, 1, left);
    }
}

void serial_drain(int fd) {
    std::uint8_t buf[256];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}
