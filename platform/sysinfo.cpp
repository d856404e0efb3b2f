#include "platform/sysinfo.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

#include "platform/errors.h"

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    struct utsname name;
    if (::uname(&name) != 0) return platform::fail_with_errno();
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(name.release, "%u.%u.%u", &major, &minor, &build);
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = build;
    info->dwPlatformId = 2;
    std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", name.release);
    return TRUE;
}
