// Version and system information (kernel32 GetVersionExA, GetSystemInfo,
// GlobalMemoryStatusEx), the processor identification instruction, and the
// description of the host system in its own terms.
#pragma once

#include <cstdint>
#include <string>

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

#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_MIPS 1
#define PROCESSOR_ARCHITECTURE_ALPHA 2
#define PROCESSOR_ARCHITECTURE_PPC 3
#define PROCESSOR_ARCHITECTURE_ARM 5
#define PROCESSOR_ARCHITECTURE_IA64 6
#define PROCESSOR_ARCHITECTURE_AMD64 9
#define PROCESSOR_ARCHITECTURE_ARM64 12
#define PROCESSOR_ARCHITECTURE_UNKNOWN 0xFFFF

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    ULONG_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// The processor architecture of the host (uname's machine: x86_64 is
// AMD64, i386 to i686 INTEL, aarch64 ARM64, ...; UNKNOWN for the rest), the
// page size, and as dwNumberOfProcessors the processors this process may
// run on (its affinity mask, sched_getaffinity), which is what a program
// can use, rather than all processors of the machine. The active mask has
// a bit for each of the first 64 of them.
void GetSystemInfo(LPSYSTEM_INFO lpSystemInfo);

struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    ULONGLONG ullTotalPhys;
    ULONGLONG ullAvailPhys;
    ULONGLONG ullTotalPageFile;
    ULONGLONG ullAvailPageFile;
    ULONGLONG ullTotalVirtual;
    ULONGLONG ullAvailVirtual;
    ULONGLONG ullAvailExtendedVirtual;
};
using LPMEMORYSTATUSEX = MEMORYSTATUSEX*;

// Physical memory from the kernel (/proc/meminfo: MemTotal and
// MemAvailable). Where the process's control group (cgroup v1 or v2, the
// group and its ancestors) limits memory below that, the limit is the
// total, and what the group may still take (the limit less its usage
// without inactive file pages) bounds the available memory. The page file
// adds swap to both. The virtual figures are the user address space.
// dwLength must be the structure's size (else ERROR_INVALID_PARAMETER).
BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer);

namespace platform {

struct CpuidRegisters {
    std::uint32_t eax, ebx, ecx, edx;
};

// The processor identification instruction (the __cpuid intrinsic) for
// `leaf`; all zero on processors without it.
CpuidRegisters cpuid(std::uint32_t leaf);

// The host system in its own terms: uname's system name ("Linux"), kernel
// release and machine ("x86_64"), and the C library's name and version
// ("GLIBC", "2.36"; empty where it is not known).
struct HostSystem {
    std::string name;
    std::string release;
    std::string machine;
    std::string c_library;
    std::string c_library_version;
};
HostSystem host_system();

}  // namespace platform
