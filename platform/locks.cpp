#include "platform/locks.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/internal.h"

namespace {

constexpr std::uint64_t kLargestOffset = std::numeric_limits<off_t>::max();

std::uint64_t join(DWORD low, DWORD high) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Applies a lock of `type` (F_RDLCK, F_WRLCK or F_UNLCK) to the range.
BOOL apply_lock(HANDLE hFile, short type, bool wait, DWORD reserved, DWORD length_low,
                DWORD length_high, LPOVERLAPPED overlapped) {
    if (overlapped == nullptr || reserved != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int fd = platform::handle_fd(hFile);
    if (fd < 0) return FALSE;
    const std::uint64_t start = join(overlapped->Offset, overlapped->OffsetHigh);
    const std::uint64_t length = join(length_low, length_high);
    if (start > kLargestOffset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (length == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(start);
    // l_len 0 is "to the end of the file and beyond".
    range.l_len = length - 1 > kLargestOffset - start ? 0 : static_cast<off_t>(length);
    if (platform::retry_on_eintr(
            [&] { return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range); }) == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    switch (errno) {
        case EAGAIN:
        case EACCES:
        case EDEADLK: SetLastError(ERROR_LOCK_VIOLATION); break;
        // EBADF on an open descriptor: its access mode does not allow the
        // lock's kind.
        case EBADF:
            SetLastError(::fcntl(fd, F_GETFL) >= 0 ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
            break;
        default: platform::fail_with_errno();
    }
    return FALSE;
}

}  // namespace

BOOL LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped) {
    const short type = (dwFlags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK;
    return apply_lock(hFile, type, !(dwFlags & LOCKFILE_FAIL_IMMEDIATELY), dwReserved,
                      nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh, lpOverlapped);
}

BOOL UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                  DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped) {
    return apply_lock(hFile, F_UNLCK, false, dwReserved, nNumberOfBytesToUnlockLow,
                      nNumberOfBytesToUnlockHigh, lpOverlapped);
}
