// One libfuse high-level file system mounted on the host and served on a
// thread of its own; the device files and /user are served this way.
#pragma once

#include <string>
#include <thread>

struct fuse;
struct fuse_operations;

struct FuseMount {
    struct fuse* fs = nullptr;
    std::thread loop;
};

// Mounts a file system with the operations at mountpoint (an existing empty
// directory) and starts serving it; fuse_get_context()->private_data is
// data in every operation. options are further "-o" mount options (may be
// empty); what names the file system in errors. Returns an empty string or
// a one-sentence error (for example when /dev/fuse cannot be used).
std::string fuse_mount_start(FuseMount& mount, const fuse_operations& ops, void* data,
                             const std::string& mountpoint, const std::string& options, const char* what);

// Unmounts and joins the thread. Safe to call on a mount never started.
void fuse_mount_stop(FuseMount& mount);
