// Renames and deletions at the next start of the system (kernel32
// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT).
//
// The operation is appended to PendingFileRenameOperations, the
// REG_MULTI_SZ value under HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager of the system store, where Windows keeps it: a pair of strings,
// "\??\" and the source, then "\??\" and the target, or an empty string for
// a deletion; with MOVEFILE_REPLACE_EXISTING the target carries a leading
// "!", as Windows marks a rename that may replace an existing file. Source
// and target are written as absolute host paths, so that
// whatever carries them out at boot needs neither the drive table nor the
// working directory of the caller. Writing it needs the right to write
// HKLM (ERROR_ACCESS_DENIED otherwise).
#pragma once

#include <string>

#include "platform/admin_store.h"
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

// Carries out the operations scheduled for the next start, in order, as the
// system does once at boot: they are taken out of the store in one
// transaction first, so each runs at most once, and one that fails is
// reported to `done` and dropped. A rename without "!" does not replace an
// existing target (ERROR_ALREADY_EXISTS); a deletion removes a file or an
// empty directory. Entries are "\??\" and a path that the layer
// translates (an absolute host path, or a Windows form such as "C:\x").
// Returns ERROR_SUCCESS or the store's code when the operations cannot be
// taken; `done` gets each operation with ERROR_SUCCESS or its failure.
DWORD run_pending_operations(
    store::FunctionRef<void(const store::PendingRename& operation, DWORD result)> done);

}  // namespace platform
