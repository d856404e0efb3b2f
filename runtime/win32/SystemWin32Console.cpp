// KALDOR::Install::System::Win32::Console: whether the standard handles are
// redirected, a console of the process's own (or its parent's) with the
// standard streams bound to it, and an error shown without a console.
#include <cstdint>
#include <cstdio>

#include "platform/console.h"
#include "platform/crt.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/sysinfo.h"
#include "platform/user.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

constexpr short kScrollBackLines = 1000;

// A handle counts as redirected when it is not null and its value is
// divisible by 4 (console handles have their low bits set).
bool is_redirected(HANDLE handle) {
    return handle != nullptr && reinterpret_cast<std::intptr_t>(handle) % 4 == 0;
}

// Points one standard stream (0, 1 or 2) of the C runtime and of Perl at the
// handle's object, unbuffered.
void rebind_stream(pTHX_ HANDLE handle, int stream_fd, PerlIO* perl_stream, FILE* c_stream) {
    const int fd = crt::open_osfhandle(handle, 0);
    if (fd < 0) return;
    PerlIO_flush(perl_stream);
    std::fflush(c_stream);
    if (crt::dup2(fd, stream_fd) == 0) {
        std::setvbuf(c_stream, nullptr, _IONBF, 0);
        PerlIO_clearerr(perl_stream);
    }
    crt::close(fd);
}

// Rebinds output, error and input to the explicit handle (output and error)
// or to the standard handles.
void rebind_standard_streams(pTHX_ HANDLE explicit_handle) {
    rebind_stream(aTHX_ explicit_handle ? explicit_handle : GetStdHandle(STD_OUTPUT_HANDLE), 1,
                  PerlIO_stdout(), stdout);
    rebind_stream(aTHX_ explicit_handle ? explicit_handle : GetStdHandle(STD_ERROR_HANDLE), 2,
                  PerlIO_stderr(), stderr);
    rebind_stream(aTHX_ GetStdHandle(STD_INPUT_HANDLE), 0, PerlIO_stdin(), stdin);
    // Perl's STDOUT flushes after every print, as the C stream now does.
    if (GV* out = gv_fetchpvs("STDOUT", GV_ADD, SVt_PVIO)) IoFLAGS(GvIOn(out)) |= IOf_FLUSH;
}

XS_INTERNAL(xs_HasRedirectedStdHandles) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    const bool redirected = is_redirected(GetStdHandle(STD_OUTPUT_HANDLE)) ||
                            is_redirected(GetStdHandle(STD_INPUT_HANDLE));
    XSRETURN_IV(redirected ? 1 : 0);
}

XS_INTERNAL(xs_OpenConsole) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    if (!AllocConsole()) XSRETURN_IV(0);
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (kernel != nullptr) {
        using GetWindow = HWND (*)();
        if (auto get_window = reinterpret_cast<GetWindow>(GetProcAddress(kernel, "GetConsoleWindow")))
            SetForegroundWindow(get_window());
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(out, &info))
            SetConsoleScreenBufferSize(out, COORD{info.dwSize.X, kScrollBackLines});
    }
    rebind_standard_streams(aTHX_ nullptr);
    if (kernel != nullptr) FreeLibrary(kernel);
    XSRETURN_IV(1);
}

XS_INTERNAL(xs_AttachParentConsole) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version) || version.dwMajorVersion < 5 ||
        (version.dwMajorVersion == 5 && version.dwMinorVersion < 1))
        XSRETURN_IV(0);
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    using Attach = BOOL (*)(DWORD);
    auto attach = kernel ? reinterpret_cast<Attach>(GetProcAddress(kernel, "AttachConsole")) : nullptr;
    const bool attached = attach != nullptr && attach(ATTACH_PARENT_PROCESS);
    if (kernel != nullptr) FreeLibrary(kernel);
    if (!attached) XSRETURN_IV(0);
    HANDLE buffer = CreateConsoleScreenBuffer(GENERIC_WRITE, 0, nullptr, CONSOLE_TEXTMODE_BUFFER,
                                              nullptr);
    if (buffer == INVALID_HANDLE_VALUE || !SetConsoleActiveScreenBuffer(buffer)) XSRETURN_IV(0);
    rebind_standard_streams(aTHX_ buffer);
    XSRETURN_IV(1);
}

XS_INTERNAL(xs_SetErrorWithoutConsole) {
    dXSARGS;
    if (items != 1 && items != 2) XSRETURN_UNDEF;
    const char* text = SvPV_nolen(ST(0));
    const char* caption = items == 2 ? SvPV_nolen(ST(1)) : "Error";
    XSRETURN_IV(MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONERROR));
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles",
     xs_HasRedirectedStdHandles},
    {"KALDOR::Install::System::Win32::Console::OpenConsole", xs_OpenConsole},
    {"KALDOR::Install::System::Win32::Console::AttachParentConsole", xs_AttachParentConsole},
    {"KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole", xs_SetErrorWithoutConsole},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__Console) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32Console", kFunctions);
}
