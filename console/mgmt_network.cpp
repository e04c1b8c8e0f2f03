#include "console/mgmt_network.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "boot/shell.h"
#include "boot_settings.h"
#include "console/console.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t kAddressLine = 128;
constexpr std::size_t kMacLine = 18;
constexpr const char* kDhclient = "/bin/dhclient";
constexpr int kConfigureSeconds = 20;

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string ip_text(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool is_host_address(std::uint32_t address) {
    const std::uint32_t first = ntohl(address) >> 24;
    return address != 0 && first != 0 && first < 240;
}

int ask_ip_address(const char* prompt, std::uint32_t* address, bool required, bool host_check) {
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        char line[kAddressLine];
        console_readline(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q' || console_input_ended()) return 0;
        if (line[0] == '\0' && !required) return 1;
        in_addr parsed{};
        if (::inet_aton(line, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        if (host_check && !is_host_address(parsed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        *address = parsed.s_addr;
        return 1;
    }
}

int ask_network_settings(NetworkSettings* s, bool offerDhcp) {
    s->useDhcp = false;
    if (offerDhcp && ::access(kDhclient, F_OK) == 0) {
        std::fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        std::fflush(stdout);
        char line[kAddressLine];
        console_readline(line, sizeof line);
        if (g_boot_settings.interrupted || console_input_ended()) return 0;
        if (std::toupper(static_cast<unsigned char>(line[0])) == 'Y') s->useDhcp = true;
        std::putchar('\n');
    }
    if (s->useDhcp) return 1;
    if (!ask_ip_address("IP addr    :", &s->address, true, true)) return 0;
    if (!ask_ip_address("Netmask    :", &s->netmask, false, false)) return 0;
    return ask_ip_address("Gateway    :", &s->gateway, false, true);
}

std::vector<NetworkStep> network_steps(const NetworkSettings& s) {
    const char port = s.port;
    if (s.useDhcp) return {{"", shell_format("dhclient -1 eth%c", port), 3}};
    std::vector<NetworkStep> steps{
        {"", shell_format("ifconfig eth%c %s\n", port, ip_text(s.address).c_str()), 0}};
    if (s.netmask != 0) {
        const std::string mask = ip_text(s.netmask);
        steps.push_back({shell_format("\tNetmask    : %s\n", mask.c_str()),
                         shell_format("ifconfig eth%c down\n", port), 0});
        steps.push_back({"", shell_format("ifconfig eth%c netmask %s\n", port, mask.c_str()), 0});
        steps.push_back({"", shell_format("ifconfig eth%c up\n", port), 0});
    }
    steps.back().pause_seconds = 5;
    if (s.gateway != 0) {
        const std::string gateway = ip_text(s.gateway);
        steps.push_back({shell_format("\tGateway    : %s\n", gateway.c_str()),
                         shell_format("route add default gw %s\n", gateway.c_str()), 0});
    }
    return steps;
}

int apply_network_settings(const NetworkSettings& s) {
    for (const NetworkStep& step : network_steps(s)) {
        std::fputs(step.note.c_str(), stdout);
        if (!step.command.empty()) shell_run(step.command);
        if (step.pause_seconds) ::sleep(step.pause_seconds);
    }
    if (!s.useDhcp) {
        std::fputs("Configuring management port...", stdout);
        for (int i = 0; i < kConfigureSeconds; ++i) {
            ::sleep(1);
            std::putchar('.');
            std::fflush(stdout);
        }
        std::putchar('\n');
        ::sleep(1);
    }
    if (s.port == '0' && !mgmt_link_up(s.port)) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_network_setup(bool offerDhcp) {
    NetworkSettings s;
    if (!ask_network_settings(&s, offerDhcp)) return 0;
    return apply_network_settings(s);
}

int mgmt_link_up(char) { return interface_link_up("eth0"); }

int interface_link_up(const char* name) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        std::puts("Raw Socket open error");
        return 0;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &req) < 0) {
        std::printf("Open Interface %s error.\n", name);
        return 0;
    }
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &req) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const short flags = req.ifr_flags;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    req.ifr_data = reinterpret_cast<char*>(&link);
    if (::ioctl(sock.get(), SIOCETHTOOL, &req) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }
    return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
}

bool mac_address_valid(const char* text) {
    // "nn:" five times, then "nn" and the end.
    for (std::size_t i = 0; i < 6; ++i) {
        const char* pair = text + 3 * i;
        if (!is_hex(pair[0]) || !is_hex(pair[1])) return false;
        if (pair[2] != (i < 5 ? ':' : '\0')) return false;
    }
    return true;
}

int set_mgmt_mac() {
    char line[kMacLine];
    for (;;) {
        std::fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        std::fflush(stdout);
        console_readline(line, sizeof line);
        if (g_boot_settings.interrupted || console_input_ended()) return 0;
        if (mac_address_valid(line)) break;
        std::puts("Invalid MAC address. Try again please");
    }
    shell_run(shell_format("ifconfig eth%c hw ether %s\n", '0', line));
    return 1;
}
