// Reading the version block and a magic text of a Windows program file
// from a stream that delivers 512-byte blocks one after the other (a file,
// or an archive entry being extracted). The reader never goes back: it
// keeps only the bytes that a later stage may still need, skips what lies
// between, and holds at most kMaxKept bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lmx::version {

constexpr std::size_t kBlockSize = 512;
constexpr std::size_t kMaxKept = 16u << 20;
// A version block's root length is 16 bits, so no larger block can be read.
constexpr std::size_t kMaxVersionBlock = 0xFFFF;

// Fills `buffer` with the next block of at most `size` bytes; the number of
// bytes, 0 or less at the end of the data.
using BlockReader = std::function<long(std::uint8_t* buffer, std::size_t size)>;

struct StreamVersion {
    std::optional<std::vector<std::uint8_t>> block;
    std::string magic;
};

// The stages: the DOS header (the magic text of the first block: "MS DOS",
// a PE signature, "JAR or ZIP archive" or "unknown magic"; only "MS DOS"
// goes on), the signature and file header at the 16-bit header offset (the
// magic text again, from those 24 bytes; only a Windows text goes on), the
// optional header (the 32-bit form when its size is 224, else the 64-bit
// form), the data directory and the section table after it, the resource
// section holding directory entry 2 (read whole, or its first part up to
// the window's size, before its tree is walked), and the version data that
// the walk finds.
StreamVersion read_stream(const BlockReader& read);

}  // namespace lmx::version
