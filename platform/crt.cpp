#include "platform/crt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/internal.h"
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

bool getcwd(std::string& dir) {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (cwd == nullptr) return false;
    dir = cwd.get();
    return true;
}

const char* getenv(const char* name) { return std::getenv(name); }

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
    return platform::retry_on_eintr([&] { return ::dup2(fd, target); }) < 0 ? -1 : 0;
}

int open_osfhandle(HANDLE handle, int /*flags*/) {
    const int fd = platform::handle_fd(handle);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

namespace {

// The path argument of a C runtime call on the host, or false with errno
// ENOENT when it cannot name a host file.
bool translated(const char* path, std::string& host) {
    if (platform::host_path(path, host)) return true;
    errno = ENOENT;
    return false;
}

// Ignores SIGXFSZ for its lifetime, so that a write past the file-size
// limit fails with EFBIG.
class FileSizeSignalIgnored {
   public:
    FileSizeSignalIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGXFSZ, &ignore, &previous_);
    }
    ~FileSizeSignalIgnored() {
        const int saved = errno;
        ::sigaction(SIGXFSZ, &previous_, nullptr);
        errno = saved;
    }
    FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
    FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

   private:
    struct sigaction previous_ {};
};

}  // namespace

int chdir(const char* path) {
    std::string host;
    return translated(path, host) ? ::chdir(host.c_str()) : -1;
}

int unlink(const char* path) {
    std::string host;
    return translated(path, host) ? ::unlink(host.c_str()) : -1;
}

int mkdir(const char* path, int mode) {
    std::string host;
    return translated(path, host) ? ::mkdir(host.c_str(), static_cast<mode_t>(mode)) : -1;
}

int chmod(const char* path, int mode) {
    std::string host;
    return translated(path, host) ? ::chmod(host.c_str(), static_cast<mode_t>(mode)) : -1;
}

int utime(const char* path, const struct ::timespec& access,
          const struct ::timespec& modification) {
    std::string host;
    if (!translated(path, host)) return -1;
    const struct ::timespec times[2] = {access, modification};
    return ::utimensat(AT_FDCWD, host.c_str(), times, 0);
}

FILE* fopen(const char* path, const char* mode) {
    std::string host;
    if (!translated(path, host)) return nullptr;
    return std::fopen(host.c_str(), (std::string(mode) + "e").c_str());
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    FileSizeSignalIgnored guard;
    return std::fwrite(data, size, count, stream);
}

int fclose(FILE* stream) {
    FileSizeSignalIgnored guard;
    return std::fclose(stream);
}

const char* strerror(int err) { return std::strerror(err); }

bool localtime(std::int64_t time, struct ::tm& out) {
    const auto t = static_cast<std::time_t>(time);
    return ::localtime_r(&t, &out) != nullptr;
}

HANDLE get_osfhandle(int fd) {
    static std::mutex lock;
    static std::map<int, HANDLE> handles;
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> guard(lock);
    auto known = handles.find(fd);
    if (known != handles.end() && platform::handle_fd(known->second) == fd) return known->second;
    HANDLE handle = platform::handle_insert(std::make_shared<platform::DescriptorObject>(fd, false));
    if (handle == nullptr) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    handles[fd] = handle;
    return handle;
}

int lstat(const char* path, struct ::stat* status) {
    std::string host;
    return translated(path, host) ? ::lstat(host.c_str(), status) : -1;
}

bool realpath(const char* path, std::string& resolved) {
    std::string host;
    if (!translated(path, host)) return false;
    std::unique_ptr<char, decltype(&std::free)> full(::realpath(host.c_str(), nullptr), &std::free);
    if (full == nullptr) return false;
    resolved = full.get();
    return true;
}

bool readlink(const char* path, std::string& target) {
    std::string host;
    if (!translated(path, host)) return false;
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
