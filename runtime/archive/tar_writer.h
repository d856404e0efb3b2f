// The blocks that the tar writer emits, built without any I/O: ustar
// header blocks as this system writes them, the GNU long-name records that
// carry names of more than 100 bytes, and the zero padding after data.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "runtime/archive/tar_header.h"

namespace lmx::tar {

using Block = std::array<unsigned char, kBlockSize>;

constexpr size_t kLinkNameSize = 100;
// The largest size that the 11 octal digits of the size field hold.
constexpr std::uint64_t kMaxEntrySize = 077777777777;

// The fields of one header block. Every other byte of the block is zero.
struct EntryHeader {
    std::string name;  // the first 100 bytes are stored, NUL-terminated when shorter
    std::uint32_t mode = 0;
    std::optional<std::uint64_t> uid;  // absent: the field stays zero bytes
    std::optional<std::uint64_t> gid;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    char typeflag = '0';
    std::string linkname;  // the first 100 bytes are stored
    // Device numbers of character and block devices; absent: zero bytes.
    std::optional<std::uint64_t> devmajor;
    std::optional<std::uint64_t> devminor;
    char version[2] = {'0', '\0'};
};

// The header block: numeric fields in zero-padded octal digits followed by
// a NUL (a value too large for its digits, or a negative one, in the GNU
// base-256 form instead), magic "ustar" and a NUL, uname and gname "tar",
// and the checksum as seven octal digits and a NUL.
Block header_block(const EntryHeader& entry);

// The name as it is stored: every backslash turned into a slash.
std::string entry_name(std::string name);

// The records in front of an entry whose name is longer than 100 bytes:
// the "././@LongLink" header (mode, uid and gid 0, size the name's length
// plus one, mtime 0, typeflag 'L') and the name with its NUL in
// zero-padded blocks.
std::string long_name_records(const std::string& name);

// The number of zero bytes that complete `size` bytes of data to whole
// blocks.
size_t padding_after(std::uint64_t size);

}  // namespace lmx::tar
