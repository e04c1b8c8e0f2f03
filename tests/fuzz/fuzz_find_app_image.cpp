// The slot loader's search for the bootable component over arbitrary bytes:
// it must stop, never read outside the data, and anything it returns must
// lie inside the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "boot/slot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Operator messages are not what is fuzzed; the fuzzer reports on stderr.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    FoundComponent found{};
    std::uint32_t last_magic = 0;
    const ImageSource source = image_source_memory({data, size});
    if (find_app_image(source, &found, &last_magic) == 1) {
        const ImageComponent& c = found.component;
        if (c.offset + c.header.total_length > size) std::abort();
        if (found.type != IMAGE_TYPE_APPLICATION && found.type != IMAGE_TYPE_DIAGS) std::abort();
    }
    return 0;
}
