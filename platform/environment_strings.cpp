#include "platform/environment_strings.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "platform/errors.h"

extern char** environ;

namespace platform {
namespace {

// The value of a variable, found by exact name first, then without regard
// to case.
const char* variable(const std::string& name) {
    if (const char* value = std::getenv(name.c_str())) return value;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals && static_cast<size_t>(equals - *entry) == name.size() &&
            ::strncasecmp(*entry, name.c_str(), name.size()) == 0)
            return equals + 1;
    }
    return nullptr;
}

}  // namespace

std::string expand_environment(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('%', i);
        const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, i, std::string::npos);
            break;
        }
        out.append(text, i, open - i);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : variable(name);
        if (value)
            out += value;
        else
            out.append(text, open, close - open + 1);  // kept as it stands
        i = close + 1;
    }
    return out;
}

}  // namespace platform

DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    if (lpSrc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string result = platform::expand_environment(lpSrc);
    const DWORD needed = static_cast<DWORD>(result.size() + 1);
    if (lpDst != nullptr && needed <= nSize) std::memcpy(lpDst, result.c_str(), needed);
    return needed;
}
