// The platform layer's core: errors and their texts, path translation,
// handles, files and module loading.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/modules.h"
#include "platform/path_search.h"
#include "platform/paths.h"

namespace {

std::string message(DWORD code) {
    char buffer[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   buffer, sizeof buffer, nullptr);
    return n ? std::string(buffer, n) : std::string();
}

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/lmxplatXXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

}  // namespace

TEST(Errors, MessagesEndInCrLfAndUnknownCodesFail) {
    EXPECT_EQ(message(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(message(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(message(ERROR_MOD_NOT_FOUND), "The specified module could not be found.\r\n");
    EXPECT_EQ(message(ERROR_NO_MORE_ITEMS), "No more data is available.\r\n");
    EXPECT_EQ(message(987654), "");
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);

    char small[4];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small,
                             sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407, small, sizeof small,
                             nullptr),
              0u);

    char* allocated = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   nullptr, ERROR_SHARING_VIOLATION, 0,
                                   reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::strlen(allocated), n);
    LocalFree(allocated);
}

TEST(Errors, ErrnoMapping) {
    EXPECT_EQ(platform::error_from_errno(ENOENT), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::error_from_errno(ENOTDIR), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(platform::error_from_errno(EACCES), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::error_from_errno(ETXTBSY), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(platform::error_from_errno(ENOSPC), ERROR_DISK_FULL);
    EXPECT_EQ(platform::error_from_errno(EEXIST), ERROR_ALREADY_EXISTS);
    // Every mapped code has a text.
    for (int e = 0; e < 140; ++e)
        EXPECT_NE(platform::system_message(platform::error_from_errno(e)), nullptr) << e;
}

TEST(Errors, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread other([&] { seen = GetLastError(); });
    other.join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Paths, Translation) {
    std::string host;
    ASSERT_TRUE(platform::host_path("C:\\Program Files\\x.txt", host));
    EXPECT_EQ(host, "/Program Files/x.txt");
    ASSERT_TRUE(platform::host_path("c:/tmp\\a/b", host));
    EXPECT_EQ(host, "/tmp/a/b");
    ASSERT_TRUE(platform::host_path("C:", host));
    EXPECT_EQ(host, "/");
    ASSERT_TRUE(platform::host_path("rel\\dir/file", host));
    EXPECT_EQ(host, "rel/dir/file");
    ASSERT_TRUE(platform::host_path("/usr/lib", host));
    EXPECT_EQ(host, "/usr/lib");

    EXPECT_FALSE(platform::host_path("Q:\\x", host));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ::setenv("LMX_DRIVE_MAP", "Q=/srv/q;r=/mnt/r/", 1);
    ASSERT_TRUE(platform::host_path("Q:\\x", host));
    EXPECT_EQ(host, "/srv/q/x");
    ASSERT_TRUE(platform::host_path("R:x", host));
    EXPECT_EQ(host, "/mnt/r/x");
    ::unsetenv("LMX_DRIVE_MAP");

    EXPECT_FALSE(platform::host_path("\\\\server\\share\\f", host));
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
}

TEST(Handles, ValuesLookupAndClose) {
    HANDLE file = platform::handle_insert(std::make_shared<platform::KernelObject>());
    HANDLE console = platform::handle_insert(std::make_shared<platform::KernelObject>(), true);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(file) % 4, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(console) % 4, 3u);
    EXPECT_TRUE(platform::handle_is_console(console));
    EXPECT_FALSE(platform::handle_is_console(file));
    // A console handle's value without its low bits is not a valid handle.
    HANDLE stripped = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(console) & ~3u);
    EXPECT_EQ(platform::handle_lookup(stripped), nullptr);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CloseHandle(console));
}

TEST(Files, CreateWriteReadAndErrors) {
    TempDir dir;
    const std::string path = dir.path + "/f.txt";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_DISK);
    CloseHandle(h);

    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    // Backslashes are separators.
    std::string windows_form = path;
    windows_form[windows_form.rfind('/')] = '\\';
    h = CreateFileA(windows_form.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[16];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "hello");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    CloseHandle(h);

    EXPECT_EQ(CreateFileA((dir.path + "/missing").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA(dir.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetFileAttributesA(dir.path.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((dir.path + "/missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, ReadingAPipeWithoutWritersIsABrokenPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    HANDLE reader = platform::handle_insert(std::make_shared<platform::DescriptorObject>(fds[0]));
    ::close(fds[1]);
    char c;
    DWORD got = 7;
    EXPECT_FALSE(ReadFile(reader, &c, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(GetFileType(reader), FILE_TYPE_PIPE);
    CloseHandle(reader);
}

TEST(StdHandles, SetStdHandleLeavesTheDescriptorsAlone) {
    HANDLE original = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE other = platform::handle_insert(std::make_shared<platform::KernelObject>());
    EXPECT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, other));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), other);
    EXPECT_NE(::fcntl(1, F_GETFD), -1);
    EXPECT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, original));
    CloseHandle(other);
    EXPECT_EQ(GetStdHandle(12345), INVALID_HANDLE_VALUE);
}

TEST(Modules, LoadErrors) {
    TempDir dir;
    EXPECT_EQ(LoadLibraryExA((dir.path + "/none.so").c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    const std::string text = dir.path + "/text.so";
    std::ofstream(text) << "not a shared object, just text of some length\n";
    EXPECT_EQ(LoadLibraryExA(text.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(LoadLibraryExA("", nullptr, 0), nullptr);
}

TEST(Modules, SystemLibrariesServeTheLayersStandIns) {
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(GetProcAddress(kernel, "AttachConsole"),
              reinterpret_cast<FARPROC>(&AttachConsole));
    EXPECT_EQ(GetProcAddress(kernel, "NoSuchCall"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleA("kernel32"), kernel);
    EXPECT_TRUE(FreeLibrary(kernel));
}

TEST(Modules, HandlesAndFileNamesOfLoadedObjects) {
    HMODULE libc = GetModuleHandleA("libc.so.6");
    ASSERT_NE(libc, nullptr);
    char path[4096];
    const DWORD n = GetModuleFileNameA(libc, path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(path).substr(n - 9), "libc.so.6");
    EXPECT_EQ(path[0], '/');

    char small[4];
    EXPECT_EQ(GetModuleFileNameA(libc, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::strlen(small), 3u);

    HMODULE loaded = LoadLibraryA(path);
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(GetProcAddress(loaded, "strlen"), nullptr);
    FreeLibrary(loaded);

    EXPECT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
    EXPECT_NE(std::string(path).find("unit_tests"), std::string::npos);
    EXPECT_EQ(GetModuleHandleA("no-such-object.so"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

namespace {

TEST(PlatformInternals, SmallFilesAreReadWholeUpToTheirLimit) {
    std::string status;
    ASSERT_TRUE(platform::read_small_file("/proc/self/status", status));  // size 0 in stat
    EXPECT_NE(status.find("\nPid:"), std::string::npos);
    TempDir dir;
    const std::string path = dir.path + "/file";
    std::ofstream(path) << std::string(5000, 'x');
    std::string text = "kept";
    errno = 0;
    EXPECT_FALSE(platform::read_small_file(path, text, 4999));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(text, "kept");
    ASSERT_TRUE(platform::read_small_file(path, text, 5000));
    EXPECT_EQ(text.size(), 5000u);
    EXPECT_FALSE(platform::read_small_file(dir.path + "/missing", text));
    EXPECT_EQ(errno, ENOENT);
}

TEST(PlatformInternals, PathListsInBothForms) {
    std::vector<std::string> asked;
    auto none = [&](const std::string& p) {
        asked.push_back(p);
        return false;
    };
    std::string dir;
    EXPECT_FALSE(platform::search_path_list("a.exe", "C:\\bin;;D:\\x;", {';', '\\'},
                                            platform::EmptyEntry::skipped, none, dir));
    EXPECT_EQ(asked, (std::vector<std::string>{"C:\\bin\\a.exe", "D:\\x\\a.exe"}));
    asked.clear();
    EXPECT_FALSE(platform::search_path_list("a", ":/bin", platform::kHostPathList,
                                            platform::EmptyEntry::working_directory, none, dir));
    EXPECT_EQ(asked, (std::vector<std::string>{"./a", "/bin/a"}));
    ASSERT_TRUE(platform::search_path_list(
        "a", "/x:/y:/z", platform::kHostPathList, platform::EmptyEntry::skipped,
        [](const std::string& p) { return p != "/x/a"; }, dir));
    EXPECT_EQ(dir, "/y");
}

TEST(PlatformInternals, ExecutablesAreSearchedInPath) {
    TempDir dir;
    std::ofstream(dir.path + "/tool") << "#!/bin/sh\n";
    std::ofstream(dir.path + "/data") << "text\n";
    ::chmod((dir.path + "/tool").c_str(), 0755);
    const char* saved = std::getenv("PATH");
    const std::string old_path = saved ? saved : "";
    ::setenv("PATH", ("/nonexistent:" + dir.path).c_str(), 1);
    std::string path;
    EXPECT_TRUE(platform::search_executable("tool", nullptr, path));
    EXPECT_EQ(path, dir.path + "/tool");
    EXPECT_FALSE(platform::search_executable("data", nullptr, path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(platform::search_executable("none", nullptr, path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::unsetenv("PATH");
    EXPECT_FALSE(platform::search_executable("tool", nullptr, path));
    EXPECT_TRUE(platform::search_executable("tool", dir.path.c_str(), path));
    if (saved) ::setenv("PATH", old_path.c_str(), 1);
}

}  // namespace
