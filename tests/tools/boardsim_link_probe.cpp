// Runs inside the emulated board: asks for the management port's link the
// way a program on the switch does (an IPv4 datagram socket, SIOCGIFINDEX,
// SIOCGIFFLAGS, SIOCETHTOOL with ETHTOOL_GLINK) and prints
//   eth0: link=L up=U running=R
// With --wait up|down MS it asks every millisecond until the port is up
// (link, IFF_UP and IFF_RUNNING) or down (neither link nor IFF_RUNNING; the
// carrier goes first, the flag a moment later), at most MS milliseconds, and
// adds " after=N" (milliseconds waited). Exit status 0
// when the port is as waited for (or no wait was asked), 1 when not, 2 when a
// request failed.
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unique_fd.h"

namespace {

struct LinkState {
    bool link = false, up = false, running = false;
    bool usable() const { return link && up && running; }
    bool down() const { return !link && !running; }
    bool is(const std::string& want) const { return want == "up" ? usable() : down(); }
};

bool ask(const char* name, LinkState& st) {
    UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (!s || ioctl(s.get(), SIOCGIFINDEX, &ifr) != 0) return false;
    if (ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0) return false;
    st.up = ifr.ifr_flags & IFF_UP;
    st.running = ifr.ifr_flags & IFF_RUNNING;
    struct ethtool_value value {};
    value.cmd = ETHTOOL_GLINK;
    ifr.ifr_data = reinterpret_cast<char*>(&value);
    if (ioctl(s.get(), SIOCETHTOOL, &ifr) != 0) return false;
    st.link = value.data != 0;
    return true;
}

double now_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = "eth0";
    std::string want;
    double limit_ms = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait") == 0 && i + 2 < argc) {
            want = argv[++i];
            limit_ms = std::atof(argv[++i]);
        } else {
            name = argv[i];
        }
    }
    if (!want.empty() && want != "up" && want != "down") {
        std::fprintf(stderr, "usage: boardsim_link_probe [--wait up|down MS] [IFACE]\n");
        return 2;
    }
    LinkState st;
    const double start = now_ms();
    for (;;) {
        if (!ask(name, st)) {
            std::perror(name);
            return 2;
        }
        if (want.empty() || st.is(want) || now_ms() - start >= limit_ms) break;
        usleep(1000);
    }
    std::printf("%s: link=%d up=%d running=%d", name, st.link, st.up, st.running);
    if (!want.empty()) std::printf(" after=%.1f", now_ms() - start);
    std::printf("\n");
    return want.empty() || st.is(want) ? 0 : 1;
}
