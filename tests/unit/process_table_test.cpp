// The process table, file identities, the identity mapping and the
// character conversions of the layer, and ProcState's module map, checked
// against /proc and this process itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepages.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/modules.h"
#include "platform/process_table.h"
#include "platform/processes.h"
#include "platform/security.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/process_snapshot.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> own_arguments() {
    std::vector<std::string> args;
    const std::string raw = slurp("/proc/self/cmdline");
    for (size_t at = 0; at < raw.size();) {
        const size_t nul = raw.find('\0', at);
        args.push_back(raw.substr(at, nul - at));
        at = nul + 1;
    }
    return args;
}

std::vector<PROCESSENTRY32> process_snapshot() {
    std::vector<PROCESSENTRY32> all;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.push_back(entry);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    CloseHandle(snapshot);
    return all;
}

std::vector<std::string> module_paths(DWORD pid) {
    std::vector<std::string> paths;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snapshot == INVALID_HANDLE_VALUE) return paths;
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
        paths.push_back(entry.szExePath);
    CloseHandle(snapshot);
    return paths;
}

std::string sid_text(SID sid) {
    char* text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidA(&sid, &text));
    std::string out = text ? text : "";
    LocalFree(text);
    return out;
}

}  // namespace

TEST(ProcessTable, SnapshotHasIdleAndThisProcess) {
    const std::vector<PROCESSENTRY32> all = process_snapshot();
    ASSERT_GT(all.size(), 2u);
    EXPECT_EQ(all[0].th32ProcessID, 0u);
    EXPECT_STREQ(all[0].szExeFile, "swapper");
    bool found = false;
    for (const PROCESSENTRY32& p : all) {
        if (p.th32ProcessID != static_cast<DWORD>(::getpid())) continue;
        found = true;
        EXPECT_EQ(p.th32ParentProcessID, static_cast<DWORD>(::getppid()));
        EXPECT_STREQ(p.szExeFile, "unit_tests");
        EXPECT_EQ(p.dwRealUserId, static_cast<DWORD>(::getuid()));
        EXPECT_GE(p.cntThreads, 1u);
    }
    EXPECT_TRUE(found);
    PROCESSENTRY32 small{};
    small.dwSize = 8;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_FALSE(Process32First(snapshot, &small));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(snapshot);
}

TEST(ProcessTable, SystemInformationListsTheSameProcesses) {
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    std::vector<unsigned char> buffer(needed + 65536);
    ASSERT_EQ(NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                       static_cast<ULONG>(buffer.size()), &needed),
              STATUS_SUCCESS);
    std::set<DWORD> listed;
    bool named_self = false;
    for (size_t at = 0;;) {
        const auto* e = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
        const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(e->UniqueProcessId));
        listed.insert(pid);
        if (pid == 0) {
            EXPECT_EQ(e->ImageName.Length, 0);
        }
        if (pid == static_cast<DWORD>(::getpid())) {
            char name[64] = "";
            WideCharToMultiByte(CP_ACP, 0, e->ImageName.Buffer, e->ImageName.Length / 2, name,
                                sizeof name - 1, nullptr, nullptr);
            named_self = std::strcmp(name, "unit_tests") == 0;
            EXPECT_EQ(reinterpret_cast<ULONG_PTR>(e->InheritedFromUniqueProcessId),
                      static_cast<ULONG_PTR>(::getppid()));
        }
        if (e->NextEntryOffset == 0) break;
        at += e->NextEntryOffset;
    }
    EXPECT_TRUE(named_self);
    EXPECT_TRUE(listed.count(1));
    EXPECT_EQ(NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(3), buffer.data(),
                                       static_cast<ULONG>(buffer.size()), &needed),
              STATUS_INVALID_INFO_CLASS);
}

TEST(ProcessTable, CommandLineOfAProcessSplitsIntoItsArguments) {
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    auto query = reinterpret_cast<decltype(&NtQueryInformationProcess)>(
        GetProcAddress(ntdll, "NtQueryInformationProcess"));
    ASSERT_NE(query, nullptr);
    HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::getpid());
    ASSERT_NE(self, nullptr);
    ULONG needed = 0;
    EXPECT_EQ(query(self, ProcessCommandLineInformation, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    std::vector<unsigned char> buffer(needed);
    ASSERT_EQ(query(self, ProcessCommandLineInformation, buffer.data(), needed, &needed),
              STATUS_SUCCESS);
    const auto* line = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    std::string text(line->Length, '\0');
    text.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, line->Buffer, line->Length / 2,
                                                        text.data(), static_cast<int>(text.size()),
                                                        nullptr, nullptr)));
    EXPECT_EQ(platform::split_command_line(text.c_str()), own_arguments());
    CloseHandle(self);
    FreeLibrary(ntdll);
}

TEST(ProcessTable, ModulesOfThisProcessByBothRoutes) {
    const std::vector<std::string> modules = module_paths(0);
    ASSERT_FALSE(modules.empty());
    std::set<std::string> unique(modules.begin(), modules.end());
    EXPECT_EQ(unique.size(), modules.size()) << "each file once";
    char exe[4096] = "";
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(modules[0], exe) << "the executable is mapped first";
    bool libc = false;
    for (const std::string& m : modules) libc = libc || m.find("/libc.so") != std::string::npos;
    EXPECT_TRUE(libc);

    HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::getpid());
    DWORD needed = 0;
    ASSERT_TRUE(EnumProcessModules(self, nullptr, 0, &needed));
    std::vector<HMODULE> handles(needed / sizeof(HMODULE));
    ASSERT_TRUE(EnumProcessModules(self, handles.data(), needed, &needed));
    ASSERT_FALSE(handles.empty());
    char name[4096];
    ASSERT_GT(GetModuleFileNameExA(self, handles[0], name, sizeof name), 0u);
    EXPECT_EQ(std::string(name), modules[0]);
    ASSERT_GT(GetModuleFileNameExA(self, nullptr, name, 5), 0u);
    EXPECT_EQ(std::string(name), std::string(exe).substr(0, 4)) << "cut to the buffer";
    EXPECT_EQ(GetModuleFileNameExA(self, reinterpret_cast<HMODULE>(1), name, sizeof name), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    CloseHandle(self);

    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0x7ffffffe), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ProcessTable, ReadsThatWouldBlockGiveUpAfterHalfASecond) {
    char dir[] = "/tmp/lmxfifoXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it blocks until a writer comes
    std::string contents;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::read_file_bounded(fifo, contents));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(450));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    // Let the abandoned reader finish: a writer that closes gives it the end.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::close(writer);
    EXPECT_TRUE(platform::read_file_bounded("/proc/self/status", contents));
    EXPECT_NE(contents.find("Name:"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

TEST(Files, IdentityIsTheSameThroughLinksAndDiffersBetweenFiles) {
    char dir[] = "/tmp/lmxidXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string a = std::string(dir) + "/a", b = std::string(dir) + "/b";
    std::ofstream(a) << "a";
    std::ofstream(b) << "b";
    ASSERT_EQ(::symlink(a.c_str(), (std::string(dir) + "/sym").c_str()), 0);
    ASSERT_EQ(::link(a.c_str(), (std::string(dir) + "/hard").c_str()), 0);
    auto identity = [](const std::string& path) {
        DWORD serial = 0;
        ULONGLONG index = 0;
        EXPECT_TRUE(lmx::procstate::file_identity(path.c_str(), serial, index)) << path;
        return std::make_pair(serial, index);
    };
    EXPECT_EQ(identity(a), identity(std::string(dir) + "/sym"));
    EXPECT_EQ(identity(a), identity(std::string(dir) + "/hard"));
    EXPECT_EQ(identity(a), identity(std::string(dir) + "/./a"));
    EXPECT_NE(identity(a), identity(b));
    struct stat st;
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(identity(a).second, static_cast<ULONGLONG>(st.st_ino));

    HANDLE file = CreateFileA(a.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.nNumberOfLinks, 2u);
    EXPECT_EQ(info.nFileSizeLow, 1u);
    const ULONGLONG written =
        (static_cast<ULONGLONG>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(written / 10000000ull - 11644473600ull, static_cast<ULONGLONG>(st.st_mtime));
    CloseHandle(file);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

TEST(ModuleMap, KeepsInsertionOrderWithoutDuplicates) {
    using namespace lmx::procstate;
    ModuleMap map;
    record_module(map, 7, 100, 5);
    record_module(map, 7, 100, 5);
    record_module(map, 7, 200, 5);
    record_module(map, 9, 100, 6);
    record_module(map, 7, 100, 3);
    record_module(map, 7, 100, 5);
    const FileUsers* file = find_file(map, 7, 100);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->pids, (std::vector<DWORD>{5, 3}));
    EXPECT_EQ(find_file(map, 9, 100)->pids, (std::vector<DWORD>{6}));
    EXPECT_EQ(find_file(map, 9, 200), nullptr);
    ASSERT_EQ(map.volumes.size(), 2u);
    EXPECT_EQ(map.volumes[0].serial, 7u);
    EXPECT_EQ(map.volumes[1].serial, 9u);
}

TEST(ModuleMap, RoutesAgreeForThisProcess) {
    using namespace lmx::procstate;
    ModuleMap snapshot, enumeration;
    ModuleMap* by_snapshot = &snapshot;
    ModuleMap* by_enumeration = &enumeration;
    const DWORD self = static_cast<DWORD>(::getpid());
    EXPECT_TRUE(collect_by_module_snapshot(*by_snapshot, self));
    EXPECT_TRUE(collect_by_module_enumeration(*by_enumeration, self));
    EXPECT_FALSE(collect_by_module_snapshot(*by_snapshot, 0));
    DWORD serial = 0;
    ULONGLONG index = 0;
    ASSERT_TRUE(file_identity("/proc/self/exe", serial, index));
    for (ModuleMap* map : {by_snapshot, by_enumeration}) {
        const FileUsers* exe = find_file(*map, serial, index);
        ASSERT_NE(exe, nullptr);
        EXPECT_EQ(exe->pids.front(), self);
    }
}

TEST(ProcessList, BothRoutesFindThisProcessWithItsCommandLine) {
    using namespace lmx::procstate;
    std::vector<ProcessRecord> toolhelp, system;
    ASSERT_TRUE(list_by_toolhelp(toolhelp));
    ASSERT_TRUE(list_by_system_information(system));
    for (const std::vector<ProcessRecord>* list : {&toolhelp, &system}) {
        EXPECT_EQ(list->front().pid, 0u);
        EXPECT_EQ(list->front().name, "idle");
        EXPECT_FALSE(list->front().has_command_line);
        bool found = false;
        for (const ProcessRecord& p : *list) {
            if (p.pid != static_cast<DWORD>(::getpid())) continue;
            found = true;
            EXPECT_EQ(p.name, "unit_tests");
            EXPECT_TRUE(p.has_command_line);
            EXPECT_EQ(platform::split_command_line(p.command_line.c_str()), own_arguments());
        }
        EXPECT_TRUE(found);
    }
}

TEST(Security, IdentityMappingAndSidStrings) {
    DWORD parts[3];
    platform::machine_sid_parts(parts);
    std::string id;
    std::ifstream("/etc/machine-id") >> id;
    if (id.size() >= 24) {
        EXPECT_EQ(parts[0], static_cast<DWORD>(std::stoul(id.substr(0, 8), nullptr, 16)));
    }
    const std::string machine = "S-1-5-21-" + std::to_string(parts[0]) + "-" +
                                std::to_string(parts[1]) + "-" + std::to_string(parts[2]);
    EXPECT_EQ(sid_text(platform::account_sid(0)), machine + "-1000");
    EXPECT_EQ(sid_text(platform::account_sid(65534)), machine + "-66534");
    EXPECT_EQ(sid_text(platform::local_system_sid()), "S-1-5-18");
    DWORD uid = 99;
    EXPECT_TRUE(platform::uid_of_sid(platform::account_sid(1234), uid));
    EXPECT_EQ(uid, 1234u);
    EXPECT_TRUE(platform::uid_of_sid(platform::local_system_sid(), uid));
    EXPECT_EQ(uid, 0u);
    SID other = platform::account_sid(5);
    other.SubAuthority[1] ^= 1;
    EXPECT_FALSE(platform::uid_of_sid(other, uid));

    std::string name;
    ASSERT_TRUE(platform::account_name(0, name));
    EXPECT_EQ(name, platform::machine_name() + "\\root");
    EXPECT_FALSE(platform::account_name(0x7ffffff0, name));

    SID bad{};
    char* text = nullptr;
    EXPECT_FALSE(ConvertSidToStringSidA(&bad, &text));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
}

TEST(Security, OwnerOfThisProcessAndTheDebugPrivilege) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                              &owner, nullptr, nullptr, nullptr, &descriptor),
              ERROR_SUCCESS);
    EXPECT_EQ(sid_text(*static_cast<SID*>(owner)), sid_text(platform::account_sid(::getuid())));
    LocalFree(descriptor);
    EXPECT_EQ(GetSecurityInfo(nullptr, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor),
              ERROR_INVALID_HANDLE);

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "sedebugprivilege", &privileges.Privileges[0].Luid));
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &privileges.Privileges[0].Luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
    // Held exactly when the process may trace others (CAP_SYS_PTRACE, bit 19).
    const std::string status = slurp("/proc/self/status");
    const unsigned long long caps =
        std::strtoull(status.c_str() + status.find("CapEff:") + 7, nullptr, 16);
    EXPECT_EQ(GetLastError(), (caps >> 19) & 1 ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    CloseHandle(token);
}

TEST(CodePages, Utf8AndUtf16RoundTrip) {
    const char text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, an emoji
    WCHAR wide[16];
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 16);
    ASSERT_EQ(units, 6);  // a, two BMP characters, a surrogate pair, NUL
    EXPECT_EQ(wide[3], 0xD83D);
    char back[32];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof back, nullptr, nullptr),
              static_cast<int>(sizeof text));
    EXPECT_STREQ(back, text);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xFF" "b", 2, wide, 16), 2);
    EXPECT_EQ(wide[0], 0xFFFD);
    const WCHAR lone[] = {0xDC00, u'x'};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, 2, back, sizeof back, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(back, 4), "\xEF\xBF\xBDx");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 2, back, 1, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "x", 1, wide, 16), 0);
}
