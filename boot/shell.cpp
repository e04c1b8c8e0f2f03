#include "boot/shell.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "strformat.h"

int shell_run(std::string_view command) {
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string line(command);
    return std::system(line.c_str());  // NOLINT(cert-env33-c): the one place commands run; callers quote outside text
}

bool shell_succeeded(int result) {
    return result >= 0 && WIFEXITED(result) && WEXITSTATUS(result) == 0;
}

std::string shell_format(const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp): printf-checked by its format attribute
    va_list ap;
    va_start(ap, fmt);
    std::string out = vstrformat(fmt, ap);
    va_end(ap);
    return out;
}

std::string shell_quote(std::string_view arg) {
    std::string out;
    out.reserve(arg.size() + 2);
    out.push_back('\'');
    for (char c : arg) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}
