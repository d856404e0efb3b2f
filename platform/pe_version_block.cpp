#include "platform/pe_version_block.h"

#include <algorithm>

#include "platform/pe_image.h"

namespace pe {
namespace {

std::uint16_t upper(std::uint16_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<std::uint16_t>(c - 'a' + 'A') : c;
}

}  // namespace

std::optional<VersionNode> read_version_node(const std::uint8_t* block, std::size_t limit,
                                             std::size_t offset) {
    if (offset > limit || limit - offset < kVersionNodeHeaderSize) return std::nullopt;
    const std::uint8_t* p = block + offset;
    const std::size_t length = le16(p);
    if (length < kVersionNodeHeaderSize || length > limit - offset) return std::nullopt;
    VersionNode node{};
    node.offset = offset;
    node.end = offset + length;
    node.value_length = le16(p + 2);
    node.type = le16(p + 4);
    std::size_t key = offset + kVersionNodeHeaderSize;
    while (key + 2 <= node.end && le16(block + key) != 0) key += 2;
    if (key + 2 > node.end) return std::nullopt;  // the key has no terminator within the node
    node.key_length = (key - offset - kVersionNodeHeaderSize) / 2;
    node.value_offset = std::min(align4(key + 2), node.end);
    const std::size_t wanted = node.type == kVersionTextType ? 2u * node.value_length
                                                             : node.value_length;
    node.value_bytes = std::min(wanted, node.end - node.value_offset);
    node.children_offset = align4(node.value_offset + wanted);
    return node;
}

std::uint16_t version_key_unit(const std::uint8_t* block, const VersionNode& node,
                               std::size_t index) {
    return le16(block + node.offset + kVersionNodeHeaderSize + 2 * index);
}

bool version_key_is(const std::uint8_t* block, const VersionNode& node, const char* text,
                    bool ignore_case) {
    std::size_t i = 0;
    for (; text[i] != '\0'; ++i) {
        if (i == node.key_length) return false;
        const std::uint16_t unit = version_key_unit(block, node, i);
        const auto wanted = static_cast<std::uint16_t>(static_cast<unsigned char>(text[i]));
        if (ignore_case ? upper(unit) != upper(wanted) : unit != wanted) return false;
    }
    return i == node.key_length;
}

}  // namespace pe
