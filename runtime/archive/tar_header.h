// The fields of a tar header block that the tar.gz reader uses.
#pragma once

#include <cstddef>
#include <cstdint>
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
constexpr size_t kTypeOffset = 156;
constexpr size_t kMagicOffset = 257;

// True when the block carries "ustar" at offset 257.
bool has_ustar_magic(const unsigned char* block);

// The member name: the name field up to its first zero byte, at most 100
// bytes.
std::string member_name(const unsigned char* block);

// A numeric field read as octal digits: spaces are skipped, a zero byte
// ends the field, at most `length` characters are read, and every other
// character c adds (c - '0') after multiplying by 8. Malformed fields give
// whatever value that yields, possibly negative.
std::int64_t octal_field(const unsigned char* block, size_t offset, size_t length);

// The size field by that rule; callers treat a negative size as 0.
std::int64_t member_size(const unsigned char* block);

// True for a regular file: typeflag "0" or a zero byte.
bool is_regular_file(const unsigned char* block);

}  // namespace lmx::tar
