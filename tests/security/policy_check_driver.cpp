// Runs the signature policy on one image file inside the emulated board, as
// the installer would: boot flags from the environment, keys from /user,
// the root file system from flash. Options: --marker creates /tmp/lowsec
// first. Exit status 0 when the component may be installed, 1 when not,
// 2 on a usage error.
#include <cstdio>
#include <cstring>
#include <vector>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/settings.h"
#include "crypto_platform.h"
#include "security/lowsec.h"
#include "security/signature_policy.h"

int main(int argc, char** argv) {
    const char* path = nullptr;
    bool marker = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--marker") == 0) {
            marker = true;
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) {
        std::fputs("usage: policy_check_driver [--marker] IMAGE\n", stderr);
        return 2;
    }
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        return 2;
    }
    std::vector<std::uint8_t> image;
    int c;
    while ((c = std::fgetc(f)) != EOF) image.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);

    i2c_open_buses();
    mtd_open_all();
    CRYPTO_libraryInit();
    read_bootloader_env();
    if (marker) lowsec_set(true);
    const bool pass = imgsign_check_image(image.data(), image.size());
    std::printf("\n");
    return pass ? 0 : 1;
}
