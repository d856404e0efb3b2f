#include "platform/user.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/internal.h"

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
    std::string box = std::string(lpCaption ? lpCaption : "Error") + "\n" + (lpText ? lpText : "");
    if (box.empty() || box.back() != '\n') box += '\n';
    const int terminal = ::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (terminal >= 0) {
        const bool shown = platform::write_all(terminal, box.data(), box.size());
        ::close(terminal);
        if (shown) return IDOK;
    }
    if (platform::write_all(STDERR_FILENO, box.data(), box.size())) return IDOK;
    platform::fail_with_errno();
    return 0;
}

BOOL SetForegroundWindow(HWND /*hWnd*/) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

BOOL DestroyWindow(HWND /*hWnd*/) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}
