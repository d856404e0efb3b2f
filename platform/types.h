// Windows-shaped types, constants and error codes of the platform layer.
//
// The native modules were written against the Windows API; the layer keeps
// its names, argument lists and result conventions so that module code can
// follow its algorithms step by step. Only what a module uses is declared.
#pragma once

#include <cstddef>
#include <cstdint>

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = int;
using LONG = std::int32_t;
using UINT = unsigned int;
using ULONGLONG = std::uint64_t;
using HANDLE = void*;
using HMODULE = void*;
using HWND = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using FARPROC = void (*)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
#define MAX_PATH 260

// Last-error codes that the layer produces and modules compare against.
enum : DWORD {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_OUTOFMEMORY = 14,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_WRITE_PROTECT = 19,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_HANDLE_EOF = 38,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_BAD_NETPATH = 53,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_DISK_FULL = 112,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_WAIT_NO_CHILDREN = 128,
    ERROR_NEGATIVE_SEEK = 131,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_BUSY = 170,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_FILE_TOO_LARGE = 223,
    ERROR_PIPE_BUSY = 231,
    ERROR_NO_DATA = 232,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_MR_MID_NOT_FOUND = 317,
    ERROR_PIPE_CONNECTED = 535,
    ERROR_PIPE_LISTENING = 536,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_INCOMPLETE = 996,
    ERROR_IO_PENDING = 997,
    ERROR_IO_DEVICE = 1117,
    ERROR_USER_MAPPED_FILE = 1224,
    ERROR_NOT_ALL_ASSIGNED = 1300,
    ERROR_INVALID_OWNER = 1307,
    ERROR_NO_SUCH_PRIVILEGE = 1313,
    ERROR_NONE_MAPPED = 1332,
    ERROR_INVALID_ACL = 1336,
    ERROR_INVALID_SID = 1337,
    ERROR_INVALID_SECURITY_DESCR = 1338,
    ERROR_ALLOTTED_SPACE_EXCEEDED = 1344,
    ERROR_MEMBER_IN_ALIAS = 1378,
    ERROR_INVALID_WINDOW_HANDLE = 1400,
    ERROR_TIMEOUT = 1460,
    ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
    ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
    ERROR_CANT_RESOLVE_FILENAME = 1921,
};

// Codes of the account, group, share and shell calls.
enum : DWORD {
    ERROR_GEN_FAILURE = 31,
    ERROR_BAD_NET_NAME = 67,
    ERROR_BUFFER_OVERFLOW = 111,
    ERROR_INVALID_LEVEL = 124,
    ERROR_MORE_DATA = 234,
    ERROR_INVALID_FLAGS = 1004,
    ERROR_INVALID_ACCOUNT_NAME = 1315,
    ERROR_LOGON_FAILURE = 1326,
    ERROR_NO_SUCH_DOMAIN = 1355,
    ERROR_NO_SUCH_ALIAS = 1376,
    ERROR_ALIAS_EXISTS = 1379,
    ERROR_NO_SUCH_MEMBER = 1387,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    NERR_Success = 0,
    NERR_UnknownDevDir = 2116,
    NERR_DuplicateShare = 2118,
    NERR_BadUsername = 2202,
    NERR_GroupNotFound = 2220,
    NERR_UserNotFound = 2221,
    NERR_GroupExists = 2223,
    NERR_UserExists = 2224,
    NERR_UserInGroup = 2236,
    NERR_NetNameNotFound = 2310,
    NERR_DCNotFound = 2453,
};

// Class and interface identifiers (COM) and domain GUIDs.
struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

// Standard handle selectors of GetStdHandle/SetStdHandle.
#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))

// Access, sharing and creation flags of CreateFileA.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u

#define FILE_TYPE_UNKNOWN 0u
#define FILE_TYPE_DISK 1u
#define FILE_TYPE_CHAR 2u
#define FILE_TYPE_PIPE 3u

// FormatMessageA flags.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u

#define MAKELANGID(primary, sub) (static_cast<WORD>(((sub) << 10) | (primary)))
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01

// Message box styles and answers.
#define MB_OK 0x0u
#define MB_ICONERROR 0x10u
#define IDOK 1

// File pointer moves of SetFilePointer and the failure values of the
// file-size calls.
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
using PLONG = LONG*;

// Byte-range locks (LockFileEx, UnlockFileEx). Of OVERLAPPED only the
// range's start offset is used.
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u
struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

// Drive types of GetDriveTypeA.
#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u

union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

// Processes, threads and waits (kernel32).
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PHANDLE = HANDLE*;
using ULONG = std::uint32_t;
using USHORT = std::uint16_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define DUPLICATE_CLOSE_SOURCE 0x1u
#define DUPLICATE_SAME_ACCESS 0x2u

#define CREATE_NO_WINDOW 0x08000000u
#define STARTF_USESTDHANDLES 0x100u

#define READ_CONTROL 0x00020000u
#define SYNCHRONIZE 0x00100000u
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u

// Codes of the registry, the system store and the installer database.
enum : DWORD {
    ERROR_BAD_PATHNAME = 161,
    ERROR_BADDB = 1009,
    ERROR_KEY_DELETED = 1018,
    ERROR_CHILD_MUST_BE_VOLATILE = 1021,
    ERROR_REVISION_MISMATCH = 1306,
    ERROR_UNKNOWN_PRODUCT = 1605,
    ERROR_UNKNOWN_PROPERTY = 1608,
};
