#include "board/mtd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mtd/mtd-user.h>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>

bool mtd_trace_read = false;
bool mtd_trace_write = false;
bool mtd_trace_erase = false;

namespace {

struct PartitionDef {
    const char* path;
    int flags;
};

constexpr PartitionDef kPartitions[MTD_PARTITION_COUNT] = {
    {"/dev/mtd-uboot", O_RDWR | O_SYNC},      {"/dev/mtd-ubootenv", O_RDWR | O_SYNC},
    {"/dev/mtd-devicetree", O_RDWR | O_SYNC}, {"/dev/mtd-kernel", O_RDWR | O_SYNC},
    {"/dev/mtd-rfs", O_RDWR | O_SYNC},        {"/dev/mtd-rescue", O_RDWR},
    {"/dev/mtd-onie", O_RDWR},
};

int g_mtd_fd[MTD_PARTITION_COUNT] = {-1, -1, -1, -1, -1, -1, -1};

constexpr std::uint32_t kWritePiece = 1024;

// The erase-block-aligned span that a byte range touches.
struct AlignedRange {
    std::uint32_t first;   // first byte of the first block
    std::uint32_t last;    // last byte of the last block
    std::uint32_t blocks;  // number of erase blocks
};

AlignedRange align_range(std::uint32_t offset, std::uint32_t len, const MtdInfo& info) {
    const std::uint32_t mask = ~(info.erase_size - 1);
    AlignedRange r;
    r.first = offset & mask;
    r.last = ((offset + len - 1) & mask) + info.erase_size - 1;
    r.blocks = (r.last - r.first + 1) >> info.erase_shift;
    return r;
}

// Refuses a range outside the partition ("<what> out of range."), else
// computes its aligned span and prints the trace line when `trace` is on.
bool prepare_range(const char* what, std::uint32_t offset, std::uint32_t len, const MtdInfo& info,
                   bool trace, AlignedRange* r) {
    if (offset >= info.size || len > info.size - offset) {
        std::printf("%s out of range.\n", what);
        return false;
    }
    *r = align_range(offset, len, info);
    if (trace) {
        std::printf("%s 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", what,
                    static_cast<unsigned long>(offset), static_cast<unsigned long>(offset + len - 1),
                    static_cast<unsigned long>(r->first), static_cast<unsigned long>(r->last),
                    static_cast<long>(r->blocks));
    }
    return true;
}

}  // namespace

void mtd_open_all() {
    for (int p = 0; p < MTD_PARTITION_COUNT; ++p) {
        g_mtd_fd[p] = ::open(kPartitions[p].path, kPartitions[p].flags | O_CLOEXEC);
    }
}

int mtd_handle(MtdPartition p) {
    if (p < 0 || p >= MTD_PARTITION_COUNT) return -1;
    return g_mtd_fd[p];
}

bool mtd_get_info(int fd, MtdInfo* info) {
    mtd_info_user mi{};
    if (fd < 0 || ::ioctl(fd, MEMGETINFO, &mi) < 0 || mi.erasesize == 0 ||
        (mi.erasesize & (mi.erasesize - 1)) != 0) {
        std::printf("Could not get MTD device info \n");
        return false;
    }
    info->erase_size = mi.erasesize;
    info->erase_shift = static_cast<std::uint32_t>(__builtin_ctz(mi.erasesize));
    info->size = mi.size;
    info->blocks = mi.size / mi.erasesize;
    return true;
}

bool mtd_erase_block(int fd, std::uint32_t start, std::uint32_t len) {
    if (mtd_trace_erase) {
        std::printf("mtd erase 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(start),
                    static_cast<unsigned long>(start + len - 1));
    }
    erase_info_user ei{};
    ei.start = start;
    ei.length = len;
    return ::ioctl(fd, MEMERASE, &ei) >= 0;
}

bool mtd_read(int fd, std::uint32_t offset, std::uint32_t len, std::uint8_t* buf) {
    if (mtd_trace_read) {
        std::printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + len - 1),
                    static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(buf)));
    }
    // A short count is taken up where it stopped; the end of the device
    // before `len` bytes is a failure, so no caller can mistake bytes it
    // never read for flash contents.
    for (std::uint32_t done = 0; done < len;) {
        const ssize_t n = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset) + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool mtd_write(int fd, std::uint32_t offset, std::uint32_t len, const std::uint8_t* buf) {
    if (mtd_trace_write) {
        std::printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + len - 1),
                    static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(buf)));
    }
    for (std::uint32_t done = 0; done < len;) {
        const ssize_t n = ::pwrite(fd, buf + done, len - done, static_cast<off_t>(offset) + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool flash_write(const std::uint8_t* data, int fd, std::uint32_t len, std::uint32_t offset,
                 bool progress, const MtdInfo& info) {
    if (len == 0) return true;
    AlignedRange r;
    if (!prepare_range("Flash Write", offset, len, info, mtd_trace_write, &r)) return false;

    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow)
                                              std::uint8_t[info.erase_size + kWritePiece]);
    if (!block) {
        std::printf("Flash Write malloc failed");
        return false;
    }
    if (progress) std::printf("     ");

    const std::uint8_t* src = data;
    std::uint32_t left = len;
    for (std::uint32_t i = 0; i < r.blocks; ++i) {
        const std::uint32_t addr = r.first + i * info.erase_size;
        const std::uint32_t start = (i == 0) ? offset - r.first : 0;
        const std::uint32_t room = info.erase_size - start;
        const std::uint32_t covered = left < room ? left : room;

        std::memset(block.get(), 0, info.erase_size);
        if (!mtd_read(fd, addr, info.erase_size, block.get())) {
            std::printf("Flash Write mtd read failed.\n\n");
            return false;
        }
        std::memcpy(block.get() + start, src, covered);
        src += covered;
        left -= covered;

        if (!mtd_erase_block(fd, addr, info.erase_size)) {
            std::printf("Flash Write mtd erase failed.\n\n");
            return false;
        }
        for (std::uint32_t k = 0; k < info.erase_size; k += kWritePiece) {
            const std::uint32_t piece =
                info.erase_size - k < kWritePiece ? info.erase_size - k : kWritePiece;
            if (!mtd_write(fd, addr + k, piece, block.get() + k)) {
                std::printf("Flash Write mtd write failed.\n\n");
                return false;
            }
        }
        if (progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(i * 100 / r.blocks), '%');
            std::fflush(stdout);
        }
    }
    if (progress) std::printf("\b\b\b\b100%c\n", '%');
    return true;
}

bool flash_erase(int fd, std::uint32_t len, std::uint32_t offset, const MtdInfo& info) {
    if (len == 0) return true;
    AlignedRange r;
    if (!prepare_range("Flash Erase", offset, len, info, mtd_trace_erase, &r)) return false;
    for (std::uint32_t i = 0; i < r.blocks; ++i) {
        if (!mtd_erase_block(fd, r.first + i * info.erase_size, info.erase_size)) {
            std::printf("Flash Erase mtd erase failed.\n");
            return false;
        }
    }
    return true;
}

bool flash_read(std::uint8_t* buf, int fd, std::uint32_t len, std::uint32_t offset) {
    if (mtd_trace_read) {
        std::printf("Flash Read 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + len - 1));
    }
    return mtd_read(fd, offset, len, buf);
}

int mtd_read_partition(std::uint8_t* buf, int fd, std::uint32_t offset, std::uint32_t len) {
    MtdInfo info;
    if (!mtd_get_info(fd, &info)) return -1;
    return flash_read(buf, fd, len, offset) ? 0 : -1;
}

int mtd_write_partition(const std::uint8_t* data, int fd, std::uint32_t offset,
                        std::uint32_t len, bool progress) {
    MtdInfo info;
    if (!mtd_get_info(fd, &info)) return -1;
    return flash_write(data, fd, len, offset, progress, info) ? 0 : -1;
}

int mtd_erase_partition(int fd, std::uint32_t offset, std::uint32_t len) {
    MtdInfo info;
    if (!mtd_get_info(fd, &info)) return -1;
    return flash_erase(fd, len, offset, info) ? 0 : -1;
}
