// Standard handles and the console (kernel32), with the terminal as the
// console.
//
// At the first use, each of the descriptors 0, 1 and 2 becomes a standard
// handle: a console handle when it is a terminal, an ordinary handle when it
// is a file or pipe (a redirected handle), NULL when it is closed.
// These handles refer to the descriptors themselves and do not close them.
// SetStdHandle changes the layer's table only; the descriptors 0 to 2 stay
// as they are. The process "has a console" when a standard handle is a
// console handle, or after AllocConsole/AttachConsole.
#pragma once

#include "platform/types.h"

struct COORD {
    short X;
    short Y;
};

struct SMALL_RECT {
    short Left;
    short Top;
    short Right;
    short Bottom;
};

struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};
using PCONSOLE_SCREEN_BUFFER_INFO = CONSOLE_SCREEN_BUFFER_INFO*;

#define ATTACH_PARENT_PROCESS (static_cast<DWORD>(-1))
#define CONSOLE_TEXTMODE_BUFFER 1u

namespace platform {

// Takes the standard handles from descriptors 0 to 2 now, before anything
// opens a file: a closed descriptor gives a NULL handle, and its number is
// then kept taken by /dev/null so that no later file becomes a standard
// stream (output to a NULL handle's stream goes nowhere, as on Windows).
void capture_standard_handles();

}  // namespace platform

HANDLE GetStdHandle(DWORD nStdHandle);
BOOL SetStdHandle(DWORD nStdHandle, HANDLE hHandle);

// Opens the controlling terminal as the process's console and makes it the
// three standard handles. Fails with ERROR_ACCESS_DENIED when the process
// already has a console and with ERROR_INVALID_HANDLE when there is no
// terminal to open.
BOOL AllocConsole();

// Attaches to the console of the parent (ATTACH_PARENT_PROCESS only): the
// controlling terminal inherited from it. Standard handles that are NULL
// become console handles. Fails like AllocConsole; other process ids fail
// with ERROR_INVALID_PARAMETER.
BOOL AttachConsole(DWORD dwProcessId);

// There is no window system: always NULL.
HWND GetConsoleWindow();

// The terminal's size as buffer and window size; cursor at the origin.
BOOL GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                PCONSOLE_SCREEN_BUFFER_INFO lpConsoleScreenBufferInfo);

// Accepted for console handles; the scroll-back of a terminal belongs to
// the terminal and does not change.
BOOL SetConsoleScreenBufferSize(HANDLE hConsoleOutput, COORD dwSize);

// A new console handle on the terminal; a terminal has one screen, so the
// new buffer shares it.
HANDLE CreateConsoleScreenBuffer(DWORD dwDesiredAccess, DWORD dwShareMode,
                                 const void* lpSecurityAttributes, DWORD dwFlags,
                                 LPVOID lpScreenBufferData);

// Accepted for console handles (the terminal's one screen stays active).
BOOL SetConsoleActiveScreenBuffer(HANDLE hConsoleOutput);
