#include "platform/crt_links.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/paths.h"

namespace crt {

int lstat(const char* path, struct ::stat* status) {
    std::string host;
    if (!platform::host_path(path, host)) {
        errno = ENOENT;
        return -1;
    }
    return ::lstat(host.c_str(), status);
}

bool readlink(const char* path, std::string& target) {
    std::string host;
    if (!platform::host_path(path, host)) {
        errno = ENOENT;
        return false;
    }
    // A target that fills the buffer may have been cut: grow and read again.
    for (size_t size = 256;; size *= 2) {
        std::vector<char> buffer(size);
        const ssize_t n = ::readlink(host.c_str(), buffer.data(), size);
        if (n < 0) return false;
        if (static_cast<size_t>(n) < size) {
            target.assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
    }
}

}  // namespace crt
