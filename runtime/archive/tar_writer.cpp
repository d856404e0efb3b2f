#include "runtime/archive/tar_writer.h"

#include <algorithm>
#include <cstring>

namespace lmx::tar {
namespace {

constexpr size_t kUidOffset = 108;
constexpr size_t kGidOffset = 116;
constexpr size_t kIdLength = 8;
constexpr size_t kLinkNameOffset = 157;
constexpr size_t kVersionOffset = 263;
constexpr size_t kUnameOffset = 265;
constexpr size_t kGnameOffset = 297;
constexpr size_t kDevMajorOffset = 329;
constexpr size_t kDevMinorOffset = 337;
constexpr size_t kDevLength = 8;

// Octal digits filling all but the last byte of the field, then a NUL.
// A value that does not fit (or is negative) is stored in base 256, big
// endian, two's complement, with the top bit of the first byte set, as GNU
// tar and the other readers of the format understand.
void put_number(Block& block, size_t offset, size_t length, std::int64_t value) {
    const size_t digits = length - 1;
    if (value >= 0 && (digits >= 21 || value < (std::int64_t{1} << (3 * digits)))) {
        auto rest = static_cast<std::uint64_t>(value);
        for (size_t i = digits; i-- > 0; rest >>= 3) block[offset + i] = '0' + (rest & 7);
        block[offset + digits] = '\0';
        return;
    }
    auto bits = static_cast<std::uint64_t>(value);
    for (size_t i = length; i-- > 0; bits = value < 0 ? ~(~bits >> 8) : bits >> 8)
        block[offset + i] = static_cast<unsigned char>(bits & 0xff);
    block[offset] = value < 0 ? 0xff : 0x80;
}

void put_text(Block& block, size_t offset, size_t length, const std::string& text) {
    std::memcpy(block.data() + offset, text.data(), std::min(length, text.size()));
}

}  // namespace

Block header_block(const EntryHeader& entry) {
    Block block{};
    put_text(block, 0, kNameSize, entry.name);
    put_number(block, kModeOffset, kModeLength, entry.mode);
    if (entry.uid) put_number(block, kUidOffset, kIdLength, static_cast<std::int64_t>(*entry.uid));
    if (entry.gid) put_number(block, kGidOffset, kIdLength, static_cast<std::int64_t>(*entry.gid));
    put_number(block, kSizeOffset, kSizeLength, static_cast<std::int64_t>(entry.size));
    put_number(block, kMtimeOffset, kMtimeLength, entry.mtime);
    block[kTypeOffset] = static_cast<unsigned char>(entry.typeflag);
    put_text(block, kLinkNameOffset, kLinkNameSize, entry.linkname);
    std::memcpy(block.data() + kMagicOffset, "ustar", 6);
    std::memcpy(block.data() + kVersionOffset, entry.version, 2);
    std::memcpy(block.data() + kUnameOffset, "tar", 3);
    std::memcpy(block.data() + kGnameOffset, "tar", 3);
    if (entry.devmajor)
        put_number(block, kDevMajorOffset, kDevLength, static_cast<std::int64_t>(*entry.devmajor));
    if (entry.devminor)
        put_number(block, kDevMinorOffset, kDevLength, static_cast<std::int64_t>(*entry.devminor));
    // The checksum is taken while its own field holds eight spaces.
    std::memset(block.data() + kChecksumOffset, ' ', kChecksumLength);
    std::int64_t sum = 0;
    for (unsigned char byte : block) sum += byte;
    put_number(block, kChecksumOffset, kChecksumLength, sum);
    return block;
}

std::string entry_name(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string long_name_records(const std::string& name) {
    EntryHeader header;
    header.name = "././@LongLink";
    header.uid = 0;
    header.gid = 0;
    header.size = name.size() + 1;
    header.typeflag = 'L';
    const Block block = header_block(header);
    std::string records(reinterpret_cast<const char*>(block.data()), block.size());
    records += name;
    records.append(1 + padding_after(name.size() + 1), '\0');
    return records;
}

size_t padding_after(std::uint64_t size) {
    return static_cast<size_t>((kBlockSize - size % kBlockSize) % kBlockSize);
}

}  // namespace lmx::tar
