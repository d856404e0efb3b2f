// Expansion of environment-variable references (kernel32
// ExpandEnvironmentStringsA).
#pragma once

#include <string>

#include "platform/types.h"

// Replaces each %NAME% of lpSrc by the variable's value (names compare
// without regard to case, as Windows' do, an exact match first); a
// reference to a variable that is not set stays as it is. Returns the
// length of the result including its terminator; when that exceeds nSize
// (or lpDst is NULL) nothing is written and the size needed is returned.
// 0 with ERROR_INVALID_PARAMETER for a NULL lpSrc.
DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);

namespace platform {

// The expansion itself.
std::string expand_environment(const std::string& text);

}  // namespace platform
