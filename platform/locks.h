// Byte-range locks of open files (kernel32 LockFileEx, UnlockFileEx).
#pragma once

#include "platform/types.h"

// Locks the byte range that starts at lpOverlapped's Offset/OffsetHigh and
// is nNumberOfBytesToLockLow/High long, as an open-file-description lock
// (fcntl F_OFD_SETLK, or F_OFD_SETLKW without LOCKFILE_FAIL_IMMEDIATELY).
// Such a lock belongs to the open file behind the handle, as a Windows lock
// belongs to the handle: two handles or descriptors opened separately on one
// file exclude each other within one process as across processes, while
// duplicates of one descriptor share its locks. LOCKFILE_EXCLUSIVE_LOCK takes
// a write lock, otherwise a shared (read) lock. A range that reaches past the
// host's largest file offset covers the rest of the file (so the usual
// whole-file range of length 2^64-1 is the whole file); a range of length 0
// locks nothing and succeeds. A conflicting lock fails with
// ERROR_LOCK_VIOLATION. The host needs the file open for writing for an
// exclusive lock and for reading for a shared one; otherwise
// ERROR_ACCESS_DENIED. lpOverlapped must be given and dwReserved 0
// (ERROR_INVALID_PARAMETER).
BOOL LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped);

// Releases this open file's lock on the range (the same range rules). The
// host keeps no record of which ranges a handle locked, so releasing a range
// that holds no lock of this handle succeeds (Windows fails it with
// ERROR_NOT_LOCKED); locks of other handles are never touched.
BOOL UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                  DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped);
