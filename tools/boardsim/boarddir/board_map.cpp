#include "tools/boardsim/boarddir/board_map.h"

#include <algorithm>
#include <vector>

namespace {

constexpr EnvVariable kEnvVariables[] = {
    {"gdb", "on"},
    {"gdbserver", "on"},
    {"gdbport", "a TCP port number"},
    {"shell", "on"},
    {"memchk", "on"},
    {"diagnostics", "rescue or diags"},
    {"lowsec", "authorised"},
};

constexpr NvramField kNvramFields[] = {
    {NVRAM_SERIAL_NUMBER, NVRAM_SERIAL_LEN, "serial"},
    {NVRAM_BOOT_SLOT, 1, "bootSlot"},
    {NVRAM_IMAGE1_TIMESTAMP, RTC_REG_COUNT, "imageTimestamp1"},
    {NVRAM_IMAGE2_TIMESTAMP, RTC_REG_COUNT, "imageTimestamp2"},
    {NVRAM_BOOTED_IMAGE, 1, "bootedImage"},
    {NVRAM_USB_BOOT_ENABLE, 1, "usbBootEnable"},
    {kNvramTrial, 1, "trial1"},
    {kNvramTrial + 1, 1, "trial2"},
};

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::span<const EnvVariable> env_variables() { return kEnvVariables; }

bool env_variable_known(std::string_view name) {
    return std::any_of(std::begin(kEnvVariables), std::end(kEnvVariables),
                       [&](const EnvVariable& v) { return name == v.name; });
}

std::string env_variable_suggestion(std::string_view name) {
    std::string best;
    std::size_t best_distance = 3;
    for (const auto& v : kEnvVariables) {
        const std::size_t d = edit_distance(name, v.name);
        if (d < best_distance) {
            best_distance = d;
            best = v.name;
        }
    }
    return best;
}

std::span<const NvramField> nvram_fields() { return kNvramFields; }

const NvramField* nvram_field_at(std::uint32_t address) {
    for (const auto& f : kNvramFields)
        if (address >= f.address && address < f.address + f.length) return &f;
    return nullptr;
}

const char* booted_image_text(std::uint8_t value) {
    switch (value) {
    case 1: return "slot 1";
    case 2: return "slot 2";
    case 3: return "USB OS image";
    case 4: return "rescue partition";
    default: return "none";
    }
}
