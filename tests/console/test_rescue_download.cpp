// The rescue downloads' operator input: the TFTP command line built from a
// typed file name (run by the real shell against a stand-in tftp, so a name
// that would run a command shows), and the USB chooser's file number.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "boot/shell.h"
#include "console/rescue_download.h"

namespace {

struct NameCase {
    const char* name;
    const char* command;  // as built, without its line end
};

const NameCase kNames[] = {
    {"image.img", "tftp -g -r 'image.img' -l /tmp/image '10.0.0.1'"},
    {"a;touch /tmp/owned", "tftp -g -r 'a;touch /tmp/owned' -l /tmp/image '10.0.0.1'"},
    {"$(reboot)", "tftp -g -r '$(reboot)' -l /tmp/image '10.0.0.1'"},
    {"`id`", "tftp -g -r '`id`' -l /tmp/image '10.0.0.1'"},
    {"my image 'v2' \"final\".img",
     "tftp -g -r 'my image '\\''v2'\\'' \"final\".img' -l /tmp/image '10.0.0.1'"},
    {"a;/bin/touch pwned", nullptr},
    {"$(/bin/touch pwned)", nullptr},
    {"`/bin/touch pwned`", nullptr},
    {"x' ; /bin/touch pwned ; '", nullptr},
    {"-l /etc/passwd", nullptr},
    {"*", nullptr},
    {"a\\b > pwned", nullptr},
};

// A folder holding a stand-in tftp that writes its arguments, one per line,
// to "args"; commands run there with the folder as their whole search path.
struct ToolFolder {
    std::string dir;
    ToolFolder() {
        char templ[] = "/tmp/tftp-test-XXXXXX";
        dir = ::mkdtemp(templ);
        const std::string tool = dir + "/tftp";
        std::ofstream(tool) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > "
                            << dir << "/args\n";
        ::chmod(tool.c_str(), 0755);
    }
    ~ToolFolder() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string read(const char* name) const {
        std::ifstream f(dir + "/" + name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool has(const char* name) const { return ::access((dir + "/" + name).c_str(), F_OK) == 0; }
};

TEST(TftpCommand, TypedNameIsOneArgumentAndNeverRuns) {
    for (const NameCase& c : kNames) {
        const std::string command = tftp_command(c.name, "10.0.0.1");
        if (c.command) {
            EXPECT_EQ(command, std::string(c.command) + "\n") << c.name;
        }
        ToolFolder tools;
        shell_run("cd " + shell_quote(tools.dir) + " && PATH=" + shell_quote(tools.dir) + " && " +
                  command);
        EXPECT_EQ(tools.read("args"),
                  std::string("-g\n-r\n") + c.name + "\n-l\n/tmp/image\n10.0.0.1\n")
            << c.name;
        EXPECT_FALSE(tools.has("pwned")) << c.name;
    }
}

struct ChoiceCase {
    const char* line;
    bool is_number;
    int number;
};

const ChoiceCase kChoices[] = {
    {"2", true, 2},
    {"  2", true, 2},
    {"\t2", true, 2},
    {"2abc", true, 2},
    {"2 3", true, 2},
    {"+3", true, 3},
    {"-1", true, -1},
    {"0", true, 0},
    {"0x10", true, 0},
    {"2147483647", true, INT_MAX},
    {"2147483648", true, INT_MAX},
    {"99999999999999999999999999", true, INT_MAX},
    {"-2147483648", true, INT_MIN},
    {"-99999999999999999999999999", true, INT_MIN},
    {"abc", false, 0},
    {"", false, 0},
    {" ", false, 0},
    {"- 2", false, 0},
    {"+", false, 0},
    {"q2", false, 0},
};

TEST(UsbChoice, ParsedLikePercentDWithoutOverflow) {
    for (const ChoiceCase& c : kChoices) {
        int n = 12345;
        EXPECT_EQ(usb_parse_choice(c.line, &n), c.is_number) << '"' << c.line << '"';
        EXPECT_EQ(n, c.is_number ? c.number : 12345) << '"' << c.line << '"';
    }
}

}  // namespace
