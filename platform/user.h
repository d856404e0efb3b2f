// Windowing and message boxes (user32). There is no window system on this
// host: a message box is written to the terminal, and window handles name
// no window of this process.
#pragma once

#include "platform/types.h"

// Writes the caption and the text, each followed by a line break, to the
// controlling terminal, or to standard error when there is none, and answers
// IDOK. Returns 0 when neither can be written.
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// No window can be brought to the foreground: FALSE.
BOOL SetForegroundWindow(HWND hWnd);

// No handle names a window: FALSE with ERROR_INVALID_WINDOW_HANDLE.
BOOL DestroyWindow(HWND hWnd);
