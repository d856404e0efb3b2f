#include "platform/paths.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"

namespace platform {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The host directory that drive letter `letter` stands for, from
// LMX_DRIVE_MAP ("D=/srv/data;E=/mnt/e"), with "C" as "/" unless the map
// says otherwise. Returns false for a drive that is not mapped.
bool drive_root(char letter, std::string& root) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (const char* map = std::getenv("LMX_DRIVE_MAP")) {
        const char* p = map;
        while (*p) {
            const char* end = std::strchr(p, ';');
            if (end == nullptr) end = p + std::strlen(p);
            if (end - p >= 2 && p[1] == '=' &&
                std::toupper(static_cast<unsigned char>(p[0])) == letter) {
                root.assign(p + 2, end);
                return true;
            }
            p = *end ? end + 1 : end;
        }
    }
    if (letter == 'C') {
        root = "/";
        return true;
    }
    return false;
}

}  // namespace

bool host_path(const char* path, std::string& host) {
    host.clear();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* rest = path;
    if (is_separator(rest[0]) && is_separator(rest[1])) {
        // Shares live in the system store, which this build does not have yet.
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    if (std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':') {
        if (!drive_root(rest[0], host)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        rest += 2;
        if (!host.empty() && host.back() != '/') host += '/';
        while (is_separator(*rest)) ++rest;
    }
    for (; *rest; ++rest) host += *rest == '\\' ? '/' : *rest;
    if (host.empty() && path[0] != '\0') host = "/";
    return true;
}

}  // namespace platform
