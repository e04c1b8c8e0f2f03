#include "tools/boardsim/sandbox/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

pid_t start_program(const std::vector<std::string>& argv, const ProgramIo& io) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (io.die_with_parent) prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (io.in >= 0) dup2(io.in, 0);
    if (io.out >= 0) dup2(io.out, 1);
    if (io.err >= 0) dup2(io.err, 2);
    for (int fd : io.keep) fcntl(fd, F_SETFD, 0);
    signal(SIGPIPE, SIG_DFL);  // boardsim ignores it; its programs must not inherit that
    std::vector<char*> a;
    a.reserve(argv.size() + 1);
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execvp(a[0], a.data());
    std::fprintf(stderr, "boardsim: cannot run %s: %s\n", a[0], std::strerror(errno));
    _exit(127);
}

int wait_exit_status(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR) return 127;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int run_and_wait(const std::vector<std::string>& cmd) {
    pid_t pid = start_program(cmd);
    return pid < 0 ? 127 : wait_exit_status(pid);
}

void send_fd(int sock, int fd) {
    char byte = fd >= 0 ? 'F' : 'N';
    struct iovec iov {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    while (sendmsg(sock, &msg, MSG_NOSIGNAL) < 0 && errno == EINTR) {}
}

int receive_fd(int sock) {
    char byte = 0;
    struct iovec iov {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {}
    if (n != 1 || byte != 'F') return -1;
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    return fd;
}
