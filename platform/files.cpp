#include "platform/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/file_security.h"
#include "platform/file_sharing.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/named_pipes.h"
#include "platform/paths.h"

using platform::fail_with_errno;

// Access that needs no permission to the file's data: its attributes and
// its security, which the owner may always read and change.
constexpr DWORD kMetadataAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE | READ_CONTROL | WRITE_DAC |
                                  WRITE_OWNER | ACCESS_SYSTEM_SECURITY;

// Opens `path`; `created` tells whether the open made the file.
static int open_file(const std::string& path, int flags, bool& created) {
    created = false;
    if ((flags & O_CREAT) && !(flags & O_EXCL)) {
        const int fd = ::open(path.c_str(), flags | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
            created = fd >= 0;
            return fd;
        }
        flags &= ~O_CREAT;
    }
    const int fd = ::open(path.c_str(), flags, 0666);
    created = fd >= 0 && (flags & O_CREAT);
    return fd;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    if (platform::is_pipe_name(lpFileName))
        return platform::open_pipe_client(lpFileName, dwDesiredAccess);
    std::string path;
    if (!platform::host_path(lpFileName, path)) return INVALID_HANDLE_VALUE;
    const bool read = dwDesiredAccess & GENERIC_READ;
    const bool write = dwDesiredAccess & GENERIC_WRITE;
    const bool attributes_only = (dwDesiredAccess & ~kMetadataAccess) == 0 &&
                                 dwCreationDisposition == OPEN_EXISTING;
    int flags = O_CLOEXEC | (attributes_only ? O_PATH
                             : read && write ? O_RDWR
                             : write         ? O_WRONLY
                                             : O_RDONLY);
    // Truncation waits until the share modes allow the open.
    bool truncate = false;
    switch (dwCreationDisposition) {
        case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: flags |= O_CREAT; truncate = true; break;
        case OPEN_EXISTING: break;
        case OPEN_ALWAYS: flags |= O_CREAT; break;
        case TRUNCATE_EXISTING: truncate = true; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    bool created;
    const int fd = open_file(path, flags, created);
    if (fd < 0) {
        const int err = errno;
        fail_with_errno();
        if (err == EEXIST) SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        fail_with_errno();
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode) && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<platform::KernelObject> object =
        platform::shared_file_object(fd, st.st_dev, st.st_ino, dwDesiredAccess, dwShareMode);
    if (!object) {
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (truncate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        fail_with_errno();
        return INVALID_HANDLE_VALUE;
    }
    if (created) platform::inherit_file_security(path);
    HANDLE h = platform::handle_insert(std::move(object));
    return h ? h : INVALID_HANDLE_VALUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
    std::string path;
    if (!platform::host_path(lpPathName, path)) return FALSE;
    if (::mkdir(path.c_str(), 0777) != 0) {
        const int err = errno;
        fail_with_errno();
        if (err == ENOENT) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    platform::inherit_file_security(path);
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return FALSE;
    const ssize_t n =
        platform::retry_on_eintr([&] { return ::read(fd, lpBuffer, nNumberOfBytesToRead); });
    if (n < 0) return fail_with_errno();
    if (n == 0 && nNumberOfBytesToRead > 0) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

// write() that reports a pipe without readers as EPIPE without raising
// SIGPIPE, which would end the whole process: a Windows program only sees
// the failed write.
static ssize_t write_without_sigpipe(int fd, const void* data, size_t size) {
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    const ssize_t n = ::write(fd, data, size);
    const int err = errno;
    // A write that the reader's going cut short returns its partial count
    // and raises the signal all the same: consume whatever this write raised.
    if (!was_pending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
        const struct timespec no_wait = {0, 0};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = err;
    return n;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return FALSE;
    const char* p = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t n = platform::retry_on_eintr(
            [&] { return write_without_sigpipe(fd, p + done, nNumberOfBytesToWrite - done); });
        if (n < 0) {
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            if (errno == EPIPE) {
                SetLastError(ERROR_NO_DATA);
                return FALSE;
            }
            return fail_with_errno();
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}

DWORD GetFileType(HANDLE hFile) {
    const int fd = platform::handle_fd(hFile);
    struct stat st;
    if (fd < 0) return FILE_TYPE_UNKNOWN;
    if (::fstat(fd, &st) != 0) {
        fail_with_errno();
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    SetLastError(ERROR_SUCCESS);
    return FILE_TYPE_UNKNOWN;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    std::string path;
    if (!platform::host_path(lpFileName, path)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        fail_with_errno();
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return ::access(path.c_str(), W_OK) == 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return INVALID_FILE_SIZE;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        fail_with_errno();
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return INVALID_SET_FILE_POINTER;
    std::int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh)
        distance = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
            static_cast<DWORD>(lDistanceToMove));
    int whence;
    switch (dwMoveMethod) {
        case FILE_BEGIN: whence = SEEK_SET; break;
        case FILE_CURRENT: whence = SEEK_CUR; break;
        case FILE_END: whence = SEEK_END; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(distance), whence);
    if (position < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : platform::error_from_errno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    const auto moved = static_cast<std::uint64_t>(position);
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(moved >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(moved);
}

BOOL SetEndOfFile(HANDLE hFile) {
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return FALSE;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0) return fail_with_errno();
    if (platform::retry_on_eintr([&] { return ::ftruncate(fd, position); }) == 0) return TRUE;
    // A descriptor not open for writing gives EBADF or EINVAL here, where
    // Windows refuses the handle's access.
    if (errno == EBADF || errno == EINVAL) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return fail_with_errno();
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return FALSE;
    if (lpFileInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct statx st;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return fail_with_errno();
    auto filetime = [](const struct statx_timestamp& t) {
        // 100-nanosecond intervals since 1601-01-01.
        const ULONGLONG ticks = (static_cast<ULONGLONG>(t.tv_sec) + 11644473600ull) * 10000000ull +
                                t.tv_nsec / 100;
        return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    BY_HANDLE_FILE_INFORMATION& info = *lpFileInformation;
    info.dwFileAttributes = S_ISDIR(st.stx_mode) ? FILE_ATTRIBUTE_DIRECTORY
                            : ::faccessat(fd, "", W_OK, AT_EMPTY_PATH) == 0
                                ? FILE_ATTRIBUTE_NORMAL
                                : FILE_ATTRIBUTE_READONLY;
    info.ftCreationTime = filetime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime);
    info.ftLastAccessTime = filetime(st.stx_atime);
    info.ftLastWriteTime = filetime(st.stx_mtime);
    // The device number in its 32-bit kernel encoding (major << 8 and
    // minor bits) stands for the volume serial number.
    info.dwVolumeSerialNumber = (st.stx_dev_minor & 0xff) | (st.stx_dev_major << 8) |
                                ((st.stx_dev_minor & ~0xffu) << 12);
    info.nFileSizeHigh = static_cast<DWORD>(st.stx_size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(st.stx_size);
    info.nNumberOfLinks = st.stx_nlink;
    info.nFileIndexHigh = static_cast<DWORD>(st.stx_ino >> 32);
    info.nFileIndexLow = static_cast<DWORD>(st.stx_ino);
    return TRUE;
}
