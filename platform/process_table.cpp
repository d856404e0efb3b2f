#include "platform/process_table.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/codepages.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/modules.h"
#include "platform/processes.h"

namespace platform {
namespace {

constexpr auto kReadBound = std::chrono::milliseconds(500);
constexpr size_t kCommandLineMaxUnits = 32766;

struct PendingRead {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    bool ok = false;
    int error = 0;
    std::string contents;
};

}  // namespace

bool read_file_bounded(const std::string& path, std::string& contents) {
    auto pending = std::make_shared<PendingRead>();
    std::thread reader;
    try {
        // The thread takes no signals: the installer's handlers stay on its
        // own threads.
        reader = start_thread_without_signals([pending, path] {
            std::string data;
            const bool ok = read_small_file(path, data);
            const int error = errno;
            std::lock_guard<std::mutex> guard(pending->lock);
            pending->ok = ok;
            pending->error = error;
            pending->contents.swap(data);
            pending->done = true;
            pending->finished.notify_all();
        });
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::unique_lock<std::mutex> lock(pending->lock);
    if (!pending->finished.wait_for(lock, kReadBound, [&] { return pending->done; })) {
        lock.unlock();
        // The abandoned reader still runs code of this library.
        keep_library_loaded();
        reader.detach();
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    lock.unlock();
    reader.join();
    if (!pending->ok) {
        const int e = pending->error;
        SetLastError(e == ENOENT || e == ESRCH ? ERROR_INVALID_PARAMETER : error_from_errno(e));
        return false;
    }
    contents.swap(pending->contents);
    return true;
}

namespace {

struct HostProcess {
    DWORD pid = 0;
    DWORD ppid = 0;
    DWORD uid = 0;
    DWORD threads = 0;
    std::string name;
};

// The first number on the line of `key` in a /proc status text.
bool status_field(const std::string& status, const char* key, int base, unsigned long long& value) {
    const std::string label = "\n" + std::string(key) + ":";
    const size_t at = status.find(label);
    if (at == std::string::npos) return false;
    value = std::strtoull(status.c_str() + at + label.size(), nullptr, base);
    return true;
}

// True for a path of /proc that names a file deleted since it was opened.
bool is_deleted(const std::string& path) {
    static const std::string suffix = " (deleted)";
    return path.size() > suffix.size() &&
           path.compare(path.size() - suffix.size(), std::string::npos, suffix) == 0;
}

bool read_status(DWORD pid, std::string& status) {
    return read_small_file(proc_path(pid, "status"), status);
}

bool read_host_process(DWORD pid, HostProcess& p) {
    std::string stat, status;
    if (!read_small_file(proc_path(pid, "stat"), stat) || !read_status(pid, status)) return false;
    // "pid (comm) state ppid ...": the name may itself hold parentheses.
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    p.pid = pid;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %u", &p.ppid) != 1) return false;
    unsigned long long uid = 0, threads = 0;
    status_field(status, "Uid", 10, uid);
    status_field(status, "Threads", 10, threads);
    p.uid = static_cast<DWORD>(uid);
    p.threads = static_cast<DWORD>(threads);
    char target[kModulePathMax];
    const ssize_t n = ::readlink(proc_path(pid, "exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string exe(target, static_cast<size_t>(n));
        if (is_deleted(exe)) exe.resize(exe.rfind(' '));
        p.name = exe.substr(exe.rfind('/') + 1);
    } else {
        p.name = stat.substr(open + 1, close - open - 1);
    }
    return true;
}

// Process 0 and then every process that /proc lists.
bool list_host_processes(std::vector<HostProcess>& list) {
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return fail_with_errno();
    list.clear();
    HostProcess idle;
    idle.name = "swapper";
    idle.threads = 1;
    list.push_back(idle);
    while (struct dirent* entry = ::readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        HostProcess p;
        if (read_host_process(static_cast<DWORD>(std::strtoul(entry->d_name, nullptr, 10)), p))
            list.push_back(std::move(p));
    }
    ::closedir(dir);
    return true;
}

struct MappedFile {
    std::string path;
    std::uintptr_t base;
    std::uintptr_t end;
};

// The files that a process has mapped, in the order of their first mapping.
bool read_mapped_files(DWORD pid, std::vector<MappedFile>& files) {
    std::string maps;
    if (!read_file_bounded(pid == 0 ? proc_self_path("maps") : proc_path(pid, "maps"), maps))
        return false;
    files.clear();
    std::unordered_set<std::string> seen;
    size_t at = 0;
    while (at < maps.size()) {
        size_t eol = maps.find('\n', at);
        if (eol == std::string::npos) eol = maps.size();
        const std::string line = maps.substr(at, eol - at);
        at = eol + 1;
        unsigned long long start, end, inode;
        int path_at = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %llu %n", &start, &end, &inode,
                        &path_at) < 3 ||
            path_at == 0 || inode == 0 || line[path_at] != '/')
            continue;
        std::string path = line.substr(static_cast<size_t>(path_at));
        if (is_deleted(path)) continue;
        if (seen.insert(path).second) {
            files.push_back(MappedFile{std::move(path), start, end});
        } else {
            for (MappedFile& f : files)
                if (f.path == path) f.end = std::max<std::uintptr_t>(f.end, end);
        }
    }
    return true;
}

// The process's arguments as one command line.
bool read_command_line(DWORD pid, std::string& line) {
    std::string raw;
    if (!read_file_bounded(proc_path(pid, "cmdline"), raw)) return false;
    std::vector<std::string> arguments;
    size_t at = 0;
    while (at < raw.size()) {
        size_t nul = raw.find('\0', at);
        if (nul == std::string::npos) nul = raw.size();
        arguments.push_back(raw.substr(at, nul - at));
        at = nul + 1;
    }
    line = join_command_line(arguments);
    return true;
}

void copy_cut(char* field, size_t size, const std::string& text) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

std::u16string utf16_of(const std::string& text) {
    if (text.empty()) return std::u16string();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    std::u16string out(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

struct SnapshotObject : KernelObject {
    std::vector<HostProcess> processes;
    size_t next_process = 0;
    DWORD module_pid = 0;
    std::vector<MappedFile> modules;
    size_t next_module = 0;
};

std::shared_ptr<SnapshotObject> snapshot_of(HANDLE handle) {
    auto s = std::dynamic_pointer_cast<SnapshotObject>(handle_lookup(handle));
    if (!s) SetLastError(ERROR_INVALID_HANDLE);
    return s;
}

BOOL process_entry(HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
    std::shared_ptr<SnapshotObject> s = snapshot_of(snapshot);
    if (!s) return FALSE;
    if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (first) s->next_process = 0;
    if (s->next_process >= s->processes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const HostProcess& p = s->processes[s->next_process++];
    const DWORD size = entry->dwSize;
    *entry = PROCESSENTRY32{};
    entry->dwSize = size;
    entry->th32ProcessID = p.pid;
    entry->cntThreads = p.threads;
    entry->th32ParentProcessID = p.ppid;
    entry->pcPriClassBase = 8;
    copy_cut(entry->szExeFile, sizeof entry->szExeFile, p.name);
    entry->dwRealUserId = p.uid;
    return TRUE;
}

BOOL module_entry(HANDLE snapshot, MODULEENTRY32* entry, bool first) {
    std::shared_ptr<SnapshotObject> s = snapshot_of(snapshot);
    if (!s) return FALSE;
    if (entry == nullptr || entry->dwSize < sizeof(MODULEENTRY32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (first) s->next_module = 0;
    if (s->next_module >= s->modules.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const MappedFile& m = s->modules[s->next_module++];
    const DWORD size = entry->dwSize;
    *entry = MODULEENTRY32{};
    entry->dwSize = size;
    entry->th32ModuleID = 1;
    entry->th32ProcessID = s->module_pid;
    entry->GlblcntUsage = entry->ProccntUsage = 0xFFFF;
    entry->modBaseAddr = reinterpret_cast<BYTE*>(m.base);
    entry->modBaseSize = static_cast<DWORD>(std::min<std::uintptr_t>(m.end - m.base, 0xFFFFFFFFu));
    entry->hModule = reinterpret_cast<HMODULE>(m.base);
    copy_cut(entry->szModule, sizeof entry->szModule, m.path.substr(m.path.rfind('/') + 1));
    copy_cut(entry->szExePath, sizeof entry->szExePath, m.path);
    return TRUE;
}

// The mapped files of the process behind a handle.
bool modules_of_handle(HANDLE process, std::vector<MappedFile>& files) {
    const DWORD pid = GetProcessId(process);
    if (pid == 0) return false;
    bool read = false;
    if (!allocated(
            [&] { read = read_mapped_files(pid == GetCurrentProcessId() ? 0 : pid, files); }) ||
        !read)
        return false;
    if (!process_is_running(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// Appends an aligned SYSTEM_PROCESS_INFORMATION entry with its image name.
void append_process_information(std::vector<unsigned char>& out, const HostProcess& p) {
    const std::u16string name = p.pid == 0 ? std::u16string() : utf16_of(p.name);
    const size_t name_bytes = name.empty() ? 0 : (name.size() + 1) * sizeof(char16_t);
    const size_t size = (sizeof(SYSTEM_PROCESS_INFORMATION) + name_bytes + 7) & ~size_t{7};
    const size_t at = out.size();
    out.resize(at + size);
    SYSTEM_PROCESS_INFORMATION info{};
    info.NextEntryOffset = static_cast<ULONG>(size);
    info.NumberOfThreads = p.threads;
    info.ImageName.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
    info.ImageName.MaximumLength = static_cast<USHORT>(name_bytes);
    info.BasePriority = 8;
    info.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(p.pid));
    info.InheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(p.ppid));
    info.RealUserId = p.uid;
    std::memcpy(out.data() + at, &info, sizeof info);
    if (!name.empty())
        std::memcpy(out.data() + at + sizeof info, name.c_str(), name_bytes);
}

// Points each entry's image name at its text in the caller's buffer and
// ends the chain.
void fix_up_process_information(unsigned char* buffer, size_t length) {
    size_t at = 0;
    while (at < length) {
        auto* info = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(buffer + at);
        if (info->ImageName.Length > 0)
            info->ImageName.Buffer = reinterpret_cast<LPWSTR>(buffer + at + sizeof *info);
        if (at + info->NextEntryOffset >= length) {
            info->NextEntryOffset = 0;
            break;
        }
        at += info->NextEntryOffset;
    }
}

const ExportRegistration kExports{
    {"kernel32.dll", "CreateToolhelp32Snapshot", export_address(&CreateToolhelp32Snapshot)},
    {"kernel32.dll", "Process32First", export_address(&Process32First)},
    {"kernel32.dll", "Process32Next", export_address(&Process32Next)},
    {"kernel32.dll", "Module32First", export_address(&Module32First)},
    {"kernel32.dll", "Module32Next", export_address(&Module32Next)},
    {"ntdll.dll", "NtQuerySystemInformation", export_address(&NtQuerySystemInformation)},
    {"ntdll.dll", "NtQueryInformationProcess", export_address(&NtQueryInformationProcess)},
    {"psapi.dll", "EnumProcessModules", export_address(&EnumProcessModules)},
    {"psapi.dll", "GetModuleFileNameExA", export_address(&GetModuleFileNameExA)},
};

}  // namespace

bool process_status_number(DWORD pid, const char* key, int base, unsigned long long& value) {
    std::string status;
    if (!read_status(pid, status) || !status_field(status, key, base, value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace platform

using namespace platform;

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    if (!(dwFlags & (TH32CS_SNAPPROCESS | TH32CS_SNAPMODULE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<SnapshotObject> s;
    bool read = false;
    if (!allocated([&] {
            s = std::make_shared<SnapshotObject>();
            read = !(dwFlags & TH32CS_SNAPPROCESS) || list_host_processes(s->processes);
            if (read && (dwFlags & TH32CS_SNAPMODULE)) {
                s->module_pid = th32ProcessID == 0 ? GetCurrentProcessId() : th32ProcessID;
                read = read_mapped_files(th32ProcessID == GetCurrentProcessId() ? 0 : th32ProcessID,
                                         s->modules);
            }
        }) ||
        !read)
        return INVALID_HANDLE_VALUE;
    HANDLE h = handle_insert(std::move(s));
    return h ? h : INVALID_HANDLE_VALUE;
}

BOOL Process32First(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
    return process_entry(hSnapshot, lppe, true);
}

BOOL Process32Next(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
    return process_entry(hSnapshot, lppe, false);
}

BOOL Module32First(HANDLE hSnapshot, MODULEENTRY32* lpme) {
    return module_entry(hSnapshot, lpme, true);
}

BOOL Module32Next(HANDLE hSnapshot, MODULEENTRY32* lpme) {
    return module_entry(hSnapshot, lpme, false);
}

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                  LPVOID SystemInformation, ULONG SystemInformationLength,
                                  ULONG* ReturnLength) {
    if (SystemInformationClass != SystemProcessInformation) return STATUS_INVALID_INFO_CLASS;
    std::vector<HostProcess> processes;
    std::vector<unsigned char> out;
    bool listed = false;
    if (allocation_error([&] {
            listed = list_host_processes(processes);
            if (listed)
                for (const HostProcess& p : processes) append_process_information(out, p);
        }) != ERROR_SUCCESS)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (!listed) return STATUS_ACCESS_DENIED;
    if (ReturnLength) *ReturnLength = static_cast<ULONG>(out.size());
    if (SystemInformation == nullptr || SystemInformationLength < out.size())
        return STATUS_INFO_LENGTH_MISMATCH;
    std::memcpy(SystemInformation, out.data(), out.size());
    fix_up_process_information(static_cast<unsigned char*>(SystemInformation), out.size());
    return STATUS_SUCCESS;
}

NTSTATUS NtQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   LPVOID ProcessInformation, ULONG ProcessInformationLength,
                                   ULONG* ReturnLength) {
    if (ProcessInformationClass != ProcessCommandLineInformation) return STATUS_INVALID_INFO_CLASS;
    const DWORD pid = GetProcessId(ProcessHandle);
    if (pid == 0) return STATUS_INVALID_HANDLE;
    std::string line;
    std::u16string text;
    bool read = false;
    if (allocation_error([&] { read = read_command_line(pid, line); }) != ERROR_SUCCESS)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (!read) return GetLastError() == ERROR_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_ACCESS_DENIED;
    if (!process_is_running(ProcessHandle)) return STATUS_PROCESS_IS_TERMINATING;
    if (allocation_error([&] { text = utf16_of(line); }) != ERROR_SUCCESS)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (text.size() > kCommandLineMaxUnits) text.resize(kCommandLineMaxUnits);
    const size_t bytes = text.size() * sizeof(char16_t);
    const size_t needed = sizeof(UNICODE_STRING) + bytes + sizeof(char16_t);
    if (ReturnLength) *ReturnLength = static_cast<ULONG>(needed);
    if (ProcessInformation == nullptr || ProcessInformationLength < needed)
        return STATUS_INFO_LENGTH_MISMATCH;
    auto* result = static_cast<UNICODE_STRING*>(ProcessInformation);
    auto* buffer = reinterpret_cast<LPWSTR>(result + 1);
    std::memcpy(buffer, text.c_str(), bytes + sizeof(char16_t));
    result->Length = static_cast<USHORT>(bytes);
    result->MaximumLength = static_cast<USHORT>(bytes + sizeof(char16_t));
    result->Buffer = buffer;
    return STATUS_SUCCESS;
}

BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded) {
    if (lpcbNeeded == nullptr || (lphModule == nullptr && cb > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<MappedFile> files;
    if (!modules_of_handle(hProcess, files)) return FALSE;
    *lpcbNeeded = static_cast<DWORD>(files.size() * sizeof(HMODULE));
    const size_t fit = std::min<size_t>(files.size(), cb / sizeof(HMODULE));
    for (size_t i = 0; i < fit; ++i) lphModule[i] = reinterpret_cast<HMODULE>(files[i].base);
    return TRUE;
}

DWORD GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path;
    if (hModule == nullptr) {
        const DWORD pid = GetProcessId(hProcess);
        if (pid == 0) return 0;
        char target[kModulePathMax];
        const ssize_t n = ::readlink(proc_path(pid, "exe").c_str(), target, sizeof target - 1);
        if (n <= 0) {
            fail_with_errno();
            return 0;
        }
        path.assign(target, static_cast<size_t>(n));
    } else {
        std::vector<MappedFile> files;
        if (!modules_of_handle(hProcess, files)) return 0;
        for (const MappedFile& f : files)
            if (reinterpret_cast<HMODULE>(f.base) == hModule) path = f.path;
        if (path.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
    }
    copy_cut(lpFilename, nSize, path);
    return static_cast<DWORD>(std::strlen(lpFilename));
}
