// The shell-link object of COM over the shortcut format of
// platform/shell_link.h.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/filesystems.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "platform/shell_link.h"
#include "platform/utf16.h"

const CLSID CLSID_ShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IUnknown = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IShellLinkDataList = {0x45E2B4AE, 0xB1C3, 0x11D0,
                                    {0xB9, 0x2F, 0x00, 0xA0, 0xC9, 0x03, 0x12, 0xE1}};

namespace {

constexpr size_t kMaxLinkFile = 4u << 20;  // far beyond any real shortcut

thread_local bool com_initialised = false;

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

HRESULT last_error_result() { return HRESULT_FROM_WIN32(GetLastError()); }

HRESULT errno_result() { return HRESULT_FROM_WIN32(platform::error_from_errno(errno)); }

// Copies a text into a caller's buffer of `cch` bytes, cut to fit at a
// character boundary.
HRESULT copy_text(const std::string& text, LPSTR buffer, int cch) {
    if (buffer == nullptr || cch <= 0) return E_INVALIDARG;
    size_t n = std::min(text.size(), static_cast<size_t>(cch) - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return S_OK;
}

// The host path of a file name given to IPersistFile.
bool host_file(LPCOLESTR name, std::string& host) {
    if (name == nullptr || name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return platform::host_path(platform::narrow(name).c_str(), host);
}

// The target's attributes, times, size and volume, where it exists.
void describe_target(platform::ShellLink& link) {
    link.file_attributes = 0;
    link.creation_time = link.access_time = link.write_time = 0;
    link.file_size = 0;
    link.drive_type = DRIVE_UNKNOWN;
    link.drive_serial = 0;
    HANDLE target = CreateFileA(link.target.c_str(), FILE_READ_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(target, &info)) {
        auto time = [](const FILETIME& t) {
            return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        link.file_attributes = info.dwFileAttributes;
        link.creation_time = time(info.ftCreationTime);
        link.access_time = time(info.ftLastAccessTime);
        link.write_time = time(info.ftLastWriteTime);
        link.file_size = info.nFileSizeLow;
        link.drive_serial = info.dwVolumeSerialNumber;
        char volume[4096];
        if (GetVolumePathNameA(link.target.c_str(), volume, sizeof volume))
            link.drive_type = GetDriveTypeA(volume);
    }
    CloseHandle(target);
}

class ShellLinkObject final : public IShellLinkA, public IPersistFile, public IShellLinkDataList {
   public:
    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (same_guid(riid, IID_IUnknown) || same_guid(riid, IID_IShellLinkA))
            *ppvObject = static_cast<IShellLinkA*>(this);
        else if (same_guid(riid, IID_IPersistFile))
            *ppvObject = static_cast<IPersistFile*>(this);
        else if (same_guid(riid, IID_IShellLinkDataList))
            *ppvObject = static_cast<IShellLinkDataList*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // IShellLinkA
    HRESULT GetPath(LPSTR pszFile, int cch, WIN32_FIND_DATAA* pfd, DWORD /*fFlags*/) override {
        if (pfd != nullptr) return E_INVALIDARG;
        const HRESULT hr = copy_text(link_.target, pszFile, cch);
        return FAILED(hr) ? hr : link_.target.empty() ? S_FALSE : S_OK;
    }
    HRESULT GetDescription(LPSTR pszName, int cch) override {
        return copy_text(link_.description.value_or(""), pszName, cch);
    }
    HRESULT SetDescription(LPCSTR pszName) override { return set(link_.description, pszName); }
    HRESULT SetWorkingDirectory(LPCSTR pszDir) override {
        return set(link_.working_directory, pszDir);
    }
    HRESULT SetArguments(LPCSTR pszArgs) override { return set(link_.arguments, pszArgs); }
    HRESULT SetIconLocation(LPCSTR pszIconPath, int iIcon) override {
        const HRESULT hr = set(link_.icon_location, pszIconPath);
        if (SUCCEEDED(hr)) link_.icon_index = iIcon;
        return hr;
    }
    HRESULT Resolve(HWND /*hwnd*/, DWORD /*fFlags*/) override {
        return link_.target.empty() ? E_FAIL : S_OK;
    }
    HRESULT SetPath(LPCSTR pszFile) override {
        if (pszFile == nullptr || *pszFile == '\0') return E_INVALIDARG;
        link_.target = pszFile;
        return S_OK;
    }

    // IPersistFile
    HRESULT Load(LPCOLESTR pszFileName, DWORD /*dwMode*/) override {
        std::string path;
        if (!host_file(pszFileName, path)) return last_error_result();
        std::string data;
        if (!platform::read_small_file(path, data, kMaxLinkFile))
            return errno == EFBIG ? E_FAIL : errno_result();
        platform::ShellLink read;
        if (!platform::decode_shell_link(reinterpret_cast<const BYTE*>(data.data()), data.size(),
                                         read))
            return E_FAIL;
        link_ = std::move(read);
        file_ = path;
        return S_OK;
    }
    HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) override {
        std::string path = file_;
        if (pszFileName != nullptr && !host_file(pszFileName, path)) return last_error_result();
        if (path.empty()) return E_INVALIDARG;
        describe_target(link_);
        const std::vector<BYTE> data = platform::encode_shell_link(link_);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return errno_result();
        if (!platform::write_all(fd, data.data(), data.size())) {
            const HRESULT hr = errno_result();
            ::close(fd);
            return hr;
        }
        if (::close(fd) != 0) return errno_result();
        if (fRemember || pszFileName == nullptr) file_ = path;
        return S_OK;
    }

    // IShellLinkDataList
    HRESULT GetFlags(DWORD* pdwFlags) override {
        if (pdwFlags == nullptr) return E_POINTER;
        *pdwFlags = link_.flags;
        return S_OK;
    }
    HRESULT SetFlags(DWORD dwFlags) override {
        link_.flags = dwFlags;
        return S_OK;
    }

   private:
    ~ShellLinkObject() = default;

    static HRESULT set(std::optional<std::string>& field, LPCSTR value) {
        if (value == nullptr) return E_INVALIDARG;
        field = value;
        return S_OK;
    }

    ULONG references_ = 1;
    platform::ShellLink link_;
    std::string file_;  // the link's current file (host path)
};

}  // namespace

HRESULT CoInitialize(LPVOID /*pvReserved*/) {
    if (com_initialised) return S_FALSE;
    com_initialised = true;
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD /*dwClsContext*/,
                         REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!com_initialised) return CO_E_NOTINITIALIZED;
    if (!same_guid(rclsid, CLSID_ShellLink)) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    ShellLinkObject* object = new (std::nothrow) ShellLinkObject;
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
