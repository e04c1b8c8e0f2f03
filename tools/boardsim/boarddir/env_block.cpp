#include "tools/boardsim/boarddir/env_block.h"

#include <array>

#include "common/include/byteorder.h"

static std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

std::uint32_t crc32_ieee(std::span<const std::uint8_t> data) {
    static const auto table = make_crc_table();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool env_encode(const EnvEntries& entries, std::size_t block_size,
                std::vector<std::uint8_t>& block) {
    if (block_size < 6) return false;
    std::vector<std::uint8_t> out(block_size, 0);
    std::size_t pos = 4;
    const std::size_t limit = block_size - 1;  // keep room for the final NUL
    for (const auto& [name, value] : entries) {
        if (name.empty() || name.find('=') != std::string::npos ||
            name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
            return false;
        std::size_t need = name.size() + 1 + value.size() + 1;
        if (need > limit - pos) return false;
        for (char c : name) out[pos++] = static_cast<std::uint8_t>(c);
        out[pos++] = '=';
        for (char c : value) out[pos++] = static_cast<std::uint8_t>(c);
        out[pos++] = 0;
    }
    if (entries.empty()) out[pos] = 0;  // an empty environment is a lone NUL
    store_le32(out.data(), crc32_ieee(std::span(out).subspan(4)));
    block = std::move(out);
    return true;
}

bool env_decode(std::span<const std::uint8_t> block, EnvEntries& entries,
                bool& crc_ok, bool& malformed) {
    if (block.size() < 5) return false;
    entries.clear();
    malformed = false;
    crc_ok = load_le32(block.data()) == crc32_ieee(block.subspan(4));
    std::size_t pos = 4;
    while (pos < block.size()) {
        std::size_t end = pos;
        while (end < block.size() && block[end] != 0) ++end;
        if (end == pos) break;
        std::string text(reinterpret_cast<const char*>(block.data() + pos), end - pos);
        auto eq = text.find('=');
        if (eq == std::string::npos || end == block.size()) malformed = true;
        if (eq == std::string::npos) entries.emplace_back(text, "");
        else entries.emplace_back(text.substr(0, eq), text.substr(eq + 1));
        pos = end + 1;
    }
    return true;
}

void env_set(EnvEntries& entries, const std::string& name, const std::string& value) {
    bool found = false;
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->first == name) {
            if (found) { it = entries.erase(it); continue; }
            it->second = value;
            found = true;
        }
        ++it;
    }
    if (!found) entries.emplace_back(name, value);
}

bool env_unset(EnvEntries& entries, const std::string& name) {
    auto before = entries.size();
    std::erase_if(entries, [&](const auto& e) { return e.first == name; });
    return entries.size() != before;
}
