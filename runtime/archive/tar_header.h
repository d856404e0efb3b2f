// The fields of a tar header block, read as GNU tar reads them: numbers in
// octal or base-256, the checksum, the name with its ustar prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lmx::tar {

constexpr size_t kBlockSize = 512;
constexpr size_t kKeptHeaderSize = 500;  // the part of a header block kept as current
constexpr size_t kNameSize = 100;
constexpr size_t kModeOffset = 100;
constexpr size_t kModeLength = 8;
constexpr size_t kSizeOffset = 124;
constexpr size_t kSizeLength = 12;
constexpr size_t kMtimeOffset = 136;
constexpr size_t kMtimeLength = 12;
constexpr size_t kChecksumOffset = 148;
constexpr size_t kChecksumLength = 8;
constexpr size_t kTypeOffset = 156;
constexpr size_t kMagicOffset = 257;
constexpr size_t kPrefixOffset = 345;
constexpr size_t kPrefixLength = 155;

// True when the block carries "ustar" at offset 257.
bool has_ustar_magic(const unsigned char* block);

// The name field up to its first zero byte, at most 100 bytes.
std::string member_name(const unsigned char* block);

// The entry's name: the name field, after the ustar prefix and a slash
// when the block has the POSIX magic ("ustar" and a zero byte) and a
// non-empty prefix field. Only the first 500 bytes of the block are read.
std::string full_name(const unsigned char* block);

// A numeric field. Octal digits in ASCII: spaces are skipped, a zero byte
// ends the field, at most `length` characters are read. Or GNU's base-256
// form: a first byte of 0x80 (positive) or 0xFF (negative) followed by the
// value's big-endian two's complement bytes. Absent when the field holds
// any other character or the value does not fit 64 bits.
std::optional<std::int64_t> number_field(const unsigned char* block, size_t offset,
                                         size_t length);

// True when the checksum field holds the sum of the block's 512 bytes,
// counted with the checksum field as eight spaces, summing the bytes as
// unsigned or (as some old writers did) as signed characters.
bool checksum_matches(const unsigned char* block);

// The numbers of a header that the readers use.
struct HeaderNumbers {
    std::int64_t mode = 0;
    std::int64_t size = 0;
    std::int64_t mtime = 0;
};

enum class HeaderFault { kNone, kNotTar, kBadChecksum, kBadNumber };

// Checks a 512-byte header block (one whose first byte is not zero): the
// magic, the checksum, and the mode, size and modification time, which
// must be numbers (mode and size not negative). Fills `numbers` when there
// is no fault.
HeaderFault check_header(const unsigned char* block, HeaderNumbers& numbers);

// The text that names a fault: "does not look like a tar file", "bad
// header checksum", "bad number in header".
const char* fault_text(HeaderFault fault);

// True for a regular file: typeflag "0" or a zero byte.
bool is_regular_file(const unsigned char* block);

// The typeflag of a pax extended header that describes the entry after it.
constexpr char kPaxEntryType = 'x';

}  // namespace lmx::tar
