// Files and handles (kernel32 CreateFileA, ReadFile, WriteFile, GetFileType,
// GetFileAttributesA).
#pragma once

#include "platform/types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#define FILE_READ_ATTRIBUTES 0x80u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define ACCESS_SYSTEM_SECURITY 0x01000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

// Opens or creates a file. Share modes are kept among the handles of this
// process (platform/file_sharing.h: a conflicting open fails with
// ERROR_SHARING_VIOLATION and truncates nothing); a file that cannot be
// opened for writing because it is a running program's image fails with
// ERROR_SHARING_VIOLATION too. A file that the call creates inherits the
// entries its directory's DACL passes on (platform/file_security.h).
// A directory opens only with FILE_FLAG_BACKUP_SEMANTICS (else
// ERROR_ACCESS_DENIED), as on Windows. An existing file opened for its
// attributes or security alone (access 0, FILE_READ_ATTRIBUTES,
// READ_CONTROL, WRITE_DAC, WRITE_OWNER) needs no permission to read it and
// does not block on a FIFO (an O_PATH descriptor: its handle serves
// GetFileInformationByHandle and the like, not ReadFile). Descriptors
// are close-on-exec: child processes receive only the handles passed to
// them explicitly.
// A pipe name ("\\.\pipe\NAME") opens the client end of that named pipe
// (platform/named_pipes.h).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Makes a directory (mode 0777 less the umask), which inherits the entries
// its parent's DACL passes on. ERROR_ALREADY_EXISTS when the name exists,
// ERROR_PATH_NOT_FOUND when the parent is missing.
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);

// Reads up to nNumberOfBytesToRead bytes; *lpNumberOfBytesRead is 0 at the
// end of a file. Reading a pipe whose writers are gone fails with
// ERROR_BROKEN_PIPE, as on Windows. Overlapped I/O is not supported.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);

// Writes all bytes unless an error stops it; *lpNumberOfBytesWritten says
// how many went out.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);

// FILE_TYPE_DISK, FILE_TYPE_CHAR (terminals and devices), FILE_TYPE_PIPE
// (pipes, FIFOs and sockets) or FILE_TYPE_UNKNOWN with the last error set.
DWORD GetFileType(HANDLE hFile);

// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY (no write permission for
// this process) or FILE_ATTRIBUTE_NORMAL; INVALID_FILE_ATTRIBUTES with the
// mapped error for a missing file.
DWORD GetFileAttributesA(LPCSTR lpFileName);

// The size of an open file: its low 32 bits as the result and the high 32
// bits in *lpFileSizeHigh when that is given. On success the last error is
// ERROR_SUCCESS, so that a caller can tell a low part of 0xFFFFFFFF from the
// failure value INVALID_FILE_SIZE.
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);

// Moves the file pointer (lseek) from FILE_BEGIN, FILE_CURRENT or FILE_END.
// With lpDistanceToMoveHigh the distance is the 64-bit value of both halves
// and the new position's high half is stored back there; without it the
// distance is the signed 32-bit lDistanceToMove. Returns the new position's
// low 32 bits with the last error ERROR_SUCCESS, or INVALID_SET_FILE_POINTER
// with ERROR_NEGATIVE_SEEK for a position before the start.
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod);

// Makes the current file pointer the end of the file (ftruncate), cutting
// or extending the file.
BOOL SetEndOfFile(HANDLE hFile);

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

// The identity, attributes (as GetFileAttributesA gives them) and times of
// an open file: the device number (in the
// kernel's 32-bit encoding) is the volume serial number and the inode
// number the file index, so that two handles name the same file exactly
// when both pairs are equal (other spellings of a path, symbolic and hard
// links included). The creation time is the file's birth time where the
// filesystem records it, else its last write time.
BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
