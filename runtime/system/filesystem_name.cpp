#include "runtime/system/filesystem_name.h"

#include "platform/filesystems.h"

namespace lmx {
namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

bool filesystem_name(const std::string& path, std::string& name) {
    if (path.compare(0, 2, "\\\\") == 0) {
        const size_t server_end = path.find('\\', 2);
        if (server_end == std::string::npos || server_end + 1 >= path.size() ||
            path[server_end + 1] == '\\')
            return false;
        name = upper(path.substr(0, path.find('\\', server_end + 1)));
        return true;
    }
    if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') {
        name = upper(path.substr(0, 2));
        return true;
    }
    char mount_point[4096];
    if (!GetVolumePathNameA(path.c_str(), mount_point, sizeof mount_point)) return false;
    name = mount_point;
    if (name.size() > 1 && name.back() == '/') name.pop_back();
    return true;
}

}  // namespace lmx
