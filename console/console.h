// Console input on the serial console (standard input and output).
//
// None of these operations looks at the interrupt flag; callers test it
// after an operation returns. No operation reports an error: a failed or
// interrupted read is key value 0.
#pragma once

#include <cstddef>

// One raw keystroke without echo and without waiting for Enter (canonical
// mode and echo off for the one read, ISIG kept). Returns the byte, or 0 when
// the read delivered nothing. The terminal attributes are always restored.
unsigned char console_getkey();

// Writes the low 8 bits of `c` to standard output and flushes at once.
void console_putc(int c);

// True once a read from the console found its end (the console was closed or
// hung up): no key will ever come again, so a question that would be asked
// again must give up instead. An interrupted read does not count.
bool console_input_ended();

// Edits one line into `buf` (of `size` bytes, size >= 1) and returns `buf`
// when the line is ended by Enter or Ctrl-C, or at end of input (a closed or
// hung-up console), which ends it as an empty answer with a line end. An
// interrupted read is a key of value 0 (a bell) and editing goes on. At most size - 1 characters are
// stored; the buffer always holds a NUL-terminated string with zeros behind
// it. Keys: Ctrl-A start, Ctrl-B/ESC[D left, Ctrl-F/ESC[C right, Ctrl-D delete
// under the cursor, BS/DEL delete before it, Ctrl-C " <break>" and end.
char* console_readline(char* buf, std::size_t size);

// Reads one answer line as the terminal delivers it (its own line mode and
// echo, untouched), like fgets on standard input but a byte at a time: no
// stdio buffer takes keys typed ahead for a later question. `buf` (size >=
// 1) receives at most size - 1 bytes of the line, its line end included when it fits;
// the rest of a longer line is read and dropped. Returns false when nothing
// came (end of input, or a read interrupted before the first byte).
bool console_read_answer(char* buf, std::size_t size);

// Prints "<question> y/N? ", reads one key, echoes it and a line end.
// Returns 1 for y or Y, otherwise 0.
int console_confirm(const char* question);

// Prints `prompt` then "(y/n) " and waits up to five seconds for a line-mode
// answer. Returns 1 for "y", 0 for "n" or after five silent seconds
// ("Timeout. Assuming "no"."). Any other first byte asks again.
int console_ask_timed(const char* prompt);

// --- The line editor as a pure state machine (used by console_readline and
// tested without a terminal). ---

struct LineEditor {
    char* buf;
    std::size_t size;
    std::size_t cursor;
    std::size_t capacity;  // remaining; insertion needs > 1
    int escape;            // 0 normal, 1 after ESC, 2 after ESC [
    bool done;
};

// Starts editing into `buf`: zeroes all `size` bytes.
void line_editor_init(LineEditor* ed, char* buf, std::size_t size);

// Handles one key; every echoed character goes through `echo`.
void line_editor_key(LineEditor* ed, unsigned char key, void (*echo)(int));
