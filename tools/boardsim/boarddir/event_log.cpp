#include "tools/boardsim/boarddir/event_log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

std::int64_t monotonic_ns() {
    struct timespec ts {};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool event_log_open(EventLog& log, const std::string& path, std::int64_t t0_ns, int boot) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    event_log_close(log);
    log.fd = fd;
    log.t0_ns = t0_ns;
    log.boot = boot;
    return true;
}

void event_log_close(EventLog& log) {
    if (log.fd >= 0) ::close(log.fd);
    log.fd = -1;
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Bytes outside printable ASCII as \u00XX so the line stays
                // valid JSON whatever the arguments hold.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string json_string_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ",";
        out += json_string(items[i]);
    }
    return out + "]";
}

void event_log_write(const EventLog& log, std::string_view kind, const std::string& fields) {
    if (log.fd < 0) return;
    char head[96];
    double t = static_cast<double>(monotonic_ns() - log.t0_ns) / 1e9;
    std::snprintf(head, sizeof head, "{\"t\":%.6f,\"boot\":%d,\"kind\":", t, log.boot);
    std::string line = head + json_string(kind) + fields + "}\n";
    ssize_t rc = ::write(log.fd, line.data(), line.size());
    (void)rc;
}
