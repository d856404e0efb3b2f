#include "launcher/locate.h"

#include <cstring>

#include "platform/path_search.h"

namespace launcher {

const HostConstants kWindowsConstants = {"lmxrun.dll", ".exe", '\\', ';',
                                         "instruntime", "..\\install\\", 260};
const HostConstants kHostConstants = {"lmxrun.so", "", '/', ':', "instruntime", "../install/",
                                      4096};

namespace {

// The directory part of argv[0]: cut at its last "/", or, only when it has
// none, at its last "\". False when it has neither.
bool directory_part(const std::string& argv0, std::string& dir) {
    size_t cut = argv0.rfind('/');
    if (cut == std::string::npos) cut = argv0.rfind('\\');
    if (cut == std::string::npos) return false;
    dir = argv0.substr(0, cut);
    return true;
}

std::string join(const std::string& dir, const HostConstants& c, const std::string& rest) {
    return dir + c.separator + rest;
}

// The executable file of a launcher started by bare name.
std::string executable_name(const std::string& argv0, const HostConstants& c) {
    std::string exe = argv0;
    const size_t dot = exe.rfind('.');
    if (dot != std::string::npos) exe.erase(dot);
    return exe + c.exe_suffix;
}

// The directory that holds a launcher started by bare name: the working
// directory, else the first PATH entry that holds its executable file.
bool directory_of_bare_name(const std::string& exe, const HostConstants& c,
                            const FileTest& readable, const char* cwd, const char* path_env,
                            std::string& dir) {
    if (cwd != nullptr && std::strlen(cwd) <= c.max_cwd && readable(join(cwd, c, exe))) {
        dir = cwd;
        return true;
    }
    // An empty entry names the working directory, which was tried first.
    return path_env != nullptr &&
           platform::search_path_list(exe, path_env, {c.path_list_separator, c.separator},
                                      platform::EmptyEntry::skipped, readable, dir);
}

}  // namespace

LibraryChoice locate_library(const std::string& argv0, const HostConstants& c,
                             const FileTest& readable, const char* cwd, const char* path_env,
                             const LinkResolver& resolve_link) {
    LibraryChoice choice;
    std::string dir;
    std::string launcher_file = argv0;
    if (!directory_part(argv0, dir)) {
        const std::string exe = executable_name(argv0, c);
        if (!directory_of_bare_name(exe, c, readable, cwd, path_env, dir)) return choice;
        launcher_file = join(dir, c, exe);
    }
    // A link (say in ~/bin) stands for the launcher in its own directory,
    // where the library is.
    std::string target;
    if (resolve_link && resolve_link(launcher_file, target)) directory_part(target, dir);
    choice.found = true;
    // The library beside the launcher comes first, also for a launcher
    // started by bare name from its own directory or through PATH.
    if (!dir.empty()) {
        const std::string beside = join(dir, c, c.library);
        if (readable(beside)) {
            choice.path = beside;
            return choice;
        }
    }
    const std::string kit = join(dir, c, std::string(c.kit_dir) + c.separator + c.library);
    if (readable(kit)) {
        choice.path = kit;
        return choice;
    }
    choice.path = join(dir, c, std::string(c.installed_prefix) + c.library);
    choice.installed = true;
    return choice;
}

bool caller_chose_main(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        // The runtime takes a leading en dash (0x96 in code page 1252) for
        // "-", so the caller's choice written that way counts as well.
        std::string a = argv[i];
        if (!a.empty() && static_cast<unsigned char>(a[0]) == 0x96) a[0] = '-';
        if ((a == "-main" || a == "--main") && i + 1 < argc) return true;
        if (a.rfind("-main=", 0) == 0 || a.rfind("--main=", 0) == 0) return true;
    }
    return false;
}

std::vector<const char*> extend_arguments(int argc, const char* const* argv,
                                          const char* program_name, const char* default_main,
                                          bool installed) {
    std::vector<const char*> out(argv, argv + argc);
    out.push_back("--programname");
    out.push_back(program_name);
    if (!caller_chose_main(argc, argv)) {
        out.push_back("--main");
        out.push_back(default_main);
    }
    if (installed) out.push_back("-installed_lmxrun_used");
    out.push_back(nullptr);
    return out;
}

bool path_with_library(const std::string& library, const char* old_path, const HostConstants& c,
                       std::string& value) {
    const size_t cut = library.rfind(c.separator);
    const std::string dir = cut == std::string::npos ? library : library.substr(0, cut);
    if (dir.empty()) return false;
    value = old_path ? dir + c.path_list_separator + old_path : dir;
    return true;
}

}  // namespace launcher
