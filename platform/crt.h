// The few C runtime calls of the Windows C library that launcher, host and
// modules use by name, over their host counterparts. Paths are translated
// by the layer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/types.h"

namespace crt {

constexpr int kReadAccess = 4;  // the mode of _access(path, 4)

// _access: 0 when the file exists and allows `mode` (0 exists, 2 write,
// 4 read, 6 both) to this process, else -1 with errno set.
int access(const char* path, int mode);

// _getcwd(NULL, 0): the whole working directory, however long; false with
// errno set.
bool getcwd(std::string& dir);

// _chdir: makes the directory at `path` the working directory. 0, or -1
// with errno set.
int chdir(const char* path);

// getenv: the variable's value, or nullptr when it is not set.
const char* getenv(const char* name);

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

// _unlink: removes the file at `path` (a read-only one too: the host asks
// only for write permission on its directory). 0, or -1 with errno set.
int unlink(const char* path);

// _mkdir, with the host's permission bits: creates one directory with
// `mode` less the process's umask. 0, or -1 with errno set.
int mkdir(const char* path, int mode);

// _chmod: sets the file's permission bits, set-id and sticky bits included.
int chmod(const char* path, int mode);

// _utime at the host's precision: the file's access and modification times.
int utime(const char* path, const struct ::timespec& access,
          const struct ::timespec& modification);

// fopen: a buffered stream on the file at `path` (close-on-exec), or
// nullptr with errno set.
FILE* fopen(const char* path, const char* mode);

// fwrite and fclose on a stream of fopen. A write past the process's
// file-size limit fails with EFBIG, as it does on a system without the
// file-size signal, instead of ending the process with SIGXFSZ.
size_t fwrite(const void* data, size_t size, size_t count, FILE* stream);
int fclose(FILE* stream);

// strerror: the C runtime's text for an errno value.
const char* strerror(int err);

// localtime: the broken-down local time of `time` (seconds since 1970 UTC)
// in `out`; false when the host cannot represent it.
bool localtime(std::int64_t time, struct ::tm& out);

// _get_osfhandle: the layer's handle for a C runtime descriptor, or
// INVALID_HANDLE_VALUE with errno EBADF when the descriptor is not open.
// The handle refers to the descriptor without owning it (closing the
// descriptor ends it), and one descriptor always gives the same handle.
HANDLE get_osfhandle(int fd);

// The status of the file at `path` itself: a symbolic link is described,
// not followed (the Windows C runtime's _stat of a reparse point). 0, or -1
// with errno set.
int lstat(const char* path, struct ::stat* status);

// _fullpath with every symbolic link resolved: the host's absolute path of
// the existing file at `path` in `resolved`, for comparing two paths. False
// with errno set.
bool realpath(const char* path, std::string& resolved);

// readlink: the target of the symbolic link at `path`, as it is stored;
// false with errno set.
bool readlink(const char* path, std::string& target);

}  // namespace crt
