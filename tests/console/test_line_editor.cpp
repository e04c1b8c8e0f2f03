// The line editor's key handling: buffer contents, what the screen shows
// (the echo stream) and the limits at both ends of the line and at a full
// buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"

namespace {

std::string g_echo;
void capture(int c) { g_echo.push_back(static_cast<char>(c)); }

struct Result {
    std::string text;
    std::string echo;
    std::size_t cursor;
    bool done;
    bool tail_zero;  // every byte behind the string is 0
};

Result edit(const std::string& keys, std::size_t size) {
    std::vector<char> buf(size, 'X');
    LineEditor ed;
    line_editor_init(&ed, buf.data(), size);
    g_echo.clear();
    for (unsigned char k : keys) {
        if (ed.done) break;
        line_editor_key(&ed, k, capture);
    }
    Result r{buf.data(), g_echo, ed.cursor, ed.done, true};
    for (std::size_t i = r.text.size(); i < size; ++i) r.tail_zero &= buf[i] == 0;
    return r;
}

// Renders an echo stream on a one-line screen and returns the screen and
// the screen cursor, so tests can say what the operator sees.
std::pair<std::string, std::size_t> screen(const std::string& echo) {
    std::string line;
    std::size_t col = 0;
    for (char c : echo) {
        if (c == '\b') {
            if (col > 0) --col;
        } else if (c == '\a' || c == '\n') {
        } else {
            if (col >= line.size()) line.resize(col + 1, ' ');
            line[col++] = c;
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return {line, col};
}

struct KeyCase {
    const char* name;
    std::string keys;
    std::size_t size;
    const char* text;
    std::size_t cursor;  // editor cursor before the final Enter, if any
};

const std::string ESC = "\x1b";
const KeyCase kCases[] = {
    {"enter_on_empty_line", "\r", 128, "", 0},
    {"cr_and_lf_equal", "ab\n", 128, "ab", 2},
    {"insert_before_cursor", "abd\x02" "c", 128, "abcd", 3},
    {"ctrl_a_ctrl_d", "abc\x01\x04", 128, "bc", 0},
    {"backspace", "abc\b", 128, "ab", 2},
    {"del_is_backspace", "abc\x7f", 128, "ab", 2},
    {"backspace_at_start", "\b\x7f", 128, "", 0},
    {"ctrl_d_at_end", "abc\x04", 128, "abc", 3},
    {"left_at_start", ESC + "[D" + "\x02", 128, "", 0},
    {"right_at_end", "ab" + ESC + "[C" + "\x06", 128, "ab", 2},
    {"up_key_inserts_nothing", "a" + ESC + "[A" + ESC + "[B" + ESC + "[3~", 128, "a", 1},
    {"esc_letter_inserts", ESC + "x", 128, "x", 1},
    {"esc_del_deletes", "ab" + ESC + "\x7f", 128, "a", 1},
    {"esc_esc_letter", ESC + ESC + "y", 128, "y", 1},
    {"numeric_params_ignored", "ab" + ESC + "[1;5D" + "c", 128, "acb", 2},
    {"full_buffer_rings", "abcdefghij", 8, "abcdefg", 7},
    {"full_buffer_after_delete", "abcdefg\bXY", 8, "abcdefX", 7},
    {"insert_middle_full", "abcdefg\x01Z", 8, "abcdefg", 0},
    {"tab_is_not_special", "a\tb", 128, "ab", 2},
    {"high_bytes_insert", "\xe9\xff", 128, "\xe9\xff", 2},
    {"ctrl_c_keeps_text", "ab\x03zz", 128, "ab", 2},
    {"size_one_buffer", "abc", 1, "", 0},
};

class LineEditorKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(LineEditorKeys, BufferAndCursor) {
    const KeyCase& c = GetParam();
    const Result r = edit(c.keys, c.size);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.cursor, c.cursor);
    EXPECT_TRUE(r.tail_zero);
    EXPECT_LT(r.text.size(), c.size);
}

INSTANTIATE_TEST_SUITE_P(Table, LineEditorKeys, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineEditorScreen, ShowsWhatTheBufferHolds) {
    // After any edit the screen line equals the buffer and the screen cursor
    // sits on the editor cursor.
    for (const KeyCase& c : kCases) {
        const std::string keys = c.keys;
        const Result r = edit(keys, c.size);
        if (r.done) continue;
        const auto [line, col] = screen(r.echo);
        EXPECT_EQ(line, r.text) << c.name;
        EXPECT_EQ(col, r.cursor) << c.name;
    }
}

TEST(LineEditorScreen, EchoDetails) {
    EXPECT_EQ(edit("\b", 128).echo, "");                 // no bell at the start
    EXPECT_EQ(edit("\x01", 128).echo, "");
    EXPECT_EQ(edit("abcdefgh", 8).echo, "abcdefg\a");    // bell when full
    EXPECT_EQ(edit("\x07", 128).echo, "\a");
    EXPECT_EQ(edit("ab\r", 128).echo, "ab\n");           // CR echoes LF only
    EXPECT_EQ(edit("a\x03", 128).echo, "a <break>\n");
    EXPECT_EQ(edit("abc\x02\x02\b", 128).echo, "abc\b\b\bbc \b\b\b");
    EXPECT_EQ(edit(ESC + "[A", 128).echo, "");
    EXPECT_TRUE(edit("x\n", 128).done);
    EXPECT_TRUE(edit("\x03", 128).done);
}

}  // namespace
