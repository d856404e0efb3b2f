#include "runtime/archive/extract_rules.h"

namespace lmx::untgz {
namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool parent_directory(const std::string& path, std::string& parent) {
    const size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return false;
    parent = path.substr(0, cut == 0 ? 1 : cut);
    return true;
}

std::string output_path(const std::optional<std::string>& destination, const std::string& name) {
    if (!destination) return name;
    std::string path = *destination;
    if (path.empty() || !is_separator(path.back())) path += '/';
    return path + name;
}

int directory_mode(std::int64_t file_mode) {
    int mode = static_cast<int>(file_mode & 0777);
    if (mode & 0600) mode |= 0100;
    if (mode & 060) mode |= 010;
    if (mode & 06) mode |= 01;
    return mode;
}

int implied_directory_mode(int mode) { return (mode & 0300) == 0300 ? mode : 0777; }

bool lies_within(const std::string& path, const std::string& directory) {
    if (path.compare(0, directory.size(), directory) != 0) return false;
    return path.size() == directory.size() || directory.back() == '/' ||
           path[directory.size()] == '/';
}

bool leaves_destination(const std::string& name) {
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !is_separator(name[i])) continue;
        if (name.compare(start, i - start, "..") == 0 && i - start == 2) return true;
        start = i + 1;
    }
    return false;
}

std::uint64_t kilobytes(std::uint64_t bytes) { return bytes / 1024 + (bytes % 1024 ? 1 : 0); }

bool is_drive(const std::string& name) {
    return name.size() == 2 && is_ascii_letter(name[0]) && name[1] == ':';
}

bool is_drive_root(const std::string& path) {
    return path.size() == 3 && is_drive(path.substr(0, 2)) && is_separator(path[2]);
}

}  // namespace lmx::untgz
