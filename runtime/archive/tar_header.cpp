#include "runtime/archive/tar_header.h"

#include <cstring>

namespace lmx::tar {

bool has_ustar_magic(const unsigned char* block) {
    return std::memcmp(block + kMagicOffset, "ustar", 5) == 0;
}

std::string member_name(const unsigned char* block) {
    const char* name = reinterpret_cast<const char*>(block);
    const void* end = std::memchr(name, '\0', kNameSize);
    const size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - name) : kNameSize;
    return std::string(name, length);
}

std::int64_t octal_field(const unsigned char* block, size_t offset, size_t length) {
    // Unsigned arithmetic: hostile fields wrap instead of overflowing.
    std::uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = block[offset + i];
        if (c == '\0') break;
        if (c == ' ') continue;
        value = value * 8 + static_cast<std::uint64_t>(static_cast<int>(c) - '0');
    }
    return static_cast<std::int64_t>(value);
}

std::int64_t member_size(const unsigned char* block) {
    return octal_field(block, kSizeOffset, kSizeLength);
}

bool is_regular_file(const unsigned char* block) {
    return block[kTypeOffset] == '0' || block[kTypeOffset] == '\0';
}

}  // namespace lmx::tar
