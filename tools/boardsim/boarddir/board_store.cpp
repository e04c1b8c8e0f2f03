#include "tools/boardsim/boarddir/board_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "md5.h"
#include "strformat.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

std::string fill_file(const std::string& path, std::size_t size, std::uint8_t byte) {
    UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!f) return "cannot create " + path;
    std::vector<std::uint8_t> chunk(65536, byte);
    for (std::size_t done = 0; done < size;) {
        std::size_t n = std::min(chunk.size(), size - done);
        if (::write(f.get(), chunk.data(), n) != static_cast<ssize_t>(n)) return "cannot write " + path;
        done += n;
    }
    return {};
}

std::string pwrite_all(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    UniqueFd f(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!f) return "cannot open " + path;
    if (::pwrite(f.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size()))
        return "cannot write " + path;
    return {};
}

std::string pread_all(const std::string& path, std::uint64_t offset, std::size_t count, std::vector<std::uint8_t>& out) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) return "cannot open " + path;
    out.assign(count, 0);
    if (::pread(f.get(), out.data(), count, static_cast<off_t>(offset)) != static_cast<ssize_t>(count))
        return "cannot read " + path + " (file too short?)";
    return {};
}

}  // namespace

std::string board_create(const std::string& dir, const std::string& serial, bool force) {
    if (serial.size() != kSerialLength) return "the serial number must be exactly 12 characters: " + serial;
    for (char c : serial)
        if (c < 0x21 || c > 0x7E) return "the serial number must be printable ASCII without blanks: " + serial;
    std::error_code ec;
    if (fs::exists(dir + "/board.conf", ec) && !force)
        return dir + " already holds a board; add --force to replace it.";
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) return dir + " exists and is not a directory.";
    if (!fs::exists(dir + "/board.conf", ec) && fs::exists(dir, ec) && !fs::is_empty(dir, ec) && !force)
        return dir + " is not empty; add --force to make a board there anyway.";
    fs::create_directories(dir + "/flash", ec);
    if (ec) return "cannot create " + dir + "/flash: " + ec.message();
    for (const char* sub : {"/user", "/usb", "/tftp"}) {
        fs::remove_all(dir + sub, ec);
        fs::create_directories(dir + sub, ec);
        if (ec) return "cannot create " + dir + sub + ": " + ec.message();
    }
    BoardConfig cfg;
    cfg.partitions = board_default_partitions();
    for (const auto& p : cfg.partitions) {
        std::string err = fill_file(board_flash_path(dir, p.name), p.size, 0xFF);
        if (!err.empty()) return err;
    }
    std::vector<std::uint8_t> env;
    env_encode({}, cfg.env_size, env);
    std::string err = pwrite_all(board_flash_path(dir, "ubootenv"), 0, env);
    if (err.empty()) err = fill_file(board_eeprom_path(dir), 65536, 0xFF);
    if (err.empty()) err = pwrite_all(board_eeprom_path(dir), kSerialAddress,
                                      std::vector<std::uint8_t>(serial.begin(), serial.end()));
    if (err.empty()) err = fill_file(board_events_path(dir), 0, 0);
    if (err.empty()) {
        cfg.entries["serial"] = serial;
        err = board_config_save(dir, cfg);
    }
    return err;
}

namespace {

// Programs an image file at the start of an erased flash partition.
std::string flash_image(const std::string& dir, const BoardConfig& cfg, const std::string& part,
                        const std::string& image) {
    std::uint32_t part_size = 0;
    for (const auto& p : cfg.partitions)
        if (p.name == part) part_size = p.size;
    std::error_code ec;
    auto size = fs::file_size(image, ec);
    if (ec || size > part_size) return image + " does not fit the " + part + " partition.";
    std::vector<std::uint8_t> bytes;
    std::string err = pread_all(image, 0, static_cast<std::size_t>(size), bytes);
    if (err.empty()) err = pwrite_all(board_flash_path(dir, part), 0, bytes);
    return err;
}

}  // namespace

std::string board_demo_check(const std::string& images_dir, bool developer) {
    const std::string rfs = developer ? "rfs-unsigned.img" : "rfs-production.img";
    std::error_code ec;
    for (const std::string name : {"image1.img", "image2.img", "rescue.img", rfs.c_str()})
        if (!fs::is_regular_file(images_dir + "/" + name, ec))
            return "demo image " + images_dir + "/" + name +
                   " not found; build the demo images (cmake --build build/host) or give --images DIR.";
    return {};
}

std::string board_install_demo(const std::string& dir, const BoardConfig& cfg, const std::string& images_dir,
                               bool developer) {
    const std::string rfs = developer ? "rfs-unsigned.img" : "rfs-production.img";
    std::error_code ec;
    if (std::string err = board_demo_check(images_dir, developer); !err.empty()) return err;
    fs::create_directories(dir + "/user/images", ec);
    for (int slot : {1, 2}) {
        std::string from = images_dir + "/image" + std::to_string(slot) + ".img";
        fs::copy_file(from, dir + "/user/images/image" + std::to_string(slot), fs::copy_options::overwrite_existing, ec);
        if (ec) return "cannot copy " + from + ": " + ec.message();
    }
    std::string err = flash_image(dir, cfg, "rescue", images_dir + "/rescue.img");
    if (err.empty()) err = flash_image(dir, cfg, "rfs", images_dir + "/" + rfs);
    if (!err.empty()) return err;
    for (const auto& e : fs::directory_iterator(images_dir, ec)) {
        if (e.path().extension() != ".img") continue;
        fs::copy_file(e.path(), dir + "/tftp/" + e.path().filename().string(), fs::copy_options::overwrite_existing, ec);
        if (ec) return "cannot copy " + e.path().string() + ": " + ec.message();
    }
    return {};
}

std::string board_env_read(const std::string& dir, const BoardConfig& cfg, std::vector<std::uint8_t>& block) {
    return pread_all(board_flash_path(dir, "ubootenv"), 0, cfg.env_size, block);
}

std::string board_env_write(const std::string& dir, const BoardConfig& cfg, const std::vector<std::uint8_t>& block) {
    if (block.size() != cfg.env_size) return "internal error: environment block of the wrong size";
    // Erase the blocks the environment occupies, then program it.
    std::uint32_t span = (cfg.env_size + cfg.erase_size - 1) / cfg.erase_size * cfg.erase_size;
    std::vector<std::uint8_t> image(span, 0xFF);
    std::copy(block.begin(), block.end(), image.begin());
    return pwrite_all(board_flash_path(dir, "ubootenv"), 0, image);
}

std::string board_nvram_read(const std::string& dir, std::uint32_t address, std::uint32_t count,
                             std::vector<std::uint8_t>& out) {
    if (address >= 65536 || count > 65536 - address) return "address range beyond the 64 KiB EEPROM";
    return pread_all(board_eeprom_path(dir), address, count, out);
}

std::string board_nvram_write(const std::string& dir, std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    if (address >= 65536 || bytes.size() > 65536 - address) return "address range beyond the 64 KiB EEPROM";
    return pwrite_all(board_eeprom_path(dir), address, bytes);
}

namespace {

std::string md5_of(const std::string& path, std::string& hex) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f) return "cannot read " + path;
    Md5Ctx ctx;
    MD5_init(&ctx);
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
        ssize_t n = ::read(f.get(), buf.data(), buf.size());
        if (n < 0) return "cannot read " + path;
        if (n == 0) break;
        MD5_update(&ctx, buf.data(), static_cast<std::uint32_t>(n));
    }
    std::uint8_t digest[MD5_DIGEST_SIZE];
    MD5_final(&ctx, digest);
    hex.clear();
    for (std::uint8_t b : digest) hex += strformat("%02x", b);
    return {};
}

}  // namespace

std::string board_usb_files(const std::string& dir, std::vector<UsbFile>& files) {
    files.clear();
    const fs::path root = dir + "/usb";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        UsbFile f;
        f.path = it->path().lexically_relative(root).string();
        f.size = it->file_size(ec);
        std::string err = md5_of(it->path().string(), f.md5);
        if (!err.empty()) return err;
        files.push_back(f);
    }
    if (ec && fs::exists(root)) return "cannot list " + root.string() + ": " + ec.message();
    std::sort(files.begin(), files.end(), [](const UsbFile& a, const UsbFile& b) { return a.path < b.path; });
    return {};
}
