// Serves the board's device files from a FUSE file system: mtd-NAME for
// every flash partition and i2c-0, i2c-1, i2c-2, minus the files configured
// missing. The sandbox binds them to /dev/mtd-NAME and /dev/i2c-N.
//
// mtd-*: read/write go to flash_read/flash_write at the file offset;
//   ioctl MEMGETINFO and MEMERASE (EBADF on a descriptor opened read-only,
//   as the MTD char device answers); anything else ENOTTY.
// i2c-*: ioctl I2C_SLAVE (0x0703) / I2C_SLAVE_FORCE with the 7-bit address
//   as the raw argument sets the address of that open file (EINVAL above
//   0x7F); read/write are one transfer each; anything else ENOTTY.
// All requests run on one thread, so the device models need no locking.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/boardsim/devices/devices.h"
#include "tools/boardsim/devices/fuse_mount.h"

// One open device file.
struct OpenDevice {
    bool i2c = false;
    int index = 0;        // partition index, or bus number for i2c
    bool writable = false;
    int addr = -1;        // I2C slave address of this open file, -1 = none
};

struct DeviceServer {
    std::map<std::uint64_t, OpenDevice> open_files;  // by fi->fh
    std::uint64_t last_fh = 0;
    FuseMount mount;
    std::vector<std::string> files;  // names served, without leading '/'
    BoardDevices* devices = nullptr; // not owned; must outlive the server
};

// Mounts the file system at mountpoint (an existing empty directory) and
// starts serving on a thread. Returns an empty string or a one-sentence
// error (for example when /dev/fuse cannot be used).
std::string device_server_start(DeviceServer& server, BoardDevices& devices,
                                const std::string& mountpoint);

// Unmounts and joins the thread. Safe to call on a server never started.
void device_server_stop(DeviceServer& server);
