#include "private_mounts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void refuse(const char* what) {
    std::fprintf(stderr, "fuzz: cannot make a private world (%s: %s); not running\n", what,
                 std::strerror(errno));
    std::abort();
}

void write_text(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const std::size_t len = std::strlen(text);
    if (fd < 0 || ::write(fd, text, len) != static_cast<ssize_t>(len)) refuse(path);
    ::close(fd);
}

// Maps the caller's user and group to root of a new user namespace, so that
// mounting is allowed inside it.
void enter_user_namespace() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) refuse("unshare");
    char map[64];
    write_text("/proc/self/setgroups", "deny");
    std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
    write_text("/proc/self/uid_map", map);
    std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
    write_text("/proc/self/gid_map", map);
}

void cover(const char* path) {
    if (::mount("scratch", path, "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0755") != 0) {
        refuse(path);
    }
}

bool exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

}  // namespace

void fuzz_enter_private_mounts() {
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) refuse("unshare");
    } else {
        enter_user_namespace();
    }
    // Nothing mounted from here on propagates back to the machine.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) refuse("private /");
    cover("/tmp");
    cover("/mnt");
    if (::mkdir("/mnt/usb", 0755) != 0) refuse("/mnt/usb");
    if (exists("/user")) cover("/user");
}
