#include "boot/settings.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board/mtd.h"

namespace {

// The value behind the first occurrence of `key`, or an empty view when the
// key is absent.
bool find_value(std::string_view text, std::string_view key, std::string_view* value) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return false;
    *value = text.substr(at + key.size());
    return true;
}

// Sets `*flag` to 1 when the value begins with `word`, to 0 when the key is
// present with another value; leaves it when the key is absent. Returns
// whether the value matched.
template <typename Flag>
bool apply_flag(std::string_view text, std::string_view key, std::string_view word,
                Flag* flag) {
    std::string_view value;
    if (!find_value(text, key, &value)) return false;
    const bool match = value.substr(0, word.size()) == word;
    *flag = match ? 1 : 0;
    return match;
}

void interrupt_handler(int) { g_boot_settings.interrupted = 1; }

}  // namespace

void bootenv_apply(std::string_view text, BootSettings* s) {
    apply_flag(text, "gdb=", "on", &s->gdb);
    if (apply_flag(text, "gdbserver=", "on", &s->gdbserver)) s->gdb = 1;

    std::string_view port;
    if (find_value(text, "gdbport=", &port)) {
        // Like "%d": leading blanks skipped, optional sign, digits. The value
        // is copied so the conversion stops at the end of the text.
        const std::string digits(port.substr(0, 16));
        const char* p = digits.c_str();
        char* end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end != p) s->gdbport = static_cast<std::int32_t>(v);
    }

    apply_flag(text, "shell=", "on", &s->shell);
    apply_flag(text, "memchk=", "on", &s->memchk);
    apply_flag(text, "diagnostics=", "rescue", &s->rescue);
    apply_flag(text, "lowsec=", "authorised", &s->lowsecAuthorised);
    apply_flag(text, "diagnostics=", "diags", &s->diags);
}

void read_bootloader_env() {
    static char text[BOOTENV_TEXT_LEN + 1];
    std::memset(text, 0, sizeof text);
    if (mtd_read_partition(reinterpret_cast<std::uint8_t*>(text), mtd_handle(MTD_UBOOTENV), 4,
                           BOOTENV_TEXT_LEN) != 0) {
        return;
    }
    for (std::size_t i = 0; i < BOOTENV_TEXT_LEN; ++i) {
        if (text[i] == '\0') text[i] = ' ';
    }
    text[BOOTENV_TEXT_LEN] = '\0';
    bootenv_apply(std::string_view(text, BOOTENV_TEXT_LEN), &g_boot_settings);
}

void install_interrupt_handler() {
    struct sigaction sa {};
    sa.sa_handler = interrupt_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
}
