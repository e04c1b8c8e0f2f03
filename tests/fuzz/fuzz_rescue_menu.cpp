// The rescue menu fed any key stream, in a private world (private_mounts.h)
// with an empty USB stick and no low security mode. The keys arrive on the
// console (standard input, a pipe). Letters whose actions leave this
// process's reach are taken out of the stream: T and M (the management
// network and its shell commands), X (the serial transfer, with waits of
// seconds), P and R (the LED test and the reboot), K (a shell command); the
// menu's choice of them is the same table lookup as for the letters kept.
// Every stream ends with keys that leave any question (the USB file number
// with its line editor in any state) and then the menu: the console's end of
// input, once met, stays met for the whole process (console.h), so no input
// may reach it or the inputs after it would run differently.
// Besides the sanitizers it checks:
// - the menu returns 1 on the E typed at its prompt, not at the end of input;
// - the menu lists exactly the letters T, X, P, R and E;
// - a key it calls unknown is not one of its letters.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "console/console.h"
#include "console/rescue_menu.h"
#include "private_mounts.h"
#include "security/lowsec.h"

namespace {

constexpr std::string_view kLetters = "TXPREUVMKD";
constexpr std::string_view kLeftOut = "TXPRMK";
constexpr std::string_view kListed =
    "Entering Rescue Mode.\nPlease select one of the following options:\n"
    "\tT) Configure networking and tftp download an image\n"
    "\tX) Use xmodem 1K to serial download an image\n"
    "\tP) Physical presence (low security mode)\n"
    "\tR) Reboot\n"
    "\tE) Exit\n";
// '!' closes an escape sequence or is typed, Ctrl-C ends the line, "q" and
// Enter answer the question again if the line was refused; at the prompt all
// of these are unknown options. Then E.
constexpr std::string_view kLeave = "!\x03q\rE";

int g_output = -1;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string captured_output() {
    std::fflush(stdout);
    std::string out;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = ::pread(g_output, buf, sizeof buf, at)) > 0; at += n) out.append(buf, n);
    return out;
}

// Replaces standard input with a pipe holding `keys`, its writing end closed.
bool feed_console(const std::vector<unsigned char>& keys) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const bool ok = ::write(fds[1], keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    ::close(fds[1]);
    const bool moved = ::dup2(fds[0], STDIN_FILENO) == STDIN_FILENO;
    ::close(fds[0]);
    return ok && moved;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_enter_private_mounts();
    g_output = ::memfd_create("console", MFD_CLOEXEC);
    check(g_output >= 0 && std::fflush(stdout) == 0 && ::dup2(g_output, STDOUT_FILENO) == STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A pipe holds 64 KiB without a reader.
    if (size > 60000) return 0;
    std::vector<unsigned char> keys;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char k = data[i];
        if (kLeftOut.find(static_cast<char>(std::toupper(k))) == std::string_view::npos) keys.push_back(k);
    }
    keys.insert(keys.end(), kLeave.begin(), kLeave.end());
    if (!feed_console(keys)) return 0;
    std::fflush(stdout);
    check(::ftruncate(g_output, 0) == 0 && ::lseek(g_output, 0, SEEK_SET) == 0);

    check(rescue_menu() == 1);

    const std::string out = captured_output();
    check(out.compare(0, kListed.size(), kListed) == 0);
    check(!console_input_ended());
    check(ends_with(out, "\nOption? : E\n") || ends_with(out, "\nOption? : e\n"));
    for (std::size_t at = 0; (at = out.find("\nunknown option \"", at)) != std::string::npos; ++at) {
        const auto key = static_cast<unsigned char>(out[at + 17]);
        check(kLetters.find(static_cast<char>(key)) == std::string_view::npos &&
              key == std::toupper(key));
    }
    check(!lowsec_active());
    return 0;
}
