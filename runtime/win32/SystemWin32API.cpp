// KALDOR::Install::System::Win32::API: the installer's toolbox for Windows
// administration. This unit holds the shell half (windows, the shell,
// shortcuts, shares, drives, file identity, protected files, replacement at
// the next start) and the boot; the account half is in api_accounts.cpp.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/codepages.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/filesystems.h"
#include "platform/handles.h"
#include "platform/modules.h"
#include "platform/reboot_operations.h"
#include "platform/shares.h"
#include "platform/shell.h"
#include "platform/shell_link.h"
#include "platform/sysinfo.h"
#include "platform/user.h"
#include "runtime/host/module_table.h"
#include "runtime/win32/api_support.h"

namespace lmx::win32api {
namespace {

#define API "KALDOR::Install::System::Win32::API::"

constexpr int kMaxLinkName = MAX_PATH;

XS_INTERNAL(xs_DestroyWindow) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    const UV window = SvUV(ST(0));
    XSRETURN_IV(DestroyWindow(INT2PTR(HWND, window)) ? 1 : 0);
}

XS_INTERNAL(xs_ShellExecute) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> file = args.string(0), parameters = args.string(1),
                                     directory = args.string(2), verb = args.string(3);
    const IV show = args.integer(4).value_or(SW_HIDE);
    if (items < 1 || !file || args.invalid()) XSRETURN_UNDEF;
    const HINSTANCE result =
        ShellExecuteA(nullptr, verb ? verb->c_str() : "open", file->c_str(),
                      parameters ? parameters->c_str() : nullptr,
                      directory ? directory->c_str() : nullptr, static_cast<int>(show));
    if (reinterpret_cast<std::intptr_t>(result) <= 32) XSRETURN_UNDEF;
    XSRETURN_IV(1);
}

// A shortcut file's name in UTF-16 as the persist-file calls take it;
// false when it does not fit in MAX_PATH characters.
bool link_name(const std::string& link, WCHAR (&name)[kMaxLinkName]) {
    const int n = MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, name, kMaxLinkName);
    return n > 0;
}

// Releases a COM interface when it goes.
template <class Interface>
struct Released {
    Interface* pointer = nullptr;
    ~Released() {
        if (pointer != nullptr) pointer->Release();
    }
    void** out() { return reinterpret_cast<void**>(&pointer); }
};

int create_shortcut(Arguments& args, const std::string& target, const std::string& link) {
    WCHAR name[kMaxLinkName];
    CoInitialize(nullptr);
    Released<IShellLinkA> shell_link;
    if (!link_name(link, name) ||
        FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                shell_link.out())))
        return -1;
    shell_link.pointer->SetPath(target.c_str());
    if (const auto arguments = args.string(2)) shell_link.pointer->SetArguments(arguments->c_str());
    if (const auto description = args.string(3))
        shell_link.pointer->SetDescription(description->c_str());
    if (const auto directory = args.string(4))
        shell_link.pointer->SetWorkingDirectory(directory->c_str());
    if (const auto icon = args.string(5))
        shell_link.pointer->SetIconLocation(icon->c_str(),
                                            static_cast<int>(args.integer(6).value_or(0)));
    if (args.integer(7).value_or(0) != 0) {
        Released<IShellLinkDataList> data_list;
        DWORD flags = 0;
        if (SUCCEEDED(shell_link.pointer->QueryInterface(IID_IShellLinkDataList, data_list.out())) &&
            SUCCEEDED(data_list.pointer->GetFlags(&flags)))
            data_list.pointer->SetFlags(flags | platform::SLDF_RUNAS_USER);
    }
    Released<IPersistFile> file;
    if (FAILED(shell_link.pointer->QueryInterface(IID_IPersistFile, file.out()))) return -1;
    return SUCCEEDED(file.pointer->Save(name, TRUE)) ? 0 : -1;
}

XS_INTERNAL(xs_CreateShortcut) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> target = args.string(0), link = args.string(1);
    for (I32 i = 2; i < items; ++i) args.string(i);  // a NUL in any text refuses the call
    if (!args.in_range(2, 8) || !target || !link || args.invalid()) XSRETURN_UNDEF;
    XSRETURN_IV(create_shortcut(args, *target, *link));
}

std::string hresult_text(const char* call, HRESULT hr) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed: HRESULT 0x%x", call, static_cast<unsigned>(hr));
    return text;
}

// Reads a shortcut: 0 with its target and description, else -1 with the
// failing step's text.
int read_shortcut(const std::string& link, std::string& target, std::string& text) {
    WCHAR name[kMaxLinkName];
    CoInitialize(nullptr);
    Released<IShellLinkA> shell_link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                shell_link.out())))
        return -1;
    Released<IPersistFile> file;
    HRESULT hr = shell_link.pointer->QueryInterface(IID_IPersistFile, file.out());
    if (FAILED(hr)) {
        text = hresult_text("IShellLink::QueryInterface", hr);
        return -1;
    }
    hr = link_name(link, name) ? file.pointer->Load(name, STGM_READ)
                               : HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (FAILED(hr)) {
        text = hresult_text("IPersistFile::Load", hr);
        return -1;
    }
    char buffer[MAX_PATH];
    hr = shell_link.pointer->GetDescription(buffer, sizeof buffer);
    if (FAILED(hr)) {
        text = hresult_text("IShellLink::GetDescription", hr);
        return -1;
    }
    text = buffer;
    hr = shell_link.pointer->Resolve(nullptr, SLR_NO_UI | SLR_ANY_MATCH);
    if (FAILED(hr)) {
        text = hresult_text("IShellLink::Resolve", hr);
        return -1;
    }
    hr = shell_link.pointer->GetPath(buffer, sizeof buffer, nullptr, SLGP_SHORTPATH);
    if (FAILED(hr)) {
        text = hresult_text("IShellLink::GetPath", hr);
        return -1;
    }
    target = buffer;
    return 0;
}

XS_INTERNAL(xs_ShortcutInfo) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> link = args.string(0);
    if (items != 1 || !link || args.invalid()) XSRETURN_UNDEF;
    std::string target, text;
    if (read_shortcut(*link, target, text) != 0)
        XSRETURN(put_results(aTHX_ ax, {newSViv(-1), new_text(aTHX_ text)}));
    XSRETURN(put_results(aTHX_ ax, {newSViv(0), new_text(aTHX_ target), new_text(aTHX_ text)}));
}

XS_INTERNAL(xs_ShareAdd) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0), path = args.string(1);
    const std::string server = args.text(2), remark = args.text(3), password = args.text(4);
    if (!args.in_range(2, 5) || !name || !path || args.invalid()) XSRETURN_UNDEF;
    Wide wide_name(*name), wide_path(*path), wide_server(server), wide_remark(remark),
        wide_password(password);
    SHARE_INFO_2 info{wide_name.always(), STYPE_DISKTREE, wide_remark.get(), ACCESS_ALL,
                      SHI_USES_UNLIMITED, 0, wide_path.always(), wide_password.get()};
    DWORD parm_err = 0;
    XSRETURN_IV(NetShareAdd(wide_server.get(), 2, reinterpret_cast<LPBYTE>(&info), &parm_err));
}

XS_INTERNAL(xs_ShareDel) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1);
    if (!args.in_range(1, 2) || !name || args.invalid()) XSRETURN_UNDEF;
    Wide wide_name(*name), wide_server(server);
    XSRETURN_IV(NetShareDel(wide_server.get(), wide_name.always(), 0));
}

XS_INTERNAL(xs_ShareInfo) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1);
    if (!args.in_range(1, 2) || !name || args.invalid()) XSRETURN_UNDEF;
    Wide wide_name(*name), wide_server(server);
    LPBYTE block = nullptr;
    const NET_API_STATUS status = NetShareGetInfo(wide_server.get(), wide_name.always(), 2, &block);
    NetBufferOwner owner(block);
    if (status != NERR_Success) XSRETURN_IV(status);
    const auto* info = reinterpret_cast<const SHARE_INFO_2*>(block);
    XSRETURN(put_results(aTHX_ ax, {newSViv(0), new_text(aTHX_ narrow_text(info->shi2_path)),
                                    new_text(aTHX_ narrow_text(info->shi2_remark))}));
}

XS_INTERNAL(xs_GetHDDrives) {
    dXSARGS;
    if (items != 0) XSRETURN_UNDEF;
    const DWORD present = GetLogicalDrives();
    std::vector<SV*> drives;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!(present & (1u << (letter - 'A')))) continue;
        const char root[] = {letter, ':', '\\', '\0'};
        const UINT type = GetDriveTypeA(root);
        DWORD flags = 0;
        const bool qualifies =
            type == DRIVE_REMOTE ||
            (type == DRIVE_FIXED &&
             GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
             !(flags & FILE_READ_ONLY_VOLUME));
        if (qualifies) drives.push_back(newSVpvn(root, 2));
    }
    if (drives.empty()) XSRETURN_UNDEF;
    XSRETURN(put_results(aTHX_ ax, drives));
}

XS_INTERNAL(xs_GetFileId) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> path = args.string(0);
    if (items != 1 || !path || args.invalid()) XSRETURN_UNDEF;
    HANDLE file = CreateFileA(path->c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) XSRETURN_UNDEF;
    BY_HANDLE_FILE_INFORMATION info;
    const bool read = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!read) XSRETURN_UNDEF;
    XSRETURN(put_results(aTHX_ ax, {newSVuv(info.dwVolumeSerialNumber), newSVuv(info.nFileIndexLow),
                                    newSVuv(info.nFileIndexHigh)}));
}

XS_INTERNAL(xs_SfcIsFileProtected) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> path = args.string(0);
    if (items != 1 || !path || args.invalid()) XSRETURN_UNDEF;
    HMODULE sfc = LoadLibraryA("sfc.dll");
    if (sfc == nullptr) XSRETURN_UNDEF;
    using Check = BOOL (*)(HANDLE, LPCWSTR);
    const auto check = reinterpret_cast<Check>(GetProcAddress(sfc, "SfcIsFileProtected"));
    Wide wide_path(*path);
    int answer = -1;
    if (check != nullptr) {
        if (check(nullptr, wide_path.always()))
            answer = 1;
        else if (GetLastError() == ERROR_SUCCESS)
            answer = 0;
    }
    FreeLibrary(sfc);
    if (answer < 0) XSRETURN_UNDEF;
    XSRETURN_IV(answer);
}

XS_INTERNAL(xs_MoveFileAfterReboot) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> source = args.string(0), target = args.string(1);
    if (!args.in_range(1, 2) || !source || args.invalid()) XSRETURN_UNDEF;
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    bool moved = false;
    if (GetVersionExA(&version) && version.dwPlatformId == 2 /* the NT family */)
        moved = MoveFileExA(source->c_str(), target ? target->c_str() : nullptr,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
    else
        SetLastError(ERROR_NOT_SUPPORTED);
    if (moved) XSRETURN(put_results(aTHX_ ax, {newSViv(0)}));
    XSRETURN(put_results(aTHX_ ax, {newSViv(-1), new_text(aTHX_ error_text(0))}));
}

const NativeFunction kFunctions[] = {
    {API "DestroyWindow", xs_DestroyWindow},
    {API "ShellExecute", xs_ShellExecute},
    {API "CreateShortcut", xs_CreateShortcut},
    {API "ShortcutInfo", xs_ShortcutInfo},
    {API "ShareAdd", xs_ShareAdd},
    {API "ShareDel", xs_ShareDel},
    {API "ShareInfo", xs_ShareInfo},
    {API "GetHDDrives", xs_GetHDDrives},
    {API "GetFileId", xs_GetFileId},
    {API "SfcIsFileProtected", xs_SfcIsFileProtected},
    {API "MoveFileAfterReboot", xs_MoveFileAfterReboot},
};

}  // namespace

Functions shell_functions() { return {kFunctions, sizeof kFunctions / sizeof kFunctions[0]}; }

}  // namespace lmx::win32api

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__API) {
    PERL_UNUSED_VAR(cv);
    const char* unit = "SystemWin32API";
    const I32 ax = lmx::boot_begin(aTHX_ unit);
    for (const lmx::win32api::Functions& half :
         {lmx::win32api::account_functions(), lmx::win32api::shell_functions()})
        lmx::register_functions(aTHX_ unit, half.functions, half.count);
    lmx::win32api::register_account_constants(aTHX);
    lmx::boot_end(aTHX_ ax);
}
