// Configuration of the management Ethernet port: the operator's answers on
// the console, the ifconfig, route and dhclient commands that apply them,
// the link check, and the hidden MAC-address function of the rescue menu.
//
// Questions end early, returning 0, when the operator quits ("q" or "Q" at
// an address), when the interrupt flag is set where a question tests it, or
// when the console's input has ended (nobody can answer any more).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Addresses are IPv4 in network byte order; 0 means not given.
struct NetworkSettings {
    char port = '0';  // the digit after "eth"
    bool useDhcp = false;
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
};

// Dotted-decimal text of an address in network byte order.
std::string ip_text(std::uint32_t address);

// True for an address other than 0 whose first octet is neither 0 nor 240
// or more (loopback, private and multicast first octets pass).
bool is_host_address(std::uint32_t address);

// Prints `prompt` and reads an address (inet_aton forms) until one is
// accepted: "Invalid IP address. Try again please" for text that is no
// address (an empty required answer included), "Invalid IP address %s. Try
// again please" for one that fails the host check. Returns 1 with *address
// set, or 1 with *address unchanged when an optional answer was left empty;
// 0 when the operator quit or the console's input ended.
int ask_ip_address(const char* prompt, std::uint32_t* address, bool required, bool host_check);

// Asks for DHCP (when `offerDhcp` and /bin/dhclient exists), otherwise for
// the address (required, host check), netmask (optional; 0.0.0.0 counts as
// not given) and gateway (optional, host check). Returns 1 when everything
// was answered, 0 when the operator quit, an interrupt was noticed at the
// DHCP question or the input ended. `s->port` is left as it is.
int ask_network_settings(NetworkSettings* s, bool offerDhcp);

// One step of the port's set-up: a console note (may be empty), a shell
// command (may be empty) and a pause in seconds after it.
struct NetworkStep {
    std::string note;
    std::string command;
    unsigned pause_seconds;
};

// The steps that configure the port as `s` says: "dhclient -1 ethN" and 3
// seconds for DHCP; otherwise the address, the netmask (only when given:
// down, netmask, up), 5 seconds, and the default route (only when a gateway
// is given).
std::vector<NetworkStep> network_steps(const NetworkSettings& s);

// Runs network_steps (their results are not checked), and for a static
// set-up the 20-second "Configuring management port..." wait. Returns 1, or
// 0 for port 0 without a link ("Mgmt link not available. Quitting.").
int apply_network_settings(const NetworkSettings& s);

// ask_network_settings for port 0, then apply_network_settings. Returns the
// result of the step that ended it.
int mgmt_network_setup(bool offerDhcp);

// 1 when eth0 is up, running and has a link; 0 otherwise, with a message
// for the step that failed. `port` is not looked at.
int mgmt_link_up(char port);

// The same check for the interface `name`.
int interface_link_up(const char* name);

// True for exactly six pairs of hex digits separated by colons
// ("00:1a:2B:33:44:55"): the only MAC text that reaches a command line.
bool mac_address_valid(const char* text);

// Asks for a MAC address until a valid one is given ("Invalid MAC address.
// Try again please" otherwise) and hands "ifconfig eth0 hw ether MAC" to the
// shell. Returns 1 when it did so, 0 when an interrupt or the end of the
// console's input ended the question.
int set_mgmt_mac();
