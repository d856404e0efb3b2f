#include "platform/drives.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"

namespace platform {
namespace {

// The directory that LMX_DRIVE_MAP ("D=/srv/data;E=/mnt/e") gives the
// (upper-case) letter.
bool environment_root(char letter, std::string& root) {
    const char* map = std::getenv("LMX_DRIVE_MAP");
    for (const char* p = map ? map : ""; *p;) {
        const char* end = std::strchr(p, ';');
        if (end == nullptr) end = p + std::strlen(p);
        if (end - p >= 2 && p[1] == '=' && std::toupper(static_cast<unsigned char>(p[0])) == letter) {
            root.assign(p + 2, end);
            return true;
        }
        p = *end ? end + 1 : end;
    }
    return false;
}

}  // namespace

bool drive_root(char letter, std::string& root) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (letter < 'A' || letter > 'Z') return false;
    if (environment_root(letter, root)) return true;
    if (letter == 'C') {
        root = "/";
        return true;
    }
    for (const auto& [mapped, directory] : store::drive_mappings()) {
        if (mapped == letter) {
            root = directory;
            return true;
        }
    }
    return false;
}

}  // namespace platform

DWORD GetLogicalDrives() {
    DWORD mask = 1u << ('C' - 'A');
    std::string root;
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        if (platform::environment_root(letter, root)) mask |= 1u << (letter - 'A');
    for (const auto& mapping : platform::store::drive_mappings())
        mask |= 1u << (mapping.first - 'A');
    return mask;
}

BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                           LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                           LPSTR lpFileSystemNameBuffer, DWORD /*nFileSystemNameSize*/) {
    if (lpFileSystemNameBuffer != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string host;
    if (!platform::host_path(lpRootPathName ? lpRootPathName : ".", host)) return FALSE;
    struct stat st;
    struct statvfs info;
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::statvfs(host.c_str(), &info) != 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (lpVolumeNameBuffer != nullptr) {
        if (nVolumeNameSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        lpVolumeNameBuffer[0] = '\0';
    }
    if (lpVolumeSerialNumber) {
        HANDLE root = CreateFileA(host.c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION file;
        const bool known = root != INVALID_HANDLE_VALUE && GetFileInformationByHandle(root, &file);
        if (root != INVALID_HANDLE_VALUE) CloseHandle(root);
        if (!known) return FALSE;
        *lpVolumeSerialNumber = file.dwVolumeSerialNumber;
    }
    if (lpMaximumComponentLength) *lpMaximumComponentLength = static_cast<DWORD>(info.f_namemax);
    if (lpFileSystemFlags)
        *lpFileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                             FILE_UNICODE_ON_DISK |
                             ((info.f_flag & ST_RDONLY) ? FILE_READ_ONLY_VOLUME : 0u);
    return TRUE;
}
