#include "platform/sysinfo.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/memory_status.h"

namespace {

struct Architecture {
    const char* machine_prefix;
    WORD code;
};

const Architecture kArchitectures[] = {
    {"x86_64", PROCESSOR_ARCHITECTURE_AMD64}, {"i386", PROCESSOR_ARCHITECTURE_INTEL},
    {"i486", PROCESSOR_ARCHITECTURE_INTEL},   {"i586", PROCESSOR_ARCHITECTURE_INTEL},
    {"i686", PROCESSOR_ARCHITECTURE_INTEL},   {"aarch64", PROCESSOR_ARCHITECTURE_ARM64},
    {"arm", PROCESSOR_ARCHITECTURE_ARM},      {"ia64", PROCESSOR_ARCHITECTURE_IA64},
    {"mips", PROCESSOR_ARCHITECTURE_MIPS},    {"alpha", PROCESSOR_ARCHITECTURE_ALPHA},
    {"ppc", PROCESSOR_ARCHITECTURE_PPC},
};

// The user address space: 47 bits on 64-bit hosts, 3 GiB on 32-bit ones.
constexpr ULONGLONG kUserAddressSpace =
    sizeof(void*) == 8 ? (ULONGLONG{1} << 47) : (ULONGLONG{3} << 30);

std::string meminfo_text() {
    std::string text;
    platform::read_small_file("/proc/meminfo", text);
    return text;
}

}  // namespace

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

void GetSystemInfo(LPSYSTEM_INFO info) {
    if (info == nullptr) return;
    *info = SYSTEM_INFO{};
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
    const std::string machine = platform::host_system().machine;
    for (const Architecture& a : kArchitectures)
        if (machine.compare(0, std::strlen(a.machine_prefix), a.machine_prefix) == 0) {
            info->wProcessorArchitecture = a.code;
            break;
        }
    const long page = ::sysconf(_SC_PAGESIZE);
    info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
    info->dwAllocationGranularity = 65536;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(std::uintptr_t{65536});
    info->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(kUserAddressSpace - 65537));
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        info->dwNumberOfProcessors = static_cast<DWORD>(CPU_COUNT(&allowed));
        for (int cpu = 0; cpu < 64 && cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) info->dwActiveProcessorMask |= ULONG_PTR{1} << cpu;
    } else {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        info->dwNumberOfProcessors = online > 0 ? static_cast<DWORD>(online) : 1;
    }
}

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status) {
    if (status == nullptr || status->dwLength != sizeof(MEMORYSTATUSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::optional<platform::MemInfo> info = platform::parse_meminfo(meminfo_text());
    if (!info) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const platform::PhysicalMemory memory =
        platform::physical_memory(*info, platform::cgroup_memory(""));
    status->ullTotalPhys = memory.total;
    status->ullAvailPhys = memory.available;
    status->dwMemoryLoad =
        memory.total > 0 ? static_cast<DWORD>(100 - memory.available * 100 / memory.total) : 0;
    status->ullTotalPageFile = memory.total + info->swap_total;
    status->ullAvailPageFile = memory.available + info->swap_free;
    status->ullTotalVirtual = kUserAddressSpace;
    status->ullAvailVirtual = kUserAddressSpace;
    status->ullAvailExtendedVirtual = 0;
    return TRUE;
}

namespace platform {

CpuidRegisters cpuid(std::uint32_t leaf) {
    CpuidRegisters r{0, 0, 0, 0};
#if defined(__x86_64__) || defined(__i386__)
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
#else
    (void)leaf;
#endif
    return r;
}

HostSystem host_system() {
    HostSystem host;
    struct utsname name;
    if (::uname(&name) == 0) {
        host.name = name.sysname;
        host.release = name.release;
        host.machine = name.machine;
    }
#if defined(__GLIBC__)
    host.c_library = "GLIBC";
    host.c_library_version = gnu_get_libc_version();
#endif
    return host;
}

}  // namespace platform
