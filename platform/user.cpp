#include "platform/user.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"

namespace {


bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
    std::string box = std::string(lpCaption ? lpCaption : "Error") + "\n" + (lpText ? lpText : "");
    if (box.empty() || box.back() != '\n') box += '\n';
    const int terminal = ::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (terminal >= 0) {
        const bool shown = write_all(terminal, box);
        ::close(terminal);
        if (shown) return IDOK;
    }
    if (write_all(STDERR_FILENO, box)) return IDOK;
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
