#include "platform/reboot_operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/admin_store.h"
#include "platform/crt.h"
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
        std::string cwd;
        if (!crt::getcwd(cwd)) return fail_with_errno();
        host = cwd + "/" + host;
    }
    entry = "\\??\\" + host;
    return true;
}

namespace {

constexpr char kNtPrefix[] = "\\??\\";

// The host path of a stored entry, without its "\??\" prefix.
bool entry_host_path(const std::string& entry, std::string& host) {
    const std::size_t prefix = std::strlen(kNtPrefix);
    const bool marked = entry.compare(0, prefix, kNtPrefix) == 0;
    return host_path((marked ? entry.substr(prefix) : entry).c_str(), host);
}

DWORD errno_code() { return error_from_errno(errno); }

// One operation, as the system carries it out at boot.
DWORD perform(const store::PendingRename& operation) {
    std::string source, target;
    if (!entry_host_path(operation.source, source)) return GetLastError();
    if (operation.target.empty()) {
        struct stat st;
        if (::lstat(source.c_str(), &st) != 0) return errno_code();
        const int rc = S_ISDIR(st.st_mode) ? ::rmdir(source.c_str()) : ::unlink(source.c_str());
        return rc == 0 ? ERROR_SUCCESS : errno_code();
    }
    const bool replace = operation.target[0] == '!';
    if (!entry_host_path(operation.target.substr(replace ? 1 : 0), target)) return GetLastError();
    const int rc = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(),
                               replace ? 0u : RENAME_NOREPLACE);
    if (rc == 0) return ERROR_SUCCESS;
    return errno == EEXIST ? ERROR_ALREADY_EXISTS : errno_code();
}

}  // namespace

DWORD run_pending_operations(
    store::FunctionRef<void(const store::PendingRename& operation, DWORD result)> done) {
    std::vector<store::PendingRename> operations;
    if (DWORD status = store::take_pending_file_renames(operations)) return status;
    for (const store::PendingRename& operation : operations) done(operation, perform(operation));
    return ERROR_SUCCESS;
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
    if (lpNewFileName != nullptr && (dwFlags & MOVEFILE_REPLACE_EXISTING)) target.insert(0, "!");
    const DWORD status = platform::store::append_pending_file_rename(source, target);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
    }
    return TRUE;
}
