// Thread-local last error with Windows codes, the errno mapping, and the
// system message texts (kernel32 GetLastError/SetLastError/FormatMessageA).
#pragma once

#include <cstdarg>

#include "platform/types.h"

DWORD GetLastError();
void SetLastError(DWORD code);

// Copies the US-English system text of `dwMessageId` (ending in CR LF, as
// the Windows texts do). Supports FORMAT_MESSAGE_FROM_SYSTEM, optionally with
// FORMAT_MESSAGE_ALLOCATE_BUFFER (lpBuffer is then a char** that receives a
// buffer to release with LocalFree) and FORMAT_MESSAGE_IGNORE_INSERTS.
// Language 0 and 0x0409 are accepted. Returns the text's length without the
// terminator, or 0 with ERROR_MR_MID_NOT_FOUND for a code without a text,
// ERROR_INSUFFICIENT_BUFFER when nSize is too small.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list* Arguments);

// Releases a buffer that FormatMessageA allocated; returns NULL.
void* LocalFree(void* mem);

namespace platform {

// The Windows code for a host errno value.
DWORD error_from_errno(int err);

// Sets the last error from errno and returns FALSE, for the common
// "fail with the host's reason" path of a layer call.
BOOL fail_with_errno();

// The system text of a code without its formatting flags, or nullptr.
const char* system_message(DWORD code);

}  // namespace platform
