// The drive table and its volumes (kernel32 GetLogicalDrives,
// GetVolumeInformationA).
//
// A drive letter stands for a host directory: the environment variable
// LMX_DRIVE_MAP ("D=/srv/data;E=/mnt/e") first, then "C:" as "/", then the
// letters mapped in the system store's drives table (platform/admin_store.h;
// a store mapping of C: is not used). A drive's type and volume are those of
// the filesystem that holds its directory (GetDriveTypeA,
// platform/filesystems.h).
#pragma once

#include <string>

#include "platform/types.h"

#define FILE_CASE_SENSITIVE_SEARCH 0x1u
#define FILE_CASE_PRESERVED_NAMES 0x2u
#define FILE_UNICODE_ON_DISK 0x4u
#define FILE_READ_ONLY_VOLUME 0x80000u

// Bit n set for each mapped drive letter 'A' + n.
DWORD GetLogicalDrives();

// The volume of the filesystem that holds the directory (a drive's root
// such as "C:\", or any directory): no volume name (the buffer gets an
// empty string), the device number as serial number (as
// GetFileInformationByHandle reports it), the filesystem's longest name,
// and as flags case-sensitive search, case-preserved names, Unicode names,
// and FILE_READ_ONLY_VOLUME for a filesystem mounted read-only. The
// filesystem's name is not reported: lpFileSystemNameBuffer must be NULL
// (else ERROR_NOT_SUPPORTED). ERROR_PATH_NOT_FOUND for a path that names no
// directory; each output may be NULL.
BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer,
                           DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                           LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                           LPSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize);

namespace platform {

// The host directory that a drive letter (either case) stands for; false
// for a letter that is not mapped.
bool drive_root(char letter, std::string& root);

}  // namespace platform
