#include "platform/errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct Message {
    DWORD code;
    const char* text;
};

// The US-English texts of the codes the layer produces, as the Windows
// message table has them.
const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_BAD_NETPATH, "The network path was not found.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_WAIT_NO_CHILDREN, "There are no child processes to wait for.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_PIPE_BUSY, "All pipe instances are busy.\r\n"},
    {ERROR_NO_DATA, "The pipe is being closed.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
    {ERROR_PIPE_CONNECTED, "There is a process on other end of the pipe.\r\n"},
    {ERROR_PIPE_LISTENING, "Waiting for a process to open the other end of the pipe.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_USER_MAPPED_FILE,
     "The requested operation cannot be performed on a file with a user-mapped section open.\r\n"},
    {ERROR_NOT_ALL_ASSIGNED,
     "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {ERROR_INVALID_OWNER, "This security ID may not be assigned as the owner of this object.\r\n"},
    {ERROR_NO_SUCH_PRIVILEGE, "A specified privilege does not exist.\r\n"},
    {ERROR_NONE_MAPPED, "No mapping between account names and security IDs was done.\r\n"},
    {ERROR_INVALID_ACL, "The access control list (ACL) structure is invalid.\r\n"},
    {ERROR_INVALID_SID, "The security ID structure is invalid.\r\n"},
    {ERROR_INVALID_SECURITY_DESCR, "The security descriptor structure is invalid.\r\n"},
    {ERROR_ALLOTTED_SPACE_EXCEEDED,
     "No more memory is available for security information updates.\r\n"},
    {ERROR_MEMBER_IN_ALIAS, "The specified account name is already a member of the group.\r\n"},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_RESOURCE_DATA_NOT_FOUND,
     "The specified image file did not contain a resource section.\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
    // Accounts, groups, shares and the shell.
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_BAD_NET_NAME, "The network name cannot be found.\r\n"},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long.\r\n"},
    {ERROR_INVALID_LEVEL, "The system call level is not correct.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_INVALID_FLAGS, "Invalid flags.\r\n"},
    {ERROR_INVALID_ACCOUNT_NAME, "The name provided is not a properly formed account name.\r\n"},
    {ERROR_LOGON_FAILURE, "The user name or password is incorrect.\r\n"},
    {ERROR_NO_SUCH_DOMAIN,
     "The specified domain either does not exist or could not be contacted.\r\n"},
    {ERROR_NO_SUCH_ALIAS, "The specified local group does not exist.\r\n"},
    {ERROR_ALIAS_EXISTS, "The specified local group already exists.\r\n"},
    {ERROR_NO_SUCH_MEMBER,
     "A member could not be added to or removed from the local group because the member does "
     "not exist.\r\n"},
    {RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable.\r\n"},
    {NERR_UnknownDevDir, "The device or directory does not exist.\r\n"},
    {NERR_DuplicateShare, "The share name is already in use on this server.\r\n"},
    {NERR_BadUsername, "The specified username is invalid.\r\n"},
    {NERR_GroupNotFound, "The group name could not be found.\r\n"},
    {NERR_UserNotFound, "The user name could not be found.\r\n"},
    {NERR_GroupExists, "The group already exists.\r\n"},
    {NERR_UserExists, "The account already exists.\r\n"},
    {NERR_UserInGroup, "The user already belongs to this group.\r\n"},
    {NERR_NetNameNotFound, "This shared resource does not exist.\r\n"},
    {NERR_DCNotFound, "Could not find domain controller for this domain.\r\n"},
    // The registry, the system store and the installer database.
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_CHILD_MUST_BE_VOLATILE,
     "Cannot create a stable subkey under a volatile parent key.\r\n"},
    {ERROR_REVISION_MISMATCH, "Indicates two revision levels are incompatible.\r\n"},
    {ERROR_UNKNOWN_PRODUCT,
     "This action is only valid for products that are currently installed.\r\n"},
    {ERROR_UNKNOWN_PROPERTY, "Unknown property.\r\n"},
};

}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

DWORD FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list* /*Arguments*/) {
    const WORD us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || lpBuffer == nullptr ||
        (dwLanguageId != 0 && dwLanguageId != us_english)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = platform::system_message(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const size_t length = std::strlen(text);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(lpBuffer) = copy;
        return static_cast<DWORD>(length);
    }
    if (length + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text, length + 1);
    return static_cast<DWORD>(length);
}

void* LocalFree(void* mem) {
    std::free(mem);
    return nullptr;
}

namespace platform {

const char* system_message(DWORD code) {
    for (const Message& m : kMessages)
        if (m.code == code) return m.text;
    return nullptr;
}

DWORD error_from_errno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ECHILD: return ERROR_WAIT_NO_CHILDREN;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EROFS: return ERROR_WRITE_PROTECT;
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case EAGAIN: return ERROR_LOCK_VIOLATION;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EBUSY: return ERROR_BUSY;
        case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EFBIG: return ERROR_FILE_TOO_LARGE;
        case EISDIR: return ERROR_ACCESS_DENIED;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case ENOTSUP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_IO_DEVICE;
    }
}

BOOL fail_with_errno() {
    SetLastError(error_from_errno(errno));
    return FALSE;
}

}  // namespace platform
