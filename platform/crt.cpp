#include "platform/crt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/handles.h"
#include "platform/paths.h"

namespace crt {

int access(const char* path, int mode) {
    std::string host;
    if (!platform::host_path(path, host)) {
        errno = ENOENT;
        return -1;
    }
    int flags = F_OK;
    if (mode & 2) flags |= W_OK;
    if (mode & 4) flags |= R_OK;
    return ::access(host.c_str(), flags);
}

char* getcwd(char* buffer, size_t size) { return ::getcwd(buffer, size); }

int putenv(const char* name, const char* value) { return ::setenv(name, value, 1); }

int stat(const char* path, struct ::stat* status) {
    std::string host;
    if (!platform::host_path(path, host)) {
        errno = ENOENT;
        return -1;
    }
    return ::stat(host.c_str(), status);
}

int open(const char* path, int flags, int mode) {
    std::string host;
    if (!platform::host_path(path, host)) {
        errno = ENOENT;
        return -1;
    }
    return ::open(host.c_str(), flags | O_CLOEXEC, mode);
}

int close(int fd) { return ::close(fd); }

int dup2(int fd, int target) {
    int rc;
    do rc = ::dup2(fd, target);
    while (rc < 0 && errno == EINTR);
    return rc < 0 ? -1 : 0;
}

int open_osfhandle(HANDLE handle, int /*flags*/) {
    const int fd = platform::handle_fd(handle);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace crt
