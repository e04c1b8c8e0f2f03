#define FUSE_USE_VERSION 35
#include "tools/boardsim/devices/fuse_mount.h"

#include <fuse.h>
#include <unistd.h>

#include <vector>

std::string fuse_mount_start(FuseMount& mount, const fuse_operations& ops, void* data,
                             const std::string& mountpoint, const std::string& options, const char* what) {
    // fsname "boardsim" is how a later run recognises the mounts of a run
    // that was killed outright (sandbox/session.cpp). allow_other lets the
    // sandbox's user namespace reach the files; only root may ask for it
    // unless /etc/fuse.conf has user_allow_other.
    std::string opts = "default_permissions,fsname=boardsim";
    if (!options.empty()) opts += "," + options;
    if (geteuid() == 0) opts += ",allow_other";
    std::vector<const char*> argv{"boardsim", "-o", opts.c_str()};
    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    mount.fs = fuse_new(&args, &ops, sizeof ops, data);
    fuse_opt_free_args(&args);  // fuse_new may have copied the arguments
    if (!mount.fs) return std::string("libfuse could not set up the ") + what + " file system.";
    if (fuse_mount(mount.fs, mountpoint.c_str()) != 0) {
        fuse_destroy(mount.fs);
        mount.fs = nullptr;
        return std::string("cannot mount the ") + what + " file system on " + mountpoint +
               "; make sure /dev/fuse exists and is usable (Debian package fuse3, kernel module fuse).";
    }
    struct fuse* fs = mount.fs;
    mount.loop = std::thread([fs] { fuse_loop(fs); });
    return {};
}

void fuse_mount_stop(FuseMount& mount) {
    if (!mount.fs) return;
    fuse_exit(mount.fs);
    fuse_unmount(mount.fs);
    if (mount.loop.joinable()) mount.loop.join();
    fuse_destroy(mount.fs);
    mount.fs = nullptr;
}
