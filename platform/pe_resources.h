// The resource tree of a PE image: directories of entries (by type, name
// and language) ending in data entries that give a resource's RVA and size.
//
// Hostile files build trees whose directories point back at themselves or
// at each other, or nest without end. Both walks here therefore bound what
// they do: each directory is entered at most once, nesting and the number
// of entries looked at are limited, and a tree that breaks a bound gives no
// resource at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pe {

// Random access to the bytes of a file or a stream.
class ByteSource {
   public:
    virtual ~ByteSource() = default;
    // The `length` bytes at `offset`, or null when they are not all there.
    // The pointer stays valid until the next call.
    virtual const std::uint8_t* bytes(std::uint64_t offset, std::size_t length) = 0;
};

// Bytes in memory.
class MemorySource : public ByteSource {
   public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    const std::uint8_t* bytes(std::uint64_t offset, std::size_t length) override {
        return offset <= size_ && length <= size_ - offset ? data_ + offset : nullptr;
    }

   private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// The tree's root directory lies at file offset `base`; every directory and
// data entry must lie within the `size` bytes from there.
struct ResourceTree {
    ByteSource& source;
    std::uint64_t base;
    std::uint32_t size;
};

struct ResourceData {
    std::uint32_t rva;
    std::uint32_t size;
};

constexpr std::uint16_t kVersionResourceType = 16;
constexpr int kMaxResourceDepth = 8;
constexpr std::size_t kMaxResourceEntries = 65536;

// The walk of a streaming reader: at the top level the named entries and
// the version type are followed, below it every entry; a data entry ends
// the walk of its directory. So the last name visited wins, and within it
// the first language.
std::optional<ResourceData> last_version_resource(ResourceTree& tree);

// The lookup of the system's version API: type, then name by number, then
// the first of `languages` present, else the directory's first language.
std::optional<ResourceData> find_resource(ResourceTree& tree, std::uint16_t type,
                                          std::uint16_t name, const std::uint16_t* languages,
                                          std::size_t language_count);

}  // namespace pe
