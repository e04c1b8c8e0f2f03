// The management port's questions on a real pseudo-terminal, the commands
// that apply the answers, the MAC address check and the link check.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "console/console.h"
#include "console/mgmt_network.h"
#include "tests/common/terminal_child.h"

namespace {

bool at_once(const std::string&, const termios&) { return true; }

std::uint32_t addr(const char* text) { return ::inet_addr(text); }

struct AddressCase {
    const char* name;
    std::string keys;
    bool required;
    bool host_check;
    int result;
    const char* address;  // afterwards; it starts as 9.9.9.9
    const char* message;  // must appear (or "")
};

const AddressCase kAddresses[] = {
    {"plain", "10.1.2.3\r", true, true, 1, "10.1.2.3", ""},
    {"short_form", "10.1\r", true, true, 1, "10.0.0.1", ""},
    {"q_quits", "q\r", true, true, 0, "9.9.9.9", ""},
    {"capital_q_word_quits", "Quit\r", false, false, 0, "9.9.9.9", ""},
    {"class_e_refused_multicast_taken", "240.1.1.1\r224.0.0.1\r", true, true, 1, "224.0.0.1",
     "Invalid IP address 240.1.1.1. Try again please"},
    {"zero_first_octet_refused", "0.1.2.3\r127.0.0.1\r", true, true, 1, "127.0.0.1",
     "Invalid IP address 0.1.2.3. Try again please"},
    {"empty_required_refused", "\r10.0.0.1\r", true, true, 1, "10.0.0.1",
     "Invalid IP address. Try again please"},
    {"not_an_address", "10.0.0.x\rq\r", true, true, 0, "9.9.9.9", "Invalid IP address. Try again please"},
    {"empty_optional_keeps_the_value", "\r", false, true, 1, "9.9.9.9", ""},
    {"zero_gateway_refused", "0.0.0.0\r\r", false, true, 1, "9.9.9.9",
     "Invalid IP address 0.0.0.0. Try again please"},
    {"zero_netmask_taken", "0.0.0.0\r", false, false, 1, "0.0.0.0", ""},
};

class AskAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AskAddress, Answers) {
    const AddressCase& c = GetParam();
    const TerminalRun r = run_on_terminal(
        [&c] {
            std::uint32_t a = addr("9.9.9.9");
            const int result = ask_ip_address("Addr:", &a, c.required, c.host_check);
            std::printf("\n=%d %s\n", result, ip_text(a).c_str());
            return 0;
        },
        c.keys, terminal_raw);
    const std::string out = r.output;
    EXPECT_NE(out.find("\n=" + std::to_string(c.result) + " " + c.address), std::string::npos) << out;
    if (*c.message) {
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AskAddress, ::testing::ValuesIn(kAddresses),
                         [](const auto& info) { return std::string(info.param.name); });

// A console that is gone ends a required question instead of refusing the
// empty answers for ever.
TEST(AskAddressClosedConsole, GivesUp) {
    const TerminalRun r = run_on_terminal(
        [] {
            ::signal(SIGHUP, SIG_IGN);
            std::uint32_t a = 0;
            return ask_ip_address("IP addr    :", &a, true, true) == 0 && console_input_ended() ? 0 : 1;
        },
        "", terminal_raw, TerminalEnd::HangUp);
    EXPECT_EQ(r.status, 0);
}

// The questions, then the commands that would apply the answers.
struct SettingsCase {
    const char* name;
    std::string keys;
    int result;
    std::vector<std::string> commands;  // when the result is 1
};

const SettingsCase kSettings[] = {
    {"q_at_address", "q\r", 0, {}},
    {"q_at_netmask", "10.0.0.2\rq\r", 0, {}},
    {"q_at_gateway", "10.0.0.2\r255.255.0.0\rQ\r", 0, {}},
    {"address_only", "10.0.0.2\r\r\r", 1, {"ifconfig eth0 10.0.0.2\n"}},
    {"zero_netmask_is_none", "10.0.0.2\r0.0.0.0\r\r", 1, {"ifconfig eth0 10.0.0.2\n"}},
    {"all_three", "10.0.0.2\r255.255.255.0\r10.0.0.1\r", 1,
     {"ifconfig eth0 10.0.0.2\n", "ifconfig eth0 down\n", "ifconfig eth0 netmask 255.255.255.0\n",
      "ifconfig eth0 up\n", "route add default gw 10.0.0.1\n"}},
    {"gateway_without_netmask", "10.0.0.2\r\r10.0.0.1\r", 1,
     {"ifconfig eth0 10.0.0.2\n", "route add default gw 10.0.0.1\n"}},
};

class AskSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(AskSettings, CommandsFollowTheAnswers) {
    const SettingsCase& c = GetParam();
    const TerminalRun r = run_on_terminal(
        [] {
            NetworkSettings s;
            const int result = ask_network_settings(&s, false);
            std::printf("\n=%d\n", result);
            if (result) {
                for (const NetworkStep& step : network_steps(s)) std::printf("[%s]", step.command.c_str());
            }
            return 0;
        },
        c.keys, terminal_raw);
    std::string expected = "\n=" + std::to_string(c.result) + "\n";
    for (const std::string& cmd : c.commands) expected += "[" + cmd + "]";
    // The terminal shows line ends as CR LF.
    std::string out = r.output;
    for (std::size_t at; (at = out.find("\r\n")) != std::string::npos;) out.erase(at, 1);
    EXPECT_NE(out.find(expected), std::string::npos) << out;
    EXPECT_NE(out.find("IP addr    :"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, AskSettings, ::testing::ValuesIn(kSettings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkSteps, NotesAndPauses) {
    NetworkSettings s;
    s.address = addr("192.168.1.5");
    s.netmask = addr("255.255.255.0");
    s.gateway = addr("192.168.1.1");
    const std::vector<NetworkStep> steps = network_steps(s);
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[1].note, "\tNetmask    : 255.255.255.0\n");
    EXPECT_EQ(steps[3].pause_seconds, 5u);  // after the port is up again
    EXPECT_EQ(steps[4].note, "\tGateway    : 192.168.1.1\n");

    NetworkSettings dhcp;
    dhcp.useDhcp = true;
    dhcp.port = '1';
    const std::vector<NetworkStep> d = network_steps(dhcp);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].command, "dhclient -1 eth1");
    EXPECT_EQ(d[0].pause_seconds, 3u);
}

struct MacCase {
    const char* text;
    bool valid;
};

const MacCase kMacs[] = {
    {"00:11:22:33:44:55", true},
    {"aa:BB:cc:DD:ee:FF", true},
    {"0:0:0:0:0:0", false},
    {"0:0:0:0:0:0;sh", false},
    {"00:11:22:33:44:55;sh", false},
    {"00:11:22:33:44:55 ", false},
    {" 00:11:22:33:44:55", false},
    {"00:11:22:33:44", false},
    {"00:11:22:33:44:5", false},
    {"00-11-22-33-44-55", false},
    {"001122334455", false},
    {"00:11:22:33:44:5g", false},
    {"000:11:22:33:44:5", false},
    {"$(reboot):00:00:0", false},
    {"`id`:00:00:00:00:", false},
    {"", false},
    {"q", false},
};

TEST(MacAddress, OnlySixHexPairs) {
    for (const MacCase& c : kMacs) EXPECT_EQ(mac_address_valid(c.text), c.valid) << c.text;
}

// A folder with a stand-in for ifconfig that records its arguments, one per
// line, in "args"; the folder is the whole command search path.
struct FakeTools {
    std::string dir;
    FakeTools() {
        char templ[] = "/tmp/mgmt-test-XXXXXX";
        dir = ::mkdtemp(templ);
        const std::string tool = dir + "/ifconfig";
        std::ofstream(tool) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> "
                            << dir << "/args\n";
        ::chmod(tool.c_str(), 0755);
    }
    ~FakeTools() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string args() const {
        std::ifstream f(dir + "/args");
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool exists(const char* name) const { return ::access((dir + "/" + name).c_str(), F_OK) == 0; }
};

TEST(SetMac, HostileTextNeverReachesTheShell) {
    FakeTools tools;
    const TerminalRun r = run_on_terminal(
        [&tools] {
            ::setenv("PATH", tools.dir.c_str(), 1);
            if (::chdir(tools.dir.c_str()) != 0) return 2;
            return set_mgmt_mac();
        },
        "0:0:0:0:0:0;sh\r;/bin/touch x\r$(/bin/touch y)\r00:11:22:33:44:55\r", terminal_raw);
    EXPECT_EQ(r.status, 1);
    std::size_t refusals = 0;
    for (std::size_t at = 0; (at = r.output.find("Invalid MAC address. Try again please", at)) !=
                             std::string::npos;
         ++at) {
        ++refusals;
    }
    EXPECT_EQ(refusals, 3u) << r.output;
    EXPECT_EQ(tools.args(), "eth0\nhw\nether\n00:11:22:33:44:55\n");
    EXPECT_FALSE(tools.exists("x"));
    EXPECT_FALSE(tools.exists("y"));
}

TEST(SetMac, ClosedConsoleEndsTheQuestion) {
    FakeTools tools;
    const TerminalRun r = run_on_terminal(
        [&tools] {
            ::signal(SIGHUP, SIG_IGN);
            ::setenv("PATH", tools.dir.c_str(), 1);
            return set_mgmt_mac();
        },
        "", terminal_raw, TerminalEnd::HangUp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(tools.args(), "");
}

TEST(LinkCheck, MissingInterfaceHasNoLink) {
    const TerminalRun r =
        run_on_terminal([] { return interface_link_up("nosuchif0"); }, "", at_once);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Open Interface nosuchif0 error."), std::string::npos);
}

}  // namespace
