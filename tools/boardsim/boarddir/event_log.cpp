#include "tools/boardsim/boarddir/event_log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "unique_fd.h"

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

int event_log_last_run(const std::string& path) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) return 0;
    off_t end = ::lseek(f.get(), 0, SEEK_END);
    if (end <= 0) return 0;
    // Backwards in chunks; a chunk overlaps the next by a line's worth so a
    // "start" line split between two reads is still seen whole.
    constexpr std::string_view kMark = "\"kind\":\"start\"";
    constexpr off_t kChunk = 1 << 16, kOverlap = 512;
    std::string buf;
    for (off_t hi = end; hi > 0;) {
        const off_t lo = hi > kChunk ? hi - kChunk : 0;
        const off_t top = std::min<off_t>(end, hi + kOverlap);
        buf.assign(static_cast<std::size_t>(top - lo), '\0');
        if (::pread(f.get(), buf.data(), buf.size(), lo) != static_cast<ssize_t>(buf.size())) return 0;
        for (std::size_t at = buf.rfind(kMark); at != std::string::npos; at = at ? buf.rfind(kMark, at - 1) : std::string::npos) {
            const std::size_t line = buf.rfind('\n', at);
            const std::size_t from = line == std::string::npos ? 0 : line + 1;
            if (line == std::string::npos && lo > 0) break;  // the line starts in the previous chunk
            const std::size_t key = buf.find("\"run\":", from);
            if (key == std::string::npos || key > at) continue;
            return static_cast<int>(std::strtol(buf.c_str() + key + 6, nullptr, 10));
        }
        hi = lo;
    }
    return 0;
}

void event_log_start(const EventLog& log, std::string_view verb) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    gmtime_r(&ts.tv_sec, &tm);
    char wall[96];
    std::snprintf(wall, sizeof wall, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
    event_log_write(log, "start", ",\"verb\":" + json_string(verb) + ",\"wall\":\"" + wall + "\"");
}

std::string json_hex(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "\"0x%llx\"", static_cast<unsigned long long>(value));
    return buf;
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
    std::snprintf(head, sizeof head, "{\"t\":%.6f,\"run\":%d,\"boot\":%d,\"kind\":", t, log.run, log.boot);
    std::string line = head + json_string(kind) + fields + "}\n";
    ssize_t rc = ::write(log.fd, line.data(), line.size());
    (void)rc;
}
