#include "platform/environment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/paths.h"

namespace {

constexpr DWORD kEnvVarNotFound = 203;

DWORD copy_value(const std::string& value, LPSTR buffer, DWORD size) {
    if (value.size() + 1 > size || buffer == nullptr) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

}  // namespace

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const char* value = lpName ? std::getenv(lpName) : nullptr;
    if (value == nullptr) {
        SetLastError(kEnvVarNotFound);
        return 0;
    }
    return copy_value(value, lpBuffer, nSize);
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (lpName == nullptr || *lpName == '\0' || std::strchr(lpName, '=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int rc = lpValue ? ::setenv(lpName, lpValue, 1) : ::unsetenv(lpName);
    return rc == 0 ? TRUE : platform::fail_with_errno();
}

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string dir;
    if (!crt::getcwd(dir)) {
        platform::fail_with_errno();
        return 0;
    }
    return copy_value(dir, lpBuffer, nBufferLength);
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
    std::string host;
    if (!platform::host_path(lpPathName, host)) return FALSE;
    return ::chdir(host.c_str()) == 0 ? TRUE : platform::fail_with_errno();
}
