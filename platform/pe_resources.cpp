#include "platform/pe_resources.h"

#include <unordered_set>

#include "platform/pe_image.h"

namespace pe {
namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;

struct Entry {
    bool named;
    std::uint16_t id;
    bool subdirectory;
    std::uint32_t offset;  // of the subdirectory or the data entry, in the tree
};

// Reads directories, entries and data entries of one tree, each checked
// against the tree's size, and keeps the bounds of one walk: a directory is
// entered once, and at most kMaxResourceEntries entries are looked at.
class TreeReader {
   public:
    explicit TreeReader(ResourceTree& tree) : tree_(tree) {}

    // False for a directory entered before.
    bool enter(std::uint32_t directory) { return entered_.insert(directory).second; }

    // The number of entries of the directory at `offset`, when all of them
    // lie within the tree.
    std::optional<std::size_t> entry_count(std::uint32_t offset) {
        const std::uint8_t* header = at(offset, kDirectoryHeaderSize);
        if (header == nullptr) return std::nullopt;
        const std::size_t count = static_cast<std::size_t>(le16(header + 12)) + le16(header + 14);
        const std::uint64_t end = offset + kDirectoryHeaderSize + count * kEntrySize;
        if (end > tree_.size) return std::nullopt;
        return count;
    }

    std::optional<Entry> entry(std::uint32_t directory, std::size_t index) {
        if (++entries_seen_ > kMaxResourceEntries) return std::nullopt;
        const std::uint8_t* p =
            at(directory + kDirectoryHeaderSize + index * kEntrySize, kEntrySize);
        if (p == nullptr) return std::nullopt;
        const std::uint32_t name = le32(p);
        const std::uint32_t target = le32(p + 4);
        return Entry{(name & kHighBit) != 0, static_cast<std::uint16_t>(name),
                     (target & kHighBit) != 0, target & ~kHighBit};
    }

    std::optional<ResourceData> data(std::uint32_t offset) {
        const std::uint8_t* p = at(offset, kDataEntrySize);
        if (p == nullptr) return std::nullopt;
        return ResourceData{le32(p), le32(p + 4)};
    }

    // The entry of `directory` with number `id`, when it is present.
    std::optional<Entry> find(std::uint32_t directory, std::uint16_t id, bool* broken) {
        const std::optional<std::size_t> count = entry_count(directory);
        if (!count) {
            *broken = true;
            return std::nullopt;
        }
        for (std::size_t i = 0; i < *count; ++i) {
            const std::optional<Entry> e = entry(directory, i);
            if (!e) {
                *broken = true;
                return std::nullopt;
            }
            if (!e->named && e->id == id) return e;
        }
        return std::nullopt;
    }

   private:
    const std::uint8_t* at(std::uint64_t offset, std::size_t length) {
        if (offset > tree_.size || length > tree_.size - offset) return nullptr;
        return tree_.source.bytes(tree_.base + offset, length);
    }

    ResourceTree& tree_;
    std::unordered_set<std::uint32_t> entered_;
    std::size_t entries_seen_ = 0;
};

// Walks one directory for last_version_resource; false for a tree that is
// broken or breaks a bound.
bool walk(TreeReader& reader, std::uint32_t directory, int depth,
          std::optional<ResourceData>& found) {
    if (depth >= kMaxResourceDepth || !reader.enter(directory)) return false;
    const std::optional<std::size_t> count = reader.entry_count(directory);
    if (!count) return false;
    for (std::size_t i = 0; i < *count; ++i) {
        const std::optional<Entry> e = reader.entry(directory, i);
        if (!e) return false;
        if (depth == 0 && !e->named && e->id != kVersionResourceType) continue;
        if (e->subdirectory) {
            if (!walk(reader, e->offset, depth + 1, found)) return false;
            continue;
        }
        found = reader.data(e->offset);
        return found.has_value();
    }
    return true;
}

}  // namespace

std::optional<ResourceData> last_version_resource(ResourceTree& tree) {
    TreeReader reader(tree);
    std::optional<ResourceData> found;
    if (!walk(reader, 0, 0, found)) return std::nullopt;
    return found;
}

std::optional<ResourceData> find_resource(ResourceTree& tree, std::uint16_t type,
                                          std::uint16_t name, const std::uint16_t* languages,
                                          std::size_t language_count) {
    TreeReader reader(tree);
    bool broken = false;
    std::uint32_t directory = 0;
    for (const std::uint16_t id : {type, name}) {
        if (!reader.enter(directory)) return std::nullopt;
        const std::optional<Entry> e = reader.find(directory, id, &broken);
        if (!e || !e->subdirectory) return std::nullopt;
        directory = e->offset;
    }
    if (!reader.enter(directory)) return std::nullopt;
    for (std::size_t i = 0; i < language_count && !broken; ++i) {
        const std::optional<Entry> e = reader.find(directory, languages[i], &broken);
        if (e) return e->subdirectory ? std::nullopt : reader.data(e->offset);
    }
    if (broken || reader.entry_count(directory).value_or(0) == 0) return std::nullopt;
    const std::optional<Entry> first = reader.entry(directory, 0);
    if (!first || first->subdirectory) return std::nullopt;
    return reader.data(first->offset);
}

}  // namespace pe
