#include "runtime/system/process_snapshot.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/codepages.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/modules.h"
#include "platform/process_table.h"
#include "platform/processes.h"
#include "platform/sysinfo.h"
#include "runtime/host/xs_module.h"

namespace lmx::procstate {
namespace {

constexpr DWORD kPlatformWin32Windows = 1;
constexpr DWORD kPlatformWin32Nt = 2;
constexpr ULONG kFirstQuerySize = 1000;
constexpr ULONG kQueryGrowth = 10000;
constexpr size_t kCommandLineBuffer = sizeof(UNICODE_STRING) + 65536 + sizeof(WCHAR);

// A system library loaded for one route, released when the route returns.
struct Library {
    explicit Library(const char* name) : module(LoadLibraryA(name)) {}
    ~Library() {
        if (module) FreeLibrary(module);
    }
    template <class F>
    F* find(const char* name, F* /*type*/) const {
        return module ? reinterpret_cast<F*>(GetProcAddress(module, name)) : nullptr;
    }
    HMODULE module;
};

bool windows_version(DWORD& platform, DWORD& major) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return false;
    platform = version.dwPlatformId;
    major = version.dwMajorVersion;
    return true;
}

// UTF-16 text up to its first NUL unit in the C runtime's multibyte code
// page (UTF-8 here: up to three bytes per unit).
std::string multibyte_of(const WCHAR* text, size_t units) {
    size_t n = 0;
    while (n < units && text[n] != 0) ++n;
    if (n == 0) return std::string();
    std::string out(n * 3, '\0');
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), out.data(),
                                          static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    return out;
}

// Reads a process's command line through NtQueryInformationProcess.
void read_command_line(decltype(&NtQueryInformationProcess) query, std::vector<unsigned char>& buffer,
                       ProcessRecord& record) {
    if (query == nullptr || record.pid == 0) return;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, record.pid);
    if (process == nullptr) return;
    buffer.resize(kCommandLineBuffer);
    ULONG length = 0;
    const NTSTATUS status = query(process, ProcessCommandLineInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &length);
    CloseHandle(process);
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    if (status != STATUS_SUCCESS || text->Length == 0) return;
    record.command_line = multibyte_of(text->Buffer, text->Length / sizeof(WCHAR));
    record.has_command_line = true;
}

}  // namespace

bool list_by_toolhelp(std::vector<ProcessRecord>& list) {
    DWORD platform = 0, major = 0;
    if (!windows_version(platform, major) ||
        !((platform == kPlatformWin32Nt && major >= 5) || platform == kPlatformWin32Windows))
        return false;
    Library kernel("kernel32.dll");
    auto snapshot = kernel.find("CreateToolhelp32Snapshot", &CreateToolhelp32Snapshot);
    auto first = kernel.find("Process32First", &Process32First);
    auto next = kernel.find("Process32Next", &Process32Next);
    if (!snapshot || !first || !next) return false;
    Library ntdll("ntdll.dll");
    auto query = ntdll.find("NtQueryInformationProcess", &NtQueryInformationProcess);

    HANDLE processes = snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE) return false;
    std::vector<unsigned char> buffer;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    list.clear();
    for (BOOL more = first(processes, &entry); more; more = next(processes, &entry)) {
        ProcessRecord record;
        record.pid = entry.th32ProcessID;
        record.ppid = entry.th32ParentProcessID;
        record.uid = entry.dwRealUserId;
        record.name = record.pid == 0 ? "idle" : entry.szExeFile;
        read_command_line(query, buffer, record);
        list.push_back(std::move(record));
    }
    CloseHandle(processes);
    return !list.empty();
}

bool list_by_system_information(std::vector<ProcessRecord>& list) {
    DWORD platform = 0, major = 0;
    if (!windows_version(platform, major) || platform != kPlatformWin32Nt) return false;
    Library ntdll("ntdll.dll");
    auto system_query = ntdll.find("NtQuerySystemInformation", &NtQuerySystemInformation);
    auto process_query = ntdll.find("NtQueryInformationProcess", &NtQueryInformationProcess);
    if (!system_query) return false;
    std::vector<unsigned char> info(kFirstQuerySize);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = system_query(SystemProcessInformation, info.data(),
                                             static_cast<ULONG>(info.size()), &needed);
        if (status == STATUS_SUCCESS) break;
        if (status != STATUS_INFO_LENGTH_MISMATCH) return false;
        info.resize(info.size() + kQueryGrowth);
    }
    std::vector<unsigned char> buffer;
    list.clear();
    for (size_t at = 0;;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(info.data() + at);
        ProcessRecord record;
        record.pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId));
        record.ppid =
            static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->InheritedFromUniqueProcessId));
        record.uid = entry->RealUserId;
        if (record.pid == 0) {
            record.name = "idle";
        } else {
            if (entry->ImageName.Length == 0 || entry->ImageName.Buffer == nullptr) return false;
            record.name = multibyte_of(entry->ImageName.Buffer, entry->ImageName.Length / sizeof(WCHAR));
        }
        read_command_line(process_query, buffer, record);
        list.push_back(std::move(record));
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
    }
    return true;
}

void record_module(ModuleMap& map, DWORD serial, ULONGLONG index, DWORD pid) {
    auto volume = std::find_if(map.volumes.begin(), map.volumes.end(),
                               [&](const VolumeFiles& v) { return v.serial == serial; });
    if (volume == map.volumes.end()) volume = map.volumes.insert(volume, VolumeFiles{serial, {}});
    auto file = std::find_if(volume->files.begin(), volume->files.end(),
                             [&](const FileUsers& f) { return f.index == index; });
    if (file == volume->files.end()) file = volume->files.insert(file, FileUsers{index, {}});
    // Modules are recorded process by process: a repeat is usually the last one.
    if (!file->pids.empty() && file->pids.back() == pid) return;
    if (std::find(file->pids.begin(), file->pids.end(), pid) == file->pids.end())
        file->pids.push_back(pid);
}

const FileUsers* find_file(const ModuleMap& map, DWORD serial, ULONGLONG index) {
    for (const VolumeFiles& v : map.volumes) {
        if (v.serial != serial) continue;
        for (const FileUsers& f : v.files)
            if (f.index == index) return &f;
    }
    return nullptr;
}

bool file_identity(const char* path, DWORD& serial, ULONGLONG& index) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!ok) return false;
    serial = info.dwVolumeSerialNumber;
    index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Opens the module's file and records it for the process.
bool record_module_file(ModuleMap& map, const char* path, DWORD pid) {
    DWORD serial = 0;
    ULONGLONG index = 0;
    if (!file_identity(path, serial, index)) return false;
    record_module(map, serial, index, pid);
    return true;
}

bool collect_by_module_snapshot(ModuleMap& map, DWORD pid) {
    if (pid == 0) return false;
    Library kernel("kernel32.dll");
    auto snapshot = kernel.find("CreateToolhelp32Snapshot", &CreateToolhelp32Snapshot);
    auto first = kernel.find("Module32First", &Module32First);
    auto next = kernel.find("Module32Next", &Module32Next);
    if (!snapshot || !first || !next) return false;
    HANDLE modules = snapshot(TH32CS_SNAPMODULE, pid);
    if (modules == INVALID_HANDLE_VALUE) return false;
    auto entry = std::make_unique<MODULEENTRY32>();
    entry->dwSize = sizeof(MODULEENTRY32);
    bool ok = first(modules, entry.get());
    while (ok) {
        ok = record_module_file(map, entry->szExePath, pid);
        if (ok && !next(modules, entry.get())) {
            ok = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
    }
    CloseHandle(modules);
    return ok;
}

bool collect_by_module_enumeration(ModuleMap& map, DWORD pid) {
    Library psapi("psapi.dll");
    auto enumerate = psapi.find("EnumProcessModules", &EnumProcessModules);
    auto file_name = psapi.find("GetModuleFileNameExA", &GetModuleFileNameExA);
    if (!enumerate || !file_name) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    DWORD needed = 0;
    std::vector<HMODULE> modules;
    bool ok = enumerate(process, nullptr, 0, &needed);
    if (ok) {
        modules.resize(needed / sizeof(HMODULE));
        ok = enumerate(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                       &needed);
        modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    }
    for (size_t i = 0; ok && i < modules.size(); ++i) {
        char name[MAX_PATH];
        if (file_name(process, modules[i], name, sizeof name) == 0) continue;
        ok = record_module_file(map, name, pid);
    }
    CloseHandle(process);
    return ok;
}

}  // namespace lmx::procstate
