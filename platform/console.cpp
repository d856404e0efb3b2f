#include "platform/console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/modules.h"

namespace {

struct StdHandles {
    std::mutex lock;
    bool initialised = false;
    HANDLE slots[3] = {nullptr, nullptr, nullptr};
    bool has_console = false;
};

StdHandles& std_handles() {
    static StdHandles handles;
    return handles;
}

int slot_of(DWORD which) {
    switch (which) {
        case STD_INPUT_HANDLE: return 0;
        case STD_OUTPUT_HANDLE: return 1;
        case STD_ERROR_HANDLE: return 2;
        default: return -1;
    }
}

// Keeps a closed standard descriptor's number taken (by /dev/null), so that
// no file opened later becomes the process's standard stream by accident.
void reserve_descriptor(int fd) {
    const int placeholder = ::open("/dev/null", O_RDWR);
    if (placeholder >= 0 && placeholder != fd) {
        ::dup2(placeholder, fd);
        ::close(placeholder);
    }
}

void initialise(StdHandles& h) {
    if (h.initialised) return;
    h.initialised = true;
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {  // closed: a NULL handle
            reserve_descriptor(fd);
            continue;
        }
        const bool terminal = ::isatty(fd) == 1;
        // The handle refers to the descriptor itself, so it follows a later
        // reopening of the standard stream, and closing it never closes the
        // runtime's own descriptors 0 to 2.
        h.slots[fd] = platform::insert_descriptor(fd, terminal, false);
        if (terminal) h.has_console = true;
    }
}

int open_terminal() {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
    return fd;
}

// Makes the terminal the console; `all` replaces every standard handle,
// otherwise only the NULL ones.
BOOL connect_console(bool all) {
    StdHandles& h = std_handles();
    std::lock_guard<std::mutex> guard(h.lock);
    initialise(h);
    if (h.has_console) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const int terminal = open_terminal();
    if (terminal < 0) return FALSE;
    for (HANDLE& slot : h.slots) {
        if (!all && slot != nullptr) continue;
        const int copy = ::fcntl(terminal, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) continue;
        slot = platform::insert_descriptor(copy, true);
    }
    ::close(terminal);
    h.has_console = true;
    return TRUE;
}

bool is_terminal_handle(HANDLE handle) {
    if (!platform::handle_is_console(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

const platform::ExportRegistration kExports{
    {"kernel32.dll", "AttachConsole", platform::export_address(&AttachConsole)},
    {"kernel32.dll", "GetConsoleWindow", platform::export_address(&GetConsoleWindow)},
};

}  // namespace

void platform::capture_standard_handles() {
    StdHandles& h = std_handles();
    std::lock_guard<std::mutex> guard(h.lock);
    initialise(h);
}

HANDLE GetStdHandle(DWORD nStdHandle) {
    const int slot = slot_of(nStdHandle);
    if (slot < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    StdHandles& h = std_handles();
    std::lock_guard<std::mutex> guard(h.lock);
    initialise(h);
    return h.slots[slot];
}

BOOL SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
    const int slot = slot_of(nStdHandle);
    if (slot < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    StdHandles& h = std_handles();
    std::lock_guard<std::mutex> guard(h.lock);
    initialise(h);
    h.slots[slot] = hHandle;
    return TRUE;
}

BOOL AllocConsole() { return connect_console(true); }

BOOL AttachConsole(DWORD dwProcessId) {
    if (dwProcessId != ATTACH_PARENT_PROCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return connect_console(false);
}

HWND GetConsoleWindow() { return nullptr; }

BOOL GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                PCONSOLE_SCREEN_BUFFER_INFO lpConsoleScreenBufferInfo) {
    if (!is_terminal_handle(hConsoleOutput) || lpConsoleScreenBufferInfo == nullptr) return FALSE;
    struct winsize size {};
    if (::ioctl(platform::handle_fd(hConsoleOutput), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_col = 80;
        size.ws_row = 25;
    }
    CONSOLE_SCREEN_BUFFER_INFO& info = *lpConsoleScreenBufferInfo;
    info = CONSOLE_SCREEN_BUFFER_INFO{};
    info.dwSize = {static_cast<short>(size.ws_col), static_cast<short>(size.ws_row)};
    info.wAttributes = 7;
    info.srWindow = {0, 0, static_cast<short>(size.ws_col - 1), static_cast<short>(size.ws_row - 1)};
    info.dwMaximumWindowSize = info.dwSize;
    return TRUE;
}

BOOL SetConsoleScreenBufferSize(HANDLE hConsoleOutput, COORD dwSize) {
    if (!is_terminal_handle(hConsoleOutput)) return FALSE;
    if (dwSize.X <= 0 || dwSize.Y <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateConsoleScreenBuffer(DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                                 const void* /*lpSecurityAttributes*/, DWORD dwFlags,
                                 LPVOID /*lpScreenBufferData*/) {
    if (dwFlags != CONSOLE_TEXTMODE_BUFFER) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const int terminal = open_terminal();
    if (terminal < 0) return INVALID_HANDLE_VALUE;
    HANDLE h = platform::insert_descriptor(terminal, true);
    return h ? h : INVALID_HANDLE_VALUE;
}

BOOL SetConsoleActiveScreenBuffer(HANDLE hConsoleOutput) {
    return is_terminal_handle(hConsoleOutput) ? TRUE : FALSE;
}
