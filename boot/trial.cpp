#include "boot/trial.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "board/nvram.h"
#include "boot/build_options.h"
#include "image/install_log.h"
#include "strformat.h"

namespace {

std::uint16_t trial_address(int slot) {
    return static_cast<std::uint16_t>(boot_trial_nvram() + (slot - 1));
}

bool is_slot(int slot) { return slot == 1 || slot == 2; }

// The slot's trial byte; `ok` says whether it could be read.
std::uint8_t trial_byte(int slot, bool* ok) {
    // A preset that is not a trial value: an unreadable byte never starts a
    // rollback.
    std::uint8_t value = TRIAL_CONFIRMED;
    *ok = nvram_read_checked(trial_address(slot), 1, &value);
    return value;
}

bool on_trial(std::uint8_t value) { return value <= boot_trial_attempts(); }

std::string describe(int slot, std::uint8_t value) {
    if (!on_trial(value)) return strformat("image %d confirmed", slot);
    return strformat("image %d on trial, %d of %d starts left", slot, value, boot_trial_attempts());
}

}  // namespace

void trial_start(int slot) {
    if (!boot_trial_enabled() || !is_slot(slot)) return;
    nvram_write_byte(trial_address(slot), boot_trial_attempts());
}

bool trial_given_up(int slot, bool second_attempt) {
    if (!boot_trial_enabled() || !is_slot(slot)) return false;
    bool ok = false;
    if (trial_byte(slot, &ok) != 0 || !ok) return false;
    const int other = slot == 1 ? 2 : 1;
    if (second_attempt) {
        std::printf("Image %d was not confirmed.\n", slot);
        install_log_event(strformat("Image %d was not confirmed", slot).c_str());
        return true;
    }
    std::printf("Image %d was not confirmed; returning to image %d.\n", slot, other);
    install_log_event(
        strformat("Image %d was not confirmed; returned to image %d", slot, other).c_str());
    nvram_set_boot_slot(other);
    return true;
}

void trial_use_attempt(int slot) {
    if (!boot_trial_enabled() || !is_slot(slot)) return;
    bool ok = false;
    const std::uint8_t left = trial_byte(slot, &ok);
    if (ok && left != 0 && on_trial(left)) {
        nvram_write_byte(trial_address(slot), static_cast<std::uint8_t>(left - 1));
    }
}

int trial_confirm_verb() {
    std::uint8_t booted = 0;
    if (!nvram_read_checked(NVRAM_BOOTED_IMAGE, 1, &booted)) {
        std::puts("confirm: the board NVRAM cannot be read");
        return 1;
    }
    if (!boot_trial_enabled() || !is_slot(booted)) {
        std::puts("No trial is running.");
        return 0;
    }
    bool ok = false;
    const std::uint8_t value = trial_byte(booted, &ok);
    if (!ok) {
        std::puts("confirm: the board NVRAM cannot be read");
        return 1;
    }
    if (!on_trial(value)) {
        std::printf("No trial is running: image %d is confirmed.\n", booted);
        return 0;
    }
    if (nvram_write_byte(trial_address(booted), TRIAL_CONFIRMED) < 0) return 1;
    std::printf("Image %d confirmed.\n", booted);
    return 0;
}

int trial_status_verb() {
    std::uint8_t slot = 0;
    std::uint8_t booted = 0;
    if (!nvram_read_checked(NVRAM_BOOT_SLOT, 1, &slot) ||
        !nvram_read_checked(NVRAM_BOOTED_IMAGE, 1, &booted)) {
        std::puts("status: the board NVRAM cannot be read");
        return 1;
    }
    std::string line = strformat("boot slot %d, booted image %d", slot == 2 ? 2 : 1, booted);
    if (boot_trial_enabled()) {
        for (int s = 1; s <= 2; ++s) {
            bool ok = false;
            const std::uint8_t value = trial_byte(s, &ok);
            line += ", " + (ok ? describe(s, value) : strformat("image %d unknown", s));
        }
    } else {
        line += ", trial boot not built in";
    }
    std::puts(line.c_str());
    return 0;
}
