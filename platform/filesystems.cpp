#include "platform/filesystems.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace {

struct Mount {
    std::string point;
    std::string type;
    std::string device;  // "major:minor"
};

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// Undoes the octal escapes (\040 for a blank and so on) of the mount table.
std::string unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) &&
            is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool within(const std::string& path, const std::string& point) {
    if (point == "/") return true;
    return path.compare(0, point.size(), point) == 0 &&
           (path.size() == point.size() || path[point.size()] == '/');
}

// The canonical form of `path` (absolute, links resolved), or of its nearest
// existing parent when it does not exist.
bool existing_canonical(std::string path, std::string& canonical) {
    if (path.empty() || path[0] != '/') {
        std::string cwd;
        if (!crt::getcwd(cwd)) return platform::fail_with_errno();
        path = cwd + "/" + path;
    }
    for (;;) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            canonical = resolved;
            std::free(resolved);
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR) return platform::fail_with_errno();
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const size_t cut = path.rfind('/');
        path = cut == 0 || cut == std::string::npos ? "/" : path.substr(0, cut);
    }
}

// The mount that holds the host path: the longest mount point above its
// canonical form; of equal ones the last, which covers the earlier ones.
bool mount_holding(const std::string& host, Mount& mount) {
    std::string canonical;
    if (!existing_canonical(host, canonical)) return false;
    std::string text;
    if (!platform::read_small_file(platform::proc_self_path("mountinfo"), text)) {
        SetLastError(ERROR_IO_DEVICE);
        return false;
    }
    std::istringstream table(text);
    bool found = false;
    std::string line;
    while (std::getline(table, line)) {
        // id parent major:minor root point options [optional...] - type source super
        std::istringstream fields(line);
        std::string id, parent, device, root, point, word;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        while (fields >> word && word != "-") {
        }
        std::string type;
        if (!(fields >> type)) continue;
        point = unescape(point);
        if (within(canonical, point) && (!found || point.size() >= mount.point.size())) {
            mount = Mount{point, type, device};
            found = true;
        }
    }
    if (!found) SetLastError(ERROR_IO_DEVICE);
    return found;
}

// The host path of a layer call's path argument; NULL is the working
// directory.
bool translate(LPCSTR path, std::string& host) {
    if (path != nullptr) return platform::host_path(path, host);
    host = ".";
    return true;
}

// True when /sys marks the block device (or, for a partition, its disk)
// removable.
bool removable_device(const std::string& device) {
    for (const char* suffix : {"/removable", "/../removable"}) {
        std::ifstream flag("/sys/dev/block/" + device + suffix);
        char c;
        if (flag >> c) return c == '1';
    }
    return false;
}

bool host_statvfs(LPCSTR path, struct statvfs& info) {
    std::string host;
    if (!translate(path, host)) return false;
    if (::statvfs(host.c_str(), &info) != 0) return platform::fail_with_errno();
    return true;
}

DWORD saturated(unsigned long long count) {
    return static_cast<DWORD>(std::min<unsigned long long>(count, 0xFFFFFFFFull));
}

const platform::ExportRegistration kExports{
    {"kernel32.dll", "GetDiskFreeSpaceExA", platform::export_address(&GetDiskFreeSpaceExA)},
};

}  // namespace

namespace platform {

UINT drive_type_of_filesystem(const char* type) {
    static const char* const kRemote[] = {
        "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "coda", "9p", "ceph",
        "glusterfs", "lustre", "davfs", "fuse.sshfs", "fuse.rclone", "fuse.s3fs",
        "fuse.glusterfs", "fuse.ceph-fuse", "fuse.curlftpfs", "fuse.davfs2", "fuse.gcsfuse",
        "fuse.goofys", "fuse.juicefs", "fuse.smbnetfs", "fuse.afpfs", "fuse.gvfsd-fuse",
    };
    static const char* const kOptical[] = {"iso9660", "udf"};
    static const char* const kMemory[] = {"tmpfs", "ramfs"};
    auto listed = [type](const auto& names) {
        return std::any_of(std::begin(names), std::end(names),
                           [type](const char* n) { return std::strcmp(n, type) == 0; });
    };
    if (listed(kRemote)) return DRIVE_REMOTE;
    if (listed(kOptical)) return DRIVE_CDROM;
    if (listed(kMemory)) return DRIVE_RAMDISK;
    return DRIVE_FIXED;
}

}  // namespace platform

BOOL GetVolumePathNameA(LPCSTR lpszFileName, LPSTR lpszVolumePathName, DWORD cchBufferLength) {
    if (lpszFileName == nullptr || lpszVolumePathName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string host;
    Mount mount;
    if (!platform::host_path(lpszFileName, host) || !mount_holding(host, mount)) return FALSE;
    std::string name = mount.point;
    if (name.back() != '/') name += '/';
    if (name.size() + 1 > cchBufferLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::memcpy(lpszVolumePathName, name.c_str(), name.size() + 1);
    return TRUE;
}

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
    std::string host;
    if (!translate(lpRootPathName, host)) return DRIVE_NO_ROOT_DIR;
    struct stat st;
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DRIVE_NO_ROOT_DIR;
    Mount mount;
    if (!mount_holding(host, mount)) return DRIVE_UNKNOWN;
    const UINT type = platform::drive_type_of_filesystem(mount.type.c_str());
    if (type == DRIVE_FIXED && removable_device(mount.device)) return DRIVE_REMOVABLE;
    return type;
}

BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                       LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                       LPDWORD lpTotalNumberOfClusters) {
    struct statvfs info;
    if (!host_statvfs(lpRootPathName, info)) return FALSE;
    const unsigned long cluster = info.f_frsize ? info.f_frsize : info.f_bsize;
    const bool sectors = cluster >= 512 && cluster % 512 == 0;
    if (lpSectorsPerCluster) *lpSectorsPerCluster = sectors ? static_cast<DWORD>(cluster / 512) : 1;
    if (lpBytesPerSector) *lpBytesPerSector = sectors ? 512 : static_cast<DWORD>(cluster);
    if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = saturated(info.f_bfree);
    if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = saturated(info.f_blocks);
    return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                         PULARGE_INTEGER lpTotalNumberOfBytes,
                         PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    struct statvfs info;
    if (!host_statvfs(lpDirectoryName, info)) return FALSE;
    const ULONGLONG unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = info.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = info.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = info.f_bfree * unit;
    return TRUE;
}
