// The layer's filesystem, lock and file-size calls against the host's own
// answers (statvfs, the mount table, fcntl locks seen from another
// process).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/filesystems.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/modules.h"
#include "runtime/host/system_text.h"
#include "runtime/system/filesystem_name.h"

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/lmxfsXXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
        ::pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

HANDLE open_handle(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool lock(HANDLE h, bool exclusive) {
    OVERLAPPED start{};
    return LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0), 0,
                      0xFFFFFFFFu, 0xFFFFFFFFu, &start);
}

bool unlock(HANDLE h) {
    OVERLAPPED start{};
    return UnlockFileEx(h, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &start);
}

// Whether a child process can take a POSIX write lock on the whole file.
bool other_process_can_lock(const std::string& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        ::_exit(fd >= 0 && ::fcntl(fd, F_SETLK, &whole) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(Filesystems, VolumePathIsTheMountPointOfFindmnt) {
    TempDir dir;
    for (const std::string& path : {dir.path, dir.path + "/missing/deeper", std::string("/"),
                                    std::string("/dev/shm/x"), std::string("/proc/self")}) {
        char name[4096];
        ASSERT_TRUE(GetVolumePathNameA(path.c_str(), name, sizeof name)) << path;
        std::string expected =
            first_line(command_output("findmnt -n -o TARGET --target '" + path + "'"));
        if (expected.empty()) continue;  // findmnt needs the path to exist
        if (expected != "/") expected += '/';
        EXPECT_EQ(name, expected) << path;
    }
    char tiny[2];
    EXPECT_FALSE(GetVolumePathNameA("/proc/self", tiny, sizeof tiny));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(Filesystems, FilesystemNames) {
    std::string name;
    ASSERT_TRUE(lmx::filesystem_name("c:/tmp/x", name));
    EXPECT_EQ(name, "C:");
    ASSERT_TRUE(lmx::filesystem_name("\\\\host\\share\\dir", name));
    EXPECT_EQ(name, "\\\\HOST\\SHARE");
    ASSERT_TRUE(lmx::filesystem_name("\\\\Host\\Share", name));
    EXPECT_EQ(name, "\\\\HOST\\SHARE");
    EXPECT_FALSE(lmx::filesystem_name("\\\\host", name));
    EXPECT_FALSE(lmx::filesystem_name("\\\\host\\", name));
    ASSERT_TRUE(lmx::filesystem_name("/", name));
    EXPECT_EQ(name, "/");
    ASSERT_TRUE(lmx::filesystem_name("/dev/shm/a", name));
    EXPECT_EQ(name, "/dev/shm");
}

TEST(Filesystems, DriveTypes) {
    EXPECT_EQ(platform::drive_type_of_filesystem("nfs4"), DRIVE_REMOTE);
    EXPECT_EQ(platform::drive_type_of_filesystem("cifs"), DRIVE_REMOTE);
    EXPECT_EQ(platform::drive_type_of_filesystem("fuse.sshfs"), DRIVE_REMOTE);
    EXPECT_EQ(platform::drive_type_of_filesystem("iso9660"), DRIVE_CDROM);
    EXPECT_EQ(platform::drive_type_of_filesystem("tmpfs"), DRIVE_RAMDISK);
    EXPECT_EQ(platform::drive_type_of_filesystem("ext4"), DRIVE_FIXED);
    EXPECT_EQ(platform::drive_type_of_filesystem("fuse.local-thing"), DRIVE_FIXED);

    TempDir dir;
    EXPECT_EQ(GetDriveTypeA("/dev/shm/"), DRIVE_RAMDISK);
    EXPECT_EQ(GetDriveTypeA((dir.path + "/missing\\").c_str()), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveTypeA("q:\\"), DRIVE_NO_ROOT_DIR);  // not in the drive table
    EXPECT_EQ(GetDriveTypeA("\\\\host\\share\\"), DRIVE_NO_ROOT_DIR);
    const UINT root = GetDriveTypeA("C:\\");
    EXPECT_TRUE(root == DRIVE_FIXED || root == DRIVE_REMOVABLE || root == DRIVE_REMOTE) << root;
}

TEST(Filesystems, FreeSpaceAsStatvfs) {
    struct statvfs info;
    ASSERT_EQ(::statvfs("/", &info), 0);
    DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("C:", &sectors, &bytes, &free_clusters, &total_clusters));
    EXPECT_EQ(static_cast<unsigned long>(sectors) * bytes, info.f_frsize);
    EXPECT_EQ(total_clusters, std::min<unsigned long long>(info.f_blocks, 0xFFFFFFFFull));

    ULARGE_INTEGER available, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA("/", &available, &total, &free));
    EXPECT_EQ(total.QuadPart, static_cast<ULONGLONG>(info.f_blocks) * info.f_frsize);
    EXPECT_LE(available.QuadPart, free.QuadPart);

    EXPECT_FALSE(GetDiskFreeSpaceA("/no/such/dir", &sectors, &bytes, &free_clusters, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // The extended call is found at run time, as the Windows one is.
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    EXPECT_NE(GetProcAddress(kernel, "GetDiskFreeSpaceExA"), nullptr);
    FreeLibrary(kernel);
}

TEST(Locks, TwoHandlesOfOneFileExcludeEachOtherAndOtherProcesses) {
    TempDir dir;
    const std::string path = dir.path + "/lock";
    HANDLE first = open_handle(path, GENERIC_READ | GENERIC_WRITE);
    HANDLE second = open_handle(path, GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(lock(first, true));
    EXPECT_FALSE(lock(second, true));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(lock(second, false));
    EXPECT_FALSE(other_process_can_lock(path));
    EXPECT_TRUE(unlock(first));
    EXPECT_TRUE(other_process_can_lock(path));
    EXPECT_TRUE(lock(first, false));
    EXPECT_TRUE(lock(second, false));  // shared beside shared
    EXPECT_TRUE(unlock(first));
    EXPECT_TRUE(unlock(second));

    HANDLE reader = open_handle(path, GENERIC_READ);
    EXPECT_FALSE(lock(reader, true));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    OVERLAPPED start{};
    EXPECT_FALSE(LockFileEx(first, LOCKFILE_EXCLUSIVE_LOCK, 1, 1, 0, &start));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(LockFileEx(first, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, nullptr));
    for (HANDLE h : {first, second, reader}) CloseHandle(h);
}

TEST(Locks, RangesLockOnlyTheirBytes) {
    TempDir dir;
    const std::string path = dir.path + "/range";
    HANDLE first = open_handle(path, GENERIC_READ | GENERIC_WRITE);
    HANDLE second = open_handle(path, GENERIC_READ | GENERIC_WRITE);
    OVERLAPPED at0{}, at100{};
    at100.Offset = 100;
    ASSERT_TRUE(LockFileEx(first, LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0,
                           &at0));
    EXPECT_TRUE(LockFileEx(second, LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0,
                           &at100));
    EXPECT_FALSE(LockFileEx(second, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at0));
    CloseHandle(first);
    CloseHandle(second);
}

TEST(Files, SizePointerAndEndOfFile) {
    TempDir dir;
    const std::string path = dir.path + "/f";
    std::ofstream(path) << "0123456789";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);
    LONG move_high = 0;
    EXPECT_EQ(SetFilePointer(h, 9, &move_high, FILE_BEGIN), 9u);
    char c = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(c, '9');
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_CURRENT), 6u);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, nullptr), 6u);
    EXPECT_EQ(SetFilePointer(h, -7, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    // Positions past 4 GiB travel in both halves.
    move_high = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &move_high, FILE_BEGIN), 5u);
    EXPECT_EQ(move_high, 1);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, &high), 5u);
    EXPECT_EQ(high, 1u);
    CloseHandle(h);

    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_FALSE(SetEndOfFile(reader));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(reader);
}

TEST(Crt, DescriptorsGiveOneHandleEach) {
    TempDir dir;
    const int fd = ::open((dir.path + "/d").c_str(), O_CREAT | O_RDWR, 0600);
    HANDLE h = crt::get_osfhandle(fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(crt::get_osfhandle(fd), h);
    EXPECT_EQ(platform::handle_fd(h), fd);
    ::close(fd);
    EXPECT_EQ(crt::get_osfhandle(fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errno, EBADF);
}

TEST(Crt, WritesPastTheFileSizeLimitFailInsteadOfEndingTheProcess) {
    TempDir dir;
    const std::string path = dir.path + "/limited";
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit limit {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        FILE* f = crt::fopen(path.c_str(), "wb");
        static char data[16384];
        const size_t n = crt::fwrite(data, 1, sizeof data, f);
        const int err = errno;
        crt::fclose(f);
        ::_exit(n < sizeof data && err == EFBIG ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SystemText, LineBreaksBecomeBlanks) {
    EXPECT_EQ(lmx::system_error_text("set lock failed: ", ERROR_LOCK_VIOLATION),
              "set lock failed: The process cannot access the file because another process has "
              "locked a portion of the file. ");
    EXPECT_EQ(lmx::system_error_text("prefix", ERROR_SUCCESS), "prefix");
    EXPECT_EQ(lmx::system_error_text("prefix", 987654), "prefix");
}
