// The slot loader's walk to the bootable component of an image file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/slot.h"
#include "byteorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes component(std::uint32_t type, int version, std::vector<ImageRecordDesc> records = {},
                std::size_t payload_len = 40) {
    Bytes payload(payload_len);
    for (std::size_t i = 0; i < payload_len; ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
    ImageComponentDesc desc{type, 0x01020304, version, records, payload};
    std::uint64_t total = 0;
    EXPECT_EQ(image_build_size(desc, &total), IMAGE_BUILD_OK);
    Bytes out(total);
    EXPECT_EQ(image_build_component(desc, out), IMAGE_BUILD_OK);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::uint8_t kDiagsWord[4] = {0x06, 0x4C, 0x41, 0x44};
const std::uint8_t kForeignWord[4] = {0x06, 0x00, 0x00, 0x01};
const std::uint8_t kShort[2] = {0, 0};

struct FindCase {
    const char* name;
    Bytes image;
    int found;
    std::uint32_t type;       // expected type when found
    std::uint64_t offset;     // expected offset when found
    const char* out;          // expected standard output
    bool refused;             // a refusal message on standard error
};

Bytes zero_length_record() {
    // A version-3 application whose first record claims length 0: the walk
    // stops and the component keeps the type of its magic word.
    Bytes c = component(IMAGE_TYPE_DIAGS, 3, {{IMAGE_RECORD_ALT_TYPE, kDiagsWord}});
    store_be16(c.data() + 26, 0);
    store_be32(c.data() + 8, IMAGE_TYPE_APPLICATION);
    return c;
}

Bytes past_end() {
    Bytes c = component(IMAGE_TYPE_APPLICATION, 1);
    c.resize(c.size() - 5);  // cut short: the total length runs past the file
    return c;
}

std::vector<FindCase> cases() {
    const Bytes kernel = component(IMAGE_TYPE_KERNEL, 3);
    const Bytes unknown = component(0x7F000001, 2);
    const Bytes app = component(IMAGE_TYPE_APPLICATION, 3);
    return {
        {"first_is_app", app, 1, IMAGE_TYPE_APPLICATION, 0, "", false},
        {"second_is_app", concat({unknown, kernel, app}), 1, IMAGE_TYPE_APPLICATION,
         unknown.size() + kernel.size(), "", false},
        {"diags_v1", component(IMAGE_TYPE_DIAGS, 1), 1, IMAGE_TYPE_DIAGS, 0, "", false},
        {"diags_v2", component(IMAGE_TYPE_DIAGS, 2), 1, IMAGE_TYPE_DIAGS, 0, "", false},
        {"alt_type_makes_diags",
         component(IMAGE_TYPE_APPLICATION, 3, {{IMAGE_RECORD_ALT_TYPE, kDiagsWord}}), 1,
         IMAGE_TYPE_DIAGS, 0, "", false},
        {"alt_type_foreign_word_ignored",
         component(IMAGE_TYPE_APPLICATION, 3,
                   {{IMAGE_RECORD_ALT_TYPE, kForeignWord}, {4, kShort}}),
         1, IMAGE_TYPE_APPLICATION, 0, "", false},
        {"alt_type_hides_kernel", component(IMAGE_TYPE_KERNEL, 3, {{IMAGE_RECORD_ALT_TYPE, kDiagsWord}}),
         1, IMAGE_TYPE_DIAGS, 0, "", false},
        {"zero_length_record", zero_length_record(), 1, IMAGE_TYPE_APPLICATION, 0,
         "Image header error\n", false},
        {"no_bootable_component", concat({kernel, unknown}), 0, 0, 0, "", false},
        {"empty_file", {}, 0, 0, 0, "", false},
        {"only_23_bytes", Bytes(app.begin(), app.begin() + 23), 0, 0, 0, "", false},
        {"cut_short", past_end(), 0, 0, 0, "", true},
        {"cut_short_kernel", concat({Bytes(kernel.begin(), kernel.end() - 1)}), 0, 0, 0,
         "", true},
    };
}

TEST(FindAppImage, Table) {
    for (const FindCase& c : cases()) {
        FoundComponent found{};
        std::uint32_t last_magic = 0xDEAD;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int r = find_app_image(image_source_memory(c.image), &found, &last_magic);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r, c.found) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(!err.empty(), c.refused) << c.name << ": " << err;
        if (r == 1) {
            EXPECT_EQ(found.type, c.type) << c.name;
            EXPECT_EQ(found.component.offset, c.offset) << c.name;
            EXPECT_EQ(load_be32(found.basic + 8), found.component.header.magic) << c.name;
            EXPECT_EQ(load_be32(found.basic), found.component.header.crc) << c.name;
        }
        if (c.image.size() < IMAGE_PROBE_LEN) {
            EXPECT_EQ(last_magic, 0u) << c.name;
        }
    }
}

TEST(FindAppImage, LastMagicNamesTheLastHeaderSeen) {
    const Bytes image = concat({component(IMAGE_TYPE_KERNEL, 1), component(IMAGE_TYPE_RFS, 2)});
    FoundComponent found{};
    std::uint32_t last_magic = 0;
    EXPECT_EQ(find_app_image(image_source_memory(image), &found, &last_magic), 0);
    EXPECT_EQ(last_magic & ~IMAGE_MAGIC_V2_FLAG, IMAGE_TYPE_RFS);
}

}  // namespace
