// An image's env-setup file, as any bytes an image may carry: the reader
// must stop, and every variable it sets must be a whole word of at most 511
// characters (no piece of a longer word becomes a name).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "boot/launch.h"

extern char** environ;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("env-setup", 0);
    static char path[64];
    if (path[0] == '\0') std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    ::clearenv();
    const int count = launch_apply_env_file(path);
    int seen = 0;
    for (char** e = environ; e && *e; ++e, ++seen) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || eq - *e > 511 || std::strlen(eq + 1) > 511) std::abort();
    }
    if (count < 0 || seen > count) std::abort();
    return 0;
}
