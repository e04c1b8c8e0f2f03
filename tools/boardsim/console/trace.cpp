#include "tools/boardsim/console/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "strformat.h"
#include "tools/boardsim/boarddir/board_map.h"

namespace {

using Fields = std::map<std::string, std::string>;

void skip_blanks(std::string_view s, std::size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

bool parse_string(std::string_view s, std::size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"') return false;
    out.clear();
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size()) return false;
        switch (s[i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            if (i + 4 >= s.size()) return false;
            const std::string hex(s.substr(i + 1, 4));
            const long v = std::strtol(hex.c_str(), nullptr, 16);
            out += v < 0x20 || v > 0x7E ? '?' : static_cast<char>(v);
            i += 4;
            break;
        }
        default: out += s[i];
        }
    }
    return false;
}

// An argument as a shell would need it to read the same.
std::string shell_word(const std::string& w) {
    if (!w.empty() && w.find_first_of(" \t'\"\\$") == std::string::npos) return w;
    std::string out = "'";
    for (char c : w) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string get(const Fields& e, const char* key) {
    auto it = e.find(key);
    return it == e.end() ? std::string() : it->second;
}

std::uint64_t number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

std::string nvram_text(const Fields& e) {
    const std::uint64_t a = number(get(e, "address"));
    std::string out = "nvram " + get(e, "address");
    if (const NvramField* f = nvram_field_at(static_cast<std::uint32_t>(a))) {
        out += std::string(" (") + f->name;
        if (f->length > 1) out += strformat("+%u", static_cast<unsigned>(a - f->address));
        out += ")";
    }
    const std::string v = get(e, "value");
    return v.empty() ? out : out + strformat(" = 0x%02x", static_cast<unsigned>(number(v)));
}

std::string flash_text(const Fields& e, std::uint64_t end, int count) {
    const bool erase = get(e, "kind") == "flash-erase";
    const std::uint64_t start = number(get(e, "offset"));
    std::string out = strformat("mtd-%s %s 0x%llx-0x%llx (%llu bytes", get(e, "partition").c_str(),
                                erase ? "erase" : "write", static_cast<unsigned long long>(start),
                                static_cast<unsigned long long>(end), static_cast<unsigned long long>(end - start));
    if (count > 1) out += strformat(", %d %s", count, erase ? "erases" : "writes");
    return out + ")";
}

// What a /user path is to the boot manager, for the files it keeps there.
std::string path_text(const std::string& path) {
    std::string what;
    std::string base = path;
    for (const char* suffix : {".new", ".tmp"})
        if (base.size() > 4 && base.compare(base.size() - 4, 4, suffix) == 0) base.resize(base.size() - 4);
    if (base == "/user/production_key.pub.pem" || base == "/user/development_key.pub.pem") what = "system key file";
    else if (base == "/user/install.log") what = "install log";
    else if (base == "/user/images/image1") what = "slot 1";
    else if (base == "/user/images/image2") what = "slot 2";
    else if (base.rfind("/user/images/rejected/", 0) == 0) what = "USB OS image seen before";
    return what.empty() ? path : path + " [" + what + "]";
}

std::string line_for(const Trace& t, const Fields& e, const std::string& text, const char* line_end) {
    std::string head = "[trace " + get(e, "t") + "] ";
    if (auto dot = get(e, "t").find('.'); dot != std::string::npos && get(e, "t").size() > dot + 4)
        head = "[trace " + get(e, "t").substr(0, dot + 4) + "] ";
    if (!t.color) return head + text + line_end;
    return "\x1b[2m" + head + text + "\x1b[0m" + line_end;
}

std::string release_held(Trace& t, const char* line_end) {
    if (t.held.empty()) return {};
    std::string out = line_for(t, t.held, flash_text(t.held, t.held_end, t.held_count), line_end);
    t.held.clear();
    t.held_count = 0;
    return out;
}

}  // namespace

bool trace_parse_event(std::string_view s, Fields& fields) {
    fields.clear();
    std::size_t i = 0;
    skip_blanks(s, i);
    if (i >= s.size() || s[i] != '{') return false;
    ++i;
    for (;;) {
        skip_blanks(s, i);
        if (i < s.size() && s[i] == '}') return true;
        std::string key, value;
        if (!parse_string(s, i, key)) return false;
        skip_blanks(s, i);
        if (i >= s.size() || s[i] != ':') return false;
        ++i;
        skip_blanks(s, i);
        if (i < s.size() && s[i] == '"') {
            if (!parse_string(s, i, value)) return false;
        } else if (i < s.size() && s[i] == '[') {
            ++i;
            for (bool first = true;; first = false) {
                skip_blanks(s, i);
                if (i < s.size() && s[i] == ']') {
                    ++i;
                    break;
                }
                if (!first) {
                    if (i >= s.size() || s[i] != ',') return false;
                    ++i;
                    skip_blanks(s, i);
                }
                std::string item;
                if (!parse_string(s, i, item)) return false;
                value += (value.empty() ? "" : " ") + shell_word(item);
            }
        } else {
            const std::size_t from = i;
            while (i < s.size() && s[i] != ',' && s[i] != '}') ++i;
            value = std::string(s.substr(from, i - from));
            while (!value.empty() && value.back() == ' ') value.pop_back();
            if (value.empty()) return false;
        }
        fields[key] = value;
        skip_blanks(s, i);
        if (i < s.size() && s[i] == ',') {
            ++i;
            continue;
        }
        if (i < s.size() && s[i] == '}') return true;
        return false;
    }
}

std::string trace_describe(const Fields& e) {
    const std::string kind = get(e, "kind");
    auto with_args = [&](const std::string& head) {
        const std::string args = get(e, "args");
        return args.empty() ? head : head + " " + args;
    };
    if (kind == "start") return "run " + get(e, "run") + ": boardsim " + get(e, "verb") + " at " + get(e, "wall");
    if (kind == "boot") return "boot " + get(e, "boot") + (get(e, "fast") == "true" ? " (fast)" : "");
    if (kind == "run") return "run: " + get(e, "command");
    if (kind == "shell") {
        const std::string cmd = get(e, "cmd");
        std::string note;
        if (cmd == "date") note = "  (sets the clock)";
        return with_args("$ " + cmd) + note;
    }
    if (kind == "reboot") return with_args("$ reboot") + "  (reboot requested)";
    if (kind == "exec") {
        std::string out = with_args("launch " + get(e, "program"));
        if (e.count("preload")) out += "  (LD_PRELOAD=" + get(e, "preload") + ")";
        return out;
    }
    if (kind == "exit") {
        if (e.count("status")) return "bootmgr ended, status " + get(e, "status");
        if (e.count("signal")) return "bootmgr ended, signal " + get(e, "signal");
        return "the board restarts (" + get(e, "reason") + ")";
    }
    if (kind == "user-create") return "create " + get(e, "path");
    if (kind == "user-write") return "write " + get(e, "path") + " (" + get(e, "bytes") + " bytes)";
    if (kind == "user-rename") return "rename " + get(e, "from") + " -> " + path_text(get(e, "to"));
    if (kind == "user-unlink") return "remove " + path_text(get(e, "path"));
    if (kind == "user-truncate") return "truncate " + path_text(get(e, "path")) + " to " + get(e, "size") + " bytes";
    if (kind == "user-mkdir") return "mkdir " + get(e, "path");
    if (kind == "user-rmdir") return "rmdir " + get(e, "path");
    if (kind == "nvram-write") return nvram_text(e);
    if (kind == "flash-write" || kind == "flash-erase")
        return flash_text(e, number(get(e, "offset")) + number(get(e, "length")), 1);
    if (kind == "flash-fault")
        return "mtd-" + get(e, "partition") + " " + get(e, "op") + " at " + get(e, "offset") + " fails (injected fault)";
    if (kind == "led") return strformat("LED register = 0x%02x", static_cast<unsigned>(number(get(e, "value"))));
    if (kind == "usb-mount") return "USB stick mounted at /mnt/usb";
    if (kind == "dhcp") {
        std::string out = "dhcp " + get(e, "event") + " on " + get(e, "interface");
        if (e.count("ip")) out += ": " + get(e, "ip") + " from " + get(e, "server");
        return out;
    }
    if (kind == "cable") return get(e, "plugged") == "true" ? "cable plugged in" : "cable unplugged";
    if (kind == "dhcp-server") return get(e, "on") == "true" ? "DHCP server on" : "DHCP server off";
    if (kind == "power-cut") {
        std::string at = e.count("path") ? get(e, "path") : e.count("partition") ? "mtd-" + get(e, "partition")
                                                                                  : nvram_text(e);
        return "POWER CUT (" + get(e, "cause") + ") at " + get(e, "event") + " of " + at;
    }
    if (kind == "timeout" || kind == "stopped") return {};  // boardsim's own last line says it
    std::string out = kind;
    for (const auto& [k, v] : e)
        if (k != "t" && k != "run" && k != "boot" && k != "kind") out += " " + k + "=" + v;
    return out;
}

bool trace_open(Trace& t, const std::string& path, std::int64_t t0_ns) {
    trace_close(t);
    t.t0_ns = t0_ns;
    t.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (t.fd < 0) return false;
    ::lseek(t.fd, 0, SEEK_END);
    const char* no_color = std::getenv("NO_COLOR");
    t.color = !(no_color && *no_color);
    return true;
}

void trace_close(Trace& t) {
    if (t.fd >= 0) ::close(t.fd);
    t.fd = -1;
    t.partial.clear();
    t.held.clear();
    t.held_count = 0;
}

std::string trace_take(Trace& t, const char* line_end, std::int64_t until_ns, bool flush) {
    if (t.fd < 0) return {};
    char buf[8192];
    bool got = false;
    for (;;) {
        ssize_t n = ::read(t.fd, buf, sizeof buf);
        if (n <= 0) break;
        t.partial.append(buf, static_cast<std::size_t>(n));
        got = true;
    }
    std::string out;
    const double until = static_cast<double>(until_ns - t.t0_ns) / 1e9;
    for (std::size_t nl; (nl = t.partial.find('\n')) != std::string::npos;) {
        Fields e;
        const bool parsed = trace_parse_event(std::string_view(t.partial).substr(0, nl), e);
        if (parsed && !flush && std::strtod(get(e, "t").c_str(), nullptr) > until) {
            got = true;  // more is waiting: a held run stays held
            break;
        }
        t.partial.erase(0, nl + 1);
        if (!parsed) continue;
        const std::string kind = get(e, "kind");
        if (kind == "flash-write" || kind == "flash-erase") {
            const std::uint64_t start = number(get(e, "offset"));
            const std::uint64_t end = start + number(get(e, "length"));
            if (!t.held.empty() && get(t.held, "kind") == kind &&
                get(t.held, "partition") == get(e, "partition") && t.held_end == start) {
                t.held_end = end;
                ++t.held_count;
                continue;
            }
            out += release_held(t, line_end);
            t.held = e;
            t.held_end = end;
            t.held_count = 1;
            continue;
        }
        out += release_held(t, line_end);
        const std::string text = trace_describe(e);
        if (!text.empty()) out += line_for(t, e, text, line_end);
    }
    if (!got || flush) out += release_held(t, line_end);
    return out;
}
