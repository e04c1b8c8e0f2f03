// The board's /user: a FUSE pass-through file system over DIR/user, bound at
// /user in the sandbox, that behaves as the switch's synchronously mounted
// flash file system and feeds every durable change to the power model
// (devices/power.h):
//   - write(2) reaches DIR/user before it returns (no write-back cache); a
//     write the power fails within stores exactly the bytes that got power;
//   - rename(2) is all or nothing; with the power off every change fails
//     with EIO and nothing more reaches DIR/user.
// Durable events and their events.log lines (paths as the board sees them):
//   user-create {path}            a new file or symbolic link
//   user-truncate {path,size}     truncate(2), ftruncate(2), open with O_TRUNC
//   user-write {path,bytes}       the writes through one open file, logged
//                                 at its close(2) (one line per file written,
//                                 not per write(2))
//   user-rename {from,to}, user-unlink {path}, user-mkdir {path},
//   user-rmdir {path}
// A cut inside a write logs {"kind":"power-cut",...,"path","offset","bytes"}:
// the file offset of the first byte lost and the bytes of that user-write
// that were stored; nothing more is logged until the power is back.
//
// Reads go through the kernel's page cache; each open(2) starts from what
// DIR/user holds (no cached pages kept), and names and attributes are not
// cached, so changes made on the host between boots are seen at once.
// Requests are served on one thread.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <map>
#include <string>

#include "tools/boardsim/boarddir/event_log.h"
#include "tools/boardsim/devices/fuse_mount.h"
#include "tools/boardsim/devices/power.h"

// One open file or folder.
struct UserFile {
    int fd = -1;                 // a file's descriptor, owned
    DIR* dir = nullptr;          // a folder being listed, owned
    std::string path;            // as the board sees it, "/user/..."
    bool writing = false;        // a user-write event is open (writes since the last close)
    std::uint64_t written = 0;   // its bytes stored
    std::uint64_t outages = 0;   // power cuts before its first write
};

struct UserFs {
    FuseMount mount;
    std::string dir;               // DIR/user
    int root = -1;                 // DIR/user (O_PATH), owned
    Power* power = nullptr;        // not owned; must outlive the file system
    const EventLog* log = nullptr; // not owned; may be null
    // By fi->fh. Files of a board killed at a power cut may still be open
    // when the file system stops; they are closed then.
    std::map<std::uint64_t, UserFile> open_files;
    std::uint64_t last_fh = 0;
};

// Serves dir (an existing directory) at mountpoint (an existing empty
// directory). Returns an empty string or a one-sentence error.
std::string user_fs_start(UserFs& fs, const std::string& dir, Power& power, const EventLog* log,
                          const std::string& mountpoint);

// Unmounts, joins the thread and closes dir and the files left open. Safe
// on a file system never started.
void user_fs_stop(UserFs& fs);
