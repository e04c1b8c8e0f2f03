// printf-style formatting into a std::string.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

inline std::string vstrformat(const char* fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(ap2);
    return out;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute checks each call
[[gnu::format(printf, 1, 2)]] inline std::string strformat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vstrformat(fmt, ap);
    va_end(ap);
    return out;
}
