// The launcher's decisions as pure functions: where the runtime library is,
// how the argument vector is extended, and what PATH becomes. The file test,
// working directory and PATH come in as arguments so that the Windows
// examples the launcher was designed with can be checked on this host.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace launcher {

struct HostConstants {
    const char* library;           // runtime library file
    const char* exe_suffix;        // appended to a bare program name
    char separator;                // separator in built paths
    char path_list_separator;      // between PATH entries
    const char* kit_dir;           // candidate below the launcher's directory
    const char* installed_prefix;  // candidate of the installed layout
    size_t max_cwd;                // longest working directory that is read
};

extern const HostConstants kWindowsConstants;
extern const HostConstants kHostConstants;

using FileTest = std::function<bool(const std::string& path)>;

// When the launcher file `file` is a symbolic link: true with the file it
// finally leads to in `target`. False for any other file.
using LinkResolver = std::function<bool(const std::string& file, std::string& target)>;

struct LibraryChoice {
    bool found = false;      // false: the launcher's directory is unknown
    std::string path;        // the library to load
    bool installed = false;  // the installed layout's candidate was taken
};

// Finds the runtime library for a launcher started as `argv0`. `cwd` and
// `path_env` may be null (working directory unreadable, PATH not set). With
// `resolve_link`, a launcher file that is a symbolic link is looked for in
// the directory of the file the link leads to.
LibraryChoice locate_library(const std::string& argv0, const HostConstants& constants,
                             const FileTest& readable, const char* cwd, const char* path_env,
                             const LinkResolver& resolve_link = nullptr);

// True when the caller's own arguments choose the main sub.
bool caller_chose_main(int argc, const char* const* argv);

// The argument vector handed to the runtime, ending in a null entry.
std::vector<const char*> extend_arguments(int argc, const char* const* argv,
                                          const char* program_name, const char* default_main,
                                          bool installed);

// The PATH value that puts the library's directory first. Returns false
// when PATH is to stay as it is (the directory is empty).
bool path_with_library(const std::string& library, const char* old_path,
                       const HostConstants& constants, std::string& value);

}  // namespace launcher
