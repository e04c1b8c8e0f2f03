// Raw NOR flash partitions exposed as Linux MTD character devices.
//
// The seven partition handles are opened once by mtd_open_all and kept for
// the life of the process; a failed open is not reported, and every later
// operation on that handle fails at its geometry query. Writes are
// read-modify-write by erase block, so bytes outside the written range keep
// their contents.
#pragma once

#include <cstddef>
#include <cstdint>

// Partition handles, in the order mtd_open_all opens them.
enum MtdPartition {
    MTD_UBOOT,
    MTD_UBOOTENV,
    MTD_DEVICETREE,
    MTD_KERNEL,
    MTD_RFS,
    MTD_RESCUE,
    MTD_ONIE,
    MTD_PARTITION_COUNT
};

// Geometry of one partition, fetched afresh before every partition-level call.
struct MtdInfo {
    std::uint32_t blocks;       // size / erase_size
    std::uint32_t erase_size;   // erase block size in bytes
    std::uint32_t erase_shift;  // log2(erase_size); blocks are counted by shifting
    std::uint32_t size;         // partition size in bytes
};

// Trace switches for reads, writes and erases; all off. When on, the
// low-level and range operations print a trace line per call.
extern bool mtd_trace_read;
extern bool mtd_trace_write;
extern bool mtd_trace_erase;

// Opens /dev/mtd-uboot ... /dev/mtd-onie (the first five O_RDWR|O_SYNC, rescue
// and onie O_RDWR). Failures are kept in the handle and reported on use.
void mtd_open_all();

// The handle of partition `p` (negative when its open failed or p is out of
// range).
int mtd_handle(MtdPartition p);

// MEMGETINFO on `fd`. On success fills `info` and returns true; on failure
// prints "Could not get MTD device info " and returns false.
bool mtd_get_info(int fd, MtdInfo* info);

// One MEMERASE of `len` bytes at `start`. True when the ioctl succeeded.
bool mtd_erase_block(int fd, std::uint32_t start, std::uint32_t len);

// Positioned read of exactly `len` bytes (short counts are continued). True
// only when all of them were read; the end of the device first is a failure.
bool mtd_read(int fd, std::uint32_t offset, std::uint32_t len, std::uint8_t* buf);
// Positioned write of exactly `len` bytes (short counts are continued). True
// only when all of them were written.
bool mtd_write(int fd, std::uint32_t offset, std::uint32_t len, const std::uint8_t* buf);

// Writes `len` bytes of `data` at partition offset `offset` by read-modify-
// write of every erase block the range touches, 1024 bytes per write call.
// With `progress` on, prints a percentage per block. Stops at the first
// failing step with its message; blocks already rewritten keep the new data.
// A range that does not fit in the partition (`info.size`) is refused with
// "Flash Write out of range." before anything is touched.
bool flash_write(const std::uint8_t* data, int fd, std::uint32_t len, std::uint32_t offset,
                 bool progress, const MtdInfo& info);

// Erases every erase block that the byte range touches, one MEMERASE each.
bool flash_erase(int fd, std::uint32_t len, std::uint32_t offset, const MtdInfo& info);

// One read of exactly the range.
bool flash_read(std::uint8_t* buf, int fd, std::uint32_t len, std::uint32_t offset);

// Partition-level entry points: each fetches the geometry first and returns
// -1 if that fails, else 0 on success and -1 when the range operation fails.
int mtd_read_partition(std::uint8_t* buf, int fd, std::uint32_t offset, std::uint32_t len);
int mtd_write_partition(const std::uint8_t* data, int fd, std::uint32_t offset,
                        std::uint32_t len, bool progress);
int mtd_erase_partition(int fd, std::uint32_t offset, std::uint32_t len);
