// Queries into a version block as the version-information module answers
// them: "\StringFileInfo\", a language-and-code-page key of 8 characters
// (capital hexadecimal digits; the block's keys are compared with their
// letters turned into capitals), "\" and the name of a text value. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lmx::version {

struct TextValue {
    std::size_t offset;  // of the value in the block
    std::size_t length;  // in characters, as the block gives it (the terminator included)
};

// The root must be the block's whole length and have the key
// "VS_VERSION_INFO"; "VarFileInfo" children are passed over, a
// "StringFileInfo" child is searched, any other child ends the search.
// The first string of a matching table whose key is the name is the
// result; its length is held to the bytes of its node.
std::optional<TextValue> query_text(const std::uint8_t* block, std::size_t block_length,
                                    const char* query);

// A text value narrowed to bytes: the low byte of each of its `length`
// UTF-16 characters, up to the first that narrows to NUL (the text ends
// there, as a C string would).
std::string narrow_text(const std::uint8_t* value, std::size_t length);

}  // namespace lmx::version
