// The launcher: finds the runtime library, puts its directory first in
// PATH, and hands the extended command line to lmxrun_main. Built three
// times with a different program name and default main sub.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "launcher/locate.h"
#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/modules.h"

#ifndef LMX_PROGRAM_NAME
#error "LMX_PROGRAM_NAME must be set by the build"
#endif
#ifndef LMX_DEFAULT_MAIN
#error "LMX_DEFAULT_MAIN must be set by the build"
#endif

extern char** environ;

namespace {

using EntryPoint = int (*)(int, char**, char**);

constexpr int kLauncherDirUnknown = 67;

bool readable(const std::string& path) { return crt::access(path.c_str(), crt::kReadAccess) == 0; }

bool resolve_link(const std::string& file, std::string& target) {
    struct ::stat status;
    return crt::lstat(file.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
           crt::realpath(file.c_str(), target);
}

// The system's texts end in CR LF, as on Windows; the message adds its own
// line end, and output that is no terminal is to carry no control characters.
void drop_line_end(char* text) {
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    text[length] = '\0';
}

void report_load_failure(const std::string& path) {
    const DWORD code = GetLastError();
    char text[1024];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                       nullptr) != 0) {
        drop_line_end(text);
        std::fprintf(stderr, "cannot load lib %s, error (%d) %s\n", path.c_str(),
                     static_cast<int>(code), text);
    } else {
        std::fprintf(stderr, "cannot load lib %s, error %d\n", path.c_str(), static_cast<int>(code));
    }
}

int run(int argc, char** argv) {
    const launcher::HostConstants& host = launcher::kHostConstants;
    std::string cwd;
    const bool have_cwd = crt::getcwd(cwd);
    const launcher::LibraryChoice choice = launcher::locate_library(
        argc > 0 ? argv[0] : "", host, readable, have_cwd ? cwd.c_str() : nullptr,
        crt::getenv("PATH"), resolve_link);
    if (!choice.found) {
        std::printf("cannot find path for arg0: %s\n", argc > 0 ? argv[0] : "");
        return kLauncherDirUnknown;
    }

    std::string path_value;
    if (launcher::path_with_library(choice.path, crt::getenv("PATH"), host, path_value))
        crt::putenv("PATH", path_value.c_str());

    HMODULE library = LoadLibraryExA(choice.path.c_str(), nullptr, 0);
    if (library == nullptr) {
        report_load_failure(choice.path);
        return -1;
    }
    auto entry = reinterpret_cast<EntryPoint>(GetProcAddress(library, "lmxrun_main"));
    if (entry == nullptr) {
        FreeLibrary(library);
        std::fprintf(stderr, "cannot find entry point %s\n", "lmxrun_main");
        return -1;
    }
    std::vector<const char*> args = launcher::extend_arguments(
        argc, argv, LMX_PROGRAM_NAME, LMX_DEFAULT_MAIN, choice.installed);
    const int result =
        entry(static_cast<int>(args.size() - 1), const_cast<char**>(args.data()), environ);
    FreeLibrary(library);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "cannot allocate memory\n");
        return -1;
    }
}
