// The image file format: the one definition shared by bootmgr, imagetool and
// boardsim.
//
// An image file is a plain concatenation of components (no file header, no
// padding, no trailer). Each component is a header followed by its payload.
// Every multi-byte field is big-endian. The first 16 bytes of every header:
//   0  crc    CRC of the component from offset 4 to its end (image_crc32,
//             register started at 0xFFFFFFFF, no final inversion)
//   4  len    length; its meaning depends on the header version
//   8  magic  bits 0-30 component type, bit 31 the version-2 flag
//   12 id     component version, four bytes shown as "%d.%d.%d.%d"
// A reader tells the header versions apart from the first 24 bytes:
//   3: the word at 16 is "HDR3"; header length = 16-bit field at 22;
//      total = len + 16; payload = len + 16 - header length; records
//      (tag, length, contents) from offset 24 up to the header length.
//   2: else, when bit 31 of magic is set; header length = 16-bit field at 18;
//      payload = len; total = header length + len.
//   1: else; header length 16; payload = len; total = len + 16.
//
// Every length field is untrusted. image_classify_header only classifies;
// image_check_lengths says whether the lengths are possible for the bytes
// that exist, and nothing here reads, allocates or indexes from a length
// that has not passed it. The walk (image_walk_next) refuses and stops at
// the first impossible component, so it can neither loop nor run past the
// data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>

#include "image/crc32.h"

// ---- Constants ------------------------------------------------------------

// Component types (magic with bit 31 cleared). The low three bytes of every
// known type are 0x4C4144; the top byte numbers the type.
inline constexpr std::uint32_t IMAGE_TYPE_APPLICATION = 0x014C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_UBOOT = 0x024C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_KERNEL = 0x034C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_RFS = 0x044C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_DFT = 0x054C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_DIAGS = 0x064C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_VELTA = 0x084C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_SUFFIX = 0x004C4144u;
inline constexpr std::uint32_t IMAGE_TYPE_SUFFIX_MASK = 0x00FFFFFFu;
inline constexpr std::uint32_t IMAGE_MAGIC_V2_FLAG = 0x80000000u;

// The component types the boot road can start.
constexpr bool image_type_bootable(std::uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGS;
}

inline constexpr std::uint32_t IMAGE_HDR3_WORD = 0x48445233u;  // "HDR3"
inline constexpr std::size_t IMAGE_BASIC_HEADER_LEN = 16;
inline constexpr std::size_t IMAGE_PROBE_LEN = 24;  // bytes needed to classify
inline constexpr std::size_t IMAGE_MAX_HEADER_LEN = 0xFFFF;

// Record tags of the version-3 header.
inline constexpr std::uint16_t IMAGE_RECORD_SIGNATURE = 3;  // 16-bit length, then bytes
inline constexpr std::uint16_t IMAGE_RECORD_TAG4 = 4;       // not interpreted
inline constexpr std::uint16_t IMAGE_RECORD_ALT_TYPE = 6;   // 32-bit type word
inline constexpr std::size_t IMAGE_RECORD_HEAD_LEN = 4;     // tag + length

// ---- Header ---------------------------------------------------------------

// The parsed header of one component. Lengths are 64-bit so that no sum of
// 32-bit fields can wrap; they are as the fields say and are only safe to use
// after image_check_lengths has returned IMAGE_LENGTHS_OK.
struct ImageHeader {
    std::uint32_t crc;
    std::uint32_t len;
    std::uint32_t magic;
    std::uint32_t id;
    int version;                   // 1, 2 or 3
    std::uint32_t header_length;   // 16 for version 1
    std::uint64_t payload_length;  // 0 when a version-3 len is below the header
    std::uint32_t payload_offset;  // equal to header_length
    std::uint64_t total_length;
};

// Classifies the first 24 bytes of a component (`probe` must point at 24
// readable bytes), applying the three tests in their order. No I/O, no checks.
ImageHeader image_classify_header(const std::uint8_t* probe);

// The component type: magic with bit 31 cleared.
inline std::uint32_t image_header_type(const ImageHeader& h) {
    return h.magic & ~IMAGE_MAGIC_V2_FLAG;
}

enum ImageLengthStatus {
    IMAGE_LENGTHS_OK = 0,
    IMAGE_V3_HEADER_TOO_SHORT,  // version-3 header length below 24
    IMAGE_V3_LEN_TOO_SHORT,     // version-3 len below header length - 16
    IMAGE_V2_HEADER_TOO_SHORT,  // version-2 header length below 16 (this
                                // includes a header plus payload length of 0)
    IMAGE_PAST_END,             // total length runs past the available bytes
};

// Checks that the header's lengths are possible for a component with
// `available` bytes from its first byte to the end of the data. When it
// returns IMAGE_LENGTHS_OK: 16 <= header_length <= total_length <= available,
// payload_offset + payload_length == total_length, and total_length >= 16.
ImageLengthStatus image_check_lengths(const ImageHeader& h, std::uint64_t available);

// A fixed one-line description of a status, without line end.
const char* image_length_status_text(ImageLengthStatus status);

// Prints the four basic words to standard output ("  crc: 0x%08x\n",
// "  len: 0x%08x\n", "magic: 0x%08x\n", "   id: 0x%08x\n") when `verbose`
// is true, nothing otherwise.
void image_dump_header(const ImageHeader& h, bool verbose);

// ---- Names and versions ---------------------------------------------------

// Name of a known type as operator messages show it ("APPLICATION", "UBOOT",
// "KERNEL", "RFS", "DFT", "DIAGS", "VELTA APPLICATION"); null for others.
// Bit 31 is ignored.
const char* image_type_name(std::uint32_t type);

// Short name of a known type as the tools accept it ("app", "uboot",
// "kernel", "rfs", "dft", "diags", "velta"); null for others.
const char* image_type_short_name(std::uint32_t type);

// Parses a type given by short name (any case), by the number of the type
// (1-255: that number in the top byte above 0x4C4144) or by the whole type
// word (decimal or 0x-hex, at least 256, bit 31 clear). False on anything
// else; *type is untouched then.
bool image_type_from_name(std::string_view text, std::uint32_t* type);

struct ImageVersionText {
    char text[16];  // "255.255.255.255" at most, NUL-terminated
};

// The four bytes of `id`, most significant first, as "%d.%d.%d.%d".
ImageVersionText image_version_text(std::uint32_t id);

// Parses "A.B.C.D" (each 0-255, decimal digits only) into an id word. False
// on anything else; *id is untouched then.
bool image_parse_version(std::string_view text, std::uint32_t* id);

// ---- CRC ------------------------------------------------------------------

// image_crc32 over component[4, component.size()) from 0xFFFFFFFF: the value
// a correct `crc` field holds. 0xFFFFFFFF when the span is shorter than 4.
std::uint32_t image_component_crc(std::span<const std::uint8_t> component);

// True when `component` holds at least `total_length` bytes (bytes never
// read make the check fail), total_length is at least 16, and the CRC over
// bytes 4 .. total_length - 1 equals the crc field at offset 0.
bool image_crc_ok(std::span<const std::uint8_t> component, std::uint64_t total_length);

// ---- Records of the version-3 header ---------------------------------------

struct ImageRecord {
    std::uint16_t tag;
    std::uint16_t length;  // whole record, including tag and length
    std::uint32_t offset;  // of the record's first byte, from the component start
};

enum ImageRecordStatus {
    IMAGE_RECORD_FOUND = 1,
    IMAGE_RECORDS_END = 0,              // no more records (or not a version-3 header)
    IMAGE_RECORD_ZERO_LENGTH = -1,      // a record with length 0 ended the walk
    IMAGE_RECORD_PAST_HEADER = -2,      // a record runs past the header length
                                        // (or past the bytes supplied)
    IMAGE_RECORD_TOO_SHORT = -3,        // a record length of 1-3
    IMAGE_SIGNATURE_PAST_RECORD = -4,   // signature bytes run past their record
};

// A walk over the records of one header. `header` holds the component's
// first bytes (at least the header length of them, to see every record).
struct ImageRecordWalk {
    std::span<const std::uint8_t> header;
    std::uint32_t limit;   // min(header length, header.size())
    std::uint32_t header_length;
    std::uint32_t offset;  // of the next record
    int status;            // IMAGE_RECORD_FOUND while the walk goes on
};

// Starts a walk; for a header without the HDR3 word the walk is empty.
ImageRecordWalk image_records_begin(std::span<const std::uint8_t> header);

// Returns IMAGE_RECORD_FOUND and fills *record, or the status that ended the
// walk (0 or negative); once ended, every later call returns that status.
// A record is only returned when it lies wholly inside the header and the
// bytes supplied.
int image_record_next(ImageRecordWalk& walk, ImageRecord* record);

// The first record with `tag`: IMAGE_RECORD_FOUND with *record filled, or the
// status that ended the walk without one (IMAGE_RECORDS_END when absent,
// negative when the walk ran into a malformed record first).
int image_find_record(std::span<const std::uint8_t> header, std::uint16_t tag,
                      ImageRecord* record);

// The alternative type: the first tag-6 record whose type word has 0x4C4144
// in its low 24 bits. IMAGE_RECORD_FOUND with *type set to the word, or the
// status that ended the walk without one. A tag-6 record too short to hold
// its word is passed over.
int image_find_alt_type(std::span<const std::uint8_t> header, std::uint32_t* type);

// The component type as the slot loader sees it: the alternative type when
// the header has one, else magic; bit 31 cleared. *record_status (if not
// null) receives image_find_alt_type's result, so a caller can report a
// zero-length record (IMAGE_RECORD_ZERO_LENGTH).
std::uint32_t image_effective_type(std::span<const std::uint8_t> header, std::uint32_t magic,
                                   int* record_status);

struct ImageSignature {
    ImageRecord record;
    std::uint32_t offset;  // of the signature bytes, from the component start
    std::uint16_t length;  // of the signature bytes
};

// The signature: the last tag-3 record of the header. A zero-length record
// ends the walk and the last signature seen before it counts. Returns
// IMAGE_RECORD_FOUND with *signature filled; IMAGE_RECORDS_END or
// IMAGE_RECORD_ZERO_LENGTH when there is none; IMAGE_RECORD_PAST_HEADER or
// IMAGE_RECORD_TOO_SHORT when the records are malformed (no signature is
// used then); IMAGE_SIGNATURE_PAST_RECORD when the last tag-3 record is
// shorter than 6 bytes or its signature length runs past the record.
int image_find_signature(std::span<const std::uint8_t> header, ImageSignature* signature);

// A fixed one-line description of a record status, without line end.
const char* image_record_status_text(int status);

// ---- Reading from memory or from a file -------------------------------------

// Where a walk reads from: a memory buffer (data != null) or a file
// descriptor read with pread (the descriptor's position is left alone). The
// source does not own the buffer or the descriptor.
struct ImageSource {
    const std::uint8_t* data;
    int fd;
    std::uint64_t size;  // bytes in the source
};

ImageSource image_source_memory(std::span<const std::uint8_t> data);

// A source over an open regular file (its size from fstat). False when fstat
// fails or the descriptor is not a regular file; *source untouched then.
bool image_source_file(int fd, ImageSource* source);

// A source over a descriptor of known size (for devices, where fstat has no
// size).
ImageSource image_source_fd(int fd, std::uint64_t size);

// Reads up to `count` bytes at `offset` (never beyond source.size). Returns
// the number read (fewer only at the end of the data or when the file is
// shorter than the size recorded) or -1 on a read error.
std::int64_t image_source_read(const ImageSource& source, std::uint64_t offset, std::uint8_t* out,
                               std::size_t count);

struct ImageComponent {
    std::uint64_t offset;  // of its first byte in the source
    ImageHeader header;
    std::uint32_t type;    // magic with bit 31 cleared
};

enum ImageWalkStatus {
    IMAGE_WALK_COMPONENT = 1,
    IMAGE_WALK_END = 0,          // fewer than 24 bytes left
    IMAGE_WALK_BAD_LENGTHS = -1, // the component's lengths are impossible
    IMAGE_WALK_READ_ERROR = -2,
};

struct ImageWalk {
    ImageSource source;
    std::uint64_t offset;      // of the next component
    std::uint32_t count;       // components returned so far
    int status;                // IMAGE_WALK_COMPONENT while the walk goes on
    ImageLengthStatus lengths; // why the walk stopped, with IMAGE_WALK_BAD_LENGTHS
};

ImageWalk image_walk_begin(const ImageSource& source);

// A serial (XMODEM) transfer pads its last block with up to 1023 bytes of
// 0x1A; such a tail ends the walk like the end of the data.
inline constexpr std::uint8_t IMAGE_PAD_BYTE = 0x1A;
inline constexpr std::size_t IMAGE_PAD_LIMIT = 1024;

// The next component: reads 24 bytes at the walk's offset, classifies them
// and checks the lengths against the bytes left. Returns
// IMAGE_WALK_COMPONENT with *component filled and the walk moved past it;
// IMAGE_WALK_END when fewer than 24 bytes are left, or when the rest is
// padding (fewer than IMAGE_PAD_LIMIT bytes, all IMAGE_PAD_BYTE); walk.count
// == 0 then means the data held no complete header at all; IMAGE_WALK_BAD_LENGTHS
// with *component filled (offset, header, type) and walk.lengths saying why;
// IMAGE_WALK_READ_ERROR. The last three end the walk: later calls return the
// same status (and fill *component as before for IMAGE_WALK_BAD_LENGTHS).
// IMAGE_WALK_END and IMAGE_WALK_READ_ERROR leave *component alone, so it
// still holds the last component returned (for a message naming the last
// header examined).
int image_walk_next(ImageWalk& walk, ImageComponent* component);

// Prints "Image component at offset N refused: <why>." and a line end to
// `out`: the message for a component whose lengths are impossible.
void image_print_refused(std::FILE* out, const ImageComponent& c, ImageLengthStatus why);

// Prints "Not enough memory for the image component (N bytes)." and a line
// end to `out`: the message for a component image_component_buffer could
// not hold, which is then judged like one whose CRC fails.
void image_print_no_memory(std::FILE* out, const ImageHeader& h);

// Reads the component's header (header_length bytes, at most
// IMAGE_MAX_HEADER_LEN) into `out`. Returns the number of bytes read, which
// is less than the header length only when the data ended early, or -1 on a
// read error or when `out` is too small.
std::int64_t image_read_header(const ImageSource& source, const ImageComponent& component,
                               std::span<std::uint8_t> out);

// Allocates a buffer for the whole component without throwing. Null when the
// total length does not fit in memory or the allocation fails.
std::unique_ptr<std::uint8_t[]> image_component_buffer(const ImageComponent& component);

// Reads the whole component (total_length bytes from its first byte) into
// `out`. Returns the number of bytes read, fewer when the data ended early
// (image_crc_ok then fails on them), or -1 on a read error or when `out` is
// smaller than the total length.
std::int64_t image_read_component(const ImageSource& source, const ImageComponent& component,
                                  std::span<std::uint8_t> out);

// Computes the component's CRC from the source in pieces, without holding the
// component in memory. Returns 1 when it matches the crc field, 0 when it
// does not, -1 when the bytes cannot all be read (the CRC is never judged on
// bytes that were not read). *computed (if not null) receives the value.
int image_check_component_crc(const ImageSource& source, const ImageComponent& component,
                              std::uint32_t* computed);

// ---- Writing --------------------------------------------------------------

struct ImageRecordDesc {
    std::uint16_t tag;
    std::span<const std::uint8_t> body;  // bytes after tag and length
};

struct ImageComponentDesc {
    std::uint32_t type;  // bit 31 is ignored
    std::uint32_t id;
    int header_version;  // 1, 2 or 3
    std::span<const ImageRecordDesc> records;  // version 3 only
    std::span<const std::uint8_t> payload;
};

enum ImageBuildStatus {
    IMAGE_BUILD_OK = 0,
    IMAGE_BUILD_BAD_VERSION = -1,        // header version not 1, 2 or 3
    IMAGE_BUILD_RECORDS_NOT_V3 = -2,     // records asked for a version-1/2 header
    IMAGE_BUILD_RECORD_TOO_LONG = -3,    // a record longer than 65535 bytes
    IMAGE_BUILD_HEADER_TOO_LONG = -4,    // header longer than 65535 bytes
    IMAGE_BUILD_PAYLOAD_TOO_LONG = -5,   // len would not fit in 32 bits
    IMAGE_BUILD_AMBIGUOUS = -6,          // version-1 payload starting with "HDR3"
                                         // would be read as a version-3 header
    IMAGE_BUILD_BUFFER_TOO_SMALL = -7,
};

// Computes the total length of the component `desc` describes. Returns
// IMAGE_BUILD_OK with *total set, or the reason it cannot be built.
int image_build_size(const ImageComponentDesc& desc, std::uint64_t* total);

// Writes the component (header, records, payload, and the crc field last)
// into the first *total bytes of `out`. Version 2 and 3 headers are 24 bytes
// plus the records; bytes that carry nothing are zero. Returns
// IMAGE_BUILD_OK or a negative ImageBuildStatus; `out` is untouched on
// failure.
int image_build_component(const ImageComponentDesc& desc, std::span<std::uint8_t> out);

// A fixed one-line description of a build status, without line end.
const char* image_build_status_text(int status);

// Lays out a signature record's body (16-bit length, then the bytes) in
// `out`. Returns the body length, or 0 when the signature is longer than a
// record can hold or `out` is too small.
std::size_t image_signature_record_body(std::span<const std::uint8_t> signature,
                                        std::span<std::uint8_t> out);
