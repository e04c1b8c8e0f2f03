#include "console/console.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr unsigned char kBell = 7;
constexpr unsigned char kBackspace = 8;
constexpr unsigned char kEsc = 27;
constexpr unsigned char kDel = 127;
constexpr int kAskTimeoutMillis = 5000;

void echo_string(const char* s, void (*echo)(int)) {
    while (*s) echo(static_cast<unsigned char>(*s++));
}

// Prints the string from the cursor on, one blank over the cell the string
// no longer covers, then backspaces back to the cursor.
void redraw_tail(LineEditor* ed, void (*echo)(int)) {
    std::size_t printed = 0;
    for (std::size_t i = ed->cursor; ed->buf[i] != '\0'; ++i, ++printed) {
        echo(static_cast<unsigned char>(ed->buf[i]));
    }
    echo(' ');
    ++printed;
    for (std::size_t i = 0; i < printed; ++i) echo(kBackspace);
}

std::size_t length(const LineEditor* ed) { return std::strlen(ed->buf); }

void delete_at(LineEditor* ed, std::size_t pos) {
    // The string moves one place left; the zero at the end of the buffer
    // keeps everything behind the terminator zero.
    std::memmove(ed->buf + pos, ed->buf + pos + 1, ed->size - pos - 1);
    ed->buf[ed->size - 1] = '\0';
    ++ed->capacity;
}

void cursor_left(LineEditor* ed, void (*echo)(int)) {
    if (ed->cursor == 0) return;
    --ed->cursor;
    echo(kBackspace);
}

void cursor_right(LineEditor* ed, void (*echo)(int)) {
    if (ed->buf[ed->cursor] == '\0') return;
    echo(static_cast<unsigned char>(ed->buf[ed->cursor]));
    ++ed->cursor;
}

void backspace(LineEditor* ed, void (*echo)(int)) {
    if (ed->cursor == 0) return;
    --ed->cursor;
    echo(kBackspace);
    delete_at(ed, ed->cursor);
    redraw_tail(ed, echo);
}

void insert(LineEditor* ed, unsigned char key, void (*echo)(int)) {
    if (ed->capacity <= 1) {
        echo(kBell);
        return;
    }
    echo(key);
    const std::size_t len = length(ed);
    echo_string(ed->buf + ed->cursor, echo);
    std::memmove(ed->buf + ed->cursor + 1, ed->buf + ed->cursor, len - ed->cursor);
    for (std::size_t i = ed->cursor; i < len; ++i) echo(kBackspace);
    ed->buf[ed->cursor] = static_cast<char>(key);
    ++ed->cursor;
    --ed->capacity;
}

void normal_key(LineEditor* ed, unsigned char key, void (*echo)(int)) {
    switch (key) {
    case 1:  // Ctrl-A
        while (ed->cursor > 0) cursor_left(ed, echo);
        break;
    case 2:  // Ctrl-B
        cursor_left(ed, echo);
        break;
    case 3:  // Ctrl-C
        echo_string(" <break>\n", echo);
        ed->done = true;
        break;
    case 4:  // Ctrl-D
        if (ed->buf[ed->cursor] != '\0') {
            delete_at(ed, ed->cursor);
            redraw_tail(ed, echo);
        }
        break;
    case 6:  // Ctrl-F
        cursor_right(ed, echo);
        break;
    case kBackspace:
    case kDel:
        backspace(ed, echo);
        break;
    case '\n':
    case '\r':
        echo('\n');
        ed->done = true;
        break;
    case kEsc:
        ed->escape = 1;
        break;
    default:
        if (key >= 32) {
            insert(ed, key, echo);
        } else {
            echo(kBell);
        }
        break;
    }
}

void stdout_echo(int c) { console_putc(c); }

}  // namespace

void line_editor_init(LineEditor* ed, char* buf, std::size_t size) {
    std::memset(buf, 0, size);
    ed->buf = buf;
    ed->size = size;
    ed->cursor = 0;
    ed->capacity = size;
    ed->escape = 0;
    ed->done = false;
}

void line_editor_key(LineEditor* ed, unsigned char key, void (*echo)(int)) {
    if (ed->escape == 1) {
        ed->escape = 0;
        if (key == '[') {
            ed->escape = 2;
        } else if (key == kBackspace || key == kDel) {
            backspace(ed, echo);
        } else {
            normal_key(ed, key, echo);
        }
        return;
    }
    if (ed->escape == 2) {
        if ((key >= '0' && key <= '9') || key == ';') return;
        ed->escape = 0;
        if (key == 'C') {
            cursor_right(ed, echo);
        } else if (key == 'D') {
            cursor_left(ed, echo);
        }
        return;
    }
    normal_key(ed, key, echo);
}

namespace {

bool g_input_ended = false;

// One raw keystroke into *key: 1 when a byte was read, -1 when a signal
// interrupted the read, 0 at end of input (the console was closed or hung
// up, or the read fails for good: no key will ever come).
int read_key(unsigned char* key) {
    termios saved{};
    const bool have_tty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (have_tty) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    *key = 0;
    const ssize_t n = ::read(STDIN_FILENO, key, 1);
    const int err = errno;
    if (have_tty) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    if (n == 1) return 1;
    *key = 0;
    // A terminal whose other side has gone answers EIO rather than 0.
    if (n < 0 && err == EINTR) return -1;
    g_input_ended = true;
    return 0;
}

}  // namespace

unsigned char console_getkey() {
    unsigned char key = 0;
    read_key(&key);
    return key;
}

bool console_input_ended() { return g_input_ended; }

void console_putc(int c) {
    std::putchar(static_cast<unsigned char>(c));
    std::fflush(stdout);
}

char* console_readline(char* buf, std::size_t size) {
    std::fflush(stdout);
    LineEditor ed;
    line_editor_init(&ed, buf, size);
    while (!ed.done) {
        unsigned char key = 0;
        if (read_key(&key) == 0) {
            // Nobody can finish the line any more: it ends as an empty answer.
            line_editor_init(&ed, buf, size);
            console_putc('\n');
            break;
        }
        line_editor_key(&ed, key, stdout_echo);
    }
    return buf;
}

bool console_read_answer(char* buf, std::size_t size) {
    std::fflush(stdout);
    std::size_t n = 0;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got != 1) {
            if (got == 0 || errno != EINTR) g_input_ended = true;
            if (n == 0) {
                buf[0] = '\0';
                return false;
            }
            break;
        }
        if (n + 1 < size) buf[n++] = c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return true;
}

int console_confirm(const char* question) {
    std::printf("%s y/N? ", question);
    std::fflush(stdout);
    const unsigned char key = console_getkey();
    std::printf("%c\n", key);
    std::fflush(stdout);
    if (key == 0) return 0;
    return std::toupper(key) == 'Y' ? 1 : 0;
}

int console_ask_timed(const char* prompt) {
    std::fputs(prompt, stdout);
    for (;;) {
        std::fputs("(y/n) ", stdout);
        std::fflush(stdout);
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (::poll(&pfd, 1, kAskTimeoutMillis) <= 0) {
            std::puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        unsigned char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 0) {
            // End of input: nobody can answer any more, which is silence.
            std::puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        if (n != 1) continue;
        if (c == 'y') return 1;
        if (c == 'n') return 0;
    }
}
