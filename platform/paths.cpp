#include "platform/paths.h"

#include <cctype>

#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/shares.h"

namespace platform {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool host_path(const char* path, std::string& host) {
    host.clear();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* rest = path;
    if (is_separator(rest[0]) && is_separator(rest[1])) return share_host_path(rest + 2, host);
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
