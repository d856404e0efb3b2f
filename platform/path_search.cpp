#include "platform/path_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/errors.h"

namespace platform {

bool search_path_list(const std::string& name, const std::string& list, const PathListForm& form,
                      EmptyEntry empty, const std::function<bool(const std::string&)>& accept,
                      std::string& dir) {
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(form.list_separator, start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) {
            if (empty == EmptyEntry::skipped) continue;
            entry = ".";
        }
        if (accept(entry + form.separator + name)) {
            dir = std::move(entry);
            return true;
        }
    }
    return false;
}

bool is_executable_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool search_executable(const std::string& name, const char* unset_path, std::string& path) {
    const char* list = std::getenv("PATH");
    if (list == nullptr) list = unset_path;
    bool present = false;
    std::string dir;
    const bool found =
        list != nullptr && search_path_list(
                               name, list, kHostPathList, EmptyEntry::working_directory,
                               [&](const std::string& candidate) {
                                   if (is_executable_file(candidate)) return true;
                                   present = present || ::access(candidate.c_str(), F_OK) == 0;
                                   return false;
                               },
                               dir);
    if (!found) {
        SetLastError(present ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
        return false;
    }
    path = dir + kHostPathList.separator + name;
    return true;
}

}  // namespace platform
