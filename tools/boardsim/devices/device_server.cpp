#define FUSE_USE_VERSION 35
#include "tools/boardsim/devices/device_server.h"

#include <fcntl.h>
#include <fuse.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// fi->fh is the key of the open file's record in DeviceServer::open_files:
// the kernel hands back only that number, so state that belongs to one open
// file (the I2C slave address) lives in the record.
DeviceServer* server_of() {
    return static_cast<DeviceServer*>(fuse_get_context()->private_data);
}

bool served(const DeviceServer& s, const char* path) {
    if (path[0] != '/') return false;
    for (const auto& f : s.files)
        if (f == path + 1) return true;
    return false;
}

// Returns the partition index (>= 0), 1000 + bus for i2c, or -1.
int classify(const DeviceServer& s, const char* path) {
    if (!served(s, path)) return -1;
    std::string name = path + 1;
    if (name.rfind("i2c-", 0) == 0) return 1000 + (name[4] - '0');
    return devices_find_partition(*s.devices, name.substr(4));
}

int op_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    DeviceServer* s = server_of();
    int c = classify(*s, path);
    if (c < 0) return -ENOENT;
    st->st_mode = S_IFREG | 0666;
    st->st_nlink = 1;
    st->st_size = c < 1000 ? s->devices->flash[c].size : 0;
    return 0;
}

int op_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto& f : server_of()->files) fill(buf, f.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int op_open(const char* path, struct fuse_file_info* fi) {
    DeviceServer* s = server_of();
    int c = classify(*s, path);
    if (c < 0) return -ENOENT;
    OpenDevice od;
    od.i2c = c >= 1000;
    od.index = od.i2c ? c - 1000 : c;
    od.writable = (fi->flags & O_ACCMODE) != O_RDONLY;
    fi->fh = ++s->last_fh;
    s->open_files[fi->fh] = od;
    fi->direct_io = 1;  // every read and write must reach the device model
    fi->keep_cache = 0;
    return 0;
}

int op_release(const char*, struct fuse_file_info* fi) {
    server_of()->open_files.erase(fi->fh);
    return 0;
}

int op_truncate(const char*, off_t, struct fuse_file_info*) { return 0; }

OpenDevice* open_file(struct fuse_file_info* fi) {
    auto& files = server_of()->open_files;
    auto it = files.find(fi->fh);
    return it == files.end() ? nullptr : &it->second;
}

int op_read(const char*, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    BoardDevices& d = *server_of()->devices;
    OpenDevice* od = open_file(fi);
    if (!od) return -EBADF;
    auto* out = reinterpret_cast<std::uint8_t*>(buf);
    if (od->i2c) return static_cast<int>(i2c_read(d, od->index, od->addr, out, size));
    return static_cast<int>(flash_read(d, od->index, static_cast<std::uint64_t>(off), out, size));
}

int op_write(const char*, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    BoardDevices& d = *server_of()->devices;
    OpenDevice* od = open_file(fi);
    if (!od) return -EBADF;
    auto* in = reinterpret_cast<const std::uint8_t*>(buf);
    if (od->i2c) return static_cast<int>(i2c_write(d, od->index, od->addr, in, size));
    return static_cast<int>(flash_write(d, od->index, static_cast<std::uint64_t>(off), in, size));
}

int op_ioctl(const char*, unsigned int cmd, void* arg, struct fuse_file_info* fi, unsigned int flags,
             void* data) {
    if (flags & FUSE_IOCTL_COMPAT) return -ENOSYS;
    BoardDevices& d = *server_of()->devices;
    OpenDevice* od = open_file(fi);
    if (!od) return -EBADF;
    if (od->i2c) {
        if (cmd == I2C_SLAVE || cmd == I2C_SLAVE_FORCE) {
            auto addr = reinterpret_cast<std::uintptr_t>(arg);
            if (addr > 0x7F) return -EINVAL;
            od->addr = static_cast<int>(addr);
            return 0;
        }
        return -ENOTTY;
    }
    int part = od->index;
    if (cmd == MEMGETINFO) {
        FlashInfo info = flash_info(d, part);
        mtd_info_user u{};
        u.type = info.type;
        u.flags = info.flags;
        u.size = info.size;
        u.erasesize = info.erasesize;
        u.writesize = info.writesize;
        u.oobsize = info.oobsize;
        std::memcpy(data, &u, sizeof u);
        return 0;
    }
    if (cmd == MEMERASE) {
        if (!od->writable) return -EBADF;
        erase_info_user e{};
        std::memcpy(&e, data, sizeof e);
        return flash_erase(d, part, e.start, e.length);
    }
    return -ENOTTY;
}

}  // namespace

std::string device_server_start(DeviceServer& server, BoardDevices& devices,
                                const std::string& mountpoint) {
    server.devices = &devices;
    server.files.clear();
    auto missing = [&](const std::string& n) {
        for (const auto& m : devices.faults.missing)
            if (m == n) return true;
        return false;
    };
    for (const auto& p : devices.flash)
        if (!missing("mtd-" + p.name)) server.files.push_back("mtd-" + p.name);
    for (int bus = 0; bus < 3; ++bus) {
        std::string n = "i2c-" + std::to_string(bus);
        if (!missing(n)) server.files.push_back(n);
    }

    static const struct fuse_operations ops = [] {
        struct fuse_operations o {};
        o.getattr = op_getattr;
        o.readdir = op_readdir;
        o.open = op_open;
        o.truncate = op_truncate;
        o.release = op_release;
        o.read = op_read;
        o.write = op_write;
        o.ioctl = op_ioctl;
        return o;
    }();
    return fuse_mount_start(server.mount, ops, &server, mountpoint, {}, "device");
}

void device_server_stop(DeviceServer& server) { fuse_mount_stop(server.mount); }
