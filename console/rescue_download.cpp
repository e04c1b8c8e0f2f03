#include "console/rescue_download.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "boot/shell.h"
#include "boot/usb.h"
#include "boot_settings.h"
#include "console/console.h"
#include "console/mgmt_network.h"
#include "console/serial_download.h"
#include "console/xmodem.h"
#include "image/install_log.h"
#include "image/installer.h"

namespace {

constexpr int kTftpAttempts = 3;
constexpr unsigned kTftpRetrySeconds = 3;
constexpr std::size_t kLine = 128;
constexpr const char* kRx = "/usr/bin/rx";

bool downloaded() { return ::access(INSTALL_DOWNLOAD_PATH, F_OK) == 0; }

void remove_download() { std::remove(INSTALL_DOWNLOAD_PATH); }

int install_and_log(const char* path, const char* name, const char* source) {
    const int result = install_image(path, false, 0);
    if (result) install_log_append(name, source);
    return result;
}

// The file name question; false when the operator quit.
bool ask_file_name(char (&name)[kLine]) {
    for (;;) {
        std::fputs("Image Filename: ", stdout);
        std::fflush(stdout);
        console_readline(name, sizeof name);
        if (std::strlen(name) >= 2) return true;
        if (std::strcmp(name, "q") == 0 || g_boot_settings.interrupted || console_input_ended()) {
            return false;
        }
        std::puts("Invalid filename. Try again please");
    }
}

}  // namespace

std::string tftp_command(const char* file_name, const std::string& server) {
    return shell_format("tftp -g -r %s -l %s %s\n", shell_quote(file_name).c_str(),
                        INSTALL_DOWNLOAD_PATH, shell_quote(server).c_str());
}

int tftp_rescue() {
    BootSettings& bs = g_boot_settings;
    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    NetworkSettings net;
    if (!ask_network_settings(&net, false)) return 0;
    std::uint32_t server_address = 0;
    if (!ask_ip_address("Server addr:", &server_address, true, true)) return 0;
    char name[kLine];
    if (!ask_file_name(name) || bs.interrupted) return 0;
    if (!apply_network_settings(net)) return 0;

    const std::string server = ip_text(server_address);
    const std::string command = tftp_command(name, server);
    for (int attempt = 1; attempt <= kTftpAttempts; ++attempt) {
        if (bs.interrupted) return 0;
        std::printf("Installing image %s from TFTP server %s\n", name, server.c_str());
        remove_download();
        // A failed tftp may leave a partial file behind: only a clean exit
        // with the file in place is a download.
        if (shell_succeeded(shell_run(command)) && downloaded()) {
            return install_and_log(INSTALL_DOWNLOAD_PATH, name, server.c_str());
        }
        remove_download();
        std::printf("Attempt %d/%d of tftp timed out\n", attempt, kTftpAttempts);
        ::sleep(kTftpRetrySeconds);
    }
    std::puts("Tftp download failed. Aborting");
    return 0;
}

int xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    remove_download();
    bool received = false;
    if (::access(kRx, X_OK) == 0) {
        const int line = serial_open_download();
        if (line < 0) return 0;
        // rx keeps what it received of a failed transfer: only its clean
        // exit makes the file a download.
        const int status = shell_run(shell_format("%s %s", kRx, INSTALL_DOWNLOAD_PATH));
        serial_restore(line);
        ::close(line);
        received = shell_succeeded(status) && downloaded();
    } else {
        received = xmodem_receive(INSTALL_DOWNLOAD_PATH) > 0;
    }
    if (!received) {
        remove_download();
        return 0;
    }
    return install_and_log(INSTALL_DOWNLOAD_PATH, "image", "xmodem");
}

bool usb_parse_choice(const char* line, int* number) {
    const char* p = line;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    *number = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    return true;
}

int usb_choose_image() {
    DIR* dir = ::opendir(USB_MOUNT_DIR);
    if (!dir) {
        std::puts("Unable to open USB directory. Quitting");
        return 0;
    }
    // The names as listed: the number chosen names one of them, whatever
    // happens on the stick while the operator decides.
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        struct stat st;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            continue;
        }
        names.emplace_back(e->d_name);
        std::printf("\t%zu: %s\n", names.size(), e->d_name);
    }
    ::closedir(dir);

    std::fputs("Choose file number to install (q to quit): ", stdout);
    std::fflush(stdout);
    int number = 0;
    for (;;) {
        char line[kLine];
        console_readline(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q' || console_input_ended()) return 0;
        if (usb_parse_choice(line, &number)) break;
        std::printf("Invalid file number %s. Try again pleas\n", line);
    }
    if (number <= 0 || static_cast<std::size_t>(number) > names.size()) return 0;

    const std::string& name = names[static_cast<std::size_t>(number) - 1];
    std::printf("Installing %s\n", name.c_str());
    const std::string path = std::string(USB_MOUNT_DIR) + "/" + name;
    return install_and_log(path.c_str(), path.c_str(), "USB");
}
