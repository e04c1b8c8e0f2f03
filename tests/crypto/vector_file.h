// Reader for NIST response files (.rsp) and the same "Key = Value" layout:
// "[...]" lines set section attributes, records are runs of "Key = Value"
// lines separated by blank lines. Accepts CRLF and LF line ends.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

struct VectorRecord {
    std::vector<std::pair<std::string, std::string>> section;  // from "[k = v]" or "[k]"
    std::vector<std::pair<std::string, std::string>> fields;   // in file order, keys may repeat

    // The n-th value of key (0-based), or nullptr.
    const std::string *get(const std::string &key, int n = 0) const {
        for (const auto &kv : fields)
            if (kv.first == key && n-- == 0) return &kv.second;
        return nullptr;
    }
    const std::string *attr(const std::string &key) const {
        for (const auto &kv : section)
            if (kv.first == key) return &kv.second;
        return nullptr;
    }
    bool has_section(const std::string &name) const { return attr(name) != nullptr; }
};

inline std::string vf_trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

// Parses text; a section line following records starts a new section set.
inline std::vector<VectorRecord> parse_vector_text(const std::string &text) {
    std::vector<VectorRecord> out;
    std::vector<std::pair<std::string, std::string>> section;
    bool sectionFresh = false;
    VectorRecord cur;
    auto flush = [&] {
        if (!cur.fields.empty()) {
            cur.section = section;
            out.push_back(std::move(cur));
            cur = VectorRecord{};
        }
    };
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = vf_trim(line);
        if (line.empty()) { flush(); continue; }
        if (line[0] == '#') continue;
        if (line[0] == '[') {
            flush();
            if (!sectionFresh) section.clear();
            sectionFresh = true;
            std::string body = line.substr(1, line.find(']') == std::string::npos ? line.size() - 1 : line.find(']') - 1);
            auto eq = body.find('=');
            if (eq == std::string::npos) section.emplace_back(vf_trim(body), "");
            else section.emplace_back(vf_trim(body.substr(0, eq)), vf_trim(body.substr(eq + 1)));
            continue;
        }
        sectionFresh = false;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        cur.fields.emplace_back(vf_trim(line.substr(0, eq)), vf_trim(line.substr(eq + 1)));
    }
    flush();
    return out;
}

inline std::vector<VectorRecord> read_vector_file(const std::string &relPath) {
    std::ifstream f(std::string(TEST_VECTOR_DIR) + "/" + relPath, std::ios::binary);
    if (!f) return {};
    std::stringstream ss;
    ss << f.rdbuf();
    return parse_vector_text(ss.str());
}

inline std::vector<uint8_t> unhex(const std::string &s) {
    std::vector<uint8_t> out;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

inline std::string tohex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string tohex(const std::vector<uint8_t> &v) { return tohex(v.data(), v.size()); }

// Stride through the long vector files: every record by default. A slow
// target may define BMCRYPTO_SLOW_TARGET to subsample them.
#ifdef BMCRYPTO_SLOW_TARGET
constexpr int kVectorStride = 7;
#else
constexpr int kVectorStride = 1;
#endif
