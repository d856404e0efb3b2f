// The shell (shell32 ShellExecuteA) and the shell-link object of COM (ole32
// CoInitialize, CoCreateInstance; IShellLinkA, IPersistFile,
// IShellLinkDataList), which reads and writes shortcut files in their
// binary format (platform/shell_link.h).
#pragma once

#include "platform/types.h"

// --- Starting documents and programs ---

using HINSTANCE = void*;

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

#define SW_HIDE 0
#define SW_SHOWNORMAL 1

// Opens a file: "open" (or NULL or "") is the only verb, any other gives
// SE_ERR_NOASSOC. A file that this process may execute is started directly
// (no shell) with lpParameters split by the Windows rules; any other file,
// a directory, or a name with a scheme ("https://...") is handed to
// xdg-open when PATH has it, else SE_ERR_NOASSOC. A bare name that is not a
// file of the working directory is looked for as a program in PATH. The
// program runs in lpDirectory (SE_ERR_PNF when that is no directory) and is
// not waited for. There are no windows: a hidden one (SW_HIDE) means that
// the program's standard handles are /dev/null, any other show command
// that it shares this process's. Returns a value above 32 on success, else
// SE_ERR_FNF for a file that does not exist, SE_ERR_NOASSOC, or the
// process start's error.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, int nShowCmd);

// --- COM ---

using HRESULT = LONG;
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCOLESTR = const WCHAR*;
using LPOLESTR = WCHAR*;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);

// The HRESULT of a Windows error code.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

#define CLSCTX_INPROC_SERVER 0x1u
#define STGM_READ 0x0u

#define SLR_NO_UI 0x1u
#define SLR_ANY_MATCH 0x2u
#define SLGP_SHORTPATH 0x1u

extern const CLSID CLSID_ShellLink;     // 00021401-0000-0000-C000-000000000046
extern const IID IID_IUnknown;          // 00000000-0000-0000-C000-000000000046
extern const IID IID_IShellLinkA;       // 000214EE-0000-0000-C000-000000000046
extern const IID IID_IPersistFile;      // 0000010B-0000-0000-C000-000000000046
extern const IID IID_IShellLinkDataList;  // 45E2B4AE-B1C3-11D0-B92F-00A0C90312E1

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

   protected:
    ~IUnknown() = default;
};

struct WIN32_FIND_DATAA;

// The parts of the shell link that the modules use. Strings are multibyte
// (UTF-8); a text longer than the caller's buffer is cut to fit. There are
// no short (8.3) names here: GetPath with SLGP_SHORTPATH gives the target
// as it was set (S_FALSE and an empty text without one); its find-data
// argument must be NULL. Resolve does no link tracking: a link with a target is
// resolved as it is, one without fails with E_FAIL.
struct IShellLinkA : IUnknown {
    virtual HRESULT GetPath(LPSTR pszFile, int cch, WIN32_FIND_DATAA* pfd, DWORD fFlags) = 0;
    virtual HRESULT GetDescription(LPSTR pszName, int cch) = 0;
    virtual HRESULT SetDescription(LPCSTR pszName) = 0;
    virtual HRESULT SetWorkingDirectory(LPCSTR pszDir) = 0;
    virtual HRESULT SetArguments(LPCSTR pszArgs) = 0;
    virtual HRESULT SetIconLocation(LPCSTR pszIconPath, int iIcon) = 0;
    virtual HRESULT Resolve(HWND hwnd, DWORD fFlags) = 0;
    virtual HRESULT SetPath(LPCSTR pszFile) = 0;

   protected:
    ~IShellLinkA() = default;
};

// Load reads a shortcut file (HRESULT_FROM_WIN32 of the open's error, or
// E_FAIL for a file that is not a shortcut); Save writes one, with the
// target's attributes, times, size and volume as they are now.
struct IPersistFile : IUnknown {
    virtual HRESULT Load(LPCOLESTR pszFileName, DWORD dwMode) = 0;
    virtual HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) = 0;

   protected:
    ~IPersistFile() = default;
};

// The link flags (SLDF_*, platform/shell_link.h).
struct IShellLinkDataList : IUnknown {
    virtual HRESULT GetFlags(DWORD* pdwFlags) = 0;
    virtual HRESULT SetFlags(DWORD dwFlags) = 0;

   protected:
    ~IShellLinkDataList() = default;
};

// Per thread: S_OK the first time, S_FALSE after.
HRESULT CoInitialize(LPVOID pvReserved);

// The shell-link object (CLSID_ShellLink, in-process) with any of its three
// interfaces. CO_E_NOTINITIALIZED before CoInitialize on the thread,
// REGDB_E_CLASSNOTREG for other classes, CLASS_E_NOAGGREGATION with an
// outer object, E_NOINTERFACE for other interfaces.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);
