// The process table (kernel32 Toolhelp snapshots, ntdll
// NtQuerySystemInformation and NtQueryInformationProcess, psapi
// EnumProcessModules and GetModuleFileNameExA) over /proc. The calls are
// registered for run-time lookup under "kernel32.dll", "ntdll.dll" and
// "psapi.dll", where Windows code finds them.
//
// The processes are those that /proc lists (thread-group leaders, kernel
// threads included), after an entry for process id 0, the kernel's idle
// task "swapper", which is the parent of the first processes (init and the
// kernel thread daemon). A process's executable name is the file name of
// its executable, or the kernel's name of the process (its "comm", at most
// 15 bytes) where the executable cannot be read: kernel threads, and other
// users' processes for a process without the debug privilege.
//
// A process's modules are the files that it has mapped, each once, in the
// order of their first mapping; anonymous and special mappings and files
// deleted since they were mapped (whose path names another file or none)
// are left out. A module handle (HMODULE) of another process is the
// address of the file's first mapping in that process, as it is on Windows.
//
// Reading another process's memory map or command line waits for that
// process's memory lock, which a process stuck in the kernel can hold for
// long: these reads give up after 500 ms (ERROR_TIMEOUT, or
// STATUS_IO_TIMEOUT), and the abandoned read ends by itself later.
#pragma once

#include <string>

#include "platform/types.h"

#define TH32CS_SNAPPROCESS 0x2u
#define TH32CS_SNAPMODULE 0x8u
#define MAX_MODULE_NAME32 255

// Host paths can be much longer than MAX_PATH; a module entry holds them.
constexpr size_t kModulePathMax = 4096;

struct PROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[MAX_PATH];
    // This host's addition: the process's real user id.
    DWORD dwRealUserId;
};

struct MODULEENTRY32 {
    DWORD dwSize;
    DWORD th32ModuleID;
    DWORD th32ProcessID;
    DWORD GlblcntUsage;
    DWORD ProccntUsage;
    BYTE* modBaseAddr;
    DWORD modBaseSize;
    HMODULE hModule;
    char szModule[MAX_MODULE_NAME32 + 1];
    char szExePath[kModulePathMax];
};

// A snapshot of the processes (TH32CS_SNAPPROCESS) and/or of the modules of
// process th32ProcessID (TH32CS_SNAPMODULE; 0 is this process). A module
// snapshot of a process that does not exist fails with
// ERROR_INVALID_PARAMETER, one whose map may not be read with
// ERROR_ACCESS_DENIED. Close it with CloseHandle.
HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);

// Walk the snapshot from its first entry; after the last one FALSE with
// ERROR_NO_MORE_FILES. dwSize must be at least the structure's size
// (else ERROR_INVALID_PARAMETER). Module names longer than their field are
// cut.
BOOL Process32First(HANDLE hSnapshot, PROCESSENTRY32* lppe);
BOOL Process32Next(HANDLE hSnapshot, PROCESSENTRY32* lppe);
BOOL Module32First(HANDLE hSnapshot, MODULEENTRY32* lpme);
BOOL Module32Next(HANDLE hSnapshot, MODULEENTRY32* lpme);

using NTSTATUS = LONG;
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = static_cast<NTSTATUS>(0xC0000003u);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004u);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008u);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022u);
constexpr NTSTATUS STATUS_IO_TIMEOUT = static_cast<NTSTATUS>(0xC00000B5u);
constexpr NTSTATUS STATUS_PROCESS_IS_TERMINATING = static_cast<NTSTATUS>(0xC000010Au);

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    LPWSTR Buffer;
};

enum SYSTEM_INFORMATION_CLASS { SystemProcessInformation = 5 };
enum PROCESSINFOCLASS { ProcessCommandLineInformation = 60 };

// One entry of SystemProcessInformation; entries follow one another at
// NextEntryOffset (0 for the last), each followed by its image name.
struct SYSTEM_PROCESS_INFORMATION {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    UNICODE_STRING ImageName;  // empty for process id 0
    LONG BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    // This host's addition: the process's real user id.
    ULONG RealUserId;
};

// SystemProcessInformation: the processes of a Toolhelp snapshot, with
// their executable names as image names. STATUS_INFO_LENGTH_MISMATCH with
// *ReturnLength set when the buffer is too small; other classes give
// STATUS_INVALID_INFO_CLASS.
NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                  LPVOID SystemInformation, ULONG SystemInformationLength,
                                  ULONG* ReturnLength);

// ProcessCommandLineInformation: a UNICODE_STRING followed by its text,
// the process's arguments joined into one command line by the Windows
// quoting rules (platform::join_command_line), so that splitting it gives
// them back; empty for kernel threads and ended processes; at most 32766
// characters. Other classes give STATUS_INVALID_INFO_CLASS.
NTSTATUS NtQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   LPVOID ProcessInformation, ULONG ProcessInformationLength,
                                   ULONG* ReturnLength);

// The process's module handles; *lpcbNeeded says how many bytes all of
// them take, cb how many the buffer holds.
BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded);

// The full path of a module of the process (NULL: its executable), cut to
// nSize - 1 characters; the number of characters copied, or 0 with
// ERROR_MOD_NOT_FOUND for a handle that names no module of it.
DWORD GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize);

namespace platform {

// Reads a whole file on a helper thread, waiting for it at most 500 ms:
// false with ERROR_TIMEOUT when the read overran (the thread finishes it
// later and drops the result), ERROR_INVALID_PARAMETER for a file of a
// process that is gone. The process-table calls read other processes'
// memory maps and command lines this way.
bool read_file_bounded(const std::string& path, std::string& contents);

// The first number on the line of `key` in the process's status record
// ("Uid" gives the real user id, "CapEff" with base 16 the effective
// capabilities); false with ERROR_INVALID_PARAMETER when there is no such
// process.
bool process_status_number(DWORD pid, const char* key, int base, unsigned long long& value);

}  // namespace platform
