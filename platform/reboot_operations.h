// Renames and deletions at the next start of the system (kernel32
// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT).
//
// The operation is appended to PendingFileRenameOperations, the
// REG_MULTI_SZ value under HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager of the system store, where Windows keeps it: a pair of strings,
// "\??\" and the source, then "\??\" and the target, or an empty string for
// a deletion. Source and target are written as absolute host paths, so that
// whatever carries them out at boot needs neither the drive table nor the
// working directory of the caller. Writing it needs the right to write
// HKLM (ERROR_ACCESS_DENIED otherwise).
#pragma once

#include <string>

#include "platform/types.h"

#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x4u

// Only scheduling is provided: flags without MOVEFILE_DELAY_UNTIL_REBOOT
// fail with ERROR_NOT_SUPPORTED. lpNewFileName NULL schedules the deletion
// of lpExistingFileName. Paths that cannot be translated fail with the
// translation's error; an empty path with ERROR_INVALID_PARAMETER.
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);

namespace platform {

// "\??\" and the absolute host path of a module path; false with the last
// error set when the path cannot be translated.
bool pending_operation_path(const char* path, std::string& entry);

}  // namespace platform
