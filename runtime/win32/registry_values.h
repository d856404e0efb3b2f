// The registry module's value conversions between stored data and the
// forms Perl code sees, without Perl: what a read delivers and what a write
// stores.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace lmx {
namespace registry_values {

// The types a read delivers: REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
// REG_MULTI_SZ.
bool readable(DWORD type);

// A string value: up to its first NUL or the end of the data.
std::string_view string_of(std::string_view data);

// A REG_MULTI_SZ value: the strings in stored order, up to the first empty
// string or the end of the data.
std::vector<std::string_view> strings_of(std::string_view data);

// A REG_DWORD value, little-endian; data shorter than 4 bytes is taken as
// far as it goes, longer data by its first 4 bytes.
std::uint32_t dword_of(std::string_view data);

// What REG_MULTI_SZ stores for a list: each string and a NUL, then one
// more NUL (a single NUL for an empty list).
std::string multi_string(const std::vector<std::string>& strings);

// The byte count written for a value of any other type from `data` and the
// caller's `size`: size 0 stores a string type with its terminator (and
// nothing for other types); a size up to the data's length and its
// terminator is taken as given. No count when size is negative or larger,
// which would reach past the data.
std::optional<std::size_t> byte_count(DWORD type, std::size_t length, std::int64_t size);

}  // namespace registry_values
}  // namespace lmx
