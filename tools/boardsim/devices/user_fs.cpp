#define FUSE_USE_VERSION 35
#include "tools/boardsim/devices/user_fs.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

UserFs& self() { return *static_cast<UserFs*>(fuse_get_context()->private_data); }

// FUSE paths are "/" or "/NAME/...": relative to DIR/user for the *at calls.
const char* rel(const char* path) { return path[1] ? path + 1 : "."; }

std::string board_path(const char* path) { return path[1] ? std::string("/user") + path : "/user"; }

PowerPlace place(const std::string& board) { return {PowerPlace::Area::user, board, -1}; }

// The open file of fi, or null when the kernel hands back an unknown one.
UserFile* file_of(const struct fuse_file_info* fi) {
    auto it = self().open_files.find(fi->fh);
    return it == self().open_files.end() ? nullptr : &it->second;
}

// Its descriptor, or -1 (the calls on it then fail with EBADF).
int fd_of(const struct fuse_file_info* fi) {
    const UserFile* f = file_of(fi);
    return f ? f->fd : -1;
}

// Records an open file or folder; returns its fi->fh.
std::uint64_t add_file(UserFile file) {
    UserFs& fs = self();
    fs.open_files[++fs.last_fh] = std::move(file);
    return fs.last_fh;
}

void close_file(UserFile& f) {
    if (f.dir) ::closedir(f.dir);
    else if (f.fd >= 0) ::close(f.fd);
}

void log(const char* kind, const std::string& fields) {
    if (self().log) event_log_write(*self().log, kind, fields);
}

// A durable change without bytes: 0 when it may happen, -EIO when the power
// is off or fails at it (the cut is then logged with fields).
int draw_change(DurableKind kind, const std::string& path, const std::string& fields,
                const std::string& other = {}) {
    DurableEvent event{kind, place(path), {}, 0, true};
    if (!other.empty()) event.other = place(other);
    bool fails = false;
    if (power_draw(*self().power, event, &fails) < 0) return -EIO;
    if (fails) {
        power_fail(*self().power, event, fields);
        return -EIO;
    }
    return 0;
}

int power_off() { return power_is_off(*self().power) ? -EIO : 0; }

std::string path_field(const std::string& board) { return ",\"path\":" + json_string(board); }

int op_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    int rc = fi ? ::fstat(fd_of(fi), st) : ::fstatat(self().root, rel(path), st, AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? 0 : -errno;
}

int op_readlink(const char* path, char* buf, size_t size) {
    if (size == 0) return -EINVAL;
    ssize_t n = ::readlinkat(self().root, rel(path), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = '\0';
    return 0;
}

int op_mkdir(const char* path, mode_t mode) {
    const std::string board = board_path(path);
    if (int rc = draw_change(DurableKind::user_mkdir, board, path_field(board))) return rc;
    if (::mkdirat(self().root, rel(path), mode) != 0) return -errno;
    log("user-mkdir", path_field(board));
    return 0;
}

int op_unlink(const char* path) {
    const std::string board = board_path(path);
    if (int rc = draw_change(DurableKind::user_unlink, board, path_field(board))) return rc;
    if (::unlinkat(self().root, rel(path), 0) != 0) return -errno;
    log("user-unlink", path_field(board));
    return 0;
}

int op_rmdir(const char* path) {
    const std::string board = board_path(path);
    if (int rc = draw_change(DurableKind::user_rmdir, board, path_field(board))) return rc;
    if (::unlinkat(self().root, rel(path), AT_REMOVEDIR) != 0) return -errno;
    log("user-rmdir", path_field(board));
    return 0;
}

int op_symlink(const char* target, const char* path) {
    const std::string board = board_path(path);
    if (int rc = draw_change(DurableKind::user_create, board, path_field(board))) return rc;
    if (::symlinkat(target, self().root, rel(path)) != 0) return -errno;
    log("user-create", path_field(board));
    return 0;
}

int op_rename(const char* from, const char* to, unsigned int flags) {
    const std::string a = board_path(from), b = board_path(to);
    const std::string fields = ",\"from\":" + json_string(a) + ",\"to\":" + json_string(b);
    if (int rc = draw_change(DurableKind::user_rename, a, fields, b)) return rc;
    if (::renameat2(self().root, rel(from), self().root, rel(to), flags) != 0) return -errno;
    log("user-rename", fields);
    return 0;
}

int op_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    if (int rc = power_off()) return rc;
    int rc = fi ? ::fchmod(fd_of(fi), mode) : ::fchmodat(self().root, rel(path), mode, 0);
    return rc == 0 ? 0 : -errno;
}

int op_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    if (int rc = power_off()) return rc;
    int rc = fi ? ::fchown(fd_of(fi), uid, gid)
                : ::fchownat(self().root, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? 0 : -errno;
}

int op_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
    if (int rc = power_off()) return rc;
    int rc = fi ? ::futimens(fd_of(fi), tv) : ::utimensat(self().root, rel(path), tv, AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? 0 : -errno;
}

// Truncates the open descriptor fd of the board file to size, as one event.
int truncate_fd(int fd, const std::string& board, off_t size) {
    const std::string fields = path_field(board) + ",\"size\":" + std::to_string(size);
    if (int rc = draw_change(DurableKind::user_truncate, board, fields)) return rc;
    if (::ftruncate(fd, size) != 0) return -errno;
    log("user-truncate", fields);
    return 0;
}

int op_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    const std::string board = board_path(path);
    if (fi) return truncate_fd(fd_of(fi), board, size);
    int fd = ::openat(self().root, rel(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = truncate_fd(fd, board, size);
    ::close(fd);
    return rc;
}

// open and create: the file is opened first, so that a failed open counts
// no event; a new file is one user-create, O_TRUNC of an existing one one
// user-truncate.
int open_file(const char* path, struct fuse_file_info* fi, bool create, mode_t mode) {
    const std::string board = board_path(path);
    const int flags = (fi->flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_CLOEXEC;
    int fd = ::openat(self().root, rel(path), flags);
    bool created = false;
    if (fd < 0 && errno == ENOENT && create) {
        if (int rc = draw_change(DurableKind::user_create, board, path_field(board))) return rc;
        fd = ::openat(self().root, rel(path), flags | O_CREAT | O_EXCL, mode);
        if (fd < 0) return -errno;
        created = true;
        log("user-create", path_field(board));
    } else if (fd < 0) {
        return -errno;
    } else if (create && (fi->flags & O_EXCL)) {
        ::close(fd);
        return -EEXIST;
    }
    if ((fi->flags & O_TRUNC) && !created && (fi->flags & O_ACCMODE) != O_RDONLY) {
        if (int rc = truncate_fd(fd, board, 0)) {
            ::close(fd);
            return rc;
        }
    }
    fi->fh = add_file({fd, nullptr, board, false, 0, 0});
    // Cached pages of an earlier open are dropped; reads of this open are
    // cached. Writes go through to DIR/user in any case.
    fi->keep_cache = 0;
    fi->direct_io = 0;
    return 0;
}

int op_open(const char* path, struct fuse_file_info* fi) { return open_file(path, fi, false, 0); }

int op_create(const char* path, mode_t mode, struct fuse_file_info* fi) { return open_file(path, fi, true, mode); }

int op_read(const char*, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    ssize_t n = ::pread(fd_of(fi), buf, size, off);
    return n < 0 ? -errno : static_cast<int>(n);
}

int op_write(const char*, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    UserFile* f = file_of(fi);
    if (!f) return -EBADF;
    const DurableEvent event{DurableKind::user_write, place(f->path), {}, size, !f->writing};
    const std::uint64_t outages = power_outages(*self().power);
    bool fails = false;
    const long granted = power_draw(*self().power, event, &fails);
    if (granted < 0) return -EIO;
    if (!f->writing) f->outages = outages;
    f->writing = true;
    ssize_t n = granted > 0 ? ::pwrite(f->fd, buf, static_cast<size_t>(granted), off) : 0;
    if (n < 0) return -errno;
    f->written += static_cast<std::uint64_t>(n);
    if (fails) {
        power_fail(*self().power, event,
                   path_field(f->path) + ",\"offset\":" + std::to_string(off + n) + ",\"bytes\":" +
                       std::to_string(f->written));
        return -EIO;
    }
    return static_cast<int>(n);
}

// Ends the open user-write event of f, if any, with its line in the log,
// unless the power failed since it began: the cut's line tells its end, and
// the file is closed only when its writer has died.
void close_write_event(UserFile& f) {
    if (f.writing && power_outages(*self().power) == f.outages)
        log("user-write", path_field(f.path) + ",\"bytes\":" + std::to_string(f.written));
    f.writing = false;
    f.written = 0;
}

int op_flush(const char*, struct fuse_file_info* fi) {
    if (UserFile* f = file_of(fi)) close_write_event(*f);
    return 0;
}

// release and releasedir.
int op_release(const char*, struct fuse_file_info* fi) {
    if (UserFile* f = file_of(fi)) {
        close_write_event(*f);
        close_file(*f);
        self().open_files.erase(fi->fh);
    }
    return 0;
}

// Every write has reached DIR/user when it returned: what the power model
// calls durable. The host's own disk cache is not the board's concern.
int op_fsync(const char*, int, struct fuse_file_info*) { return 0; }

int op_statfs(const char*, struct statvfs* st) {
    return ::statvfs(self().dir.c_str(), st) == 0 ? 0 : -errno;
}

int op_opendir(const char* path, struct fuse_file_info* fi) {
    int fd = ::openat(self().root, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        int err = errno;
        ::close(fd);
        return -err;
    }
    fi->fh = add_file({fd, d, board_path(path), false, 0, 0});
    return 0;
}

// The whole folder in one call (offsets 0), as libfuse then keeps it.
int op_readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info* fi,
               enum fuse_readdir_flags) {
    UserFile* f = file_of(fi);
    if (!f || !f->dir) return -EBADF;
    DIR* d = f->dir;
    ::rewinddir(d);
    while (struct dirent* e = ::readdir(d)) {
        struct stat st {};
        st.st_ino = e->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
        if (fill(buf, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0))) break;
    }
    return 0;
}

void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    // Names and attributes are asked for every time: the host may change
    // DIR/user between boots, and nothing on the board may see stale ones.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->use_ino = 1;
    // An unlinked open file is reached through its descriptor; libfuse's
    // hidden renames would show up as board events.
    cfg->hard_remove = 1;
    // libfuse asks for write requests of up to 1 MiB already, so a 64 KiB
    // write(2) arrives whole. Each open drops the cached pages already; checking the attributes on
    // every read as well would cost a round trip per read(2).
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    return fuse_get_context()->private_data;
}

}  // namespace

std::string user_fs_start(UserFs& fs, const std::string& dir, Power& power, const EventLog* log,
                          const std::string& mountpoint) {
    fs.dir = dir;
    fs.power = &power;
    fs.log = log;
    fs.root = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fs.root < 0) return "cannot open " + dir + ": " + std::strerror(errno);
    static const struct fuse_operations ops = [] {
        struct fuse_operations o {};
        o.getattr = op_getattr;
        o.readlink = op_readlink;
        o.mkdir = op_mkdir;
        o.unlink = op_unlink;
        o.rmdir = op_rmdir;
        o.symlink = op_symlink;
        o.rename = op_rename;
        o.chmod = op_chmod;
        o.chown = op_chown;
        o.truncate = op_truncate;
        o.open = op_open;
        o.read = op_read;
        o.write = op_write;
        o.statfs = op_statfs;
        o.flush = op_flush;
        o.release = op_release;
        o.fsync = op_fsync;
        o.opendir = op_opendir;
        o.readdir = op_readdir;
        o.releasedir = op_release;
        o.init = op_init;
        o.create = op_create;
        o.utimens = op_utimens;
        return o;
    }();
    std::string err = fuse_mount_start(fs.mount, ops, &fs, mountpoint, {}, "/user");
    if (!err.empty()) {
        ::close(fs.root);
        fs.root = -1;
    }
    return err;
}

void user_fs_stop(UserFs& fs) {
    fuse_mount_stop(fs.mount);
    for (auto& [fh, f] : fs.open_files) close_file(f);
    fs.open_files.clear();
    if (fs.root >= 0) ::close(fs.root);
    fs.root = -1;
}
