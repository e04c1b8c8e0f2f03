#include "tools/boardsim/console/transfer_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/boardsim/sandbox/process.h"

namespace {

// Board folders can lie deeper than a socket address can name (108 bytes):
// the address goes through the folder's descriptor instead.
struct sockaddr_un port_address(int run_dir) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", run_dir, kTransferPortName);
    return addr;
}

}  // namespace

std::string transfer_port_open(TransferPort& port, const std::string& board_dir) {
    const std::string run = board_dir + "/run";
    std::error_code ec;
    std::filesystem::create_directories(run, ec);
    port.run_dir.reset(::open(run.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!port.run_dir) return "cannot open " + run + ": " + std::strerror(errno) + ".";
    if (flock(port.run_dir.get(), LOCK_EX | LOCK_NB) != 0) {
        port.run_dir.reset();
        return "the board in " + board_dir + " is running already (another boardsim boot holds " + run + ").";
    }
    // A socket left by a boardsim that was killed is in the way; the lock
    // says nobody uses it.
    unlinkat(port.run_dir.get(), kTransferPortName, 0);
    port.listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const struct sockaddr_un addr = port_address(port.run_dir.get());
    if (!port.listener || bind(port.listener.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(port.listener.get(), 4) != 0) {
        std::string err = "cannot listen on " + run + "/" + kTransferPortName + ": " + std::strerror(errno) + ".";
        transfer_port_close(port);
        return err;
    }
    return {};
}

void transfer_port_close(TransferPort& port) {
    port.client.reset();
    if (port.listener && port.run_dir) unlinkat(port.run_dir.get(), kTransferPortName, 0);
    port.listener.reset();
    port.run_dir.reset();
}

bool transfer_port_accept(TransferPort& port, int master) {
    UniqueFd conn(accept4(port.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) return false;
    if (port.client) {
        send_fd(conn.get(), -1);
        return false;
    }
    send_fd(conn.get(), master);
    port.client = std::move(conn);
    return true;
}

bool transfer_port_take(TransferPort& port, int master, std::string& out) {
    char buf[4096];
    ssize_t n = ::read(port.client.get(), buf, sizeof buf);
    if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    port.client.reset();
    int off = 0;
    ioctl(master, TIOCPKT, &off);
    return false;
}

int transfer_port_attach(const std::string& board_dir, UniqueFd& sock, std::string& err) {
    const std::string run = board_dir + "/run";
    UniqueFd dir(::open(run.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    sock.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const struct sockaddr_un addr = dir ? port_address(dir.get()) : sockaddr_un{};
    if (!dir || !sock || connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
        err = "no board is running in " + board_dir + " (start it with \"boardsim boot " + board_dir + "\").";
        return -1;
    }
    int master = receive_fd(sock.get());
    if (master < 0) err = "another program has the console of " + board_dir + " at the moment.";
    return master;
}
