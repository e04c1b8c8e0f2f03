#include "tools/imagetool/cli_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/format.h"
#include "tools/imagetool/imagetool.h"

int usage_error(const char* verb, const char* fmt, const char* arg) {
    std::fprintf(stderr, "imagetool %s: ", verb);
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\nTry 'imagetool %s --help'.\n", verb);
    return IMAGETOOL_USAGE;
}

bool is_help(std::string_view a) { return a == "--help" || a == "-h"; }

// A file descriptor closed on scope exit.
// Reads a whole regular file into a buffer allocated without throwing.
bool read_file(const char* path, std::unique_ptr<std::uint8_t[]>* data, std::size_t* size) {
    UniqueFd f(open(path, O_RDONLY | O_CLOEXEC));
    if (!f) {
        std::fprintf(stderr, "imagetool: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "imagetool: %s is not a regular file\n", path);
        return false;
    }
    const auto n = static_cast<std::uint64_t>(st.st_size);
    if (n > 0xFFFFFFFFu) {
        std::fprintf(stderr, "imagetool: %s is too large for a component\n", path);
        return false;
    }
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[n ? n : 1]);
    if (!buf) {
        std::fprintf(stderr, "imagetool: out of memory reading %s\n", path);
        return false;
    }
    const ImageSource src = image_source_fd(f.get(), n);
    if (image_source_read(src, 0, buf.get(), static_cast<std::size_t>(n)) !=
        static_cast<std::int64_t>(n)) {
        std::fprintf(stderr, "imagetool: cannot read %s\n", path);
        return false;
    }
    *data = std::move(buf);
    *size = static_cast<std::size_t>(n);
    return true;
}


OutputFile::~OutputFile() {
    if (fd >= 0) close(fd);
    if (!temp.empty()) unlink(temp.c_str());
}

bool OutputFile::open_for(const char* verb, const char* target) {
    if (!target) {
        fd = dup(1);
        if (fd < 0) std::fprintf(stderr, "imagetool %s: no standard output\n", verb);
        return fd >= 0;
    }
    path = target;
    temp = path + ".XXXXXX";
    fd = mkstemp(temp.data());
    if (fd < 0 || fchmod(fd, 0644) != 0) {
        std::fprintf(stderr, "imagetool %s: cannot create %s: %s\n", verb, temp.c_str(),
                     std::strerror(errno));
        if (fd < 0) temp.clear();
        return false;
    }
    return true;
}

bool OutputFile::commit(const char* verb) {
    const int closed = close(fd);
    fd = -1;
    if (closed != 0 || (!temp.empty() && rename(temp.c_str(), path.c_str()) != 0)) {
        std::fprintf(stderr, "imagetool %s: cannot write %s: %s\n", verb,
                     path.empty() ? "standard output" : path.c_str(), std::strerror(errno));
        return false;
    }
    temp.clear();
    return true;
}

bool write_output(const char* verb, const char* target, const std::uint8_t* bytes, std::size_t n) {
    OutputFile out;
    if (!out.open_for(verb, target)) return false;
    if (!write_all(out.fd, bytes, n)) {
        std::fprintf(stderr, "imagetool %s: cannot write %s: %s\n", verb, target ? target : "standard output",
                     std::strerror(errno));
        return false;
    }
    return out.commit(verb);
}
