#include "runtime/archive/tar_header.h"

#include <cstring>
#include <limits>

namespace lmx::tar {
namespace {

std::string field_text(const unsigned char* block, size_t offset, size_t length) {
    const char* text = reinterpret_cast<const char*>(block + offset);
    const void* end = std::memchr(text, '\0', length);
    return std::string(text, end ? static_cast<size_t>(static_cast<const char*>(end) - text)
                                 : length);
}

std::optional<std::int64_t> base256_field(const unsigned char* field, size_t length) {
    constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max() >> 8;
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min() >> 8;
    std::int64_t value = field[0] == 0xFF ? -1 : 0;
    for (size_t i = 1; i < length; ++i) {
        if (value > kHighest || value < kLowest) return std::nullopt;
        value = value * 256 + field[i];
    }
    return value;
}

}  // namespace

bool has_ustar_magic(const unsigned char* block) {
    return std::memcmp(block + kMagicOffset, "ustar", 5) == 0;
}

std::string member_name(const unsigned char* block) { return field_text(block, 0, kNameSize); }

std::string full_name(const unsigned char* block) {
    const bool posix = std::memcmp(block + kMagicOffset, "ustar", 6) == 0;
    if (!posix || block[kPrefixOffset] == '\0') return member_name(block);
    return field_text(block, kPrefixOffset, kPrefixLength) + '/' + member_name(block);
}

std::optional<std::int64_t> number_field(const unsigned char* block, size_t offset,
                                         size_t length) {
    const unsigned char* field = block + offset;
    if (length > 0 && (field[0] == 0x80 || field[0] == 0xFF)) return base256_field(field, length);
    std::int64_t value = 0;  // at most 12 octal digits: no overflow
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = field[i];
        if (c == '\0') break;
        if (c == ' ') continue;
        if (c < '0' || c > '7') return std::nullopt;
        value = value * 8 + (c - '0');
    }
    return value;
}

bool checksum_matches(const unsigned char* block) {
    long unsigned_sum = 0;
    long signed_sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i) {
        const bool in_field = i >= kChecksumOffset && i < kChecksumOffset + kChecksumLength;
        const unsigned char c = in_field ? ' ' : block[i];
        unsigned_sum += c;
        signed_sum += static_cast<signed char>(c);
    }
    const std::optional<std::int64_t> recorded =
        number_field(block, kChecksumOffset, kChecksumLength);
    return recorded && (*recorded == unsigned_sum || *recorded == signed_sum);
}

HeaderFault check_header(const unsigned char* block, HeaderNumbers& numbers) {
    if (!has_ustar_magic(block)) return HeaderFault::kNotTar;
    if (!checksum_matches(block)) return HeaderFault::kBadChecksum;
    const auto mode = number_field(block, kModeOffset, kModeLength);
    const auto size = number_field(block, kSizeOffset, kSizeLength);
    const auto mtime = number_field(block, kMtimeOffset, kMtimeLength);
    if (!mode || !size || !mtime || *mode < 0 || *size < 0) return HeaderFault::kBadNumber;
    numbers = HeaderNumbers{*mode, *size, *mtime};
    return HeaderFault::kNone;
}

const char* fault_text(HeaderFault fault) {
    switch (fault) {
        case HeaderFault::kNotTar: return "does not look like a tar file";
        case HeaderFault::kBadChecksum: return "bad header checksum";
        case HeaderFault::kBadNumber: return "bad number in header";
        case HeaderFault::kNone: break;
    }
    return "";
}

bool is_regular_file(const unsigned char* block) {
    return block[kTypeOffset] == '0' || block[kTypeOffset] == '\0';
}

}  // namespace lmx::tar
