#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/path_search.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/shell.h"

namespace {

// ShellExecuteA's value for a started program, as Windows gives it.
constexpr int kStarted = 42;

HINSTANCE result(int code) { return reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(code)); }

// "scheme:..." with a scheme of two characters or more, so that a drive
// letter is not one.
bool has_scheme(const char* name) {
    if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    size_t i = 1;
    while (std::isalnum(static_cast<unsigned char>(name[i])) || name[i] == '+' || name[i] == '-' ||
           name[i] == '.')
        ++i;
    return i >= 2 && name[i] == ':';
}

std::string absolute(const std::string& path) {
    std::string cwd;
    if (!path.empty() && path[0] == '/') return path;
    return crt::getcwd(cwd) ? cwd + "/" + path : path;
}

// The ShellExecuteA code of a failed process start.
int start_error(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND: return SE_ERR_FNF;
        case ERROR_PATH_NOT_FOUND: return SE_ERR_PNF;
        case ERROR_NOT_ENOUGH_MEMORY: return SE_ERR_OOM;
        default: return code <= 32 ? static_cast<int>(code) : SE_ERR_NOASSOC;
    }
}

}  // namespace

HINSTANCE ShellExecuteA(HWND /*hwnd*/, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, int nShowCmd) {
    if (lpFile == nullptr || *lpFile == '\0') return result(SE_ERR_FNF);
    if (lpOperation != nullptr && *lpOperation != '\0' && ::strcasecmp(lpOperation, "open") != 0)
        return result(SE_ERR_NOASSOC);
    std::string directory;
    if (lpDirectory != nullptr && *lpDirectory != '\0') {
        struct stat st;
        if (!platform::host_path(lpDirectory, directory) || ::stat(directory.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode))
            return result(SE_ERR_PNF);
    }
    std::vector<std::string> arguments;
    std::string file;
    const bool url = has_scheme(lpFile);
    if (!url) {
        if (!platform::host_path(lpFile, file)) return result(start_error(GetLastError()));
        struct stat st;
        if (::stat(file.c_str(), &st) != 0) {
            if (file.find('/') != std::string::npos) return result(SE_ERR_FNF);
            if (!platform::search_executable(file, "", file)) return result(SE_ERR_FNF);
        }
        if (platform::is_executable_file(file)) {
            arguments = platform::split_command_line(
                ("x " + std::string(lpParameters ? lpParameters : "")).c_str());
            arguments[0] = absolute(file);
        }
    }
    if (arguments.empty()) {
        std::string opener;
        if (!platform::search_executable("xdg-open", "", opener)) return result(SE_ERR_NOASSOC);
        arguments = {opener, url ? std::string(lpFile) : absolute(file)};
    }
    std::string command_line = platform::join_command_line(arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (nShowCmd == SW_HIDE) startup.dwFlags = STARTF_USESTDHANDLES;  // NULL handles: /dev/null
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(arguments[0].c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, directory.empty() ? nullptr : directory.c_str(), &startup,
                        &process))
        return result(start_error(GetLastError()));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result(kStarted);
}
