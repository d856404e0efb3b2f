// The search of a program or file through a PATH-style list of
// directories: one rule for the layer's process starts, the launcher and
// the process modules.
#pragma once

#include <functional>
#include <string>

namespace platform {

// How a list is written: the separator between its entries and the one
// between a directory and a name (';' and '\' on Windows, ':' and '/' here).
struct PathListForm {
    char list_separator;
    char separator;
};

constexpr PathListForm kHostPathList{':', '/'};

// What an empty entry of the list names: the working directory (".", as
// the host's exec takes it), or nothing (it is passed over).
enum class EmptyEntry { working_directory, skipped };

// The first entry of `list`, in order, for which `accept` holds of the
// entry and `name` joined by the form's separator; that entry in `dir`.
// False when there is none.
bool search_path_list(const std::string& name, const std::string& list, const PathListForm& form,
                      EmptyEntry empty, const std::function<bool(const std::string&)>& accept,
                      std::string& dir);

// True for a regular file that this process may run.
bool is_executable_file(const std::string& path);

// The path of the first executable regular file `name` in the directories
// of PATH (an empty entry is the working directory), or of `unset_path`
// when PATH is not set (nullptr: no directories). False with
// ERROR_ACCESS_DENIED when files of that name exist but none may be run,
// else ERROR_FILE_NOT_FOUND.
bool search_executable(const std::string& name, const char* unset_path, std::string& path);

}  // namespace platform
