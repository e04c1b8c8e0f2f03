// Fuzz target: the component walk and the header record parsing over
// arbitrary bytes, as the slot loader and the installer use them. Besides the
// sanitizers, it checks that nothing returned lies outside the data it came
// from and that the walk always moves forward.
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/format.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> all(data, size);
    const ImageSource src = image_source_memory(all);
    ImageWalk w = image_walk_begin(src);
    ImageComponent c{};
    std::uint64_t last_end = 0;
    int st;
    while ((st = image_walk_next(w, &c)) == IMAGE_WALK_COMPONENT) {
        const ImageHeader& h = c.header;
        check(c.offset == last_end);
        check(h.total_length >= IMAGE_BASIC_HEADER_LEN);
        check(c.offset + h.total_length <= size);
        check(h.payload_offset + h.payload_length == h.total_length);
        last_end = c.offset + h.total_length;

        const auto comp = all.subspan(c.offset, h.total_length);
        const auto header = comp.first(h.header_length);
        ImageRecordWalk rw = image_records_begin(header);
        ImageRecord r{};
        while (image_record_next(rw, &r) == IMAGE_RECORD_FOUND) {
            check(r.length >= IMAGE_RECORD_HEAD_LEN);
            check(std::uint64_t{r.offset} + r.length <= header.size());
        }
        int alt_status = 0;
        const std::uint32_t type = image_effective_type(header, h.magic, &alt_status);
        check((type & IMAGE_MAGIC_V2_FLAG) == 0);
        ImageSignature sig{};
        if (image_find_signature(header, &sig) == IMAGE_RECORD_FOUND) {
            check(sig.offset >= sig.record.offset + 6);
            check(std::uint64_t{sig.offset} + sig.length <= sig.record.offset + sig.record.length);
            check(std::uint64_t{sig.offset} + sig.length <= header.size());
        }
        // The CRC over the whole component, and over a copy cut short by
        // one byte, which must never pass.
        const bool ok = image_crc_ok(comp, h.total_length);
        check(!image_crc_ok(comp.first(comp.size() - 1), h.total_length));
        check(ok == (image_component_crc(comp) == h.crc));
    }
    check(st == IMAGE_WALK_END || st == IMAGE_WALK_BAD_LENGTHS);
    check(image_walk_next(w, &c) == st);
    if (st == IMAGE_WALK_END) {
        // The end of the data, or a serial transfer's padding of its last block.
        const std::size_t left = size - w.offset;
        bool padding = left < IMAGE_PAD_LIMIT;
        for (std::size_t i = w.offset; padding && i < size; ++i) padding = data[i] == IMAGE_PAD_BYTE;
        check(left < IMAGE_PROBE_LEN || padding);
    }
    return 0;
}
