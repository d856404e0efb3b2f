// UTF-16 strings of the wide Windows calls (netapi32, LSA, COM) and the
// multibyte strings (UTF-8 on this host) of the layer's internals.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

// The multibyte form of a NUL-terminated UTF-16 string (empty for NULL).
std::string narrow(LPCWSTR text);

// The multibyte form of `count` UTF-16 units.
std::string narrow(LPCWSTR text, size_t count);

// The UTF-16 form of a multibyte string.
std::u16string widen(const std::string& text);

}  // namespace platform
