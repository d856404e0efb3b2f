// Registry names: how they compare, how long they are, how a path splits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform {
namespace registry {

// The form in which names are compared and sorted: every UTF-8 character
// of the Basic Multilingual Plane upper-cased by its simple Unicode mapping;
// other characters and bytes that are not UTF-8 stay as they are.
std::string fold(std::string_view name);

// The length of a name in UTF-16 units, the unit of Windows' limits (a byte
// that is not UTF-8 counts as one).
std::size_t utf16_length(std::string_view name);

// Splits a subkey path at "\" into its components ("" and NULL give none;
// one trailing "\" is ignored). ERROR_BAD_PATHNAME for a leading "\" or an
// empty component, ERROR_INVALID_PARAMETER for a component longer than 255
// characters.
LONG split_path(const char* path, std::vector<std::string_view>& components);

}  // namespace registry
}  // namespace platform
