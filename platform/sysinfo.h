// Version and system information (kernel32).
#pragma once

#include "platform/types.h"

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;

// The running kernel's release as major, minor and build number (from
// uname: "6.1.0-18-amd64" gives 6, 1 and 0), platform id 2, and the full
// release text as szCSDVersion. Fails with ERROR_INSUFFICIENT_BUFFER when
// dwOSVersionInfoSize is smaller than the structure.
BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
