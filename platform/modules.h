// Module loading (kernel32 LoadLibraryExA, GetProcAddress, FreeLibrary,
// GetModuleHandleA, GetModuleFileNameA) over dlopen/dlsym/dladdr.
//
// Names of Windows system libraries ("kernel32.dll", "psapi.dll", ...) load
// the layer's own stand-ins: GetProcAddress on them finds the calls that the
// layer registered under that library with ExportRegistration, so that code
// which looks a call up at run time finds the layer's version.
#pragma once

#include <initializer_list>

#include "platform/types.h"

// Loads a shared object by path (translated by the layer) or a system
// library by name. Objects are loaded with RTLD_NOW | RTLD_GLOBAL, so that
// the Perl library that lmxrun.so brings along serves the extension modules
// loaded after it, as a DLL's imports serve every later DLL on Windows.
// Fails with ERROR_MOD_NOT_FOUND (missing file or dependency),
// ERROR_BAD_EXE_FORMAT (not a shared object of this machine) or
// ERROR_ACCESS_DENIED.
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
HMODULE LoadLibraryA(LPCSTR lpLibFileName);

// The address of an export, or NULL with ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

BOOL FreeLibrary(HMODULE hLibModule);

// A loaded module by its file name (compared with the last component of
// each loaded object's path), NULL for the main program; does not change the
// module's reference count. NULL with ERROR_MOD_NOT_FOUND when none matches.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);

// The full path of a loaded module (NULL: the main program). Copies at most
// nSize - 1 characters and a terminator; when the path is longer, returns
// nSize with ERROR_INSUFFICIENT_BUFFER, else the path's length.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

namespace platform {

struct SystemExport {
    const char* library;  // lower case, for example "kernel32.dll"
    const char* name;
    FARPROC address;
};

// A static object of this type in a layer file registers that file's
// stand-ins for run-time lookup.
struct ExportRegistration {
    ExportRegistration(std::initializer_list<SystemExport> exports);
};

template <class F>
FARPROC export_address(F* function) {
    return reinterpret_cast<FARPROC>(function);
}

}  // namespace platform
