// The few C runtime calls of the Windows C library that launcher, host and
// modules use by name, over their host counterparts. Paths are translated
// by the layer.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "platform/types.h"

namespace crt {

constexpr int kReadAccess = 4;  // the mode of _access(path, 4)

// _access: 0 when the file exists and allows `mode` (0 exists, 2 write,
// 4 read, 6 both) to this process, else -1 with errno set.
int access(const char* path, int mode);

// _getcwd: the working directory in `buffer`, or nullptr with errno set
// (ERANGE when it does not fit).
char* getcwd(char* buffer, size_t size);

// _putenv_s: sets `name` to `value` in the process environment (and hence
// in `environ`, which child processes inherit). 0 on success.
int putenv(const char* name, const char* value);

// _stat: the status of the file at `path`; 0, or -1 with errno set.
int stat(const char* path, struct ::stat* status);

// _open: a descriptor for the file at `path` (POSIX open flags; always
// close-on-exec), or -1 with errno set.
int open(const char* path, int flags, int mode = 0666);

// _close.
int close(int fd);

// _dup2: makes `target` (for example 1, the C runtime's standard output)
// refer to what `fd` refers to. 0, or -1 with errno set.
int dup2(int fd, int target);

// _open_osfhandle: a C runtime descriptor for a handle of the layer, or -1.
// The descriptor is a new one; the handle stays valid.
int open_osfhandle(HANDLE handle, int flags);

}  // namespace crt
