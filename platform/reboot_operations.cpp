#include "platform/reboot_operations.h"

#include <unistd.h>

#include <climits>

#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/paths.h"

namespace platform {

bool pending_operation_path(const char* path, std::string& entry) {
    std::string host;
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!host_path(path, host)) return false;
    if (host[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return fail_with_errno();
        host = std::string(cwd) + "/" + host;
    }
    entry = "\\??\\" + host;
    return true;
}

}  // namespace platform

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string source, target;
    if (!platform::pending_operation_path(lpExistingFileName, source) ||
        (lpNewFileName != nullptr && !platform::pending_operation_path(lpNewFileName, target)))
        return FALSE;
    const DWORD status = platform::store::append_pending_file_rename(source, target);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
    }
    return TRUE;
}
