// Version blocks (the data of a version resource): a tree of nodes, each
// made of its total length, its value length and type (16 bits each), a
// NUL-terminated UTF-16 key, padding to 4 bytes, the value and the
// children, each child again aligned to 4 bytes. Pure; a node is read only
// when its key, value and length lie within the bytes and the parent given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pe {

constexpr std::size_t kVersionNodeHeaderSize = 6;
constexpr std::uint16_t kVersionTextType = 1;
constexpr char kVersionRootKey[] = "VS_VERSION_INFO";

inline std::size_t align4(std::size_t offset) {
    return (offset + 3) & ~static_cast<std::size_t>(3);
}

struct VersionNode {
    std::size_t offset;  // of the node in the block
    std::size_t end;     // offset + its total length
    std::uint16_t value_length;  // in characters for text values, else in bytes
    std::uint16_t type;
    std::size_t key_length;  // in characters, without the terminator
    std::size_t value_offset;
    std::size_t value_bytes;  // what the value length says, cut at the node's end
    std::size_t children_offset;
};

// The node at `offset`, which must end by `limit` (its parent's end, or the
// block's size for the root). Absent for a node shorter than its header or
// its key, or longer than its parent.
std::optional<VersionNode> read_version_node(const std::uint8_t* block, std::size_t limit,
                                             std::size_t offset);

// Where the sibling after `node` starts.
inline std::size_t next_sibling(const VersionNode& node) { return align4(node.end); }

// True when the node's key is `text` (ASCII), exactly or, with
// `ignore_case`, with letters a to z and A to Z taken as equal.
bool version_key_is(const std::uint8_t* block, const VersionNode& node, const char* text,
                    bool ignore_case);

// The UTF-16 unit `index` of the node's key.
std::uint16_t version_key_unit(const std::uint8_t* block, const VersionNode& node,
                               std::size_t index);

}  // namespace pe
