// The layer's filesystem and file-size calls against the host's own
// answers (findmnt, the mount table's types, the file-size limit). The
// locks are tested through KALDOR::Install::FileLock (tests/perl).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
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
