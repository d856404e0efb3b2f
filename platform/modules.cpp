#include "platform/modules.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/paths.h"

namespace platform {
namespace {

struct SystemLibrary {
    std::string name;
    std::vector<SystemExport> exports;
};

// A deque keeps its elements in place, so their addresses serve as handles.
std::deque<SystemLibrary>& system_libraries() {
    static std::deque<SystemLibrary> libraries;
    return libraries;
}

std::string lower(const char* s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

SystemLibrary* find_system_library(const char* name) {
    if (std::strpbrk(name, "/\\:") != nullptr) return nullptr;
    std::string key = lower(name);
    if (key.find('.') == std::string::npos) key += ".dll";
    for (SystemLibrary& library : system_libraries())
        if (library.name == key) return &library;
    return nullptr;
}

SystemLibrary* as_system_library(HMODULE module) {
    for (SystemLibrary& library : system_libraries())
        if (&library == module) return &library;
    return nullptr;
}

// The Windows code for a failed dlopen of an existing file.
DWORD load_error(const char* message) {
    if (message == nullptr) return ERROR_MOD_NOT_FOUND;
    if (std::strstr(message, "invalid ELF header") || std::strstr(message, "wrong ELF class") ||
        std::strstr(message, "file too short") || std::strstr(message, "ELF file"))
        return ERROR_BAD_EXE_FORMAT;
    if (std::strstr(message, "Permission denied")) return ERROR_ACCESS_DENIED;
    return ERROR_MOD_NOT_FOUND;
}

bool absolute_host_path(const char* name, std::string& path) {
    if (!host_path(name, path)) return false;
    if (!path.empty() && path[0] != '/' && path.find('/') != std::string::npos) {
        std::string cwd;
        if (!crt::getcwd(cwd)) return fail_with_errno();
        path = cwd + "/" + path;
    }
    return true;
}

struct ModuleSearch {
    const char* wanted;
    std::string path;
};

int match_module(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ModuleSearch*>(data);
    const char* name = info->dlpi_name;
    if (name == nullptr || *name == '\0') return 0;
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    if (std::strcmp(base, search->wanted) != 0) return 0;
    search->path = name;
    return 1;
}

// Copies `path` into the caller's buffer with the Windows truncation rules.
DWORD copy_module_path(const std::string& path, LPSTR buffer, DWORD size) {
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

}  // namespace

ExportRegistration::ExportRegistration(std::initializer_list<SystemExport> exports) {
    for (const SystemExport& e : exports) {
        SystemLibrary* library = nullptr;
        for (SystemLibrary& known : system_libraries())
            if (known.name == e.library) library = &known;
        if (library == nullptr) {
            system_libraries().push_back(SystemLibrary{e.library, {}});
            library = &system_libraries().back();
        }
        library->exports.push_back(e);
    }
}

}  // namespace platform

using namespace platform;

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE /*hFile*/, DWORD /*dwFlags*/) {
    if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (SystemLibrary* library = find_system_library(lpLibFileName)) return library;
    std::string path;
    if (!absolute_host_path(lpLibFileName, path)) return nullptr;
    if (path.find('/') != std::string::npos) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) SetLastError(load_error(::dlerror()));
    return handle;
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == nullptr || lpProcName == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (SystemLibrary* library = as_system_library(hModule)) {
        for (const SystemExport& e : library->exports)
            if (std::strcmp(e.name, lpProcName) == 0) return e.address;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(hModule, lpProcName);
    if (address == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (as_system_library(hLibModule)) return TRUE;
    if (::dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == nullptr) return ::dlopen(nullptr, RTLD_LAZY);
    if (SystemLibrary* library = find_system_library(lpModuleName)) return library;
    ModuleSearch search{lpModuleName, {}};
    if (::dl_iterate_phdr(match_module, &search) == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = ::dlopen(search.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ::dlclose(handle);  // RTLD_NOLOAD raised the count; the module stays loaded
    return handle;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    struct link_map* map = nullptr;
    const bool main_program = hModule == nullptr ||
                              (!as_system_library(hModule) &&
                               ::dlinfo(hModule, RTLD_DI_LINKMAP, &map) == 0 &&
                               (map->l_name == nullptr || map->l_name[0] == '\0'));
    if (main_program) {
        if (!crt::readlink(proc_self_path("exe").c_str(), path)) {
            fail_with_errno();
            return 0;
        }
    } else if (as_system_library(hModule)) {
        // The stand-ins live in the layer, which is part of this object.
        Dl_info info;
        if (::dladdr(reinterpret_cast<void*>(&GetModuleFileNameA), &info) == 0 ||
            info.dli_fname == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = info.dli_fname;
    } else {
        if (map == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = map->l_name;
    }
    return copy_module_path(path, lpFilename, nSize);
}
