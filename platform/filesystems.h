// Volumes, drive types and free space (kernel32 GetVolumePathNameA,
// GetDriveTypeA, GetDiskFreeSpaceA, GetDiskFreeSpaceExA).
//
// The host's counterpart of a volume is a mounted filesystem, and of a
// volume's root its mount point. Paths are translated by the layer; any
// existing directory may stand for the root of the filesystem that holds it.
#pragma once

#include "platform/types.h"

// The mount point of the filesystem that holds the path, with a trailing
// slash ("/", "/home/"), from the process's mount table
// (/proc/self/mountinfo). A relative path is taken from the working
// directory, symbolic links are followed, and a path that does not exist
// yet is held by the filesystem of its nearest existing parent. Fails with
// the path translation's errors, ERROR_FILENAME_EXCED_RANGE when the buffer
// is too small, ERROR_IO_DEVICE when the mount table cannot be read.
BOOL GetVolumePathNameA(LPCSTR lpszFileName, LPSTR lpszVolumePathName, DWORD cchBufferLength);

// The drive type of the filesystem that holds the directory (NULL: the
// working directory), from the mount table's filesystem type:
// DRIVE_REMOTE for network filesystems (NFS, SMB/CIFS, AFS, Coda, 9p, Ceph,
// GlusterFS, Lustre and FUSE network filesystems such as sshfs, rclone or
// s3fs), DRIVE_CDROM for iso9660 and udf, DRIVE_RAMDISK for tmpfs and
// ramfs, DRIVE_REMOVABLE for a block device that the kernel marks removable
// (/sys/dev/block), DRIVE_FIXED for every other filesystem. DRIVE_NO_ROOT_DIR
// when the path cannot be translated or names no existing directory;
// DRIVE_UNKNOWN when the mount table cannot be read.
UINT GetDriveTypeA(LPCSTR lpRootPathName);

// The geometry and cluster counts of the filesystem that holds the
// directory (NULL: the working directory), from statvfs: a cluster is the
// fragment size f_frsize, given as 512-byte sectors when it is a multiple of
// 512 (else as one sector of that size). Free clusters count every free
// block (f_bfree); the counts saturate at 0xFFFFFFFF, as Windows reports
// volumes too large for 32 bits.
BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                       LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                       LPDWORD lpTotalNumberOfClusters);

// The byte counts of the filesystem that holds the directory, from statvfs:
// available to the caller (f_bavail, the blocks any unprivileged user may
// take), total (f_blocks) and free (f_bfree). Each output may be NULL.
// Registered under kernel32.dll for run-time lookup.
BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                         PULARGE_INTEGER lpTotalNumberOfBytes,
                         PULARGE_INTEGER lpTotalNumberOfFreeBytes);

namespace platform {

// The drive type that a filesystem type of the mount table ("ext4", "nfs4",
// "fuse.sshfs") stands for, leaving removable media aside: DRIVE_REMOTE,
// DRIVE_CDROM, DRIVE_RAMDISK or DRIVE_FIXED.
UINT drive_type_of_filesystem(const char* type);

}  // namespace platform
