#include "platform/file_protection.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/paths.h"
#include "platform/utf16.h"

namespace {

const char kListDirectory[] = "/var/lib/dpkg/info";

// The hashes of every line of the package lists, sorted.
struct PackageFiles {
    std::mutex lock;
    struct timespec read_at {};
    bool loaded = false;
    std::vector<size_t> hashes;
};

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void read_lists(std::vector<size_t>& hashes) {
    hashes.clear();
    DIR* dir = ::opendir(kListDirectory);
    if (dir == nullptr) return;
    const std::hash<std::string> hash;
    while (const struct dirent* entry = ::readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (length < 6 || std::strcmp(entry->d_name + length - 5, ".list") != 0) continue;
        std::ifstream list(std::string(kListDirectory) + "/" + entry->d_name);
        std::string line;
        while (std::getline(list, line)) hashes.push_back(hash(line));
    }
    ::closedir(dir);
    std::sort(hashes.begin(), hashes.end());
}

// True when a package lists one of the paths; false with ERROR_NOT_SUPPORTED
// when the host has no dpkg database.
bool listed(const std::vector<std::string>& paths, bool& found) {
    static PackageFiles files;
    struct stat st;
    if (::stat(kListDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::lock_guard<std::mutex> guard(files.lock);
    if (!files.loaded || !same_time(files.read_at, st.st_mtim)) {
        read_lists(files.hashes);
        files.read_at = st.st_mtim;
        files.loaded = true;
    }
    const std::hash<std::string> hash;
    found = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
        return std::binary_search(files.hashes.begin(), files.hashes.end(), hash(path));
    });
    return true;
}

// The absolute form of a host path with "." and ".." and repeated
// separators resolved by their spelling.
std::string absolute_spelling(const std::string& host) {
    std::string path = host;
    if (path.empty() || path[0] != '/') {
        std::string cwd;
        if (crt::getcwd(cwd)) path = cwd + "/" + path;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

// The spellings under which a package may list the file.
std::vector<std::string> candidate_paths(const std::string& host) {
    std::vector<std::string> paths = {absolute_spelling(host)};
    if (char* real = ::realpath(host.c_str(), nullptr)) {
        paths.emplace_back(real);
        std::free(real);
        for (const char* merged : {"/usr/bin/", "/usr/sbin/", "/usr/lib/", "/usr/lib32/",
                                   "/usr/lib64/", "/usr/libx32/"}) {
            if (paths.back().compare(0, std::strlen(merged), merged) == 0) {
                paths.push_back(paths.back().substr(4));
                break;
            }
        }
    }
    return paths;
}

const platform::ExportRegistration kExports{
    {"sfc.dll", "SfcIsFileProtected", platform::export_address(&SfcIsFileProtected)},
};

}  // namespace

BOOL SfcIsFileProtected(HANDLE RpcHandle, LPCWSTR ProtFileName) {
    if (RpcHandle != nullptr || ProtFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string host;
    if (!platform::host_path(platform::narrow(ProtFileName).c_str(), host)) return FALSE;
    struct stat st;
    bool found = false;
    if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    if (!listed(candidate_paths(host), found)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return found ? TRUE : FALSE;
}
